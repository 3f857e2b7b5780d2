// UPSIoControl and the exchange under it: the envelope, the reply framing
// (on a socket pair through the connector seam), the connection retry on
// "/tmp/UPS0", the failures, and the one deadline of a call under signals,
// stops and cancellation.
#include "FakeUpsService.h"
#include "RunProgram.h"
#include "ZqUpsApi.h"
#include "ZqUpsInternal.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>

using namespace upstest;
using zqups::Clock;

// The library's recv and connect as this binary links them (--wrap): what
// the recording thread asked for, so that the tests see the chunks and
// the attempts.
std::atomic<pthread_t*> recording{nullptr};
std::vector<size_t> recvSizes;
std::vector<Clock::time_point> connectTimes;

bool isRecording() {
  pthread_t* thread = recording.load();
  return thread != nullptr && ::pthread_equal(*thread, ::pthread_self());
}

// Records this thread's calls while it lives.
struct Recording {
  pthread_t self = ::pthread_self();
  Recording() {
    recvSizes.clear();
    connectTimes.clear();
    recording = &self;
  }
  ~Recording() { recording = nullptr; }
};

extern "C" {
ssize_t __real_recv(int fd, void* data, size_t size, int flags);
int __real_connect(int fd, const struct sockaddr* address, socklen_t size);

ssize_t __wrap_recv(int fd, void* data, size_t size, int flags) {
  if (isRecording()) recvSizes.push_back(size);
  return __real_recv(fd, data, size, flags);
}

int __wrap_connect(int fd, const struct sockaddr* address, socklen_t size) {
  if (isRecording()) connectTimes.push_back(Clock::now());
  return __real_connect(fd, address, size);
}
}

namespace {

const uint8_t kGuard = 0xEE;

// An output area of `size` bytes followed by guard bytes.
struct Area {
  Bytes bytes;
  uint32_t size;
  Area(uint32_t n, uint8_t fill = 0) : bytes(n + 8, kGuard), size(n) {
    std::fill(bytes.begin(), bytes.begin() + n, fill);
  }
  uint8_t* data() { return bytes.data(); }
  Bytes used() const { return Bytes(bytes.begin(), bytes.begin() + size); }
  bool guardIntact() const {
    return std::all_of(bytes.begin() + size, bytes.end(), [](uint8_t b) { return b == kGuard; });
  }
};

std::atomic<int> signalsTaken{0};
void takeSignal(int) { ++signalsTaken; }

// SIGUSR1, handled with SA_RESTART, sent to the constructing thread every
// 2 ms while this lives: what a periodic timer or a sampling profiler
// does to a caller.  The handler stays installed.
class PeriodicSignal {
 public:
  PeriodicSignal() : target_(::pthread_self()) {
    struct sigaction action {};
    action.sa_handler = takeSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, nullptr);
    signalsTaken = 0;
    sender_ = std::thread([this] {
      while (!done_) {
        ::pthread_kill(target_, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~PeriodicSignal() {
    done_ = true;
    sender_.join();
  }

 private:
  pthread_t target_;
  std::atomic<bool> done_{false};
  std::thread sender_;
};

// A child process that stops this process and continues it, `times`
// times, 30 ms apart: Ctrl-Z and fg, or a tracer attaching.
class StopsAndContinues {
 public:
  explicit StopsAndContinues(int times) {
    const pid_t parent = ::getpid();
    child_ = ::fork();
    if (child_ != 0) return;
    for (int i = 0; i < times; ++i) {
      ::usleep(30000);
      ::kill(parent, SIGSTOP);
      ::usleep(30000);
      ::kill(parent, SIGCONT);
    }
    ::_exit(0);
  }
  ~StopsAndContinues() { ::waitpid(child_, nullptr, 0); }

 private:
  pid_t child_;
};

FakeUpsService::Handler answerAfter(int milliseconds) {
  return [milliseconds](Peer& peer) {
    peer.readEnvelope();
    peer.pause(milliseconds);
    peer.reply(words({0xCAFE}));
  };
}

std::atomic<int> callsStarted{0};

// `count` threads making a call each, cancelled `ms` after the last one
// started; how many were cancelled inside their call.  Under valgrind,
// which runs one thread at a time, a call may end before its cancel lands.
int cancelCallsAfter(int count, int ms) {
  callsStarted = 0;
  std::vector<pthread_t> threads(count);
  for (pthread_t& thread : threads)
    ::pthread_create(&thread, nullptr, [](void*) -> void* {
      uint8_t out[16] = {};
      unsigned int returned;
      ++callsStarted;
      UPSIoControl(nullptr, 0, out, sizeof out, &returned);
      return nullptr;
    }, nullptr);
  while (callsStarted < count) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  for (pthread_t thread : threads) ::pthread_cancel(thread);
  int cancelled = 0;
  for (pthread_t thread : threads) {
    void* result = nullptr;
    ::pthread_join(thread, &result);
    cancelled += result == PTHREAD_CANCELED;
  }
  return cancelled;
}

// A connected pair: the library's end and the service's end.
struct Pair {
  int client = -1;
  int service = -1;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      client = fds[0];
      service = fds[1];
    }
  }
  ~Pair() {
    if (client >= 0) ::close(client);
    closeService();
  }
  void closeService() {
    if (service >= 0) ::close(service);
    service = -1;
  }
  void serve(const Bytes& bytes) {
    ASSERT_EQ(::send(service, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  // What the client sent, as far as it is queued.
  Bytes sent() {
    Bytes got(4096);
    const ssize_t n = ::recv(service, got.data(), got.size(), MSG_DONTWAIT);
    got.resize(n > 0 ? size_t(n) : 0);
    return got;
  }
  // Hands the client end over to the code under test, which closes it.
  int release() {
    int fd = client;
    client = -1;
    return fd;
  }
};

Bytes framed(const Bytes& body) { return concat({words({uint32_t(body.size())}), body}); }

// The client end of a Pair, set up as the real connector sets up its socket.
void adoptClientEnd(Pair& pair, zqups::Socket* socket) {
  socket->adopt(pair.release());
  EXPECT_TRUE(socket->armTimeouts());
}

Pair* servedPair = nullptr;

uint32_t pairConnector(zqups::Socket* socket) {
  adoptClientEnd(*servedPair, socket);
  return UPS_OK;
}

uint32_t refusingConnector(zqups::Socket*) { return UPSERR_SERVICE_REFUSED; }

// ioControlVia over `pair`.
uint32_t callVia(Pair& pair, void* in, uint32_t inLength, void* out, uint32_t outLength,
                 uint32_t* returned) {
  servedPair = &pair;
  return zqups::ioControlVia(pairConnector, in, inLength, out, outLength, returned);
}

// The client end of `pair` as a call's socket with `budget` to spend.
std::unique_ptr<zqups::Socket> clientEnd(Pair& pair, Clock::duration budget = zqups::kCallBudget) {
  std::unique_ptr<zqups::Socket> socket(new zqups::Socket(zqups::Deadline(budget)));
  adoptClientEnd(pair, socket.get());
  return socket;
}

}  // namespace

TEST(Envelope, OutputAreaTravelsAsPassedAndIsClearedForTheReply) {
  FakeUpsService service(replyWith({0xA1, 0xA2}));
  START_OR_SKIP(service);
  Area out(528, 0x5A);
  unsigned int returned = 0;
  ASSERT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPS_OK);
  EXPECT_EQ(service.lastEnvelope(), concat({words({540, 12, 12}), Bytes(528, 0x5A)}));
  Bytes expected(528, 0);
  expected[0] = 0xA1;
  expected[1] = 0xA2;
  EXPECT_EQ(out.used(), expected);
  EXPECT_EQ(returned, 2u);
  EXPECT_TRUE(out.guardIntact());
}

TEST(Envelope, SizeRejectsEnvelopesBeyond32Bits) {
  uint32_t total = 0;
  EXPECT_EQ(zqups::envelopeSize(0, 528, &total), UPS_OK);
  EXPECT_EQ(total, 540u);
  EXPECT_EQ(zqups::envelopeSize(0xFFFFFFF4u, 0, &total), UPSERR_INVALID_PARAM);
  EXPECT_EQ(zqups::envelopeSize(0x80000000u, 0x7FFFFFF4u, &total), UPSERR_INVALID_PARAM);
  EXPECT_EQ(zqups::envelopeSize(0xFFFFFFF0u, 3, &total), UPS_OK);
  EXPECT_EQ(total, 0xFFFFFFFFu);
}

TEST(Envelope, LaysOutHeaderInputAndOutputWithoutGaps) {
  const Bytes in = {1, 2, 3, 4, 5};
  const Bytes out = {9, 8, 7};
  Bytes envelope(20, 0xEE);
  zqups::buildEnvelope(envelope.data(), 20, in.data(), 5, out.data(), 3);
  EXPECT_EQ(envelope, concat({words({20, 12, 17}), in, out}));
}

TEST(Envelope, WriteOnlyReplyIsCopiedOverTheInputWithinItsLength) {
  for (uint32_t inLength : {4u, 15u, 16u, 20u}) {
    Pair pair;
    pair.serve(framed({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    Bytes in(inLength + 8, 0xEE);
    for (uint32_t i = 0; i < inLength; ++i) in[i] = uint8_t(0x40 + i);
    const Bytes passed(in.begin(), in.begin() + inLength);
    uint32_t returned = 0;
    EXPECT_EQ(callVia(pair, in.data(), inLength, nullptr, 0, &returned), UPS_OK);
    EXPECT_EQ(pair.sent(), concat({words({12 + inLength, 12, 12 + inLength}), passed}));
    EXPECT_EQ(returned, 10u);
    Bytes expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0};
    expected.resize(std::min(inLength, 16u));
    expected.insert(expected.end(), passed.begin() + expected.size(), passed.end());
    expected.resize(in.size(), 0xEE);
    EXPECT_EQ(in, expected) << inLength;
  }
}

TEST(ReplyFraming, LongReplyIsReadIn512ByteChunksIntoTheArea) {
  Pair pair;
  Bytes body(700);
  for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(i * 7);
  pair.serve(framed(body));
  Area out(700);
  uint32_t returned = 0;
  const Recording recorded;
  EXPECT_EQ(callVia(pair, nullptr, 0, out.data(), out.size, &returned), UPS_OK);
  EXPECT_EQ(recvSizes, (std::vector<size_t>{4, 512, 188}));
  EXPECT_EQ(returned, 700u);
  EXPECT_EQ(out.used(), body);
  EXPECT_TRUE(out.guardIntact());
}

TEST(ReplyFraming, CompletesALengthThatArrivesInPieces) {
  Pair pair;
  Bytes reply = framed({0xAB, 0xCD});
  std::thread slow([&] {
    for (uint8_t b : reply) {
      ::send(pair.service, &b, 1, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  Bytes area(16);
  uint32_t received = 0;
  EXPECT_EQ(zqups::receiveReply(*clientEnd(pair), area.data(), 16, &received), UPS_OK);
  slow.join();
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(area[0], 0xAB);
  EXPECT_EQ(area[1], 0xCD);
}

TEST(ReplyFraming, EmptyReplyAndSilentCloseAreBothSuccess) {
  for (bool silent : {false, true}) {
    Pair pair;
    if (silent)
      ::shutdown(pair.service, SHUT_WR);  // takes the envelope, answers nothing
    else
      pair.serve(framed({}));
    Area out(32, 0x77);
    uint32_t returned = 99;
    EXPECT_EQ(callVia(pair, nullptr, 0, out.data(), out.size, &returned), UPS_OK) << silent;
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(out.used(), Bytes(32, 0));
  }
}

TEST(ReplyFraming, CutShortReplyIsConnectionResetAndChangesNothing) {
  const Bytes cuts[] = {{0x10}, {0x10, 0, 0}, concat({words({16}), Bytes(15, 1)})};
  for (const Bytes& cut : cuts) {
    Pair pair;
    pair.serve(cut);
    ::shutdown(pair.service, SHUT_WR);
    Bytes in(20, 0x33);
    uint32_t returned = 77;
    EXPECT_EQ(callVia(pair, in.data(), 20, nullptr, 0, &returned), UPSERR_SYSTEM_BASE | ECONNRESET)
        << cut.size() << " bytes";
    EXPECT_EQ(returned, 77u);
    EXPECT_EQ(in, Bytes(20, 0x33));
  }
}

TEST(ReplyFraming, OversizedReplyIsRefusedAndNothingStoredPastTheArea) {
  Pair pair;
  pair.serve(framed(Bytes(40, 0x99)));
  Area out(32);
  uint32_t returned = 5;
  EXPECT_EQ(callVia(pair, nullptr, 0, out.data(), out.size, &returned),
            UPSERR_SYSTEM_BASE | EMSGSIZE);
  EXPECT_EQ(returned, 5u);
  EXPECT_TRUE(out.guardIntact());
  // Without an output area the limit is the 16-byte header.
  Pair scratch;
  scratch.serve(framed(Bytes(17, 0x55)));
  Bytes in(20, 0x11);
  EXPECT_EQ(callVia(scratch, in.data(), 20, nullptr, 0, &returned), UPSERR_SYSTEM_BASE | EMSGSIZE);
  EXPECT_EQ(in, Bytes(20, 0x11));
}

TEST(Deadline, SpentBudgetIsTimedOutWhateverTheStepHasDone) {
  const auto budget = std::chrono::milliseconds(150);
  // Silence, half a length word, a reply cut off in its body, and a send
  // that the peer takes only partly.
  const Bytes sent[] = {{}, {4, 0}, concat({words({100}), Bytes(30, 1)})};
  for (const Bytes& bytes : sent) {
    Pair pair;
    pair.serve(bytes);
    Bytes area(100);
    uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(zqups::receiveReply(*clientEnd(pair, budget), area.data(), 100, &received),
              UPSERR_SYSTEM_BASE | ETIMEDOUT)
        << bytes.size() << " bytes";
    EXPECT_GT(secondsSince(start), 0.1);
    EXPECT_LT(secondsSince(start), 0.5);
  }
  Pair pair;
  const Bytes envelope(4 << 20, 1);
  const auto start = Clock::now();
  EXPECT_EQ(zqups::sendAll(*clientEnd(pair, budget), envelope.data(), envelope.size()),
            UPSERR_SYSTEM_BASE | ETIMEDOUT);
  EXPECT_LT(secondsSince(start), 0.5);
}

TEST(SendFraming, WriteToAClosedPeerIsBrokenPipeNotASignal) {
  Pair pair;
  pair.closeService();
  const Bytes envelope(64, 1);
  // SIGPIPE has its default action here: a raised signal would end the test.
  EXPECT_EQ(zqups::sendAll(*clientEnd(pair), envelope.data(), envelope.size()),
            UPSERR_SYSTEM_BASE | EPIPE);
}

TEST(SendFraming, LargeEnvelopeIsSentWhole) {
  Pair pair;
  Bytes envelope(1 << 20);
  for (size_t i = 0; i < envelope.size(); ++i) envelope[i] = uint8_t(i % 251);
  Bytes got;
  std::thread reader([&] {
    uint8_t chunk[65536];
    ssize_t n;
    while (got.size() < envelope.size() && (n = ::recv(pair.service, chunk, sizeof chunk, 0)) > 0)
      got.insert(got.end(), chunk, chunk + n);
  });
  EXPECT_EQ(zqups::sendAll(*clientEnd(pair), envelope.data(), envelope.size()), UPS_OK);
  reader.join();
  EXPECT_EQ(got, envelope);
}

TEST(Connection, MissingSocketFileFailsAtOnce) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  const int before = openDescriptorCount();
  Area out(16);
  unsigned int returned = 0;
  const auto start = Clock::now();
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned),
            UPSERR_SYSTEM_BASE | ENOENT);
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Connection, NobodyListeningIsRefusedAfterTenAttempts100msApart) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  DeadSocketFile dead;
  ASSERT_TRUE(dead.ok());
  Area out(16, 0x42);
  unsigned int returned = 3;
  const Recording recorded;
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPSERR_SERVICE_REFUSED);
  ASSERT_EQ(connectTimes.size(), 10u);
  for (size_t i = 1; i < connectTimes.size(); ++i) {
    const double pause = std::chrono::duration<double>(connectTimes[i] - connectTimes[i - 1]).count();
    EXPECT_GE(pause, 0.095) << "pause " << i;
    EXPECT_LT(pause, 0.3) << "pause " << i;
  }
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(out.used(), Bytes(16, 0));
}

TEST(Connection, ServiceThatStartsListeningWithinTheRetriesIsReachedUnderSignals) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  PeriodicSignal signals;  // a pause cut short sleeps the rest
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, kServicePath);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::thread late([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::listen(fd, 4);
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 3000) != 1) return;  // the client gave up
    int peer = ::accept(fd, nullptr, nullptr);
    uint8_t sink[64];
    ::recv(peer, sink, sizeof sink, 0);
    const Bytes reply = words({4, 0xCAFE});
    ::send(peer, reply.data(), reply.size(), 0);
    ::close(peer);
  });
  Area out(16);
  unsigned int returned = 0;
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPS_OK);
  late.join();
  ::close(fd);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(wordAt(out.used(), 0), 0xCAFEu);
  EXPECT_GT(signalsTaken, 50);
}

TEST(Interruptions, SignalsHandledWithRestartNeverFailACall) {
  FakeUpsService service(answerAfter(50));
  START_OR_SKIP(service);
  PeriodicSignal signals;
  for (int call = 0; call < 5; ++call) {
    Bytes out(16);
    unsigned int returned = 0;
    EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), 16, &returned), UPS_OK) << "call " << call;
    EXPECT_EQ(wordAt(out, 0), 0xCAFEu);
  }
  EXPECT_GT(signalsTaken, 20);
}

TEST(Interruptions, StoppedAndContinuedCallGetsItsReply) {
  StopsAndContinues stops(5);  // forked before the service has threads to lose
  FakeUpsService service(answerAfter(400));
  START_OR_SKIP(service);
  Bytes out(16);
  unsigned int returned = 0;
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), 16, &returned), UPS_OK);
  EXPECT_EQ(wordAt(out, 0), 0xCAFEu);
}

TEST(Failures, ParameterFaultsSendNothing) {
  FakeUpsService service(replyWith({}));
  START_OR_SKIP(service);
  uint8_t buffer[16] = {};
  unsigned int returned = 9;
  EXPECT_EQ(UPSIoControl(buffer, 16, nullptr, 16, &returned), UPSERR_NO_OUT_BUFFER);
  EXPECT_EQ(UPSIoControl(nullptr, 16, buffer, 16, &returned), UPSERR_INVALID_PARAM);
  // Lengths are checked before anything is read from the buffers.
  EXPECT_EQ(UPSIoControl(buffer, 0xFFFFFFF0u, buffer, 0x10, &returned), UPSERR_INVALID_PARAM);
  EXPECT_EQ(returned, 9u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(service.connections(), 0);
}

TEST(Failures, SlowServicesAreGivenUpOnWhenTheBudgetIsSpent) {
  // Three calls share one wait: the service never answers the first,
  // dribbles its reply to the second a byte every 2 s, and takes the 4 MiB
  // request of the third 64 KiB every 2 s.
  FakeUpsService service([](Peer& peer) {
    const Bytes envelope = peer.readEnvelope(64 << 10, 2000);
    if (envelope.size() > 12 && envelope[12] == 1)
      peer.dribble(concat({words({100}), Bytes(100, 1)}), 2000);
    else
      peer.stall();
  });
  START_OR_SKIP(service);
  auto timedCall = [](uint32_t inLength, uint8_t kind) {
    Bytes in(inLength, kind), out(100);
    unsigned int returned = 0;
    const auto start = Clock::now();
    EXPECT_EQ(UPSIoControl(in.data(), inLength, out.data(), 100, &returned),
              UPSERR_SYSTEM_BASE | ETIMEDOUT)
        << "kind " << int(kind);
    const double took = secondsSince(start);
    EXPECT_GE(took, 9.0) << "kind " << int(kind);
    EXPECT_LT(took, 12.0) << "kind " << int(kind);
  };
  std::thread silent(timedCall, 16, 0), dribbled(timedCall, 16, 1), slowlyRead(timedCall, 4 << 20, 2);
  silent.join();
  dribbled.join();
  slowlyRead.join();
}

TEST(Failures, CancelledCallsLeaveNoDescriptorBehind) {
  const int before = openDescriptorCount();
  {
    PathClaim claim;
    CLAIM_OR_SKIP(claim);
    DeadSocketFile dead;
    ASSERT_TRUE(dead.ok());
    EXPECT_GT(cancelCallsAfter(50, 150), 0) << "in the retry pause";
  }
  {
    FakeUpsService service([](Peer& peer) {
      peer.readEnvelope();
      peer.stall();
    });
    START_OR_SKIP(service);
    EXPECT_GT(cancelCallsAfter(50, 150), 0) << "waiting for the reply";
    service.stop();
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Failures, CallsCloseTheirSocketOnEveryPath) {
  const int before = openDescriptorCount();
  {
    Bytes out(16);
    uint32_t returned;
    Pair ok;
    ok.serve(framed({}));
    EXPECT_EQ(callVia(ok, nullptr, 0, out.data(), 16, &returned), UPS_OK);
    Pair cut;
    cut.serve({1});
    cut.closeService();
    EXPECT_NE(callVia(cut, nullptr, 0, out.data(), 16, &returned), UPS_OK);
    Pair oversized;
    oversized.serve(framed(Bytes(64, 0)));
    EXPECT_NE(callVia(oversized, nullptr, 0, out.data(), 16, &returned), UPS_OK);
    EXPECT_EQ(zqups::ioControlVia(refusingConnector, nullptr, 0, out.data(), 16, &returned),
              UPSERR_SERVICE_REFUSED);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ServiceSocket, IsCloseOnExecWithItsWaitsBoundedByTheBudget) {
  FakeUpsService service([](Peer& peer) { peer.stall(); });
  START_OR_SKIP(service);
  zqups::Socket socket{zqups::Deadline()};
  ASSERT_EQ(zqups::connectService(&socket), UPS_OK);
  EXPECT_NE(::fcntl(socket.fd(), F_GETFD) & FD_CLOEXEC, 0);
  if (!zqups::kWaitInSocketCalls) return;  // steps wait in poll() instead
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval limit{};
    socklen_t size = sizeof limit;
    ASSERT_EQ(::getsockopt(socket.fd(), SOL_SOCKET, option, &limit, &size), 0);
    EXPECT_LE(limit.tv_sec, zqups::kCallBudget.count());
    EXPECT_GE(limit.tv_sec, zqups::kCallBudget.count() - 1);
  }
}
