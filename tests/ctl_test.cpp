// ZqUpsCtl: the rules that turn polls into events, and the built program
// against the built simulator: outputs, exit statuses, JSON read back, a
// write that does not hold, the service's owner, and the power-cut drill
// with a hook.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "FakeUpsService.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "Watch.h"

namespace {

const char kCtl[] = ZQUPSCTL_PATH;
const char kSim[] = ZQUPSSIM_PATH;
const std::string kProfiles = ZQUPSSIM_PROFILES;

upstest::ProgramRun ctl(std::vector<std::string> args) {
  args.insert(args.begin(), "ZqUpsCtl");
  return upstest::runProgram(kCtl, args);
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

std::string scratch(const char* tag) {
  return "/tmp/zqctl-" + std::to_string(::getpid()) + "-" + tag;
}

zqctl::Reading served(double volts, int runtime) {
  zqctl::Reading reading;
  reading.reached = true;
  reading.inputVoltage = volts;
  reading.estimatedRuntime = runtime;
  return reading;
}

}  // namespace

TEST(Events, EachChangeGivesItsEventsInOrder) {
  zqctl::WatchSettings settings;  // 100 V, 5 minutes
  const zqctl::Reading lost;
  const struct {
    zqctl::Reading reading;
    std::vector<std::string> events;
  } steps[] = {
      {lost, {"service-lost"}},
      {lost, {}},
      {served(0, 3), {"service-back", "on-battery", "battery-low"}},
      {served(0, 5), {}},
      {served(0, 6), {"battery-ok"}},
      {served(0, 2), {"battery-low"}},
      {lost, {"service-lost"}},
      {served(99.9, 2), {"service-back"}},
      {served(100, 2), {"on-mains"}},
      {served(230, 42), {}},
  };
  zqctl::PowerState state;
  int at = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(zqctl::eventsFor(&state, step.reading, settings), step.events) << "step " << at;
    ++at;
  }
}

TEST(Program, WithoutAServiceEveryCommandSaysSoOnOneLine) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;  // empty: nothing on standard error
  } cases[] = {
      {{"get", "input_voltage"}, 3,
       "ZqUpsCtl get input_voltage: 0xeca60201: service socket missing (/tmp/UPS0)\n"},
      {{"report", "--json"}, 3,
       "ZqUpsCtl report vendor: 0xeca60201: service socket missing (/tmp/UPS0)\n"},
      {{"set", "battery_replace_date", "2029-03-15"}, 3,
       "ZqUpsCtl set battery_replace_date: 0xeca60201: service socket missing (/tmp/UPS0)\n"},
      {{"on-mains"}, 255, ""},
      {{"on-mains", "--verbose"}, 255,
       "ZqUpsCtl on-mains input_voltage: 0xeca60201: service socket missing (/tmp/UPS0)\n"},
  };
  for (const auto& c : cases) {
    const upstest::ProgramRun run = ctl(c.args);
    EXPECT_EQ(run.exitStatus, c.status) << c.args[0];
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");
  }
}

TEST(Program, UsageErrorsAreStatus2WithTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"fly"},
      {"get"},
      {"get", "no_such_point"},
      {"get", "0x2000:zz"},
      {"get", "0x2000:0x40", "--as", "double"},
      {"set", "input_voltage", "230V"},
      {"set", "battery_hardware_version", "1.2.70000"},
      {"set", "0x2000:0x40", "abc", "--as", "hex"},
      {"set", "battery_replace_date", std::string(512, 'x')},
      {"watch", "--interval", "10ms"},
      {"watch", "--exec", ""},
      {"on-mains", "--service-owner", "no-such-user-here"},
  };
  for (const auto& args : cases) {
    const upstest::ProgramRun run = ctl(args);
    EXPECT_EQ(run.exitStatus, 2) << (args.empty() ? "" : args.back());
    EXPECT_NE(run.err.find("usage: ZqUpsCtl"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  for (const auto& args : {std::vector<std::string>{"--help"},
                                              {"watch", "--help"}, {"--version"}}) {
    const upstest::ProgramRun run = ctl(args);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out, "");
  }
}

TEST(Program, PointsListsTheCatalogue) {
  const upstest::ProgramRun table = ctl({"points"});
  EXPECT_EQ(table.exitStatus, 0);
  const std::vector<std::string> rows = lines(table.out);
  ASSERT_EQ(rows.size(), 18u);
  EXPECT_EQ(rows[9], "input_voltage              0x2000:0x06   float    V");
  EXPECT_EQ(rows[0], "vendor                     0x2000:0x01   text");
  const auto list = nlohmann::json::parse(ctl({"points", "--json"}).out);
  ASSERT_EQ(list.size(), 18u);
  EXPECT_EQ(list[13]["name"], "estimated_runtime");
  EXPECT_EQ(list[13]["offset"], 0x1a);
  EXPECT_EQ(list[13]["type"], "int");
  EXPECT_EQ(list[13]["unit"], "Minutes");
}

TEST(Program, AgainstTheSimulator) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  // The default profile and one point that the catalogue does not know:
  // a text with a byte that is not UTF-8, then a NUL, then more.
  const std::string profile = scratch("extra.profile");
  std::ofstream(profile) << fileText(kProfiles + "/default.profile")
                         << "0x2000:0x40 hex 41 ff 42 00 43\n";
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({"--profile", profile})) << sim.why();

  upstest::ProgramRun run = ctl({"get", "input_voltage"});
  EXPECT_EQ(run.out, "230\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(ctl({"get", "charging_current", "battery_hardware_version", "vendor"}).out,
            "charging_current: 0.45\nbattery_hardware_version: 1.2.3\nvendor: Zq Power Systems\n");
  EXPECT_EQ(ctl({"get", "0x2000:0x40"}).out, "41ff420043\n");
  EXPECT_EQ(ctl({"get", "8192:64", "--as", "text"}).out, "A\xff" "B\n");

  const auto some = nlohmann::json::parse(
      ctl({"get", "--json", "load_level", "estimated_runtime", "0x2000:0x40", "--as", "text"}).out);
  EXPECT_EQ(some, nlohmann::json::parse(R"({"load_level": 38.5, "estimated_runtime": 42,
                                            "0x2000:0x40": "A\ufffdB"})"));
  run = ctl({"report", "--json"});
  const auto report = nlohmann::json::parse(run.out);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(report.size(), 18u);
  EXPECT_EQ(report["battery_temperature"], 27.5);
  EXPECT_EQ(report["battery_rated_capacity"], 9000);
  EXPECT_EQ(report["model"], "ZQ-R3000 RM 2U");
  EXPECT_EQ(lines(ctl({"report"}).out).size(), 18u);

  run = ctl({"set", "battery_replace_date", "2029-03-15"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(ctl({"get", "battery_replace_date"}).out, "2029-03-15\n");
  EXPECT_EQ(ctl({"set", "0x2000:0x40", "0xdead"}).exitStatus, 0);
  EXPECT_EQ(ctl({"get", "0x2000:0x40"}).out, "dead\n");

  run = ctl({"set", "vendor", "X"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.err, "ZqUpsCtl set vendor: service status 0x5a000003\n");
  run = ctl({"get", "input_voltage", "0x2000:0x99"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.out, "") << "nothing when one of the points fails";
  EXPECT_EQ(run.err, "ZqUpsCtl get 0x2000:0x99: service status 0x5a000002\n");

  EXPECT_EQ(ctl({"on-mains"}).exitStatus, 0);
  EXPECT_EQ(ctl({"on-mains"}).out + ctl({"on-mains"}).err, "");
  EXPECT_EQ(ctl({"on-mains", "--min-line-voltage", "230.5"}).exitStatus, 1);
  EXPECT_EQ(ctl({"on-mains", "--service-owner", std::to_string(::getuid())}).exitStatus, 0);
  run = ctl({"on-mains", "--service-owner", std::to_string(::getuid() + 1)});
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_NE(run.err.find("/tmp/UPS0 is owned by "), std::string::npos) << run.err;
  EXPECT_EQ(sim.stop(), 0);
  ::unlink(profile.c_str());
}

TEST(Program, AWriteThatDoesNotHoldIsStatus5) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  upstest::SimProcess sim(kSim);
  // The point takes the write with status 0 but stores nothing and reads empty.
  ASSERT_TRUE(sim.start({"--fault", "0x2000:0x11=status:0"})) << sim.why();
  upstest::ProgramRun run = ctl({"set", "battery_replace_date", "2029-03-15"});
  EXPECT_EQ(run.exitStatus, 5);
  EXPECT_EQ(run.err,
            "ZqUpsCtl set battery_replace_date: wrote '2029-03-15' but read back ''\n");
  EXPECT_EQ(ctl({"set", "battery_replace_date", "2029-03-15", "--no-verify"}).exitStatus, 0);
}

// The drill profile's timeline, about 16 s: the hook sees every event in
// order, with the values in its environment; one that is still running
// when the next event comes holds that event back without holding up the
// polls.
TEST(Program, TheDrillRunsTheHookForEveryEvent) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  const std::string record = scratch("hook.log");
  const std::string hook = "echo \"$1 $ZQUPS_EVENT $ZQUPS_INPUT_VOLTAGE $ZQUPS_ESTIMATED_RUNTIME\" >>" +
                           record + "; [ \"$1\" != on-battery ] || sleep 6";
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({"--profile", kProfiles + "/power-cut-drill.profile"})) << sim.why();
  upstest::BackgroundProgram watch;
  ASSERT_TRUE(watch.start(kCtl, {"ZqUpsCtl", "watch", "--interval", "500ms", "--json", "--exec",
                                 hook}))
      << watch.error();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (lines(fileText(record)).size() < 4 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const upstest::ProgramRun run = watch.stop(SIGTERM);
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.signal;

  EXPECT_EQ(lines(fileText(record)),
            (std::vector<std::string>{"on-mains on-mains 230 42", "on-battery on-battery 0 12",
                                      "battery-low battery-low 0 4", "on-mains on-mains 230 5"}));
  std::vector<std::string> printed;
  for (const std::string& line : lines(run.out)) {
    const auto event = nlohmann::json::parse(line);
    printed.push_back(event["event"]);
    EXPECT_EQ(event.size(), 20u) << "time, event and the eighteen points";
  }
  EXPECT_EQ(printed, (std::vector<std::string>{"on-mains", "on-battery", "battery-low", "on-mains"}));
  EXPECT_EQ(run.err, "ZqUpsCtl watch: the hook for on-battery is still running; "
                           "battery-low waits\n");
  EXPECT_EQ(sim.stop(), 0);
  ::unlink(record.c_str());
}
