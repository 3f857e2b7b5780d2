// UPSIoControl against a scripted service on "/tmp/UPS0": the envelope the
// service sees, the reply framing, the connection retry, the failures, and
// the one deadline of a call under signals, stops and cancellation.
#include "FakeUpsService.h"
#include "ZqUpsApi.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

using namespace upstest;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

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
// started; true when all were cancelled inside their call.
bool cancelCallsAfter(int count, int ms) {
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
  bool allCancelled = true;
  for (pthread_t thread : threads) {
    void* result = nullptr;
    ::pthread_join(thread, &result);
    allCancelled = allCancelled && result == PTHREAD_CANCELED;
  }
  return allCancelled;
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

TEST(Envelope, WriteOnlyReplyIsCopiedOverTheInput) {
  FakeUpsService service(replyWith({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  START_OR_SKIP(service);
  Bytes in(20);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(0x40 + i);
  const Bytes sent = in;
  unsigned int returned = 0;
  ASSERT_EQ(UPSIoControl(in.data(), 20, nullptr, 0, &returned), UPS_OK);
  EXPECT_EQ(service.lastEnvelope(), concat({words({32, 12, 32}), sent}));
  EXPECT_EQ(returned, 12u);
  Bytes expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0};
  expected.insert(expected.end(), sent.begin() + 16, sent.end());
  EXPECT_EQ(in, expected);
}

TEST(ReplyFraming, EmptyReplyAndSilentCloseAreBothSuccess) {
  FakeUpsService::Handler handlers[] = {
      replyWith({}),
      [](Peer& peer) {
        peer.readEnvelope();
        peer.close();
      }};
  for (auto& handler : handlers) {
    FakeUpsService service(handler);
    START_OR_SKIP(service);
    Area out(32, 0x77);
    unsigned int returned = 99;
    EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPS_OK);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(out.used(), Bytes(32, 0));
  }
}

TEST(ReplyFraming, LongReplyArrivesWhole) {
  Bytes body(700);
  for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(i * 13 + 1);
  FakeUpsService service(replyWith(body));
  START_OR_SKIP(service);
  Area out(700);
  unsigned int returned = 0;
  ASSERT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPS_OK);
  EXPECT_EQ(returned, 700u);
  EXPECT_EQ(out.used(), body);
  EXPECT_TRUE(out.guardIntact());
}

TEST(ReplyFraming, ReplyOneByteAtATime) {
  const Bytes body = accessReply(0x2000, 1, 0, {'a', 'b', 'c'});
  FakeUpsService service([body](Peer& peer) {
    peer.readEnvelope();
    peer.dribble(concat({words({uint32_t(body.size())}), body}), 1);
  });
  START_OR_SKIP(service);
  Area out(64);
  unsigned int returned = 0;
  ASSERT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPS_OK);
  EXPECT_EQ(returned, body.size());
  EXPECT_TRUE(std::equal(body.begin(), body.end(), out.bytes.begin()));
}

TEST(ReplyFraming, OversizedReplyIsRefusedAndNothingStoredPastTheArea) {
  FakeUpsService service(replyWith(Bytes(40, 0x99)));
  START_OR_SKIP(service);
  Area out(32);
  unsigned int returned = 5;
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned),
            UPSERR_SYSTEM_BASE | EMSGSIZE);
  EXPECT_EQ(returned, 5u);
  EXPECT_TRUE(out.guardIntact());
  // Without an output area the limit is the 16-byte header.
  Bytes in(20, 0x11);
  EXPECT_EQ(UPSIoControl(in.data(), 20, nullptr, 0, &returned), UPSERR_SYSTEM_BASE | EMSGSIZE);
  EXPECT_EQ(in, Bytes(20, 0x11));
}

TEST(ReplyFraming, ServiceClosingMidReplyIsConnectionReset) {
  FakeUpsService service([](Peer& peer) {
    peer.readEnvelope();
    peer.send(concat({words({100}), Bytes(30, 1)}));
  });
  START_OR_SKIP(service);
  Area out(100);
  unsigned int returned = 5;
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned),
            UPSERR_SYSTEM_BASE | ECONNRESET);
  EXPECT_EQ(returned, 5u);
}

TEST(Connection, MissingSocketFileFailsAtOnce) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  Area out(16);
  unsigned int returned = 0;
  const auto start = Clock::now();
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned),
            UPSERR_SYSTEM_BASE | ENOENT);
  EXPECT_LT(secondsSince(start), 0.5);
}

TEST(Connection, NobodyListeningIsRefusedAfterTenAttempts) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  DeadSocketFile dead;
  ASSERT_TRUE(dead.ok());
  Area out(16, 0x42);
  unsigned int returned = 3;
  const auto start = Clock::now();
  EXPECT_EQ(UPSIoControl(nullptr, 0, out.data(), out.size, &returned), UPSERR_SERVICE_REFUSED);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.85);
  EXPECT_LT(took, 5.0);
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
  FakeUpsService service(answerAfter(400));
  START_OR_SKIP(service);
  Bytes out(16);
  unsigned int returned = 0;
  StopsAndContinues stops(5);
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

TEST(Failures, ServiceClosingBeforeReadingGivesAnErrorNotASignal) {
  FakeUpsService service([](Peer& peer) { peer.close(); });
  START_OR_SKIP(service);
  Bytes in(1 << 20, 1);
  Bytes out(16);
  unsigned int returned = 0;
  // SIGPIPE keeps its default action: the test process would die of it.
  const unsigned int rc = UPSIoControl(in.data(), uint32_t(in.size()), out.data(), 16, &returned);
  EXPECT_TRUE(rc == (UPSERR_SYSTEM_BASE | EPIPE) || rc == (UPSERR_SYSTEM_BASE | ECONNRESET))
      << std::hex << rc;
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
    EXPECT_TRUE(cancelCallsAfter(50, 150)) << "in the retry pause";
  }
  {
    FakeUpsService service([](Peer& peer) {
      peer.readEnvelope();
      peer.stall();
    });
    START_OR_SKIP(service);
    EXPECT_TRUE(cancelCallsAfter(50, 150)) << "waiting for the reply";
    service.stop();
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Failures, NoDescriptorOutlivesACall) {
  const int before = openDescriptorCount();
  {
    FakeUpsService service([](Peer& peer) {
      Bytes envelope = peer.readEnvelope();
      if (envelope.size() > 12 && envelope[12] == 1) peer.reply(Bytes(64, 0));  // oversized
      else if (envelope.size() > 12 && envelope[12] == 2) peer.send({9});          // cut
      else peer.reply({1, 2});
    });
    START_OR_SKIP(service);
    Bytes out(16);
    unsigned int returned;
    for (uint8_t kind : {0, 1, 2}) {
      out.assign(16, kind);
      UPSIoControl(nullptr, 0, out.data(), 16, &returned);
    }
  }
  {
    PathClaim claim;
    Bytes out(16);
    unsigned int returned;
    EXPECT_NE(UPSIoControl(nullptr, 0, out.data(), 16, &returned), UPS_OK);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}
