// ZqUpsCtl: how waiting hooks fold events, and the built program
// against the built simulator or a scripted service: outputs, exit
// statuses, JSON read back, texts kept as data, a write that does not
// hold, the service's owner, signals, hooks and the power-cut drill.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "FakeUpsService.h"
#include "Hooks.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "ZqUpsPoints.h"

namespace {

using Clock = std::chrono::steady_clock;
using upstest::FakeUpsService;
using upstest::fileText;
using upstest::Peer;
using upstest::secondsSince;
using upstest::textBytes;
using upstest::upsWith;
using upstest::within;

const char kCtl[] = ZQUPSCTL_PATH;
const char kSim[] = ZQUPSSIM_PATH;
const std::string kProfiles = ZQUPSSIM_PROFILES;

upstest::ProgramRun ctl(std::vector<std::string> args) {
  args.insert(args.begin(), "ZqUpsCtl");
  return upstest::runProgram(kCtl, args);
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

}  // namespace

// Behind a hook that runs long: a flapping service leaves one lost/back
// pair waiting behind battery-low, and a full queue drops an older event
// rather than the newest power event.
TEST(Events, WaitingHooksFoldFlapsAndKeepTheNewestPowerEvent) {
  const auto names = [](const std::deque<zqctl::HookEvent>& queue) {
    std::vector<std::string> all;
    for (const zqctl::HookEvent& event : queue) all.push_back(event.name);
    return all;
  };
  std::deque<zqctl::HookEvent> queue;
  EXPECT_TRUE(zqctl::queueEvent(&queue, {"battery-low", {}}).empty());
  size_t folded = 0;
  for (int flap = 0; flap < 33; ++flap)
    for (const char* name : {"service-lost", "service-back"})
      folded += zqctl::queueEvent(&queue, {name, {"ZQUPS_FLAP=" + std::to_string(flap)}}).size();
  EXPECT_EQ(names(queue),
            (std::vector<std::string>{"battery-low", "service-lost", "service-back"}));
  EXPECT_EQ(queue.back().environment, std::vector<std::string>{"ZQUPS_FLAP=32"}) << "the newest";
  EXPECT_EQ(folded, 32u) << "a line for each pair folded";

  queue = {{"on-battery", {}}, {"battery-low", {}}};
  const std::vector<std::string> said = zqctl::queueEvent(&queue, {"service-lost", {}}, 2);
  EXPECT_EQ(said, std::vector<std::string>{"too many events waiting; the hook skips on-battery"});
  zqctl::queueEvent(&queue, {"service-back", {}}, 2);
  EXPECT_EQ(names(queue), (std::vector<std::string>{"battery-low", "service-back"}));
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
      {"on-mains", "--service-owner", ""},
      {"on-mains", "--min-line-voltage", "1e308"},
      {"watch", "--min-line-voltage", "inf"},
      {"watch", "--low-runtime", "nan"},
      {"watch", "--hook-timeout", "0"},
      {"watch", "--journal-max-size", "1k"},
      {"events", "--since", "yesterday"},
  };
  for (const auto& args : cases) {
    const upstest::ProgramRun run = ctl(args);
    EXPECT_EQ(run.exitStatus, 2) << (args.empty() ? "" : args.back());
    EXPECT_NE(run.err.find("usage: ZqUpsCtl"), std::string::npos) << run.err;
    EXPECT_LT(run.err.find('\n'), 100u) << "a short message: " << run.err;
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
  EXPECT_EQ(ctl({"get", "8192:64", "--as", "text"}).out, "A\\xffB\n");
  EXPECT_EQ(ctl({"get", "--json", "input_voltage"}).out, "{\"input_voltage\":230}\n");

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
  EXPECT_EQ(ctl({"set", "0x2000:0x40", "+5", "--as", "int"}).exitStatus, 0);
  EXPECT_EQ(ctl({"get", "0x2000:0x40", "--as", "int"}).out, "5\n");

  run = ctl({"set", "vendor", "X"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.err, "ZqUpsCtl set vendor: service status 0x5a000003 (simulator: read-only point)\n");
  run = ctl({"get", "input_voltage", "0x2000:0x99"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.out, "") << "nothing when one of the points fails";
  EXPECT_EQ(run.err, "ZqUpsCtl get 0x2000:0x99: service status 0x5a000002 (simulator: no such point)\n");

  EXPECT_EQ(ctl({"on-mains"}).exitStatus, 0);
  EXPECT_EQ(ctl({"on-mains"}).out + ctl({"on-mains"}).err, "");
  EXPECT_EQ(ctl({"on-mains", "--min-line-voltage", "230.5"}).exitStatus, 1);
  EXPECT_EQ(ctl({"on-mains", "--service-owner", std::to_string(::getuid())}).exitStatus, 0);
  // The owner of the process that serves the socket, whoever owns the file.
  for (const char* command : {"on-mains", "get", "set"}) {
    std::vector<std::string> args = {command, "--service-owner", std::to_string(::getuid() + 1)};
    if (args[0] != "on-mains") args.push_back("battery_replace_date");
    if (args[0] == "set") args.push_back("2030-01-01");
    run = ctl(args);
    EXPECT_EQ(run.exitStatus, 3) << command;
    EXPECT_NE(run.err.find(": not trusted: /tmp/UPS0 is served by "), std::string::npos) << run.err;
  }
  EXPECT_EQ(ctl({"get", "battery_replace_date"}).out, "2029-03-15\n") << "nothing written";
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
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Program, AWriteWithoutAnAnswerIsStatus4) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  upstest::SimProcess sim(kSim);
  // The point's requests are read, and the connection closed without a byte.
  ASSERT_TRUE(sim.start({"--fault", "0x2000:0x11=close"})) << sim.why();
  const upstest::ProgramRun run = ctl({"set", "battery_replace_date", "2029-03-15", "--no-verify"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.err, "ZqUpsCtl set battery_replace_date: the service did not answer the write\n");
  EXPECT_EQ(sim.stop(), 0);
}

// One point that answers too much (copyright) while the UPS is on
// battery: the others and the power are still there.
TEST(Program, ABadAnswerOnOnePointHidesNothingElse) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  std::string text = fileText(kProfiles + "/default.profile");
  const size_t line = text.find("230.0");
  ASSERT_NE(line, std::string::npos);
  text.replace(line, 5, "0.0  ");
  const std::string profile = scratch("battery.profile");
  std::ofstream(profile) << text;
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({"--profile", profile, "--fault", "0x2000:0x07=overlong"})) << sim.why();

  const char kWhy[] = "copyright: 0xeca7005a: system error 90 (EMSGSIZE): message too long\n";
  upstest::ProgramRun run = ctl({"report"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(lines(run.out).size(), 17u);
  EXPECT_EQ(run.err, std::string("ZqUpsCtl report ") + kWhy);
  run = ctl({"get", "copyright"});
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.err, std::string("ZqUpsCtl get ") + kWhy);
  EXPECT_EQ(ctl({"on-mains"}).exitStatus, 1);

  upstest::BackgroundProgram watch;
  ASSERT_TRUE(watch.start(kCtl, {"ZqUpsCtl", "watch", "--interval", "200ms"})) << watch.error();
  std::string event;
  EXPECT_TRUE(watch.readLine(&event, 30));
  EXPECT_NE(event.find(" on-battery input_voltage=0 estimated_runtime=42\n"), std::string::npos)
      << event;
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  run = watch.stop(SIGINT);
  EXPECT_EQ(run.out, event) << "no other event in later polls";
  EXPECT_EQ(run.err, "ZqUpsCtl watch: copyright: failing: " + std::string(kWhy).substr(11))
      << "said once";
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(sim.stop(), 0);
  ::unlink(profile.c_str());
}

// Control characters, a backslash, a C1 character and DEL from the
// service, and UTF-8 that stays.
TEST(Program, TextsFromTheServiceStayData) {
  const std::string vendor = "Evil\x1b]0;owned\x07\nmodel: forged\\";
  const std::string model = "27 \xc2\xb0" "C \xc2\x9b" "1m\x7f";
  FakeUpsService service(upsWith({{UPS_OFFSET_VENDOR, {0, textBytes(vendor)}},
                                  {UPS_OFFSET_MODEL, {0, textBytes(model)}}}));
  START_OR_SKIP(service);
  upstest::ProgramRun run = ctl({"get", "vendor", "model"});
  EXPECT_EQ(run.out,
            "vendor: Evil\\x1b]0;owned\\x07\\nmodel: forged\\\\\n"
            "model: 27 \xc2\xb0" "C \\u009b1m\\x7f\n");
  run = ctl({"get", "--json", "vendor", "model"});
  EXPECT_EQ(run.out.find_first_of("\x1b\x07\x7f"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("\xc2\x9b"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\\u009b"), std::string::npos) << run.out;
  const auto object = nlohmann::json::parse(run.out);
  EXPECT_EQ(object["vendor"], vendor);
  EXPECT_EQ(object["model"], model);
}

// A poll that hangs in the middle of an exchange: SIGTERM ends the watch
// at once, not when the library gives up after 10 s.
TEST(Program, WatchEndsPromptlyInTheMiddleOfAPoll) {
  FakeUpsService service([](Peer& peer) {
    peer.readEnvelope();
    peer.stall();
  });
  START_OR_SKIP(service);
  upstest::BackgroundProgram watch;
  ASSERT_TRUE(watch.start(kCtl, {"ZqUpsCtl", "watch"})) << watch.error();
  ASSERT_TRUE(within(30, [&] { return service.connections() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  const upstest::ProgramRun run = watch.stop(SIGTERM);
  EXPECT_LT(secondsSince(start), 3.0) << "valgrind is slow; 1 s without it";
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.signal;
  EXPECT_EQ(run.out + run.err, "");
}

// A command of several words gets the event as its last argument; the
// hook lives in a process group of its own, which the terminal's Ctrl-C
// for the watch does not reach.
TEST(Program, HooksTakeTheEventAndOutliveCtrlC) {
  FakeUpsService service(upsWith());
  START_OR_SKIP(service);
  const std::string record = scratch("record"), script = scratch("hook.sh");
  std::ofstream(script) << "#!/bin/sh\necho \"$1 $2\" >>" << record << "\nsleep 1\necho done >>"
                        << record << "\n";
  ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
  upstest::ProgramOptions options;
  options.ownProcessGroup = true;
  upstest::BackgroundProgram watch;
  ASSERT_TRUE(watch.start(kCtl, {"ZqUpsCtl", "watch", "--exec", script + " first"}, options))
      << watch.error();
  ASSERT_TRUE(within(30, [&] { return !fileText(record).empty(); }));
  ASSERT_EQ(::kill(-watch.pid(), SIGINT), 0);
  const upstest::ProgramRun run = watch.stop(0);
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.signal;
  EXPECT_TRUE(within(10, [&] { return lines(fileText(record)).size() == 2; }));
  EXPECT_EQ(lines(fileText(record)), (std::vector<std::string>{"first on-mains", "done"}));
  ::unlink(record.c_str());
  ::unlink(script.c_str());
}

// Past --hook-timeout a hook's group gets SIGTERM, then SIGKILL; a
// shell's error names the hook.
TEST(Program, AHookHasATimeLimit) {
  FakeUpsService service(upsWith());
  START_OR_SKIP(service);
  const std::string pidFile = scratch("hook.pid");
  upstest::BackgroundProgram watch;
  ASSERT_TRUE(watch.start(kCtl, {"ZqUpsCtl", "watch", "--hook-timeout", "300ms", "--exec",
                                 "trap '' TERM; echo $$ >" + pidFile + "; sleep 30"}))
      << watch.error();
  ASSERT_TRUE(within(30, [&] { return !fileText(pidFile).empty(); }));
  const pid_t hook = std::stoi(fileText(pidFile));
  EXPECT_TRUE(within(30, [&] { return ::kill(hook, 0) != 0; })) << "reaped by the watch";
  upstest::ProgramRun run = watch.stop(SIGINT);
  EXPECT_EQ(run.err,
            "ZqUpsCtl watch: the hook for on-mains ran longer than 300ms; stopping it\n"
            "ZqUpsCtl watch: the hook for on-mains was killed by signal 9\n");
  ::unlink(pidFile.c_str());

  run = upstest::ProgramRun();
  ASSERT_TRUE(watch.start(kCtl, {"ZqUpsCtl", "watch", "--exec", "/no/such/hook"})) << watch.error();
  std::string line;
  EXPECT_TRUE(watch.readLine(&line, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  run = watch.stop(SIGINT);
  EXPECT_EQ(run.err.rfind("/no/such/hook: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("ZqUpsCtl watch: the hook for on-mains exited with status 127"),
            std::string::npos) << run.err;
}

// The drill with the line back after 15 s rather than 60.
std::string shortDrill() {
  std::string drill = fileText(kProfiles + "/power-cut-drill.profile");
  drill.replace(drill.find("\nat 60s"), 7, "\nat 15s");
  const std::string profile = scratch("drill.profile");
  std::ofstream(profile) << drill;
  return profile;
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
  const std::string profile = shortDrill();
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({"--profile", profile})) << sim.why();
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
  ::unlink(profile.c_str());
}

// Two watches keep one journal through the drill; both are killed in the
// middle of the outage and one is started again: the gap is unknown, the
// outage one transfer, and the last watch to stop ends the record.
TEST(Program, WatchesShareOneJournalThroughTheDrillAndAKill) {
  upstest::PathClaim claim;
  CLAIM_OR_SKIP(claim);
  const std::string journal = scratch("power.journal");
  const std::string record = scratch("tally.log");
  const std::string profile = shortDrill();
  upstest::SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({"--profile", profile})) << sim.why();
  const std::vector<std::string> watchArgs = {"ZqUpsCtl", "watch", "--interval", "300ms",
                                              "--journal", journal};
  const auto journalHas = [&](const char* event, size_t times) {
    return within(30, [&] {
      const std::string text = fileText(journal);
      size_t found = 0;
      for (size_t at = 0; (at = text.find(event, at)) != std::string::npos; ++at) ++found;
      return found >= times;
    });
  };
  {
    upstest::BackgroundProgram first, second;
    ASSERT_TRUE(first.start(kCtl, watchArgs)) << first.error();
    ASSERT_TRUE(second.start(kCtl, watchArgs)) << second.error();
    ASSERT_TRUE(journalHas(" battery-low", 1)) << fileText(journal);
    first.stop(SIGKILL);
    second.stop(SIGKILL);
  }
  std::vector<std::string> args = watchArgs;
  args.insert(args.end(), {"--exec", "echo $1 $ZQUPS_TRANSFER_COUNT $ZQUPS_BATTERY_SPELL_SECONDS >>" + record});
  upstest::BackgroundProgram again;
  ASSERT_TRUE(again.start(kCtl, args)) << again.error();
  ASSERT_TRUE(journalHas(" on-mains", 2)) << fileText(journal);
  const upstest::ProgramRun run = again.stop(SIGTERM);
  EXPECT_NE(run.err.find("the last one ended without saying so"), std::string::npos) << run.err;
  EXPECT_EQ(sim.stop(), 0);

  const upstest::ProgramRun events = ctl({"events", "--journal", journal, "--json"});
  ASSERT_EQ(events.exitStatus, 0) << events.err;
  std::vector<std::string> names;
  for (const std::string& line : lines(events.out))
    names.push_back(nlohmann::json::parse(line)["event"]);
  EXPECT_EQ(names, (std::vector<std::string>{"on-mains", "on-battery", "battery-low", "unknown",
                                             "on-battery", "battery-low", "on-mains", "unknown"}));
  const std::vector<std::string> tally = lines(fileText(record));
  ASSERT_EQ(tally.size(), 3u);
  EXPECT_EQ(tally[0], "on-battery 1 0");
  EXPECT_EQ(tally[2].substr(0, 11), "on-mains 1 ");
  EXPECT_GE(std::stoi(tally[2].substr(11)), 4) << "from the restart to the line's return";

  const upstest::ProgramRun stats = ctl({"stats", "--journal", journal, "--json"});
  ASSERT_EQ(stats.exitStatus, 0) << stats.err;
  const auto figures = nlohmann::json::parse(stats.out);
  EXPECT_EQ(figures["transfers"], 1);
  EXPECT_EQ(figures["power"], "unknown");
  EXPECT_EQ(figures["last_transfer_reason"], "line voltage 0 V, below 100 V");
  EXPECT_GE(figures["battery_seconds"].get<int>(), 9);
  EXPECT_LE(figures["battery_seconds"].get<int>(), 14);
  const upstest::ProgramRun text = ctl({"stats", "--journal", journal});
  EXPECT_NE(text.out.find("\ntransfers to battery: 1\n"), std::string::npos) << text.out;
  const upstest::ProgramRun foreign = ctl({"stats", "--journal", profile});
  EXPECT_EQ(foreign.exitStatus, 6);
  EXPECT_EQ(foreign.err, "ZqUpsCtl stats: " + profile + " is not a power journal\n");
  for (const std::string& path : {journal, journal + ".lock", journal + ".watch", record, profile})
    ::unlink(path.c_str());
}
