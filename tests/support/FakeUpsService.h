// A scripted UPS service on the fixed path "/tmp/UPS0", in the test's own
// process.  Each connection runs the test's handler on its own thread; the
// handler reads the envelope and answers (or misbehaves) through a Peer.
#ifndef FAKEUPSSERVICE_H
#define FAKEUPSSERVICE_H

#include "ZqUpsWire.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace upstest {

using Bytes = std::vector<uint8_t>;

static constexpr const auto& kServicePath = zqwire::kSocketPath;

// The right to use "/tmp/UPS0" for one test: an flock held across
// processes and users (so parallel test runs take turns), and a path
// cleared of a stale file.  A live service found on the path is never
// touched; the claim then fails and says why.
class PathClaim {
 public:
  PathClaim();
  ~PathClaim();
  PathClaim(const PathClaim&) = delete;
  PathClaim& operator=(const PathClaim&) = delete;
  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }

 private:
  int lockFd_ = -1;
  std::string why_;
};

class FakeUpsService;

// The service's end of one connection.
class Peer {
 public:
  Peer(FakeUpsService& service, int fd) : service_(service), fd_(fd) {}
  int fd() const { return fd_; }
  // Reads one envelope by its totalLength and records it; what arrived
  // when the client stops short.  A slow reader takes `chunk` bytes at a
  // time, `pauseMs` apart.
  Bytes readEnvelope(size_t chunk = 4096, int pauseMs = 0);
  // False once the client is gone.
  bool send(const Bytes& bytes);
  // Sends one byte at a time, `pauseMs` apart, until done or stopped.
  void dribble(const Bytes& bytes, int pauseMs);
  void sendWord(uint32_t word);
  // A length prefix and the bytes: a well-formed reply.
  void reply(const Bytes& body);
  // Waits until the client closes or the service stops.
  void stall();
  // Sleeps, but returns early when the service stops.
  void pause(int milliseconds);
  void close();

 private:
  FakeUpsService& service_;
  int fd_;
};

class FakeUpsService {
 public:
  using Handler = std::function<void(Peer&)>;
  explicit FakeUpsService(Handler handler);
  ~FakeUpsService();
  FakeUpsService(const FakeUpsService&) = delete;
  FakeUpsService& operator=(const FakeUpsService&) = delete;

  // Claims the path, binds and listens; false with the reason otherwise.
  bool start(std::string* whyNot);
  void stop();
  // Waits until every connection's handler has finished.
  void waitIdle();
  bool stopping() const { return stopping_; }

  std::vector<Bytes> envelopes() const;
  Bytes lastEnvelope() const;
  int connections() const { return connections_; }
  void record(const Bytes& envelope);

 private:
  void acceptLoop();

  Handler handler_;
  std::unique_ptr<PathClaim> claim_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int active_ = 0;
  mutable std::mutex recordMutex_;
  std::vector<Bytes> envelopes_;
};

// Byte building for replies and expected envelopes.
void putWord(Bytes& bytes, uint32_t word);
uint32_t wordAt(const Bytes& bytes, size_t offset);
Bytes words(std::initializer_list<uint32_t> list);
Bytes concat(std::initializer_list<Bytes> parts);
// A client's envelope reading `length` bytes of the point at `offset`,
// and one writing `data` to it.
Bytes readRequest(uint32_t offset, uint32_t length);
Bytes writeRequest(uint32_t offset, const Bytes& data);
// An access header {index, offset, status, length} and the data after it.
Bytes accessReply(uint32_t index, uint32_t offset, uint32_t status, const Bytes& data);

// A value's bytes as the client reads them (host order).
template <typename T>
Bytes bytesOf(T value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// A text and its NUL.
inline Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end() + 1); }

// What the service answers for one point: a status and its data.
struct Answer {
  uint32_t status;
  Bytes data;
};

// Handler answering every envelope with the same reply body.
FakeUpsService::Handler replyWith(const Bytes& body);

// A healthy UPS on mains: each text is the point's name but the dates,
// the line `lineVoltage` (230 V when null), the runtime and every other
// integer 42, every other number 1.5.  `odd` answers for the offsets it
// holds; a write gets only the status (odd's, or 0) and changes nothing.
// Each answer comes after `pauseMs`.
FakeUpsService::Handler upsWith(std::map<uint32_t, Answer> odd = {},
                                const std::atomic<float>* lineVoltage = nullptr, int pauseMs = 0);

// A raw connection to the service's path, or -1.
int connectToService();

// Descriptors open in this process, counted portably.
int openDescriptorCount();

// Whether a test that cannot have the path may skip instead of failing:
// only when the run says so with ZQUPS_ALLOW_SKIP=1.
bool skipAllowed();

// A socket file on the path with nobody listening (bound, not listening).
class DeadSocketFile {
 public:
  DeadSocketFile();
  ~DeadSocketFile();
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace upstest

// Ends a test that cannot have the path: a failure that says why, or a
// skip where the run allows it.
#define PATH_UNAVAILABLE(why)                                                \
  do {                                                                       \
    if (upstest::skipAllowed()) GTEST_SKIP() << (why);                       \
    FAIL() << (why) << " (ZQUPS_ALLOW_SKIP=1 skips such tests instead)";     \
  } while (0)

// Starts `service`, or ends the test as PATH_UNAVAILABLE.
#define START_OR_SKIP(service)                             \
  do {                                                     \
    std::string why_;                                      \
    if (!(service).start(&why_)) PATH_UNAVAILABLE(why_);   \
  } while (0)

#define CLAIM_OR_SKIP(claim) \
  if (!(claim).ok()) PATH_UNAVAILABLE((claim).why())

#endif
