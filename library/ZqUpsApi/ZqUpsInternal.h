// Internals of ZqUpsApi.cpp, for the tests, the fuzzers and the benchmark.
// They are hidden in libZqUps; link the static ZqUpsApiInternal library to
// reach them.  The public calls are thin wrappers over these.
#ifndef ZQUPSINTERNAL_H
#define ZQUPSINTERNAL_H

#include "ZqUpsWire.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zqups {

using zqwire::kAccessHeaderSize;
using zqwire::kEnvelopeHeaderSize;
using zqwire::kSocketPath;

constexpr int kConnectAttempts = 10;
constexpr std::chrono::milliseconds kRetryPause{100};
constexpr std::chrono::seconds kCallBudget{10};
// A time-out set on the socket is this much shorter than what is left of
// the budget, so that a step starting within it needs no new time-out.
constexpr std::chrono::milliseconds kStepReserve{20};
constexpr uint32_t kReadChunk = 512;

using Clock = std::chrono::steady_clock;

// How a step waits.  Linux never restarts a socket call that has a
// time-out set: an interrupted wait returns EINTR and is taken up again
// by the library, so the time-outs bound a connect and a receive at no
// cost to the fast path.  The BSDs restart such a call themselves, each time with its
// whole time-out, so that a periodic signal would keep it waiting for
// ever; there every step tries without waiting and waits in poll(), which
// is never restarted.
// (ZQUPS_WAIT_IN_SOCKET_CALLS=0 tries the BSD way on Linux.)
#ifndef ZQUPS_WAIT_IN_SOCKET_CALLS
#ifdef __linux__
#define ZQUPS_WAIT_IN_SOCKET_CALLS 1
#else
#define ZQUPS_WAIT_IN_SOCKET_CALLS 0
#endif
#endif
constexpr bool kWaitInSocketCalls = ZQUPS_WAIT_IN_SOCKET_CALLS != 0;

uint32_t systemCode(int err);

// The one time budget of a call: its connect attempts, pauses, send and
// receives all draw on it.
class Deadline {
 public:
  explicit Deadline(Clock::duration budget = kCallBudget)
      : start_(Clock::now()), end_(start_ + budget) {}
  Clock::time_point start() const { return start_; }
  Clock::time_point end() const { return end_; }

 private:
  Clock::time_point start_;
  Clock::time_point end_;
};

// The call's socket, owned from the moment it is created: closed when the
// call ends, however it ends (a cancelled thread unwinds through here).
// Its steps behave like the system calls (-1 and errno on failure), except
// that no step outlasts the deadline (ETIMEDOUT) and an interrupted step is
// taken up again with the time left.
class Socket {
 public:
  explicit Socket(const Deadline& deadline) : deadline_(deadline) {}
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Takes over `fd`; the time-outs are set before its first step.
  void adopt(int fd);
  int fd() const { return fd_; }
  const Deadline& deadline() const { return deadline_; }
  // Bounds both directions now with what is left of the budget.
  bool armTimeouts();

  int connect(const struct sockaddr* address, socklen_t size);
  ssize_t send(const void* data, size_t size);
  ssize_t receive(void* data, size_t size);

 private:
  enum Direction { kReceive, kSend };
  template <typename Call>
  ssize_t timedStep(Direction direction, Call call);
  template <typename Call>
  ssize_t polledStep(Direction direction, Call call);
  bool arm(Direction direction, Clock::time_point now);
  bool awaitReady(Direction direction);

  Deadline deadline_;
  int fd_ = -1;
  // A step that starts by this time ends by the deadline under the time-out
  // now set; after it, the time-out is set anew.
  Clock::time_point startBy_[2] = {Clock::time_point::min(), Clock::time_point::min()};
};

// Puts a connected socket to the service into `socket`, or returns a result
// code.  A caller's own connector may check the socket before it is used
// (who serves it, say) or keep a way to shut it down.
using Connector = std::function<uint32_t(Socket* socket)>;

// The real connector: a close-on-exec Unix stream socket with its waits
// bounded, connected to kSocketPath with the refusal retry.
uint32_t connectService(Socket* socket);

// UPSIoControl over whatever socket `connect` yields, within `deadline`
// (by default the call's own budget from now); the socket is closed before
// the call returns.
uint32_t ioControlVia(const Connector& connect, void* inBuffer, uint32_t inLength,
                      void* outBuffer, uint32_t outLength, uint32_t* bytesReturned,
                      const Deadline& deadline = Deadline());

// Envelope framing on plain bytes.  envelopeSize fails with
// UPSERR_INVALID_PARAM when the envelope would not fit in 32 bits.
uint32_t envelopeSize(uint32_t inLength, uint32_t outLength, uint32_t* total);
void buildEnvelope(unsigned char* envelope, uint32_t total, const void* inBuffer,
                   uint32_t inLength, const void* outBuffer, uint32_t outLength);

// The exchange on a connected socket: send the envelope, then read one
// length-prefixed reply into `area`.
uint32_t sendAll(Socket& socket, const unsigned char* data, size_t size);
uint32_t receiveReply(Socket& socket, unsigned char* area, uint32_t areaSize, uint32_t* received);

// UPSReadWrite over whatever socket `connect` yields, within `deadline`.
// `replied`, when not null, gets the size of the reply: a write whose
// reply is shorter than a status word counts its status as 0, so only
// this tells that it got no answer.
uint32_t readWriteVia(const Connector& connect, uint32_t index, uint32_t offset,
                      uint32_t readLength, void* readData, uint32_t writeLength,
                      const void* writeData, uint32_t* bytesRead,
                      const Deadline& deadline = Deadline(), uint32_t* replied = nullptr);

}  // namespace zqups

#endif
