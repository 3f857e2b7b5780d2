// A ZqUpsNetd session's replies on a hand-made snapshot: the protocol's
// words, values and errors, logins and rights, writes and their tracking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "NetdSupport.h"
#include "Request.h"
#include "Session.h"
#include "Users.h"
#include "Variables.h"

// A sanitizer's runtime brings its own operator new (clang links it
// statically, so a second one cannot link); allocations are counted in the
// other builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZQ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZQ_SANITIZED 1
#endif
#endif

#ifndef ZQ_SANITIZED
// This thread's allocations while `countingAllocations` is set.
namespace {
thread_local bool countingAllocations = false;
thread_local size_t allocations = 0;
}  // namespace

// Out of line, so that valgrind, which takes these calls over, takes over
// both ends of every block.
[[gnu::noinline]] void* operator new(size_t size) {
  if (countingAllocations) ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// g++ takes the free() of a block from this operator new for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, size_t) noexcept { std::free(block); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace zqnetd {
namespace {

using upstest::sha512Hash;

// The simulator's default reading with `changes`; a point changed to no
// value failed.
zqread::Reading readingOf(const std::map<std::string, std::optional<std::string>>& changes = {}) {
  std::map<std::string, std::string> values = {
      {"vendor", "Zq Power Systems"}, {"model", "ZQ-R3000"}, {"serial_number", "S1"},
      {"firmware_version", "4.12.7"}, {"battery_serial", "B1"},
      {"manufacturing_date", "2024-07-15"}, {"capabilities", "c"}, {"copyright", "(C)"},
      {"battery_replace_date", "2028-07-01"}, {"input_voltage", "230"},
      {"battery_temperature", "27.5"}, {"battery_hardware_version", "1.2.3"},
      {"load_level", "38.5"}, {"estimated_runtime", "42"}, {"internal_temperature", "31"},
      {"charging_current", "0.45"}, {"discharging_current", "0"},
      {"battery_rated_capacity", "9000"}};
  zqread::Reading reading;
  reading.answered = true;
  for (const zqread::Point& point : zqread::catalogue()) {
    const auto change = changes.find(point.name);
    const std::optional<std::string> text =
        change == changes.end() ? values[point.name] : change->second;
    zqread::PointReading entry{point, std::nullopt, {}};
    if (text) {
      zqread::Value value;
      value.kind = point.kind;
      value.text = *text;
      if (point.kind == zqread::Kind::Float || point.kind == zqread::Kind::Int)
        value.number = std::stod(*text);
      entry.value = value;
    } else {
      entry.outcome.failure = zqread::Failure::BadAnswer;
    }
    reading.points.push_back(entry);
  }
  return reading;
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    std::string error;
    EXPECT_TRUE(users.parse("someone:" + sha512Hash() + ":monitor\n", &error)) << error;
    shared.users = &users;
    publish(readingOf());
  }

  void publish(const zqread::Reading& reading) {
    shared.publish(std::make_shared<const Snapshot>(snapshotOf(reading, Rules{}, now)));
  }
  std::string ask(const std::string& line) { return ask(session, line); }
  std::string ask(Session& to, const std::string& line) {
    return std::string(to.handle(line, now).text);
  }
  std::string value(const std::string& name) {
    const std::string reply = ask("GET VAR ups " + name);
    const std::string head = "VAR ups " + name + " \"";
    if (reply.compare(0, head.size(), head) != 0) return reply;
    return reply.substr(head.size(), reply.size() - head.size() - 2);
  }
  // USERNAME and PASSWORD, then `line` with the password check answered
  // with `rights`.
  std::string asUser(Session& to, std::optional<unsigned> rights, const std::string& line) {
    ask(to, "USERNAME someone");
    ask(to, "PASSWORD secret");
    Reply reply = to.handle(line, now);
    if (reply.wait == Reply::Wait::Password) {
      to.passwordChecked(rights);
      reply = to.handle(line, now);
    }
    return std::string(reply.text);
  }

  Clock::time_point now = Clock::now();
  Users users;
  Shared shared;
  Session session{&shared, "192.0.2.7"};
};

TEST_F(SessionTest, AnswersFixedRequestsAndRefusesTheRest) {
  EXPECT_EQ(ask("VER").rfind("ZqUpsNetd ", 0), 0u);
  EXPECT_EQ(ask("netver"), "1.3\n");
  EXPECT_EQ(ask("PROTVER"), "1.3\n");
  EXPECT_EQ(ask("HELP").rfind("Commands: HELP VER GET LIST SET", 0), 0u);
  EXPECT_EQ(ask("STARTTLS"), "ERR FEATURE-NOT-CONFIGURED\n");
  EXPECT_EQ(ask("FROB ups"), "ERR UNKNOWN-COMMAND\n");
  EXPECT_EQ(ask("VER now"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask("GET VAR ups"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask("GET FROB ups x"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask("GET VAR \"ups"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask("   "), "ERR UNKNOWN-COMMAND\n");
  EXPECT_EQ(ask(""), "ERR UNKNOWN-COMMAND\n");
  EXPECT_EQ(ask("GET CMDDESC ups beeper.on"), "ERR CMD-NOT-SUPPORTED\n");
}

TEST_F(SessionTest, ListsFramedInTheServersSpelling) {
  EXPECT_EQ(ask("LIST UPS"),
            "BEGIN LIST UPS\nUPS ups \"Zq Power Systems ZQ-R3000\"\nEND LIST UPS\n");
  EXPECT_EQ(ask("LIST RW ups"),
            "BEGIN LIST RW ups\nRW ups battery.date \"2028-07-01\"\nEND LIST RW ups\n");
  const std::string all = ask("list var UPS");
  EXPECT_EQ(all.rfind("BEGIN LIST VAR ups\n", 0), 0u);
  EXPECT_NE(all.find("\nVAR ups ups.status \"OL CHRG\"\n"), std::string::npos);
  EXPECT_EQ(all.substr(all.size() - 17), "END LIST VAR ups\n");
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2 + 23);
  EXPECT_EQ(ask("LIST CMD ups"), "BEGIN LIST CMD ups\nEND LIST CMD ups\n");
  EXPECT_EQ(ask("LIST ENUM Ups BATTERY.DATE"),
            "BEGIN LIST ENUM ups battery.date\nEND LIST ENUM ups battery.date\n");
  EXPECT_EQ(ask("LIST RANGE ups battery.nothing"), "ERR VAR-NOT-SUPPORTED\n");
  EXPECT_EQ(ask("LIST VAR other"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(ask("get var UPS UPS.Status"), "VAR ups ups.status \"OL CHRG\"\n");
  EXPECT_EQ(ask("Get NumLogins UPS"), "NUMLOGINS ups 0\n");
  // Clients keep at most 127 bytes of a value to write.
  EXPECT_EQ(ask("GET TYPE ups Battery.Date"), "TYPE ups battery.date RW STRING:10\n");
  EXPECT_EQ(ask("GET TYPE ups ups.model"), "TYPE ups ups.model STRING:511\n");
  EXPECT_EQ(ask("GET TYPE ups input.voltage"), "TYPE ups input.voltage NUMBER\n");
  EXPECT_EQ(ask("GET DESC ups ups.load"), "DESC ups ups.load \"Load on UPS (percent)\"\n");
}

TEST_F(SessionTest, ValuesInTheProtocolsUnits) {
  const std::map<std::string, std::string> expected = {
      {"battery.runtime", "2520"},    {"battery.runtime.low", "300"},
      {"battery.capacity", "9"},      {"battery.current", "0.45"},
      {"input.voltage", "230"},       {"ups.load", "38.5"},
      {"device.type", "ups"},         {"ups.firmware", "4.12.7"},
      {"device.mfr", "Zq Power Systems"},
      {"experimental.zqups.battery_hardware_version", "1.2.3"}};
  for (const auto& [name, text] : expected) EXPECT_EQ(value(name), text) << name;
  publish(readingOf({{"battery_rated_capacity", "9500"},
                     {"charging_current", "0.45"},
                     {"discharging_current", "0.1"}}));
  EXPECT_EQ(value("battery.capacity"), "9.5");
  EXPECT_EQ(value("battery.current"), "0.35");
}

TEST_F(SessionTest, StatusFollowsThePowerRules) {
  const struct {
    const char *volts, *minutes, *charging, *discharging, *status, *current;
  } cases[] = {
      {"230", "42", "0.45", "0", "OL CHRG", "0.45"},
      {"230", "3", "0", "0", "OL", "0"},  // a short runtime on mains is not low
      {"0", "12", "0", "14.2", "OB DISCHRG", "-14.2"},
      {"0", "5", "0", "14.2", "OB LB DISCHRG", "-14.2"},
      {"99.9", "4", "0", "0", "OB LB", "0"},
      {"0", nullptr, "0", "14.2", "OB LB DISCHRG", "-14.2"},  // no runtime: low, to be safe
  };
  for (const auto& c : cases) {
    publish(readingOf({{"input_voltage", c.volts},
                       {"estimated_runtime", c.minutes ? std::optional<std::string>(c.minutes)
                                                       : std::nullopt},
                       {"charging_current", c.charging},
                       {"discharging_current", c.discharging}}));
    EXPECT_EQ(value("ups.status"), c.status) << c.volts << " V, " << c.status;
    EXPECT_EQ(value("battery.current"), c.current);
  }
  // Without the voltage the status cannot be told: never OL by default.
  publish(readingOf({{"input_voltage", std::nullopt}}));
  EXPECT_EQ(ask("GET VAR ups ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(ask("LIST VAR ups").find("ups.status"), std::string::npos);
}

TEST_F(SessionTest, FailedPointIsLeftOut) {
  publish(readingOf({{"battery_temperature", std::nullopt}}));
  EXPECT_EQ(ask("LIST VAR ups").find("battery.temperature"), std::string::npos);
  EXPECT_EQ(ask("GET VAR ups battery.temperature"), "ERR VAR-NOT-SUPPORTED\n");
  EXPECT_EQ(ask("GET TYPE ups battery.temperature"), "TYPE ups battery.temperature NUMBER\n");
  EXPECT_EQ(ask("GET VAR ups battery.nothing"), "ERR VAR-NOT-SUPPORTED\n");
  // Not read in time: the value is stale, not unsupported.
  zqread::Reading cut = readingOf({{"battery_temperature", std::nullopt},
                                   {"charging_current", std::nullopt}});
  for (zqread::PointReading& entry : cut.points)
    if (entry.point.name != "battery_temperature") entry.outcome.failure = zqread::Failure::OutOfTime;
  publish(cut);
  EXPECT_EQ(ask("GET VAR ups battery.temperature"), "ERR VAR-NOT-SUPPORTED\n");
  EXPECT_EQ(ask("GET VAR ups battery.current"), "ERR DATA-STALE\n");
}

TEST_F(SessionTest, StaleDataOnlyForValues) {
  const auto stale = [&] {
    EXPECT_EQ(ask("GET VAR ups ups.status"), "ERR DATA-STALE\n");
    EXPECT_EQ(ask("GET VAR ups battery.nothing"), "ERR DATA-STALE\n");
    EXPECT_EQ(ask("LIST VAR ups"), "ERR DATA-STALE\n");
    EXPECT_EQ(ask("LIST RW ups"), "ERR DATA-STALE\n");
    EXPECT_EQ(ask("VER").rfind("ZqUpsNetd", 0), 0u);
    EXPECT_EQ(ask("LIST UPS").rfind("BEGIN LIST UPS\nUPS ups \"", 0), 0u);
    EXPECT_EQ(ask("GET UPSDESC ups").rfind("UPSDESC ups \"", 0), 0u);
    EXPECT_EQ(ask("LIST CLIENT ups"), "BEGIN LIST CLIENT ups\nEND LIST CLIENT ups\n");
    EXPECT_EQ(ask("GET NUMLOGINS ups"), "NUMLOGINS ups 0\n");
  };
  now += shared.staleAfter;
  EXPECT_EQ(value("ups.status"), "OL CHRG");
  now += std::chrono::milliseconds(1);
  stale();
  now -= shared.staleAfter;
  zqread::Reading lost = readingOf();
  lost.answered = false;
  lost.end.failure = zqread::Failure::Unreachable;
  publish(lost);
  stale();
  Shared nothingYet;
  Session first(&nothingYet, "192.0.2.8");
  EXPECT_EQ(ask(first, "GET VAR ups ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(ask(first, "GET UPSDESC ups"), "UPSDESC ups \"UPS on the local UPS service\"\n");
}

#ifndef ZQ_SANITIZED
TEST_F(SessionTest, GetVarAllocatesNothingOnceWarmButAListsBufferGoes) {
  // Under valgrind, whose operator new takes over, nothing is counted.
  countingAllocations = true;
  void* volatile probe = ::operator new(16);
  ::operator delete(probe);
  countingAllocations = false;
  if (allocations == 0) GTEST_SKIP() << "allocations are not counted here";
  allocations = 0;
  // Words and a value too long for a string's inline buffer.
  const std::string request = "GET VAR ups \"device.mfr\"   ";
  ask(request);
  countingAllocations = true;
  for (int i = 0; i < 3; ++i) {
    session.handle(request, now);
    session.replyTaken();
  }
  const Reply reply = session.handle(request, now);
  countingAllocations = false;
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(reply.text, "VAR ups device.mfr \"Zq Power Systems\"\n");

  ask("LIST VAR ups");
  session.replyTaken();
  countingAllocations = true;
  EXPECT_EQ(ask(request), "VAR ups device.mfr \"Zq Power Systems\"\n");
  countingAllocations = false;
  // One for the copy ask makes; more for the reply's buffer made anew.
  EXPECT_GT(allocations, 1u);
}
#endif

TEST_F(SessionTest, UntrustedTextsKeepLinesIntact) {
  std::string vendor;
  while (vendor.size() < UPS_POINT_TEXT_LENGTH - 6) vendor += "a\"\\\n\r\x01\xff";
  publish(readingOf({{"vendor", vendor}}));
  for (const std::string request : {"GET VAR ups device.mfr", "LIST UPS"}) {
    const std::string reply = ask(request);
    size_t start = 0;
    for (size_t end; (end = reply.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = reply.substr(start, end - start);
      EXPECT_LE(line.size() + 1, 511u) << request;
      Request parsed;
      ASSERT_EQ(parsed.parse(line), Parse::Words) << line;
      const Words& words = parsed.words();
      if (words[0] != "BEGIN" && words[0] != "END") {
        // The value reads back as a prefix of the text made printable.
        EXPECT_EQ(words.size(), request[0] == 'G' ? 4u : 3u) << line;
        EXPECT_GT(words.back().size(), 100u);
        EXPECT_EQ(printable(vendor).rfind(words.back(), 0), 0u) << line;
      }
    }
    EXPECT_EQ(start, reply.size());
  }
}

TEST_F(SessionTest, LoginsInTheOrderClientsExpect) {
  for (const char* request : {"LOGIN ups", "PRIMARY ups", "MASTER ups", "FSD ups",
                              "SET VAR ups battery.date 2030-01-01", "INSTCMD ups beeper.on"})
    EXPECT_EQ(ask(request), "ERR USERNAME-REQUIRED\n") << request;
  EXPECT_EQ(ask("USERNAME someone"), "OK\n");
  EXPECT_EQ(ask("USERNAME other"), "ERR ALREADY-SET-USERNAME\n");
  EXPECT_EQ(ask("LOGIN ups"), "ERR PASSWORD-REQUIRED\n");
  EXPECT_EQ(ask("PASSWORD wrong"), "OK\n");
  EXPECT_EQ(ask("PASSWORD again"), "ERR ALREADY-SET-PASSWORD\n");
  // Nothing is offered, whoever asks: no check waits.
  EXPECT_EQ(ask("INSTCMD ups beeper.on"), "ERR CMD-NOT-SUPPORTED\n");
  EXPECT_EQ(session.handle("LOGIN ups", now).wait, Reply::Wait::Password);
  EXPECT_EQ(session.password(), "wrong");
  session.passwordChecked(std::nullopt);
  EXPECT_EQ(ask("LOGIN ups"), "ERR ACCESS-DENIED\n");

  {
    Session monitor(&shared, "192.0.2.9");
    EXPECT_EQ(asUser(monitor, kMonitor, "LOGIN other"), "ERR UNKNOWN-UPS\n");
    EXPECT_EQ(ask(monitor, "LOGIN ups"), "OK\n");
    EXPECT_EQ(ask(monitor, "LOGIN ups"), "ERR ALREADY-LOGGED-IN\n");
    EXPECT_EQ(ask("GET NUMLOGINS ups"), "NUMLOGINS ups 1\n");
    EXPECT_EQ(ask("LIST CLIENT ups"),
              "BEGIN LIST CLIENT ups\nCLIENT ups 192.0.2.9\nEND LIST CLIENT ups\n");
    EXPECT_EQ(ask(monitor, "PRIMARY ups"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(ask(monitor, "FSD ups"), "ERR ACCESS-DENIED\n");
    const Reply bye = monitor.handle("LOGOUT", now);
    EXPECT_EQ(bye.text, "OK Goodbye\n");
    EXPECT_TRUE(bye.close);
  }
  EXPECT_EQ(ask("GET NUMLOGINS ups"), "NUMLOGINS ups 0\n");

  // Without users nobody logs in, and nothing waits for a check.
  Users none;
  shared.users = &none;
  Session anyone(&shared, "192.0.2.10");
  EXPECT_EQ(asUser(anyone, kMonitor, "LOGIN ups"), "ERR ACCESS-DENIED\n");
}

TEST_F(SessionTest, PrimarysShutdownLatchesForEveryone) {
  Session primary(&shared, "192.0.2.11");
  EXPECT_EQ(asUser(primary, kPrimary, "LOGIN ups"), "OK\n");
  EXPECT_EQ(ask(primary, "MASTER ups"), "OK MASTER-GRANTED\n");
  EXPECT_EQ(ask(primary, "PRIMARY ups"), "OK PRIMARY-GRANTED\n");
  EXPECT_EQ(ask(primary, "FSD other"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(value("ups.status"), "OL CHRG");
  // Lists show what changed since the last one.
  const auto listed = [&](const std::string& line) {
    return ask("LIST VAR ups").find("\n" + line + "\n") != std::string::npos;
  };
  EXPECT_TRUE(listed("VAR ups ups.status \"OL CHRG\""));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ask(primary, "FSD ups"), "OK FSD-SET\n");
  const std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(value("ups.status"), "FSD OL CHRG");
  EXPECT_TRUE(listed("VAR ups ups.status \"FSD OL CHRG\""));
  publish(readingOf({{"input_voltage", std::nullopt}}));
  EXPECT_EQ(value("ups.status"), "FSD");
  EXPECT_EQ(logged, "ZqUpsNetd: FSD set by someone from 192.0.2.11\n");
  EXPECT_TRUE(listed("VAR ups ups.status \"FSD\""));
}

TEST_F(SessionTest, SetVarWritesOnlyWhatItMay) {
  Session monitor(&shared, "192.0.2.12");
  EXPECT_EQ(asUser(monitor, kMonitor, "SET VAR ups battery.date 2030-01-01"),
            "ERR ACCESS-DENIED\n");
  Session setter(&shared, "192.0.2.13");
  EXPECT_EQ(asUser(setter, kSet, "SET VAR ups ups.model X"), "ERR READONLY\n");
  EXPECT_EQ(ask(setter, "SET VAR ups battery.date"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask(setter, "SET VAR other battery.date 2030"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(ask(setter, "SET VAR ups battery.nothing 2030"), "ERR VAR-NOT-SUPPORTED\n");
  for (const char* notADate : {"2030", "2030-02-30", "2030-1-01", "01.07.2030", "2030-01-01x"})
    EXPECT_EQ(ask(setter, std::string("SET VAR ups battery.date ") + notADate),
              "ERR INVALID-VALUE\n")
        << notADate;

  const Reply pending = setter.handle("SET VAR ups Battery.Date \"2030-01-01\"", now);
  ASSERT_EQ(pending.wait, Reply::Wait::Write);
  EXPECT_EQ(pending.write.point.name, "battery_replace_date");
  EXPECT_EQ(pending.write.bytes, zqread::Bytes({'2', '0', '3', '0', '-', '0', '1', '-', '0', '1', 0}));
  EXPECT_EQ(setter.written(false).text, "ERR SET-FAILED\n");
  EXPECT_EQ(value("battery.date"), "2028-07-01");
  EXPECT_EQ(ask("LIST RW ups"), "BEGIN LIST RW ups\nRW ups battery.date \"2028-07-01\"\nEND LIST RW ups\n");
  setter.handle("SET VAR ups battery.date 2030-01-01", now);
  zqread::Value readBack;
  readBack.kind = zqread::Kind::Text;
  readBack.text = "2030-01-01";
  shared.writeVerified(pending.write.point, readBack);
  EXPECT_EQ(setter.written(true).text, "OK\n");
  EXPECT_EQ(value("battery.date"), "2030-01-01");
  EXPECT_EQ(ask("LIST RW ups"), "BEGIN LIST RW ups\nRW ups battery.date \"2030-01-01\"\nEND LIST RW ups\n");
  // The next reading begins after the write: it is the UPS's word.
  publish(readingOf());
  EXPECT_EQ(value("battery.date"), "2028-07-01");

  now += shared.staleAfter + std::chrono::seconds(1);
  EXPECT_EQ(ask(setter, "SET VAR ups battery.date 2031-01-01"), "ERR DATA-STALE\n");
}

// The id of an "OK TRACKING <id>" reply, a random (version 4) UUID in
// lower case; empty, with a failure, when the reply is not one.
std::string trackingIdOf(std::string_view text) {
  const std::string reply(text);
  const std::string head = "OK TRACKING ";
  const size_t length = 36;
  bool ok = reply.size() == head.size() + length + 1 && reply.compare(0, head.size(), head) == 0 &&
            reply.back() == '\n';
  const std::string id = ok ? reply.substr(head.size(), length) : std::string();
  for (size_t i = 0; ok && i < length; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    ok = dash ? id[i] == '-' : std::strchr("0123456789abcdef", id[i]) != nullptr && id[i] != 0;
  }
  ok = ok && id[14] == '4' && std::strchr("89ab", id[19]) != nullptr;
  EXPECT_TRUE(ok) << reply;
  return ok ? id : std::string();
}

TEST_F(SessionTest, TrackedWritesAnswerWithAnIdToAskAfter) {
  EXPECT_EQ(ask("GET TRACKING"), "OFF\n");
  EXPECT_EQ(ask("SET TRACKING MAYBE"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask("set tracking on"), "OK\n");
  EXPECT_EQ(ask("GET TRACKING"), "ON\n");
  asUser(session, kSet, "SET VAR ups battery.date 2030-01-01");
  const std::string done = trackingIdOf(session.written(true).text);
  ASSERT_FALSE(done.empty());
  ASSERT_EQ(session.handle("SET VAR ups battery.date 2030-01-02", now).wait, Reply::Wait::Write);
  const std::string failed = trackingIdOf(session.written(false).text);
  ASSERT_FALSE(failed.empty());
  EXPECT_NE(done, failed);
  // Any client may ask; refusals before the write are answered at once.
  Session other(&shared, "192.0.2.14");
  EXPECT_EQ(ask(other, "GET TRACKING " + done), "SUCCESS\n");
  EXPECT_EQ(ask(other, "GET TRACKING " + failed), "ERR FAILED\n");
  EXPECT_EQ(ask(other, "GET TRACKING 00000000-0000-4000-8000-000000000000"),
            "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(ask("SET VAR ups battery.date 2030-13-01"), "ERR INVALID-VALUE\n");
  // Sent, its outcome to come.
  ASSERT_EQ(session.handle("SET VAR ups battery.date 2030-01-04", now).wait, Reply::Wait::Write);
  std::string sent;
  EXPECT_EQ(trackingIdOf(session.sent(&sent).text), sent);
  EXPECT_EQ(ask(other, "GET TRACKING " + sent), "PENDING\n");
  shared.tracked.settle(sent, false);
  EXPECT_EQ(ask(other, "GET TRACKING " + sent), "ERR FAILED\n");
  EXPECT_EQ(ask("SET TRACKING OFF"), "OK\n");
  ASSERT_EQ(session.handle("SET VAR ups battery.date 2030-01-03", now).wait, Reply::Wait::Write);
  EXPECT_EQ(session.written(true).text, "OK\n");
  EXPECT_EQ(session.sent(&sent).text, "OK\n");
  EXPECT_EQ(sent, "");

  // The table keeps the latest outcomes only.
  const std::string first = shared.tracked.add();
  for (size_t i = 0; i < Tracked::kKept; ++i) shared.tracked.add();
  EXPECT_EQ(shared.tracked.outcome(first), nullptr);
}

TEST_F(SessionTest, SecretsAndOrdersOnlyAfterStartTlsWhenRequired) {
  shared.tlsOffered = shared.tlsRequired = true;
  for (const char* request : {"USERNAME someone", "password secret", "LOGIN ups",
                              "SET VAR ups battery.date 2030-01-01", "PRIMARY ups", "MASTER ups",
                              "FSD ups"})
    EXPECT_EQ(ask(request), "ERR ACCESS-DENIED STARTTLS first\n") << request;
  EXPECT_EQ(ask("GET VAR ups device.type"), "VAR ups device.type \"ups\"\n");
  EXPECT_EQ(ask("STARTTLS x"), "ERR INVALID-ARGUMENT\n");
  const Reply started = session.handle("STARTTLS", now);
  EXPECT_EQ(started.text, "OK STARTTLS\n");
  EXPECT_TRUE(started.startTls);
  EXPECT_EQ(ask("starttls"), "ERR ALREADY-SSL-MODE\n");
  // Nothing refused before was kept.
  EXPECT_EQ(ask("USERNAME someone"), "OK\n");
  EXPECT_EQ(ask("LOGIN ups"), "ERR PASSWORD-REQUIRED\n");
  EXPECT_FALSE(shared.forcedShutdown);
}

}  // namespace
}  // namespace zqnetd
