// The library's own calls against the simulator, run in this process on
// "/tmp/UPS0": reads, writes, read-only and unknown points, each fault
// with the result the library promises for it, and a service that keeps
// serving while other clients stall, dawdle or send garbage (and, run
// apart, gives back the memory they cost).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "FakeUpsService.h"
#include "Log.h"
#include "Server.h"
#include "SimProcess.h"
#include "ZqUpsApi.h"
#include "ZqUpsWire.h"

using namespace zqsim;
using upstest::readRequest;
using upstest::underValgrind;
using upstest::writeRequest;

namespace {

const char kProfile[] =
    "0x2000:0x01 text \"Zq Power Systems\" readonly\n"
    "0x2000:0x11 text \"2028-07-01\"\n"
    "0x2000:0x06 float 230.0 readonly\n"
    "0x2000:0x1a int 42\n"
    "at 300ms\n"
    "0x2000:0x1a int 12\n";
const std::string kVendor("Zq Power Systems", 17);

Profile testProfile() {
  Profile p;
  std::string error;
  EXPECT_TRUE(parseProfile(kProfile, "test", &p, &error)) << error;
  return p;
}

// The simulator in a thread of this test, on "/tmp/UPS0" or on the path
// that `options` name; `log` instead of its own when given.
class Sim {
 public:
  explicit Sim(const std::vector<std::string>& faults = {}, ServerOptions options = {},
               std::ostream* log = nullptr)
      : claim_(options.socketPath == upstest::kServicePath ? new upstest::PathClaim : nullptr),
        store_(testProfile()),
        server_(store_, options, log != nullptr ? *log : log_) {
    for (const std::string& rule : faults) {
      FaultDef def;
      std::string why;
      EXPECT_TRUE(parseFaultRule(rule, &def, &why)) << why;
      store_.overrideFault(def);
    }
  }
  ~Sim() { stopAndLog(); }
  // The claim on "/tmp/UPS0", when it serves there.
  const upstest::PathClaim* claim() const { return claim_.get(); }
  bool start(std::string* why) {
    if (claim_ && !claim_->ok()) {
      *why = claim_->why();
      return false;
    }
    if (!server_.listen(why)) return false;
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
  std::unique_ptr<upstest::PathClaim> claim_;  // first in, last out
  Store store_;
  std::ostringstream log_;
  Server server_;
  std::thread thread_;
  std::string error_;
};

// A path that is not ours to claim is the claim's to report; any other
// failure to start is the test's.
#define SIM_OR_SKIP(sim)                                          \
  do {                                                            \
    if (const upstest::PathClaim* claim_ = (sim).claim()) {       \
      CLAIM_OR_SKIP(*claim_);                                     \
    }                                                             \
    std::string why_;                                             \
    ASSERT_TRUE((sim).start(&why_)) << why_;                      \
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

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A folder of the test's own, for a socket path no other test uses.
class PrivateFolder {
 public:
  PrivateFolder() {
    char name[] = "/tmp/zqsim-XXXXXX";
    if (::mkdtemp(name) != nullptr) path_ = name;
  }
  ~PrivateFolder() {
    for (const std::string& entry : entries()) ::unlink((path_ + "/" + entry).c_str());
    ::rmdir(path_.c_str());
  }
  std::string socketPath() const { return path_ + "/ups"; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path_.c_str())) {
      while (const dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
          names.push_back(entry->d_name);
      ::closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

ServerOptions privately(const PrivateFolder& folder) {
  ServerOptions options;
  options.socketPath = folder.socketPath();
  return options;
}

bool connectSocket(int fd, const std::string& path) {
  sockaddr_un address;
  return zqwire::unixAddress(path.c_str(), &address) &&
         ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_TRUE(fd >= 0 && connectSocket(fd, path)) << std::strerror(errno);
  return fd;
}

bool sendAll(int fd, const upstest::Bytes& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = zqwire::sendNoSignal(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

struct Received {
  size_t bytes = 0;
  bool closed = false;  // ended by the service's close rather than by the time limit
};

// Reads until the service closes the connection or `millis` pass.
Received receiveAll(int fd, long millis = 5000) {
  timeval limit{millis / 1000, (millis % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  Received r;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      r.closed = n == 0 || errno == ECONNRESET;
      return r;
    }
    r.bytes += size_t(n);
  }
}

// One exchange on `path`: the reply's size, or 0.
size_t exchangeOn(const std::string& path, const upstest::Bytes& envelope, long millis = 5000) {
  const int fd = connectTo(path);
  const Received r = sendAll(fd, envelope) ? receiveAll(fd, millis) : Received();
  ::close(fd);
  return r.closed ? r.bytes : 0;
}

// The service has closed `fd` already; never waits.
bool hungUp(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

long cpuMillis() {
  rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

const size_t kVoltageReply = 4 + 16 + 4;

// Sanitizers' allocators hold freed memory back on purpose.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

// The resident memory of `pid` in KiB, where /proc tells it; -1 elsewhere.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// `pid`'s resident memory once it is at most `kib`, or when `millis` have
// passed.
long residentKiBDownTo(pid_t pid, long kib, long millis) {
  const auto until = Clock::now() + milliseconds(millis);
  long now = residentKiB(pid);
  while (now > kib && Clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(20));
    now = residentKiB(pid);
  }
  return now;
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

// The running service moves through its profile's steps as time passes.
TEST(LibraryCalls, TheProfilesStepsTakeEffectWhileItRuns) {
  const auto before = Clock::now();
  Sim sim;
  SIM_OR_SKIP(sim);
  const auto started = Clock::now();
  int32_t runtime = 0;
  EXPECT_EQ(UPSRead(0x2000, 0x1a, sizeof runtime, &runtime, nullptr), UPS_OK);
  if (Clock::now() - before < milliseconds(300)) {
    EXPECT_EQ(runtime, 42);
  }
  std::this_thread::sleep_until(started + milliseconds(350));
  EXPECT_EQ(UPSRead(0x2000, 0x1a, sizeof runtime, &runtime, nullptr), UPS_OK);
  EXPECT_EQ(runtime, 12) << "the step at 300 ms";
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

// What the library makes of a service that never answers is the exchange
// tests' one long wait; here: no answer, and nobody else held up.
TEST(LibraryCalls, HangAnswersNothingWhileOthersAreServed) {
  Sim sim({"0x2000:0x01=hang"});
  SIM_OR_SKIP(sim);
  std::atomic<size_t> hungReply{1};
  std::thread waiter([&] {
    hungReply = exchangeOn(upstest::kServicePath, readRequest(0x01, 512), 1000);
  });
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(lineVoltageReads());
  waiter.join();
  EXPECT_EQ(hungReply.load(), 0u) << "a hung point answered";
}

// A flood of connections that send nothing, a cut length, a header that
// promises a MiB and stops, or an envelope refused at once: well-formed
// clients beside them are answered, promptly, and the service lives on.
TEST(Robustness, AFloodOfBadConnectionsHoldsUpNoOne) {
  Sim sim;
  SIM_OR_SKIP(sim);
  const std::vector<upstest::Bytes> openings = {
      {},
      {0x20},
      upstest::words({1 << 20, 12, 12}),
      upstest::words({540, 12}),
      upstest::words({0xFFFFFFFF, 12, 12}),
      upstest::words({4, 12, 12}),
      upstest::words({40, 16, 20}),
      upstest::words({40, 12, 99}),
  };
  std::vector<int> flood;
  for (int i = 0; i < 96; ++i) {
    flood.push_back(connectRaw());
    sendAll(flood.back(), openings[size_t(i) % openings.size()]);
  }
  std::atomic<int> failures{0};
  std::atomic<long> slowestMillis{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t)
    clients.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        const auto start = Clock::now();
        failures += lineVoltageReads() ? 0 : 1;
        const long took =
            long(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
        if (took > slowestMillis) slowestMillis = took;
      }
    });
  for (auto& c : clients) c.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LT(slowestMillis.load(), 5000) << "a well-formed client waited on the flood";
  for (int fd : flood) ::close(fd);
  EXPECT_TRUE(lineVoltageReads()) << "the service survived the flood";
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
    zqwire::sendNoSignal(fd, words.data(), words.size() * 4);
    EXPECT_TRUE(closedByService(fd)) << words[0];
    ::close(fd);
  }
  EXPECT_TRUE(lineVoltageReads()) << "still serving";
  const std::string log = sim.stopAndLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_NE(log.find("4294967295"), std::string::npos) << log;
}

TEST(Robustness, AWholeRequestHasOneTimeLimitHoweverSlowlyItComes) {
  PrivateFolder folder;
  ServerOptions options = privately(folder);
  options.requestLimitMillis = 300;
  Sim sim({}, options);
  SIM_OR_SKIP(sim);
  const int silent = connectTo(options.socketPath), trickler = connectTo(options.socketPath);
  const upstest::Bytes request = readRequest(0x06, 4);
  const auto start = Clock::now();
  bool closed = false;
  for (size_t i = 0; i + 1 < request.size() && !closed; ++i) {  // a byte every 100 ms
    closed = zqwire::sendNoSignal(trickler, &request[i], 1) != 1 || hungUp(trickler);
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_TRUE(closedByService(silent));
  ::close(silent);
  ::close(trickler);
  EXPECT_EQ(countOf(sim.stopAndLog(), "no whole request within 300 ms"), 2u);
}

TEST(Robustness, AReplyThatIsNotTakenIsDroppedAtItsLimit) {
  PrivateFolder folder;
  ServerOptions options = privately(folder);
  options.replyLimitMillis = 200;
  Sim sim({}, options);
  SIM_OR_SKIP(sim);
  const uint32_t size = 512 * 1024;  // far more than the socket holds
  ASSERT_EQ(exchangeOn(options.socketPath, writeRequest(0x11, upstest::Bytes(size, 'x'))), 20u);
  const int reader = connectTo(options.socketPath);
  ASSERT_TRUE(sendAll(reader, readRequest(0x11, size)));
  std::this_thread::sleep_for(milliseconds(800));  // not reading meanwhile
  const Received r = receiveAll(reader);
  EXPECT_TRUE(r.closed);
  EXPECT_LT(r.bytes, 4 + 16 + size) << "dropped before the whole reply went out";
  ::close(reader);
  EXPECT_EQ(countOf(sim.stopAndLog(), "reply not taken within its limit"), 1u);
}

// A client gone during a delay is seen as gone; a bytewise reply to a
// client that reads nothing waits for room rather than trying again and
// again.  Both cost next to no processor time.
TEST(Robustness, AClientThatLeavesOrStopsReadingCostsNoProcessorTime) {
  PrivateFolder folder;
  const ServerOptions options = privately(folder);
  Sim sim({"0x2000:0x06=delay:5s", "0x2000:0x11=bytewise:0ms"}, options);
  SIM_OR_SKIP(sim);
  const uint32_t size = 64 * 1024;
  ASSERT_EQ(exchangeOn(options.socketPath, writeRequest(0x11, upstest::Bytes(size, 'x'))), 20u);
  const int leaver = connectTo(options.socketPath), reader = connectTo(options.socketPath);
  ASSERT_TRUE(sendAll(leaver, readRequest(0x06, 4)));
  ASSERT_TRUE(sendAll(reader, readRequest(0x11, size)));
  ::close(leaver);
  std::this_thread::sleep_for(milliseconds(100));
  const long before = cpuMillis();
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_LT(cpuMillis() - before, 150);
  EXPECT_EQ(exchangeOn(options.socketPath, readRequest(0x01, 32)), 4u + 16u + 17u);
  ::close(reader);
}

// Idle connections cannot shut a client out: at the cap the one that has
// made no progress for longest gives way, with one line, even when an
// older one is there that has moved on since.
TEST(Robustness, AtTheCapTheStalestConnectionMakesRoom) {
  PrivateFolder folder;
  ServerOptions options = privately(folder);
  options.maxConnections = 8;
  Sim sim({"0x2000:0x01=bytewise:10s"}, options);
  SIM_OR_SKIP(sim);
  const std::string& path = options.socketPath;
  const int oldest = connectTo(path);
  std::vector<int> idle;
  for (int i = 0; i < 6; ++i) idle.push_back(connectTo(path));
  // The idle ones send nothing: their last progress is their acceptance.
  // Connections are accepted in order, so once this exchange is answered
  // all six are in, and whatever the oldest does next is later than that.
  ASSERT_EQ(exchangeOn(path, readRequest(0x06, 4)), kVoltageReply);
  ASSERT_TRUE(sendAll(oldest, readRequest(0x01, 32)));
  timeval limit{5, 0};
  ::setsockopt(oldest, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char firstByte;
  ASSERT_EQ(::recv(oldest, &firstByte, 1, 0), 1) << "the first byte of its reply";
  idle.push_back(connectTo(path));  // the eighth
  // Silent until there is room, so that it is sure to hold a place of its
  // own rather than being served whole as it is accepted.
  const int newcomer = connectTo(path);
  EXPECT_TRUE(closedByService(idle[0])) << "the stalest went";
  const auto start = Clock::now();
  ASSERT_TRUE(sendAll(newcomer, readRequest(0x06, 4)));
  const Received reply = receiveAll(newcomer, 1000);
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.bytes, kVoltageReply);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_FALSE(hungUp(oldest)) << "older, but it moved on since";
  for (size_t i = 1; i < idle.size(); ++i) EXPECT_FALSE(hungUp(idle[i])) << i;
  for (int fd : idle) ::close(fd);
  ::close(oldest);
  ::close(newcomer);
  const std::string log = sim.stopAndLog();
  EXPECT_EQ(countOf(log, "dropped to make room"), 1u) << log;
}

TEST(Robustness, MemoryHeldForClientsHasACap) {
  PrivateFolder folder;
  ServerOptions options = privately(folder);
  options.memoryCap = 100 * 1024;
  Sim sim({}, options);
  SIM_OR_SKIP(sim);
  const upstest::Bytes big = readRequest(0x01, 200 * 1024);
  const int first = connectTo(options.socketPath), second = connectTo(options.socketPath);
  ASSERT_TRUE(sendAll(first, upstest::Bytes(big.begin(), big.begin() + 60 * 1024)));
  std::this_thread::sleep_for(milliseconds(100));
  zqwire::sendNoSignal(second, big.data(), 60 * 1024);
  EXPECT_TRUE(closedByService(second)) << "the one that asked for more";
  EXPECT_FALSE(hungUp(first));
  ::close(first);
  ::close(second);
  EXPECT_EQ(exchangeOn(options.socketPath, readRequest(0x06, 4)), kVoltageReply);
  EXPECT_EQ(countOf(sim.stopAndLog(), "memory for clients exhausted"), 1u);
}

// Clients that ask for large replies and go without reading them leave
// the service's resident memory where it was before they came.
TEST(Robustness, TheMemoryOfDroppedClientsIsGivenBack) {
  if (underValgrind() || kSanitized)
    GTEST_SKIP() << "resident memory says nothing under an instrumented allocator";
  PrivateFolder folder;
  const std::string path = folder.socketPath();
  upstest::SimProcess sim(ZQUPSSIM_PATH);
  ASSERT_TRUE(sim.start({"--socket", path})) << sim.why();
  if (residentKiB(sim.pid()) < 0) GTEST_SKIP() << "no /proc to read resident memory from";
  const uint32_t size = 1000 * 1000;  // a reply just under the envelope's cap
  ASSERT_EQ(exchangeOn(path, writeRequest(0x11, upstest::Bytes(size, 'x'))), 20u);
  const long baseline = residentKiB(sim.pid());
  // One after another, each takes the length word of its reply, so that
  // the reply is made, and leaves the rest unread.
  std::vector<int> readers;
  for (int i = 0; i < 32; ++i) {
    const int fd = connectTo(path);
    readers.push_back(fd);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ASSERT_TRUE(sendAll(fd, readRequest(0x11, size)));
    uint32_t length = 0;
    ASSERT_EQ(::recv(fd, &length, sizeof length, MSG_WAITALL), ssize_t(sizeof length)) << i;
  }
  const long peak = residentKiB(sim.pid());
  ASSERT_GE(peak, baseline + 24 * 1024) << "the 30 MiB of replies are not all held";
  for (int fd : readers) ::close(fd);
  const long slack = 4 * 1024;
  const long after = residentKiBDownTo(sim.pid(), baseline + slack, 3000);
  EXPECT_LE(after, baseline + slack) << "KiB resident: " << baseline << " before, " << peak
                                     << " with the clients, " << after << " after";
  EXPECT_EQ(exchangeOn(path, readRequest(0x06, 4)), kVoltageReply) << "still serving";
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Robustness, LoggingNeverBlocksTheService) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  LineLog buffer(out[1]);
  std::ostream log(&buffer);
  PrivateFolder folder;
  const ServerOptions options = privately(folder);
  Sim sim({}, options, &log);
  SIM_OR_SKIP(sim);
  const uint32_t refused[] = {0xFFFFFFFF, 12, 12};
  auto refuse = [&] {
    const int fd = connectTo(options.socketPath);
    zqwire::sendNoSignal(fd, refused, sizeof refused);
    const bool closed = closedByService(fd);
    ::close(fd);
    return closed;
  };
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(refuse()) << i;  // a line each; nobody reads
  EXPECT_EQ(exchangeOn(options.socketPath, readRequest(0x06, 4)), kVoltageReply);
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  char text[65536];
  while (::read(out[0], text, sizeof text) > 0) {
  }
  ASSERT_TRUE(refuse());
  const ssize_t n = ::read(out[0], text, sizeof text);
  const std::string after(text, size_t(std::max<ssize_t>(n, 0)));
  EXPECT_NE(after.find(" log line(s) dropped"), std::string::npos) << after;
  EXPECT_NE(after.find("4294967295"), std::string::npos) << after;
  sim.stopAndLog();
  ::close(out[0]);
  ::close(out[1]);
}

// With no descriptor to spare, accept() fails for as long as that lasts:
// one line when it starts and one when it ends, not one a round.
TEST(Robustness, RunningOutOfDescriptorsIsLoggedWhenItStartsAndEnds) {
  if (underValgrind())
    GTEST_SKIP() << "valgrind keeps a descriptor limit of its own and closes what is past it";
  PrivateFolder folder;
  const ServerOptions options = privately(folder);
  Sim sim({}, options);
  SIM_OR_SKIP(sim);
  int clients[3];
  for (int& fd : clients) fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit none = saved;
  none.rlim_cur = rlim_t(lowestFree);  // no descriptor left for anyone in this process
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  bool connected = true;
  for (int fd : clients) connected = connectSocket(fd, options.socketPath) && connected;
  std::this_thread::sleep_for(milliseconds(600));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected);
  for (int fd : clients) {
    EXPECT_TRUE(sendAll(fd, readRequest(0x06, 4)));
    EXPECT_EQ(receiveAll(fd).bytes, kVoltageReply) << "served once descriptors are back";
    ::close(fd);
  }
  const std::string log = sim.stopAndLog();
  EXPECT_EQ(countOf(log, "cannot accept more connections"), 1u) << log;
  EXPECT_EQ(countOf(log, "accepting connections again"), 1u) << log;
}

// The path is probed without waiting: a service whose queue is full (or
// that is stopped) is live, not a reason to hang.
TEST(Robustness, AFullQueueOnThePathCountsAsLiveAndHoldsNothingUp) {
  PrivateFolder folder;
  const ServerOptions options = privately(folder);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_TRUE(listener >= 0);
  sockaddr_un address;
  ASSERT_TRUE(zqwire::unixAddress(options.socketPath.c_str(), &address));
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> queued;
  bool full = false;
  while (!full && queued.size() < 64) {
    queued.push_back(::socket(AF_UNIX, SOCK_STREAM, 0));
    ::fcntl(queued.back(), F_SETFL, O_NONBLOCK);
    full = !connectSocket(queued.back(), options.socketPath) && errno == EAGAIN;
  }
  if (!full) GTEST_SKIP() << "this system queues without limit";
  Sim sim({}, options);
  std::atomic<bool> done{false};
  bool started = false;
  std::string why;
  std::thread starter([&] {
    started = sim.start(&why);
    done = true;
  });
  const auto start = Clock::now();
  while (!done && Clock::now() - start < std::chrono::seconds(3))
    std::this_thread::sleep_for(milliseconds(10));
  const bool inTime = done;
  ::close(listener);  // ends a wait in connect(), should there be one
  starter.join();
  EXPECT_TRUE(inTime);
  EXPECT_FALSE(started);
  EXPECT_EQ(why, "a service already listens on " + options.socketPath);
  for (int fd : queued) ::close(fd);
}

TEST(Robustness, TheSocketFileIsOpenToEveryoneUnlessToldOtherwise) {
  for (const mode_t mode : {mode_t(0666), mode_t(0640)}) {
    PrivateFolder folder;
    ServerOptions options = privately(folder);
    if (mode != 0666) options.socketMode = mode;
    const mode_t umask = ::umask(077);
    Sim sim({}, options);
    std::string why;
    const bool started = sim.start(&why);
    ::umask(umask);
    ASSERT_TRUE(started) << why;
    struct stat info;
    ASSERT_EQ(::stat(options.socketPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, mode);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"ups"}) << "nothing else left there";
  }
}

// stop() ends the wait of an idle service soon, and the loop reports no
// failure.
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
    ASSERT_EQ(zqwire::sendNoSignal(fd, request, sizeof request), ssize_t(sizeof request));
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
