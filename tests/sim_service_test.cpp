// The library's own calls against the simulator, run in this process on
// "/tmp/UPS0": reads, writes, read-only and unknown points, each fault
// with the result the library promises for it, and a service that keeps
// serving while other clients stall, dawdle or send garbage.
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

namespace {

const char kProfile[] =
    "0x2000:0x01 text \"Zq Power Systems\" readonly\n"
    "0x2000:0x11 text \"2028-07-01\"\n"
    "0x2000:0x06 float 230.0 readonly\n";
const std::string kVendor("Zq Power Systems", 17);

Profile testProfile() {
  Profile p;
  std::string error;
  EXPECT_TRUE(parseProfile(kProfile, "test", &p, &error)) << error;
  return p;
}

// The simulator on "/tmp/UPS0" in a thread of this test.
class Sim {
 public:
  explicit Sim(const std::vector<std::string>& faults = {}, ServerOptions options = {})
      : store_(testProfile()), server_(store_, options, log_) {
    for (const std::string& rule : faults) {
      FaultDef def;
      std::string why;
      EXPECT_TRUE(parseFaultRule(rule, &def, &why)) << why;
      store_.overrideFault(def);
    }
  }
  ~Sim() { stopAndLog(); }
  bool start(std::string* why) {
    *why = claim_.why();
    if (!claim_.ok() || !server_.listen(why)) return false;
    thread_ = std::thread([this] { server_.run(&error_); });
    return true;
  }
  std::string stopAndLog() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
    return log_.str();
  }
  // What run() failed with, once stopped; empty after a clean stop.
  const std::string& runError() const { return error_; }

 private:
  upstest::PathClaim claim_;  // first in, last out
  Store store_;
  std::ostringstream log_;
  Server server_;
  std::thread thread_;
  std::string error_;
};

#define SIM_OR_SKIP(sim)                           \
  do {                                             \
    std::string why_;                              \
    if (!(sim).start(&why_)) GTEST_SKIP() << why_; \
  } while (0)

int connectRaw() {
  const int fd = upstest::connectToService();
  EXPECT_GE(fd, 0);
  return fd;
}

// The service closed `fd` without a byte; a close that leaves part of our
// request unread arrives as a reset.
bool closedByService(int fd) {
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

uint32_t readText(uint32_t offset, std::string* text) {
  char buffer[512] = {};
  uint32_t count = 0;
  const uint32_t rc = UPSRead(0x2000, offset, sizeof buffer, buffer, &count);
  text->assign(buffer, count);
  return rc;
}

bool lineVoltageReads() {
  float value = 0;
  return UPSRead(0x2000, 0x06, sizeof value, &value, nullptr) == UPS_OK && value == 230.0f;
}

}  // namespace

TEST(LibraryCalls, ReadsWritesAndCombinedCallsServeTheProfile) {
  Sim sim;
  SIM_OR_SKIP(sim);
  std::string text;
  EXPECT_EQ(readText(0x01, &text), UPS_OK);
  EXPECT_EQ(text, kVendor);
  EXPECT_TRUE(lineVoltageReads());

  const char date[] = "2031-01-31";
  EXPECT_EQ(UPSWrite(0x2000, 0x11, sizeof date, date, nullptr), UPS_OK);
  EXPECT_EQ(readText(0x11, &text), UPS_OK);
  EXPECT_EQ(text, std::string(date, sizeof date));
  const char next[] = "2035-05-05";
  char back[16] = {};
  uint32_t count = 0;
  EXPECT_EQ(UPSReadWrite(0x2000, 0x11, sizeof back, back, sizeof next, next, &count), UPS_OK);
  EXPECT_EQ(std::string(back, count), std::string(next, sizeof next));
}

TEST(LibraryCalls, ReadOnlyAndUnknownPointsGiveTheSimulatorsStatus) {
  Sim sim;
  SIM_OR_SKIP(sim);
  const char other[] = "Other";
  std::string text;
  EXPECT_EQ(UPSWrite(0x2000, 0x01, sizeof other, other, nullptr), kStatusReadOnly);
  EXPECT_EQ(readText(0x01, &text), UPS_OK);
  EXPECT_EQ(text, kVendor) << "not overwritten";
  EXPECT_EQ(UPSWrite(0x2000, 0x77, sizeof other, other, nullptr), kStatusUnknownOffset);
  EXPECT_EQ(readText(0x77, &text), kStatusUnknownOffset);
  EXPECT_EQ(text, "");
  char data[4];
  EXPECT_EQ(UPSRead(0x3000, 0x01, sizeof data, data, nullptr), kStatusUnknownIndex);
}

TEST(LibraryCalls, EachFaultGivesTheResultTheLibraryPromises) {
  const struct {
    const char* fault;
    uint32_t result;
  } cases[] = {
      {"status:0xECA60102", UPSERR_DATA_WITH_STATUS},
      {"status:0x5A5A0001", 0x5A5A0001u},
      {"status:0xFFFFFFFF", UPS_STATUS_PRESET},
      {"close", UPSERR_SYSTEM_BASE | EBADMSG},
      {"partial", UPSERR_SYSTEM_BASE | ECONNRESET},
      {"partial:0", UPSERR_SYSTEM_BASE | ECONNRESET},
      {"overlong", UPSERR_SYSTEM_BASE | EMSGSIZE},
      {"bytewise:1ms", UPS_OK},
      {"delay:300ms", UPS_OK},
  };
  for (const auto& c : cases) {
    Sim sim({std::string("0x2000:0x01=") + c.fault});
    SIM_OR_SKIP(sim);
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    EXPECT_EQ(readText(0x01, &text), c.result) << c.fault;
    const bool delivers = c.result == UPS_OK || c.result == UPSERR_DATA_WITH_STATUS;
    EXPECT_EQ(text, delivers ? kVendor : "") << c.fault;
    if (std::strcmp(c.fault, "delay:300ms") == 0) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(lineVoltageReads()) << "other points unaffected by " << c.fault;
  }
}

TEST(LibraryCalls, HangRunsIntoTheLibrarysTimeLimitWhileOthersAreServed) {
  Sim sim({"0x2000:0x01=hang"});
  SIM_OR_SKIP(sim);
  std::atomic<uint32_t> hung{0};
  std::thread waiter([&] {
    std::string text;
    hung = readText(0x01, &text);
  });
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(lineVoltageReads());
  waiter.join();
  EXPECT_EQ(hung.load(), UPSERR_SYSTEM_BASE | ETIMEDOUT);
}

TEST(Robustness, SilentAndSlowClientsHoldUpNoOne) {
  Sim sim;
  SIM_OR_SKIP(sim);
  std::vector<int> idle;
  for (int i = 0; i < 50; ++i) idle.push_back(connectRaw());
  const uint32_t head[] = {540, 12};  // an envelope that never comes in full
  ASSERT_EQ(::send(idle[0], head, sizeof head, 0), ssize_t(sizeof head));

  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t)
    clients.emplace_back([&] {
      for (int i = 0; i < 100; ++i) failures += lineVoltageReads() ? 0 : 1;
    });
  for (auto& c : clients) c.join();
  EXPECT_EQ(failures.load(), 0);
  for (int fd : idle) ::close(fd);
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
    ::send(fd, words.data(), words.size() * 4, MSG_NOSIGNAL);
    EXPECT_TRUE(closedByService(fd)) << words[0];
    ::close(fd);
  }
  EXPECT_TRUE(lineVoltageReads()) << "still serving";
  const std::string log = sim.stopAndLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_NE(log.find("4294967295"), std::string::npos) << log;
}

TEST(Robustness, AConnectionThatSendsNothingIsDroppedAfterTheIdleLimit) {
  ServerOptions options;
  options.idleLimitMillis = 200;
  Sim sim({}, options);
  SIM_OR_SKIP(sim);
  const int fd = connectRaw();
  EXPECT_TRUE(closedByService(fd));
  ::close(fd);
  EXPECT_NE(sim.stopAndLog().find("no request within 200 ms"), std::string::npos);
}

// An idle service waits for its next client in accept(); stop() ends that
// wait soon, and the loop reports no failure.
TEST(Robustness, StopEndsAnIdleServicePromptly) {
  Sim sim;
  SIM_OR_SKIP(sim);
  EXPECT_TRUE(lineVoltageReads());
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a few waits run out meanwhile
  const auto start = std::chrono::steady_clock::now();
  sim.stopAndLog();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(sim.runError(), "");
}

// With a connection open the service waits in poll(); a client accepted
// there before its request arrives is answered as soon as it writes, and
// not only once the listener's wait for yet another client runs out.
TEST(Robustness, AClientThatWritesAfterBeingAcceptedIsAnsweredAtOnce) {
  using Clock = std::chrono::steady_clock;
  Sim sim;
  SIM_OR_SKIP(sim);
  const int silent = connectRaw();
  const uint32_t request[] = {32, 12, 12, 0x2000, 0x06, 0xFFFFFFFF, 4, 0};  // the line voltage
  Clock::duration fastest = std::chrono::hours(1);
  for (int round = 0; round < 5; ++round) {
    const int fd = connectRaw();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // accepted by now
    const auto start = Clock::now();
    ASSERT_EQ(::send(fd, request, sizeof request, MSG_NOSIGNAL), ssize_t(sizeof request));
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    uint32_t length = 0;
    EXPECT_EQ(::recv(fd, &length, sizeof length, MSG_WAITALL), ssize_t(sizeof length));
    EXPECT_EQ(length, 20u);
    fastest = std::min(fastest, Clock::now() - start);
    ::close(fd);
  }
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(fastest).count(), 100);
  ::close(silent);
}
