// The library's own calls against the simulator, run in this process on
// "/tmp/UPS0": reads, writes, read-only and unknown points, each fault
// with the result the library promises for it, and a service that keeps
// serving while some clients stall, dawdle or send garbage.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "FakeUpsService.h"
#include "Server.h"
#include "ZqUpsApi.h"

using namespace zqsim;
using Clock = std::chrono::steady_clock;

namespace {

const char kProfile[] =
    "0x2000:0x01 text \"Zq Power Systems\" readonly\n"
    "0x2000:0x11 text \"2028-07-01\"\n"
    "0x2000:0x06 float 230.0 readonly\n";

// The simulator on "/tmp/UPS0" in a thread of this test, for one test.
class Sim {
 public:
  explicit Sim(ServerOptions options = ServerOptions()) : store_(profile()) {
    server_.reset(new Server(store_, options, log_));
  }
  ~Sim() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  bool start(std::string* why) {
    if (!claim_.ok()) {
      *why = claim_.why();
      return false;
    }
    if (!server_->listen(why)) return false;
    thread_ = std::thread([this] { server_->run(&error_); });
    return true;
  }
  void fault(const std::string& spec) {
    FaultDef def;
    std::string why;
    ASSERT_TRUE(parseFaultSpec(spec, &def, &why)) << why;
    store_.overrideFault(def);  // before start: the store is the server thread's after
  }
  // The log, once the server has stopped.
  std::string stopAndLog() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
    return log_.str();
  }

 private:
  static Profile profile() {
    Profile p;
    std::string error;
    EXPECT_TRUE(parseProfile(kProfile, "test", &p, &error)) << error;
    return p;
  }
  upstest::PathClaim claim_;  // first in, last out: the server goes before the claim
  Store store_;
  std::ostringstream log_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::string error_;
};

#define SIM_OR_SKIP(sim)                           \
  do {                                             \
    std::string why_;                              \
    if (!(sim).start(&why_)) GTEST_SKIP() << why_; \
  } while (0)

int connectRaw() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/tmp/UPS0");
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the service closes `fd` within a few seconds, without a
// byte; a close that leaves our request unread arrives as a reset.
bool closedByService(int fd) {
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::string readText(uint32_t offset, uint32_t* rc) {
  char text[512] = {};
  uint32_t count = 0;
  *rc = UPSRead(0x2000, offset, sizeof text, text, &count);
  return std::string(text, count);
}

float readFloat(uint32_t offset, uint32_t* rc) {
  float value = -1;
  *rc = UPSRead(0x2000, offset, sizeof value, &value, nullptr);
  return value;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(LibraryCalls, ReadWriteAndCombinedCallsServeTheProfile) {
  Sim sim;
  SIM_OR_SKIP(sim);
  uint32_t rc = 0;
  EXPECT_EQ(UPSOpen(), UPS_OK);
  EXPECT_EQ(readText(0x01, &rc), std::string("Zq Power Systems", 17));
  EXPECT_EQ(rc, UPS_OK);
  EXPECT_EQ(readFloat(0x06, &rc), 230.0f);
  EXPECT_EQ(rc, UPS_OK);

  const char date[] = "2031-01-31";
  EXPECT_EQ(UPSWrite(0x2000, 0x11, sizeof date, date, nullptr), UPS_OK);
  EXPECT_EQ(readText(0x11, &rc), std::string(date, sizeof date));
  const char next[] = "2035-05-05";
  char back[16] = {};
  uint32_t count = 0;
  EXPECT_EQ(UPSReadWrite(0x2000, 0x11, sizeof back, back, sizeof next, next, &count), UPS_OK);
  EXPECT_EQ(std::string(back, count), std::string(next, sizeof next));
}

TEST(LibraryCalls, ReadOnlyAndUnknownPointsGiveTheSimulatorsStatus) {
  Sim sim;
  SIM_OR_SKIP(sim);
  const char text[] = "Other";
  uint32_t rc = 0;
  EXPECT_EQ(UPSWrite(0x2000, 0x01, sizeof text, text, nullptr), kStatusReadOnly);
  EXPECT_EQ(readText(0x01, &rc), std::string("Zq Power Systems", 17)) << "not overwritten";
  EXPECT_EQ(UPSWrite(0x2000, 0x77, sizeof text, text, nullptr), kStatusUnknownOffset);
  char data[8];
  uint32_t count = 99;
  EXPECT_EQ(UPSRead(0x2000, 0x77, sizeof data, data, &count), kStatusUnknownOffset);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(UPSRead(0x3000, 0x01, sizeof data, data, &count), kStatusUnknownIndex);
}

TEST(LibraryCalls, EachFaultGivesTheResultTheLibraryPromises) {
  const struct {
    const char* fault;
    uint32_t result;
  } cases[] = {
      {"status:0x5A5A0001", 0x5A5A0001u},
      {"status:0xFFFFFFFF", UPS_STATUS_PRESET},
      {"close", UPSERR_SYSTEM_BASE | EBADMSG},
      {"partial", UPSERR_SYSTEM_BASE | ECONNRESET},
      {"partial:2", UPSERR_SYSTEM_BASE | ECONNRESET},
      {"overlong", UPSERR_SYSTEM_BASE | EMSGSIZE},
      {"bytewise:1ms", UPS_OK},
      {"delay:300ms", UPS_OK},
  };
  for (const auto& c : cases) {
    Sim sim;
    sim.fault(std::string("0x2000:0x01=") + c.fault);
    SIM_OR_SKIP(sim);
    uint32_t rc = 0;
    const auto start = Clock::now();
    const std::string text = readText(0x01, &rc);
    EXPECT_EQ(rc, c.result) << c.fault;
    if (rc == UPS_OK) {
      EXPECT_EQ(text, std::string("Zq Power Systems", 17)) << c.fault;
    }
    if (std::strncmp(c.fault, "delay", 5) == 0) {
      EXPECT_GE(secondsSince(start), 0.3);
    }
    EXPECT_EQ(readFloat(0x06, &rc), 230.0f) << "other points unaffected by " << c.fault;
  }
}

TEST(LibraryCalls, DataWithStatusIsDeliveredAndAFaultyWriteStoresNothing) {
  Sim sim;
  sim.fault("0x2000:0x01=status:0xECA60102");
  sim.fault("0x2000:0x11=status:0x5A5A0002");
  SIM_OR_SKIP(sim);
  uint32_t rc = 0;
  EXPECT_EQ(readText(0x01, &rc), std::string("Zq Power Systems", 17));
  EXPECT_EQ(rc, UPSERR_DATA_WITH_STATUS);
  const char date[] = "1999-01-01";
  EXPECT_EQ(UPSWrite(0x2000, 0x11, sizeof date, date, nullptr), 0x5A5A0002u);
}

TEST(LibraryCalls, HangRunsIntoTheLibrarysTimeLimitWhileOthersAreServed) {
  Sim sim;
  sim.fault("0x2000:0x01=hang");
  SIM_OR_SKIP(sim);
  std::atomic<uint32_t> hung{0};
  std::thread waiter([&] {
    uint32_t rc = 0;
    readText(0x01, &rc);
    hung = rc;
  });
  uint32_t rc = 0;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(readFloat(0x06, &rc), 230.0f);
    EXPECT_EQ(rc, UPS_OK);
  }
  waiter.join();
  EXPECT_EQ(hung.load(), UPSERR_SYSTEM_BASE | ETIMEDOUT);
}

TEST(Robustness, SilentAndSlowClientsHoldUpNoOne) {
  Sim sim;
  SIM_OR_SKIP(sim);
  std::vector<int> idle;
  for (int i = 0; i < 50; ++i) idle.push_back(connectRaw());
  const int slow = connectRaw();
  const uint32_t head[] = {540, 12};
  ASSERT_EQ(::send(slow, head, sizeof head, 0), ssize_t(sizeof head));

  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t)
    clients.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        uint32_t rc = 0;
        if (readFloat(0x06, &rc) != 230.0f || rc != UPS_OK) ++failures;
      }
    });
  for (auto& c : clients) c.join();
  EXPECT_EQ(failures.load(), 0);
  for (int fd : idle) ::close(fd);
  ::close(slow);
}

TEST(Robustness, EnvelopesThatDoNotFitAreRefusedWithOneLineEach) {
  Sim sim;
  SIM_OR_SKIP(sim);
  const std::vector<std::vector<uint32_t>> bad = {
      {0xFFFFFFFF, 12, 12},      // far beyond the cap: never allocated
      {(1u << 20) + 1, 12, 12},  // just beyond it
      {28, 12, 40, 0x2000, 1},   // output area past the end
      {4, 0, 0},                 // shorter than its own header
  };
  for (const auto& words : bad) {
    const int fd = connectRaw();
    ASSERT_GE(fd, 0);
    ::send(fd, words.data(), words.size() * 4, MSG_NOSIGNAL);
    EXPECT_TRUE(closedByService(fd)) << words[0];
    ::close(fd);
  }
  uint32_t rc = 0;
  EXPECT_EQ(readFloat(0x06, &rc), 230.0f) << "still serving";
  const std::string log = sim.stopAndLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_NE(log.find("4294967295"), std::string::npos) << log;
}

TEST(Robustness, AConnectionThatSendsNothingIsDroppedAfterTheIdleLimit) {
  ServerOptions options;
  options.idleLimitMillis = 200;
  Sim sim(options);
  SIM_OR_SKIP(sim);
  const int fd = connectRaw();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(closedByService(fd));
  ::close(fd);
  EXPECT_NE(sim.stopAndLog().find("no request within 200 ms"), std::string::npos);
}
