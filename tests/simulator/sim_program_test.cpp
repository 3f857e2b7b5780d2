// The built simulator as a program: ZqUpsTest's report against it, a
// fault on a row, and its lifecycle (ready line, signals, a live service,
// a stale socket or a stranger's file on its path, bad input).
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "FakeUpsService.h"
#include "ReportRows.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "ZqUpsApi.h"
#include "ZqUpsWire.h"

using upstest::runProgram;

namespace {

const char kSim[] = ZQUPSSIM_PATH;
const char kTool[] = ZQUPSTEST_PATH;
const std::string kProfiles = ZQUPSSIM_PROFILES;

// The report up to the line that begins with `label`.
std::string reportBefore(const std::string& label) {
  int row = 0;
  while (row < upstest::kReportRowCount && upstest::kReportRows[row].label != label) ++row;
  return upstest::defaultReportLines(row);
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

upstest::ProgramRun runTool(const std::vector<std::string>& args = {}) {
  std::vector<std::string> argv = {"ZqUpsTest"};
  argv.insert(argv.end(), args.begin(), args.end());
  upstest::ProgramOptions options;
  options.timeoutSeconds = 600;
  return runProgram(kTool, argv, options);
}

}  // namespace

TEST(Report, DefaultProfilePrintsTheFullReport) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({})) << sim.why();
  const upstest::ProgramRun run = runTool();
  EXPECT_EQ(run.out, upstest::defaultReportLines() + "ZqUpsTest: OK\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_FALSE(isSocket(upstest::kServicePath)) << "the simulator removes its socket";
}

// Which result each fault gives is sim_service_test's; here, that a fault
// from the command line or from a profile reaches its row.
TEST(Report, AFaultOnARowGivesItsFailureLineAndStatus1) {
  const struct {
    std::vector<std::string> args;
    const char* label;
    const char* offset;
    uint32_t error;
  } cases[] = {
      {{"--fault", "0x2000:0x32=status:0x5A000001"}, "Battery rated capacity", "0x32", 0x5A000001},
      {{"--profile", kProfiles + "/faulty.profile"}, "Battery temperature", "0x35",
       UPSERR_DATA_WITH_STATUS},
  };
  for (const auto& c : cases) {
    upstest::PathClaim claim;
    CLAIM_OR_SKIP(claim);
    upstest::SimProcess sim(kSim);
    ASSERT_TRUE(sim.start(c.args)) << sim.why();
    const upstest::ProgramRun run = runTool();
    EXPECT_EQ(run.out, reportBefore(c.label) + "UPSRead failed: Idx:0x2000 Offset:" + c.offset +
                           " Error:" + hex(c.error) + "\n");
    EXPECT_EQ(run.exitStatus, 1) << c.args[1];
    EXPECT_EQ(sim.stop(), 0);
  }
}

// Run on its own as sim_stress_test; sim_program_test leaves it out.
TEST(Stress, TenThousandReports) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({})) << sim.why();
  const upstest::ProgramRun run = runTool({"-s"});
  const std::string one = upstest::defaultReportLines() + "ZqUpsTest: OK\n";
  EXPECT_EQ(run.exitStatus, 0) << run.out.substr(run.out.size() - std::min(run.out.size(), 500ul));
  EXPECT_EQ(run.out.size(), one.size() * 10000);
  EXPECT_EQ(run.out.substr(run.out.size() - one.size()), one);
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Lifecycle, ReadyLineThenACleanExitOnSigtermSigintAndSighup) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    const std::string path = privatePath("signal");
    upstest::SimProcess sim(kSim);
    ASSERT_TRUE(sim.start({"--socket", path, "--socket-mode", "0600"})) << sim.why();
    EXPECT_EQ(sim.readyLine(), "ZqUpsSim: listening on " + path + "\n");
    struct stat info;
    EXPECT_TRUE(::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
                (info.st_mode & 0777) == 0600);
    EXPECT_EQ(sim.stop(sig), 0) << strsignal(sig);
    EXPECT_FALSE(isSocket(path)) << strsignal(sig);
  }
}

// The connection cap follows the descriptor limit: idle connections beyond
// it cannot keep a client out.
TEST(Lifecycle, UnderALowDescriptorLimitIdleConnectionsShutNoClientOut) {
  const std::string path = privatePath("fds");
  upstest::SimProcess sim(kSim);
  sim.setDescriptorLimit(32);
  ASSERT_TRUE(sim.start({"--socket", path})) << sim.why();
  sockaddr_un address;
  ASSERT_TRUE(zqwire::unixAddress(path.c_str(), &address));
  auto connectOne = [&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  };
  std::vector<int> idle;
  for (int i = 0; i < 40; ++i) idle.push_back(connectOne());
  const uint32_t request[] = {32, 12, 12, 0x2000, 0x06, 0xFFFFFFFF, 4, 0};  // the line voltage
  const int fd = connectOne();
  ASSERT_EQ(zqwire::sendNoSignal(fd, request, sizeof request), ssize_t(sizeof request));
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 1000), 1) << "answered within a second";
  uint32_t length = 0;
  EXPECT_EQ(::recv(fd, &length, sizeof length, MSG_DONTWAIT), ssize_t(sizeof length));
  EXPECT_EQ(length, 20u);
  ::close(fd);
  for (int i : idle) ::close(i);
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Lifecycle, RefusesToStartOverALiveServiceAndLeavesItServing) {
  const std::string path = privatePath("live");
  upstest::SimProcess first(kSim);
  ASSERT_TRUE(first.start({"--socket", path})) << first.why();
  const upstest::ProgramRun second = runProgram(kSim, {"ZqUpsSim", "--socket", path});
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(second.err, "ZqUpsSim: a service already listens on " + path + "\n");
  EXPECT_EQ(second.out, "");
  EXPECT_TRUE(isSocket(path));
  EXPECT_EQ(first.stop(), 0);
}

TEST(Lifecycle, ReplacesAStaleSocketButNeverAStrangersFile) {
  const std::string path = privatePath("stale");
  sockaddr_un address;
  ASSERT_TRUE(zqwire::unixAddress(path.c_str(), &address));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);  // a socket file nobody listens on
  {
    upstest::SimProcess sim(kSim);
    ASSERT_TRUE(sim.start({"--socket", path})) << sim.why();
    EXPECT_EQ(sim.stop(), 0);
  }
  std::ofstream(path) << "precious\n";
  const upstest::ProgramRun run = runProgram(kSim, {"ZqUpsSim", "--socket", path});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("exists and is not a socket"), std::string::npos) << run.err;
  std::string kept;
  std::getline(std::ifstream(path), kept);
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
      {{"ZqUpsSim", "--profile", profile}, profile + ":3: 'warm' is not a valid float value"},
      {{"ZqUpsSim", "--fault", "0x2000:1=sometimes"}, "--fault: unknown fault 'sometimes'"},
      {{"ZqUpsSim", "--check", "--profile", "/tmp"}, "cannot read /tmp: Is a directory"},
      {{"ZqUpsSim", "--socket-mode", "0888"}, "--socket-mode: expected octal digits"},
  };
  for (const auto& c : cases) {
    const upstest::ProgramRun run = runProgram(kSim, c.args);
    EXPECT_EQ(run.exitStatus, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  ::unlink(profile.c_str());
}
