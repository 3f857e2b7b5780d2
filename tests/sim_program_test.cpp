// The built simulator as a program: ZqUpsTest's report against it, a
// fault on a row, and its lifecycle (ready line, signals, a live service
// or a stale socket or a stranger's file on its path, bad input).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "FakeUpsService.h"
#include "RunProgram.h"
#include "ZqUpsApi.h"

extern char** environ;

using upstest::runProgram;

namespace {

const char kSim[] = ZQUPSSIM_PATH;
const char kTool[] = ZQUPSTEST_PATH;
const char kProfiles[] = ZQUPSSIM_PROFILES;
// Generous: under valgrind the simulator takes seconds to start.
const int kReadySeconds = 60;

const char kReport[] =
    "Vendor: Zq Power Systems\n"
    "Model: ZQ-R3000 RM 2U\n"
    "Serial number: ZQR3-2407-004211\n"
    "Firmware version: 4.12.7 (2024-05-02)\n"
    "Battery serial string: BP-ZQR3-1187-22\n"
    "Manufacturing date: 2024-07-15\n"
    "Device capabilities: online double conversion, 3000 VA / 2700 W, 8 outlets, USB, RS-232, "
    "network slot\n"
    "Copyright: (C) 2024 Zq Power Systems. All rights reserved.\n"
    "Battery replace date: 2028-07-01\n"
    "Input line voltage: 230.00 V\n"
    "Battery temperature: 27.5 \xC2\xB0"
    "C\n"
    "Battery hardware version: 1.2.3\n"
    "Battery load level: 38.5 %\n"
    "Estimated runtime: 42 Minutes\n"
    "Internal temperature: 31.0 \xC2\xB0"
    "C\n"
    "Charging current: 0.45 A\n"
    "Discharging current: 0.00 A\n"
    "Battery rated capacity: 9000 mAh\n";

// The report up to, not including, the line that begins with `label`.
std::string reportBefore(const std::string& label) {
  const std::string report = kReport;
  return report.substr(0, report.find("\n" + label) + 1);
}

std::string hex(uint32_t value) {
  std::ostringstream out;
  out << std::hex << std::showbase << value;
  return out.str();
}

std::string privatePath(const char* tag) {
  return "/tmp/zqsim-" + std::to_string(::getpid()) + "-" + tag + ".sock";
}

bool isSocket(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// ZqUpsSim running in the background for one test.
class SimProcess {
 public:
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (!errPath_.empty()) ::unlink(errPath_.c_str());
  }

  // Starts it and waits for its ready line; false, with the reason, when
  // it ends first or stays silent.
  bool start(const std::vector<std::string>& args, std::string* why) {
    int fds[2];
    char errTemplate[] = "/tmp/zqsim-stderr-XXXXXX";
    const int errFd = ::mkstemp(errTemplate);
    if (errFd < 0 || ::pipe(fds) != 0) return fail(why, "no pipe or temporary file");
    errPath_ = errTemplate;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> all = {"ZqUpsSim"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, kSim, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    ::close(errFd);
    out_ = fds[0];
    if (rc != 0) {
      pid_ = -1;
      return fail(why, std::string("posix_spawn: ") + std::strerror(rc));
    }
    return awaitReady(why);
  }

  const std::string& readyLine() const { return ready_; }

  // Sends `sig`; the exit status, or -1 when it did not exit normally.
  int stop(int sig = SIGTERM) {
    ::kill(pid_, sig);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string errors() const {
    std::ifstream in(errPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  bool fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
  }

  bool awaitReady(std::string* why) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadySeconds);
    while (ready_.empty() || ready_.back() != '\n') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        return fail(why, "no ready line; stderr: " + errors());
      char c;
      if (::read(out_, &c, 1) != 1) return fail(why, "ended before it was ready: " + errors());
      ready_.push_back(c);
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string errPath_;
  std::string ready_;
};

#define SIM_OR_FAIL(sim, ...)                               \
  do {                                                      \
    std::string why_;                                       \
    ASSERT_TRUE((sim).start({__VA_ARGS__}, &why_)) << why_; \
  } while (0)

upstest::ProgramRun runTool(std::vector<std::string> args = {}) {
  args.insert(args.begin(), "ZqUpsTest");
  upstest::ProgramOptions options;
  options.timeoutSeconds = 600;
  return runProgram(kTool, args, options);
}

}  // namespace

TEST(Report, DefaultProfilePrintsTheFullReport) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim;
  SIM_OR_FAIL(sim);
  const upstest::ProgramRun run = runTool();
  EXPECT_EQ(run.out, std::string(kReport) + "ZqUpsTest: OK\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_FALSE(exists(upstest::kServicePath)) << "the simulator removes its socket";
  EXPECT_EQ(sim.errors(), "");
}

TEST(Report, AFaultOnARowGivesItsFailureLineAndStatus1) {
  const struct {
    const char* fault;
    const char* label;
    uint32_t error;
  } cases[] = {
      {"0x2000:0x35=status:0xECA60102", "Battery temperature", UPSERR_DATA_WITH_STATUS},
      {"0x2000:0x1b=overlong", "Internal temperature", UPSERR_SYSTEM_BASE | EMSGSIZE},
      {"0x2000:0x1=partial", "Vendor", UPSERR_SYSTEM_BASE | ECONNRESET},
      {"0x2000:0x32=status:0x5A000001", "Battery rated capacity", 0x5A000001},
  };
  for (const auto& c : cases) {
    upstest::PathClaim claim;
    CLAIM_OR_SKIP(claim);
    SimProcess sim;
    SIM_OR_FAIL(sim, "--fault", c.fault);
    const std::string offset = std::strchr(c.fault, ':') + 1;
    const upstest::ProgramRun run = runTool();
    EXPECT_EQ(run.out, reportBefore(c.label) + "UPSRead failed: Idx:0x2000 Offset:" +
                           hex(std::strtoul(offset.c_str(), nullptr, 16)) +
                           " Error:" + hex(c.error) + "\n")
        << c.fault;
    EXPECT_EQ(run.exitStatus, 1) << c.fault;
    EXPECT_EQ(sim.stop(), 0);
  }
}

TEST(Report, TheFaultyProfileFailsOnTheBatteryTemperature) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim;
  SIM_OR_FAIL(sim, "--profile", std::string(kProfiles) + "/faulty.profile");
  const upstest::ProgramRun run = runTool();
  EXPECT_NE(run.out.find("\nUPSRead failed: Idx:0x2000 Offset:0x35 Error:0xeca60102\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(sim.stop(), 0);
}

// Registered as its own CTest test (sim_stress_test), which sets the variable.
TEST(Stress, TenThousandReports) {
  if (std::getenv("ZQUPSSIM_STRESS") == nullptr) GTEST_SKIP() << "run as sim_stress_test";
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim;
  SIM_OR_FAIL(sim);
  const upstest::ProgramRun run = runTool({"-s"});
  EXPECT_EQ(run.exitStatus, 0) << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
  const std::string one = std::string(kReport) + "ZqUpsTest: OK\n";
  EXPECT_EQ(run.out.size(), one.size() * 10000);
  EXPECT_EQ(run.out.substr(run.out.size() - one.size()), one);
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Lifecycle, ReadyLineThenACleanExitOnSigtermAndSigint) {
  for (int sig : {SIGTERM, SIGINT}) {
    const std::string path = privatePath("signal");
    SimProcess sim;
    SIM_OR_FAIL(sim, "--socket", path);
    EXPECT_EQ(sim.readyLine(), "ZqUpsSim: listening on " + path + "\n");
    EXPECT_TRUE(isSocket(path));
    EXPECT_EQ(sim.stop(sig), 0) << strsignal(sig);
    EXPECT_FALSE(exists(path)) << strsignal(sig);
  }
}

TEST(Lifecycle, RefusesToStartOverALiveServiceAndLeavesItServing) {
  const std::string path = privatePath("live");
  SimProcess first;
  SIM_OR_FAIL(first, "--socket", path);
  const upstest::ProgramRun second = runProgram(kSim, {"ZqUpsSim", "--socket", path});
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(second.err, "ZqUpsSim: a service already listens on " + path + "\n");
  EXPECT_EQ(second.out, "");
  EXPECT_TRUE(isSocket(path)) << "the live service's socket stays";
  EXPECT_EQ(first.stop(), 0);
}

TEST(Lifecycle, ReplacesAStaleSocketButNeverAStrangersFile) {
  const std::string path = privatePath("stale");
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);  // a socket file nobody listens on
  {
    SimProcess sim;
    SIM_OR_FAIL(sim, "--socket", path);
    EXPECT_EQ(sim.stop(), 0);
  }
  std::ofstream(path) << "precious\n";
  const upstest::ProgramRun run = runProgram(kSim, {"ZqUpsSim", "--socket", path});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("exists and is not a socket"), std::string::npos) << run.err;
  std::ifstream in(path);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "precious");
  ::unlink(path.c_str());
}

TEST(Lifecycle, BadCommandLinesAndProfilesExitWith2AndSayWhere) {
  const std::string profile = privatePath("bad") + ".profile";
  std::ofstream(profile) << "# fine\n0x2000:1 text \"ok\"\n0x2000:2 float warm\n";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--profile", profile}, profile + ":3: 'warm' is not a valid float value"},
      {{"--profile", "/nonexistent/x.profile"}, "cannot read /nonexistent/x.profile"},
      {{"--fault", "0x2000:1=sometimes"}, "--fault: unknown fault 'sometimes'"},
      {{"--socket"}, "--socket needs a value"},
      {{"--frobnicate"}, "unknown argument '--frobnicate'"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"ZqUpsSim"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const upstest::ProgramRun run = runProgram(kSim, args);
    EXPECT_EQ(run.exitStatus, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  ::unlink(profile.c_str());
}
