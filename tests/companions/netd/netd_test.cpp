// ZqUpsNetd: the request parser on bytes, a session's replies on a
// hand-made snapshot, the users file and TLS key, and the built server
// against the built simulator through a socket client (its bounds, TLS, a
// hung service).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<crypt.h>)
#include <crypt.h>
#endif
#ifdef ZQUPSNETD_TLS
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <thread>

#include "LineClient.h"
#include "Passwords.h"
#include "Request.h"
#include "RunProgram.h"
#include "Session.h"
#include "SimProcess.h"
#include "Tls.h"
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

const char kNetd[] = ZQUPSNETD_PATH;
const char kSim[] = ZQUPSSIM_PATH;

// ---------------------------------------------------------------- requests

TEST(Request, SplitsWordsWithQuotesAndEscapes) {
  const struct {
    std::string line;
    Parse parse;
    std::vector<std::string> words;
  } cases[] = {
      {"GET VAR ups ups.status", Parse::Words, {"GET", "VAR", "ups", "ups.status"}},
      {"  LIST\tUPS \r", Parse::Words, {"LIST", "UPS"}},
      {"SET VAR ups battery.date \"2030 01\"", Parse::Words,
       {"SET", "VAR", "ups", "battery.date", "2030 01"}},
      {R"(PASSWORD "a\"b\\c")", Parse::Words, {"PASSWORD", "a\"b\\c"}},
      {R"(USERNAME a\ b)", Parse::Words, {"USERNAME", "a b"}},
      {"PASSWORD \"\"", Parse::Words, {"PASSWORD", ""}},
      {"x\"y z\"w", Parse::Words, {"xy zw"}},
      {"", Parse::Empty, {}},
      {" \r", Parse::Empty, {}},
      {"GET \"open", Parse::Invalid, {}},
      {"GET x\\", Parse::Invalid, {}},
      {"PASSWORD caf\xc3\xa9 \\\xe2\x82\xac", Parse::Words, {"PASSWORD", "caf\xc3\xa9", "\xe2\x82\xac"}},
      {"GET caf\xc3(", Parse::Invalid, {}},
      {"GET \xc0\xaf", Parse::Invalid, {}},
      {"GET \xff", Parse::Invalid, {}},
      {"GET \x7f", Parse::Invalid, {}},
      {std::string("GET \0x", 6), Parse::Invalid, {}},
      {"GET \x1b[2J", Parse::Invalid, {}},
      {"GET \\\x01", Parse::Invalid, {}},
  };
  Request request;
  for (const auto& c : cases) {
    EXPECT_EQ(request.parse(c.line), c.parse) << c.line;
    if (c.parse == Parse::Words) {
      EXPECT_EQ(std::vector<std::string>(request.words().begin(), request.words().end()), c.words)
          << c.line;
    }
  }
}

TEST(Request, PasswordsOnlyThatClientsCanSend) {
  EXPECT_EQ(unsendablePassword("s3cret-p\xc3\xa4ss"), "");
  // upsmon makes "PASSWORD %s\n" in 512 bytes.
  EXPECT_EQ(unsendablePassword(std::string(501, 'a')), "");
  for (const std::string& password :
       {std::string(), std::string("a\0b", 3), std::string("a b"), std::string("a\"b"),
        std::string("a\\b"), std::string("a\tb"), std::string("a\x01"), std::string("\xff"),
        std::string(502, 'a'), std::string(503, 'a')})
    EXPECT_NE(unsendablePassword(password), "") << password;
}

TEST(Request, FramerCutsLinesAndBoundsThem) {
  LineFramer framer;
  std::string line;
  framer.append("VER\r\nLIST ", 10);
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, "VER\r");
  EXPECT_EQ(framer.next(&line), LineFramer::Next::NeedMore);
  framer.append("UPS\n\n", 5);
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, "LIST UPS");
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, "");

  const std::string longest(kMaxLine, 'a');
  framer.append(longest.data(), longest.size());
  EXPECT_EQ(framer.next(&line), LineFramer::Next::NeedMore);
  framer.append("\n", 1);
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, longest);

  // Too long as soon as the bytes pass the bound, LF or not.
  LineFramer unended, ended;
  unended.append(longest.data(), longest.size());
  unended.append("a", 1);
  EXPECT_EQ(unended.next(&line), LineFramer::Next::TooLong);
  const std::string over = longest + "a\nVER\n";
  ended.append(over.data(), over.size());
  EXPECT_EQ(ended.next(&line), LineFramer::Next::TooLong);
}

// ---------------------------------------------------------------- sessions

// A SHA-512 hash of some password: its form is what the users file checks.
std::string sha512Hash(const std::string& rounds = "") {
  return "$6$" + rounds + "salt$" + std::string(86, 'a');
}

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
TEST_F(SessionTest, GetVarAllocatesNothingOnceWarm) {
  // Words and a value too long for a string's inline buffer.
  const std::string request = "GET VAR ups \"device.mfr\"   ";
  ask(request);
  countingAllocations = true;
  for (int i = 0; i < 3; ++i) session.handle(request, now);
  const Reply reply = session.handle(request, now);
  countingAllocations = false;
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(reply.text, "VAR ups device.mfr \"Zq Power Systems\"\n");
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

// ---------------------------------------------------------------- users

TEST(UsersFile, ParsesLinesAndSaysWhereTheyAreWrong) {
  Users users;
  std::string error;
  EXPECT_TRUE(users.parse("# who may log in\n\n  alice:" + sha512Hash() +
                              ": monitor , set # admin\nbob:" + sha512Hash("rounds=1000$") +
                              ":primary\n",
                          &error))
      << error;
  const std::string hash = sha512Hash();
  const struct {
    std::string text;
    const char* error;
  } wrong[] = {
      {"alice:$6$s$h\n", "1: not NAME:HASH:RIGHTS"},
      {"\nalice:" + hash + ":monitor,admin\n", "2: rights"},
      {"alice:" + hash + ":\n", "1: rights"},
      {"alice:secret:monitor\n", "1: not a password hash"},
      {"alice:$y$broken:monitor\n", "1: the system's crypt(3) cannot check"},
      {"alice:$6$s$h:monitor\n", "1: the system's crypt(3) cannot check"},
      {"alice:" + hash.substr(0, hash.size() - 1) + ":monitor\n", "1: the system's crypt(3) cannot check"},
      {"al ice:$6$s$h:monitor\n", "1: a name"},
      {"alice:" + hash + ":monitor\nalice:" + hash + ":set\n", "2: user alice named twice"},
  };
  for (const auto& w : wrong) {
    error.clear();
    EXPECT_FALSE(users.parse(w.text, &error)) << w.text;
    EXPECT_EQ(error.rfind(w.error, 0), 0u) << error;
  }
}

TEST(UsersFile, ChecksPasswordsAgainstSaltedHashes) {
  std::string error;
  const std::string hash = hashPassword("s3cret pass", &error);
  ASSERT_FALSE(hash.empty()) << error;
  EXPECT_TRUE(hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0) << hash;
  EXPECT_NE(hashPassword("s3cret pass", &error), hash);
  Users users;
  ASSERT_TRUE(users.parse("alice:" + hash + ":monitor,set\n", &error)) << error;
  EXPECT_EQ(users.check("alice", "s3cret pass"), std::optional<unsigned>(kMonitor | kSet));
  EXPECT_EQ(users.check("alice", "s3cret pas"), std::nullopt);
  EXPECT_EQ(users.check("Alice", "s3cret pass"), std::nullopt);
}

// The hash of `password` with `setting`; empty when the system's crypt
// lacks its method.
std::string hashWith(const std::string& password, const std::string& setting) {
  const char* hash = ::crypt(password.c_str(), setting.c_str());
  return hash != nullptr && hash[0] == '$' ? hash : "";
}

// A hash that takes a while to check: 60 ms or so.
std::string slowHash(const std::string& password) {
  return hashWith(password, "$6$rounds=200000$slowsalt$");
}

// The password checks on a loop of their own: what each answer was, and
// when it came.
class PasswordCheckTest : public ::testing::Test {
 protected:
  struct Answer {
    bool done = false;
    std::optional<unsigned> rights;
    Clock::duration took{}, hold{};
  };
  void TearDown() override { worker.stop(); }
  const Answer& ask(const std::string& source, const std::string& name,
                    const std::string& password) {
    Answer* answer = &answers.emplace_back();
    const auto asked = Clock::now();
    checks.check(source, source, name, password,
                 [answer, asked](std::optional<unsigned> rights, Clock::duration hold) {
                   *answer = Answer{true, rights, Clock::now() - asked, hold};
                 });
    return *answer;
  }
  // Until every check asked is answered, at most a minute.
  bool answered() {
    const auto until = Clock::now() + std::chrono::minutes(1);
    const auto all = [&] {
      return std::all_of(answers.begin(), answers.end(), [](const Answer& a) { return a.done; });
    };
    while (!all() && Clock::now() < until) {
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
    }
    return all();
  }

  asio::io_context io;
  Worker worker;
  Users users;
  ClientLog log;
  PasswordChecks checks{io, &worker, &users, &log};
  std::deque<Answer> answers;
};

// Timing classes tell scrypt's costs apart: an unknown name and a cheaper
// user's wrong password cost what the dearer user's does.
TEST_F(PasswordCheckTest, EveryAnswerWaitsForTheDearestHash) {
  const std::string cheap = hashWith("pw", "$7$A6..../....cheapsalt$");
  const std::string dear = hashWith("pw", "$7$E6..../....dearsalt$");
  if (cheap.empty() || dear.empty()) GTEST_SKIP() << "no scrypt in the system's crypt";
  std::string error;
  ASSERT_TRUE(users.parse("cheap:" + cheap + ":monitor\ndear:" + dear + ":monitor\n", &error));
  const Answer& dearOne = ask("192.0.2.1", "dear", "guess");
  ASSERT_TRUE(answered());
  for (const char* name : {"cheap", "nobody"}) {
    const Answer& other = ask("192.0.2.1", name, "guess");
    ASSERT_TRUE(answered());
    EXPECT_EQ(other.rights, std::nullopt);
    EXPECT_GT(other.took, dearOne.took * 3 / 4) << name;
  }
}

// A right password seen before is known at once, from any address, while
// guesses for the same user from the same address wait their turns; an
// unknown name's answer is a timer that holds no check up; the delay after
// failures is the failing connection's.
TEST_F(PasswordCheckTest, GuessersHoldNoRightPasswordUp) {
  const std::string hash = slowHash("pw");
  ASSERT_FALSE(hash.empty());
  std::string error;
  ASSERT_TRUE(users.parse("alice:" + hash + ":monitor\n", &error));
  std::vector<const Answer*> unknown;
  for (int i = 0; i < 20; ++i) unknown.push_back(&ask("198.51.100." + std::to_string(i), "root", "guess"));
  const Answer& first = ask("192.0.2.1", "alice", "pw");
  ASSERT_TRUE(answered());
  EXPECT_EQ(first.rights, std::optional<unsigned>(kMonitor));
  for (const Answer* answer : unknown) EXPECT_LT(answer->took, first.took * 4);
  EXPECT_LT(first.took, unknown.front()->took * 4);

  std::vector<const Answer*> guesses;
  for (int i = 0; i < 6; ++i) guesses.push_back(&ask("192.0.2.1", "alice", "guess"));
  const Answer& again = ask("192.0.2.1", "alice", "pw");
  const Answer& elsewhere = ask("203.0.113.9", "alice", "pw");
  const Answer& wrongThere = ask("203.0.113.9", "alice", "pW");
  ASSERT_TRUE(answered());
  for (const Answer* right : {&again, &elsewhere}) {
    EXPECT_EQ(right->rights, std::optional<unsigned>(kMonitor));
    EXPECT_LT(right->took, first.took / 2);
    EXPECT_EQ(right->hold, Clock::duration::zero());
  }
  EXPECT_EQ(wrongThere.rights, std::nullopt);
  EXPECT_EQ(wrongThere.hold, std::chrono::milliseconds(100));
  for (size_t i = 0; i < guesses.size(); ++i) {
    EXPECT_EQ(guesses[i]->rights, std::nullopt);
    EXPECT_EQ(guesses[i]->hold, std::chrono::milliseconds(100 << i)) << i;
  }
}

// The users file may be read by its group; the TLS key by its owner alone.
TEST(SecretFiles, RefusedWhenOthersMayReadOrWriteThem) {
  char folder[] = "/tmp/netd_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/secret";
  std::ofstream(path) << "alice:" << sha512Hash() << ":monitor\n";
  for (const mode_t mode : {0600, 0640, 0400, 0644, 0620, 0602, 0606}) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    Users users;
    std::string error;
    const bool refused = (mode & 0026) != 0;
    EXPECT_EQ(users.load(path, &error), !refused) << std::oct << mode;
    if (refused) {
      EXPECT_NE(error.find("others may read or write it"), std::string::npos) << error;
    }
    if (!tlsBuilt()) continue;
    // Not a key at all: past the mode, the certificate is what fails.
    error.clear();
    std::string warning;
    EXPECT_EQ(loadTls(path + ".pem", path, &error, &warning), nullptr);
    EXPECT_EQ(error.find("others may read or write it (chmod 600)") != std::string::npos,
              (mode & 0077) != 0)
        << std::oct << mode << " " << error;
  }
  Users users;
  std::string error;
  EXPECT_FALSE(users.load(folder, &error));
  EXPECT_FALSE(users.load(path + ".missing", &error));
  ::unlink(path.c_str());
  ::rmdir(folder);
}

// ---------------------------------------------------------------- the server

using Client = upstest::LineClient;
using upstest::underValgrind;

// The built server on free loopback ports.
class Netd {
 public:
  // `descriptors`: its descriptor limit, when not 0.
  bool start(const std::vector<std::string>& args, bool withIpv6 = false, int descriptors = 0) {
    std::vector<std::string> argv = {"ZqUpsNetd", "--listen", "127.0.0.1:0"};
    if (withIpv6) argv.insert(argv.end(), {"--listen", "[::1]:0"});
    argv.insert(argv.end(), args.begin(), args.end());
    const char* path = kNetd;
    if (descriptors != 0) {
      path = "/bin/sh";
      argv[0] = kNetd;
      argv.insert(argv.begin(), {"sh", "-c", "ulimit -n " + std::to_string(descriptors) +
                                                " && exec \"$0\" \"$@\""});
    }
    if (!process_.start(path, argv, withIpv6 ? 2 : 1)) return false;
    port = process_.port(0);
    if (withIpv6) port6 = process_.port(1);
    return true;
  }
  const std::string& why() const { return process_.why(); }
  pid_t pid() const { return process_.pid(); }
  upstest::ProgramRun stop(int sig = SIGTERM) { return process_.stop(sig, 10); }

  int port = 0, port6 = 0;

 private:
  upstest::ListeningProgram process_;
};

// Asks `client` `request` until the reply is `wanted` (or 10 s pass).
bool waitForReply(Client& client, const std::string& request, const std::string& wanted) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (client.ask(request) == wanted) return true;
    ::usleep(50 * 1000);
  }
  return false;
}

bool ipv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

TEST(Server, CapsConnectionsIdleClientsAndLongLines) {
  const bool v6 = ipv6Loopback();
  Netd netd;
  ASSERT_TRUE(netd.start({"--max-connections", "3", "--max-per-address", "2", "--idle-timeout",
                          "2s"},
                         v6));
  Client first("127.0.0.1", netd.port), second("127.0.0.1", netd.port);
  EXPECT_EQ(first.ask("NETVER"), "1.3\n");
  EXPECT_EQ(second.ask("NETVER"), "1.3\n");
  // At either cap, the client idle longest of those not signed in makes
  // room: of the address at its cap, of all at the cap in all.
  Client third("127.0.0.1", netd.port);
  EXPECT_EQ(third.ask("NETVER"), "1.3\n");
  EXPECT_TRUE(first.closedWithin(1000));
  const auto lastRequest = std::chrono::steady_clock::now();
  if (v6) {
    Client other("::1", netd.port6);
    EXPECT_EQ(other.ask("NETVER"), "1.3\n");
    Client newcomer("::1", netd.port6);
    EXPECT_EQ(newcomer.ask("NETVER"), "1.3\n");
    EXPECT_TRUE(second.closedWithin(1000));
  }
  // Idle clients go after the idle time, not before; a blank line is no
  // request.
  const auto until = lastRequest + std::chrono::seconds(5);
  while (!third.closedWithin(200) && std::chrono::steady_clock::now() < until) third.send("\n");
  EXPECT_GE(std::chrono::steady_clock::now() - lastRequest, std::chrono::milliseconds(1900));
  EXPECT_LT(std::chrono::steady_clock::now(), until);
  EXPECT_TRUE(second.closedWithin(1000));

  Client talker("127.0.0.1", netd.port);
  EXPECT_TRUE(talker.send("VER\n" + std::string(kMaxLine, 'a')));
  EXPECT_EQ(talker.line().rfind("ZqUpsNetd ", 0), 0u);
  EXPECT_FALSE(talker.closedWithin(200));
  EXPECT_TRUE(talker.send("a"));
  EXPECT_EQ(talker.line(), "ERR TOO-LONG\n");
  EXPECT_TRUE(talker.closedWithin(5000));
  const upstest::ProgramRun run = netd.stop();
  EXPECT_TRUE(run.exited);
  for (const std::string line :
       {"dropped 127.0.0.1: idle longest of those from its address not signed in, for a new "
        "client\n",
        v6 ? "dropped 127.0.0.1: idle longest of those not signed in, for a new client\n" : "",
        "dropped 127.0.0.1: no request for 2 s\n", "dropped 127.0.0.1: request line too long\n"})
    EXPECT_NE(run.err.find(line), std::string::npos) << line << run.err;
}

// What `run` writes to standard error.
template <typename Run>
std::string standardErrorOf(Run run) {
  char path[] = "/tmp/netd_test.XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return "";
  ::unlink(path);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  run();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text(size_t(::lseek(fd, 0, SEEK_CUR)), '\0');
  const bool read = ::pread(fd, text.data(), text.size(), 0) == ssize_t(text.size());
  ::close(fd);
  return read ? text : "";
}

// A flood from many addresses: a line for each of the first ones, then
// one count for all the others.
TEST(Server, LogsAFloodFromManyAddressesInBoundedLines) {
  ClientLog log;
  const auto now = ClientLog::Clock::now();
  const std::string text = standardErrorOf([&] {
    for (size_t i = 0; i < ClientLog::kMaxHeld + 500; ++i)
      log.note(now, "refused", "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
               "too many connections");
    log.note(now, "refused", "10.0.0.0", "too many connections");
    log.flush(now + ClientLog::kInterval);
  });
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("ZqUpsNetd: refused ", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, ClientLog::kMaxHeld + 1) << text.substr(0, 200);
  EXPECT_NE(text.find("refused 10.0.0.0: too many connections (1 more in 10 s)\n"),
            std::string::npos);
  EXPECT_NE(text.find("ZqUpsNetd: 500 more lines about clients not logged: over 1024 addresses "
                      "or reasons in 10 s\n"),
            std::string::npos)
      << text.substr(text.size() - 300);
}

TEST(Server, CountsAnIpv6Slash64AsOneAddress) {
  const auto source = [](const char* text) { return sourceOf(asio::ip::make_address(text)); };
  EXPECT_EQ(source("2001:db8:1:2::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(source("2001:db8:1:2:ffff:1:2:3"), "2001:db8:1:2::/64");
  EXPECT_EQ(source("2001:db8:1:3::1"), "2001:db8:1:3::/64");
  EXPECT_EQ(source("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(source("192.0.2.7"), "192.0.2.7");
}

TEST(Server, RefusesOptionsThatCannotWork) {
  upstest::ProgramOptions bounded;
  bounded.timeoutSeconds = 10;
  const struct {
    std::vector<std::string> args;
    const char* why;
  } cases[] = {
      {{"--listen", "0.0.0.0:0"}, "give --tls-cert and --tls-key (or --allow-plaintext)"},
      {{"--require-tls"}, "--require-tls needs --tls-cert and --tls-key"},
      {{"--require-tls", "--allow-plaintext"}, "excludes"},
      {{"--tls-cert", "x.pem"}, "requires --tls-key"},
      {{"--tls-cert", "/nonexistent.pem", "--tls-key", "/dev/null"}, "/dev/null: not a regular file"},
      {{"--poll-interval", "15s"}, "the data would go stale between readings"},
      {{"--poll-interval", "5s", "--stale-after", "5.2s"}, "would go stale between readings"},
      {{"--stale-after", "900ms", "--poll-interval", "100ms"}, "shorter than a reading may take"},
      {{"--min-line-voltage", "nan"}, "--min-line-voltage: not a finite number"},
      {{"--low-runtime", "NaN"}, "--low-runtime: not a finite number"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {"ZqUpsNetd"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const upstest::ProgramRun run = upstest::runProgram(kNetd, argv, bounded);
    EXPECT_TRUE(run.exited && run.exitStatus == 2) << c.why << ": " << run.out << run.err;
    EXPECT_NE(run.err.find(c.why), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("listening"), std::string::npos);
  }
  // Descriptors enough for itself but for no client: refused before it
  // says that it listens.
  const upstest::ProgramRun cramped = upstest::runProgram(
      "/bin/sh", {"sh", "-c", "ulimit -n 14 && exec \"$0\" --listen 127.0.0.1:0", kNetd}, bounded);
  EXPECT_TRUE(cramped.exited && cramped.exitStatus == 1) << cramped.out << cramped.err;
  EXPECT_NE(cramped.err.find("leaves no room for clients"), std::string::npos) << cramped.err;
  EXPECT_EQ(cramped.out, "");
}

// On a terminal: prompts on it, twice, and never echoes the password.
TEST(Server, HashPasswordPromptsWithoutEchoOnATerminal) {
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_TRUE(::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
  const std::string side = ::ptsname(terminal);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int fd = ::open(side.c_str(), O_RDWR);
    for (int to = 0; to < 3; ++to) ::dup2(fd, to);
    ::execl(kNetd, "ZqUpsNetd", "--hash-password", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string shown;
  // What the terminal shows until `text` (or its end, or 10 s).
  const auto showUntil = [&](const std::string& text) {
    char buffer[256];
    pollfd ready{terminal, POLLIN, 0};
    while (shown.find(text) == std::string::npos && ::poll(&ready, 1, 10000) == 1) {
      const ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;
      shown.append(buffer, static_cast<size_t>(got));
    }
    return shown.find(text) != std::string::npos;
  };
  EXPECT_TRUE(showUntil("Password: ")) << shown;
  EXPECT_EQ(::write(terminal, "s3cret\n", 7), 7);
  EXPECT_TRUE(showUntil("Again: ")) << shown;
  EXPECT_EQ(::write(terminal, "s3cret\n", 7), 7);
  EXPECT_TRUE(showUntil("$")) << shown;
  showUntil("\n$");  // the rest, to the end
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
}

// Standard input not a terminal: one line, no prompt.
TEST(Server, HashesOnlyPasswordsThatCanLogIn) {
  upstest::ProgramOptions bounded;
  bounded.timeoutSeconds = 30;
  const auto hashOf = [&](const std::string& input) {
    return upstest::runProgram(
        "/bin/sh", {"sh", "-c", "printf '" + input + "' | \"$0\" --hash-password", kNetd}, bounded);
  };
  const upstest::ProgramRun utf8 = hashOf("p\\303\\244ss\\n");
  EXPECT_TRUE(utf8.exited && utf8.exitStatus == 0) << utf8.err;
  EXPECT_EQ(utf8.out.rfind("$", 0), 0u) << utf8.out;
  EXPECT_EQ(utf8.err, "");
  for (const char* input : {"a\\000b\\n", "two words\\n", "tab\\tbed\\n", "\\n"}) {
    const upstest::ProgramRun refused = hashOf(input);
    EXPECT_TRUE(refused.exited && refused.exitStatus == 2) << input << refused.err;
    EXPECT_EQ(refused.out, "") << input;
    EXPECT_NE(refused.err.find("--hash-password: "), std::string::npos) << refused.err;
  }
}

#ifdef ZQUPSNETD_TLS
// A self-signed certificate for 127.0.0.1, valid from `fromDays` to
// `toDays` days from now, and its key (mode 600): cert.pem and key.pem in
// `folder`.
bool makeCertificate(const std::string& folder, long fromDays = 0, long toDays = 1) {
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* keygen = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  bool made = keygen != nullptr && EVP_PKEY_keygen_init(keygen) == 1 &&
              EVP_PKEY_CTX_set_ec_paramgen_curve_nid(keygen, NID_X9_62_prime256v1) == 1 &&
              EVP_PKEY_keygen(keygen, &key) == 1;
  EVP_PKEY_CTX_free(keygen);
  X509* certificate = X509_new();
  X509_NAME* name = X509_get_subject_name(certificate);
  const auto* host = reinterpret_cast<const unsigned char*>("127.0.0.1");
  made = made && X509_set_version(certificate, 2) == 1 &&
         ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(certificate), fromDays * 86400) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(certificate), toDays * 86400) != nullptr &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, host, -1, -1, 0) == 1 &&
         X509_set_issuer_name(certificate, name) == 1 && X509_set_pubkey(certificate, key) == 1 &&
         X509_sign(certificate, key, EVP_sha256()) > 0;
  for (const bool isKey : {false, true}) {
    const std::string path = folder + (isKey ? "/key.pem" : "/cert.pem");
    FILE* out = made ? std::fopen(path.c_str(), "w") : nullptr;
    made = out != nullptr && (isKey ? PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr)
                                    : PEM_write_X509(out, certificate)) == 1;
    if (out != nullptr) made = std::fclose(out) == 0 && made;
  }
  X509_free(certificate);
  EVP_PKEY_free(key);
  return made && ::chmod((folder + "/key.pem").c_str(), 0600) == 0;
}

TEST(Tls, NamesTheFileAndWhyAndWarnsOfDates) {
  char folder[] = "/tmp/netd_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string certificate = std::string(folder) + "/cert.pem";
  const std::string key = std::string(folder) + "/key.pem";
  const auto load = [&](const std::string& chain, std::string* error, std::string* warning) {
    return loadTls(chain, key, error, warning) != nullptr;
  };
  std::string error, warning;
  ASSERT_TRUE(makeCertificate(folder));
  EXPECT_TRUE(load(certificate, &error, &warning)) << error;
  EXPECT_EQ(warning, "");
  EXPECT_FALSE(load(certificate + ".missing", &error, &warning));
  EXPECT_EQ(error, certificate + ".missing: " + std::strerror(ENOENT));
  EXPECT_FALSE(load(key, &error, &warning));
  EXPECT_EQ(error.rfind(key + ": no certificate in it", 0), 0u) << error;
  const std::string empty = std::string(folder) + "/empty.pem";
  std::ofstream(empty).close();
  ASSERT_EQ(::chmod(empty.c_str(), 0600), 0);
  EXPECT_FALSE(load(empty, &error, &warning));
  EXPECT_EQ(error, empty + ": the file is empty; it should hold the certificate chain (PEM)");
  EXPECT_EQ(loadTls(certificate, empty, &error, &warning), nullptr);
  EXPECT_EQ(error, empty + ": the file is empty; it should hold the private key (PEM)");
  ::unlink(empty.c_str());
  const struct {
    long from, to;
    const char* warning;
  } dated[] = {{-3, -1, "the certificate expired on "}, {2, 3, "the certificate is not valid before "}};
  for (const auto& d : dated) {
    ASSERT_TRUE(makeCertificate(folder, d.from, d.to));
    EXPECT_TRUE(load(certificate, &error, &warning)) << error;
    EXPECT_EQ(warning.rfind(certificate + ": " + d.warning, 0), 0u) << warning;
  }
  ::unlink(certificate.c_str());
  ::unlink(key.c_str());
  ::rmdir(folder);
}

// TLS over a Client's connection, after its STARTTLS; blocking, each read
// and write bounded by the socket's timeouts.
class TlsClient {
 public:
  explicit TlsClient(int fd) : context_(SSL_CTX_new(TLS_client_method())) {
    const timeval bound{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd);
    connected_ = SSL_connect(ssl_) == 1;
  }
  ~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
  }
  bool connected() const { return connected_; }
  bool send(const std::string& text) {
    return SSL_write(ssl_, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
  }
  // The next line; empty at the end of the stream.
  std::string line() {
    std::string reply;
    char c;
    while (reply.empty() || reply.back() != '\n') {
      if (SSL_read(ssl_, &c, 1) != 1) break;
      reply += c;
    }
    return reply;
  }
  // The reply's first line.
  std::string ask(const std::string& request) {
    send(request + "\n");
    return line();
  }
  // Whether the server ended with TLS's closing alert.
  bool closedCleanly() {
    char c;
    return SSL_read(ssl_, &c, 1) == 0 && SSL_get_error(ssl_, 0) == SSL_ERROR_ZERO_RETURN;
  }

 private:
  SSL_CTX* context_;
  SSL* ssl_ = nullptr;
  bool connected_ = false;
};

TEST(Server, AnswersThroughTlsAfterStartTls) {
  char folder[] = "/tmp/netd_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string certificate = std::string(folder) + "/cert.pem";
  const std::string key = std::string(folder) + "/key.pem";
  const bool made = makeCertificate(folder);
  Netd netd;
  const bool started = made && netd.start({"--tls-cert", certificate, "--tls-key", key});
  ::unlink(certificate.c_str());
  ::unlink(key.c_str());
  ::rmdir(folder);
  ASSERT_TRUE(made && started);

  // A burst of requests in one write, many reads' worth, answered whole
  // and in order before and after STARTTLS.
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += i % 2 ? "NETVER\n" : "VER\n";
  const auto answersBurst = [&](auto& client) {
    if (!client.send(burst)) return false;
    for (int i = 0; i < 500; ++i) {
      const std::string line = client.line();
      if (i % 2 ? line != "1.3\n" : line.rfind("ZqUpsNetd ", 0) != 0) return false;
    }
    return true;
  };
  Client client("127.0.0.1", netd.port);
  EXPECT_TRUE(answersBurst(client));
  EXPECT_EQ(client.ask("USERNAME alice"), "OK\n");  // on loopback TLS is not required
  ASSERT_EQ(client.ask("STARTTLS"), "OK STARTTLS\n");
  TlsClient tls(client.fd());
  ASSERT_TRUE(tls.connected());
  EXPECT_TRUE(answersBurst(tls));
  EXPECT_EQ(tls.ask("NETVER"), "1.3\n");
  EXPECT_EQ(tls.ask("STARTTLS"), "ERR ALREADY-SSL-MODE\n");
  EXPECT_EQ(tls.ask("LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(tls.closedCleanly());

  // Not TLS after all: the connection goes, the server stays.
  Client liar("127.0.0.1", netd.port);
  ASSERT_EQ(liar.ask("STARTTLS"), "OK STARTTLS\n");
  liar.send("GET VAR ups ups.status\n");
  EXPECT_TRUE(liar.closedWithin(5000));
  EXPECT_EQ(Client("127.0.0.1", netd.port).ask("NETVER"), "1.3\n");
  const upstest::ProgramRun run = netd.stop();
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
}
#endif

class ServerWithSim : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.start({})) << sim.why(); }
  // Polling every 200 ms, alice (password pw) may monitor and set;
  // `more` adds lines to the users file.
  bool startWithAlice(std::vector<std::string> args, const std::string& more = "") {
    char folder[] = "/tmp/netd_test.XXXXXX";
    if (::mkdtemp(folder) == nullptr) return false;
    const std::string users = std::string(folder) + "/users";
    std::string error;
    std::ofstream(users) << "alice:" << hashPassword("pw", &error) << ":monitor,set\n" << more;
    ::chmod(users.c_str(), 0600);
    args.insert(args.end(), {"--users", users, "--poll-interval", "200ms"});
    const bool started = netd.start(args);
    ::unlink(users.c_str());
    ::rmdir(folder);
    return started;
  }
  upstest::SimProcess sim{kSim};
  Netd netd;
};

TEST_F(ServerWithSim, ServesLoginsAndWritesThroughTheService) {
  ASSERT_TRUE(startWithAlice({"--max-connections", "2"}));
  Client client("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(client, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));
  client.send("LIST VAR ups\n");
  const std::string list = client.until("END LIST VAR ups\n");
  EXPECT_NE(list.find("\nVAR ups input.voltage \"230\"\n"), std::string::npos) << list;
  EXPECT_NE(list.find("\nVAR ups ups.model \"ZQ-R3000 RM 2U\"\n"), std::string::npos);

  EXPECT_EQ(client.ask("USERNAME alice"), "OK\n");
  EXPECT_EQ(client.ask("PASSWORD pw"), "OK\n");
  EXPECT_EQ(client.ask("LOGIN ups"), "OK\n");
  EXPECT_EQ(client.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 1\n");
  client.send("LIST CLIENT ups\n");
  EXPECT_EQ(client.until("END LIST CLIENT ups\n"),
            "BEGIN LIST CLIENT ups\nCLIENT ups 127.0.0.1\nEND LIST CLIENT ups\n");
  EXPECT_EQ(client.ask("SET VAR ups battery.date 2031-02-03"), "OK\n");
  // No reading in flight undoes it: the next one begins after the write.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(client.ask("GET VAR ups battery.date"), "VAR ups battery.date \"2031-02-03\"\n");
    ::usleep(50 * 1000);
  }

  Client wrong("127.0.0.1", netd.port);
  EXPECT_EQ(wrong.ask("USERNAME alice"), "OK\n");
  EXPECT_EQ(wrong.ask("PASSWORD pW"), "OK\n");
  EXPECT_EQ(wrong.ask("LOGIN ups"), "ERR ACCESS-DENIED\n");
  // At the cap the client idle longest makes room, unless it signed in.
  Client newcomer("127.0.0.1", netd.port);
  EXPECT_EQ(newcomer.ask("NETVER"), "1.3\n");
  EXPECT_TRUE(wrong.closedWithin(1000));
  EXPECT_EQ(client.ask("LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(client.closedWithin(5000));
  EXPECT_EQ(newcomer.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 0\n");

  // A stop with a client logged in leaves cleanly.
  Client stays("127.0.0.1", netd.port);
  for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
    EXPECT_EQ(stays.ask(request), "OK\n") << request;
  const upstest::ProgramRun run = netd.stop();
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
}

// At the cap, the client that makes room is never one whose password
// check is in flight, however idle, nor one signed in.
TEST_F(ServerWithSim, RoomIsNeverMadeFromALoginInFlight) {
  ASSERT_TRUE(startWithAlice({"--max-per-address", "3"}, "bob:" + slowHash("pw") + ":monitor\n"));
  Client alice("127.0.0.1", netd.port), bob("127.0.0.1", netd.port), chatty("127.0.0.1", netd.port);
  for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
    ASSERT_EQ(alice.ask(request), "OK\n") << request;
  bob.send("USERNAME bob\nPASSWORD pw\nLOGIN ups\n");
  EXPECT_EQ(bob.line() + bob.line(), "OK\nOK\n");
  EXPECT_EQ(chatty.ask("NETVER"), "1.3\n");
  Client newcomer("127.0.0.1", netd.port);
  EXPECT_EQ(newcomer.ask("NETVER"), "1.3\n");
  EXPECT_TRUE(chatty.closedWithin(1000));
  EXPECT_EQ(bob.line(), "OK\n");
  for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
    ASSERT_EQ(newcomer.ask(request), "OK\n") << request;
  Client refused("127.0.0.1", netd.port);
  EXPECT_EQ(refused.line(), "ERR ACCESS-DENIED too many connections\n");
  EXPECT_EQ(bob.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 3\n");
}

// Writes queued while the service is stopped, so that it answers nothing,
// are answered as failed within 4 s, though each of their exchanges may
// take 7.5 s, and the service does not perform them once it wakes; nor
// one whose client has gone.
TEST_F(ServerWithSim, AWriteAnsweredFailedIsNeverPerformedLater) {
  ASSERT_TRUE(startWithAlice({}));
  Client first("127.0.0.1", netd.port), second("127.0.0.1", netd.port);
  auto gone = std::make_unique<Client>("127.0.0.1", netd.port);
  for (Client* client : {&first, &second, gone.get()})
    for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
      ASSERT_EQ(client->ask(request), "OK\n") << request;
  const std::string unchanged = "VAR ups battery.date \"2028-07-01\"\n";
  ASSERT_TRUE(waitForReply(first, "GET VAR ups battery.date", unchanged));
  ASSERT_EQ(::kill(sim.pid(), SIGSTOP), 0);
  ::usleep(100 * 1000);  // for its last answers to arrive
  const auto asked = std::chrono::steady_clock::now();
  first.send("SET VAR ups battery.date 2031-01-01\n");
  second.send("SET VAR ups battery.date 2032-02-02\n");
  gone->send("SET VAR ups battery.date 2033-03-03\n");
  gone.reset();
  EXPECT_EQ(first.line(30000), "ERR SET-FAILED\n");
  EXPECT_EQ(second.line(30000), "ERR SET-FAILED\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(4500));
  ASSERT_EQ(::kill(sim.pid(), SIGCONT), 0);
  ASSERT_TRUE(waitForReply(first, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));
  ::usleep(600 * 1000);  // readings enough for a late write to show
  EXPECT_EQ(first.ask("GET VAR ups battery.date"), unchanged);
  const upstest::ProgramRun run = netd.stop();
  // The second's line is counted with the first's.
  const std::string head = "ZqUpsNetd: write of battery.date not sent for 127.0.0.1: ";
  for (const char* why : {"no answer from the service in 4 s, answered as failed",
                          "the client has gone"})
    EXPECT_NE(run.err.find(head + why + "\n"), std::string::npos) << run.err;
}

TEST_F(ServerWithSim, DropsAClientThatDoesNotRead) {
  ASSERT_TRUE(netd.start({"--poll-interval", "200ms"}));
  Client reader("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(reader, "GET VAR ups device.type", "VAR ups device.type \"ups\"\n"));
  Client hog("127.0.0.1", netd.port, 4096);
  ::fcntl(hog.fd(), F_SETFL, O_NONBLOCK);
  std::string requests;
  for (int i = 0; i < 100; ++i) requests += "LIST VAR ups\n";
  // Requests go out until the server drops the client; each asks for
  // about 1.5 KiB that is never read.
  bool dropped = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!dropped && std::chrono::steady_clock::now() < until) {
    const ssize_t sent = ::send(hog.fd(), requests.data(), requests.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) dropped = true;
    if (sent < 0 && !dropped) {
      pollfd ready{hog.fd(), POLLOUT, 0};
      ::poll(&ready, 1, 100);
      dropped = (ready.revents & (POLLERR | POLLHUP)) != 0;
    }
  }
  EXPECT_TRUE(dropped);
  EXPECT_EQ(reader.ask("NETVER"), "1.3\n");

  // Clients that go while their replies are being written (a reset, with
  // them unread) leave the server serving.
  std::string lists;
  for (int i = 0; i < 40; ++i) lists += "LIST VAR ups\n";
  for (int i = 0; i < 20; ++i) {
    Client quitter("127.0.0.1", netd.port, 4096);
    ASSERT_TRUE(quitter.send(lists));
    ::usleep(i * 1000);
  }
  EXPECT_EQ(reader.ask("NETVER"), "1.3\n");

  // One that reads late, within the bound, gets every reply whole.
  Client late("127.0.0.1", netd.port, 4096);
  ASSERT_TRUE(late.send(lists));
  ::usleep(300 * 1000);
  for (int i = 0; i < 40; ++i) {
    const std::string list = late.until("END LIST VAR ups\n");
    ASSERT_EQ(list.rfind("BEGIN LIST VAR ups\nVAR ups ", 0), 0u) << i << ": " << list;
    ASSERT_EQ(list.substr(list.size() - 17), "END LIST VAR ups\n") << i << ": " << list;
  }
  EXPECT_EQ(late.ask("NETVER"), "1.3\n");
}

TEST_F(ServerWithSim, HungServiceLeavesClientsAnsweredAndDataStale) {
  ASSERT_TRUE(netd.start({"--poll-interval", "200ms", "--stale-after", "1s"}));
  Client client("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(client, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));
  ASSERT_EQ(::kill(sim.pid(), SIGSTOP), 0);

  const auto bound = std::chrono::milliseconds(underValgrind() ? 200 : 10);
  std::chrono::steady_clock::duration slowest{};
  bool stale = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ask("VER").rfind("ZqUpsNetd ", 0), 0u);
    slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
    stale = stale || client.ask("GET VAR ups ups.status") == "ERR DATA-STALE\n";
    ::usleep(20 * 1000);
  }
  EXPECT_LT(slowest, bound);
  EXPECT_TRUE(stale);
  ::kill(sim.pid(), SIGCONT);
  EXPECT_TRUE(waitForReply(client, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));

  // A reading in flight does not hold the stop up.
  ASSERT_EQ(::kill(sim.pid(), SIGSTOP), 0);
  ::usleep(300 * 1000);
  const auto stopping = std::chrono::steady_clock::now();
  const upstest::ProgramRun run = netd.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(1));
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
  ::kill(sim.pid(), SIGCONT);
  // Each change said once.
  const auto count = [&](const std::string& text) {
    size_t found = 0;
    for (size_t at = 0; (at = run.err.find("ZqUpsNetd: " + text, at)) != std::string::npos; ++at)
      ++found;
    return found;
  };
  // A service that answers within the library's bound is slow, not lost.
  EXPECT_EQ(count("data fresh\n"), 2u) << run.err;
  EXPECT_EQ(count("UPS service lost: "), 0u);
  EXPECT_EQ(count("data stale"), 1u);
}

// Whether clients may connect from 127.0.0.2 and on (Linux lets them).
bool loopbackAliases() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool ok = fd >= 0 && upstest::bindTo(fd, "127.0.0.2");
  if (fd >= 0) ::close(fd);
  return ok;
}

TEST_F(ServerWithSim, GuessersDoNotHoldACorrectLoginUp) {
  if (!loopbackAliases()) GTEST_SKIP() << "no 127.0.0.2 to guess from";
  ASSERT_TRUE(startWithAlice({}));
  const auto login = [&](const std::string& from) {
    const auto start = std::chrono::steady_clock::now();
    Client client("127.0.0.1", netd.port, 0, from);
    client.send("USERNAME alice\nPASSWORD pw\nLOGIN ups\n");
    std::string replies;
    for (int i = 0; i < 3; ++i) replies += client.line();
    EXPECT_EQ(replies, "OK\nOK\nOK\n") << from;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start).count();
  };
  // From now on alice is known at 127.0.0.2.
  const auto bound = 4 * login("127.0.0.2") + 250;

  std::atomic<bool> done{false};
  std::vector<std::thread> guessers;
  for (int address = 2; address < 10; ++address)
    // Fewer from alice's address, below its cap.
    guessers.emplace_back([&, address, from = "127.0.0." + std::to_string(address)] {
      while (!done) {
        std::vector<std::unique_ptr<Client>> tries;
        for (int i = 0; i < (address == 2 ? 1 : 8); ++i) {
          tries.push_back(std::make_unique<Client>("127.0.0.1", netd.port, 0, from));
          tries.back()->send("USERNAME root\nPASSWORD guess\nLOGIN ups\n");
        }
        ::usleep(200 * 1000);
      }
    });
  ::sleep(1);
  EXPECT_LT(login("127.0.0.1"), bound);  // an address new to the server
  EXPECT_LT(login("127.0.0.2"), bound);  // among guessers, a user known there
  done = true;
  for (std::thread& guesser : guessers) guesser.join();
  const upstest::ProgramRun run = netd.stop();
  // Under a flood, at most a line and a count for each address (how many
  // checks each address got depends on the machine's speed).
  for (int address = 2; address < 10; ++address) {
    const std::string from = "failed login from 127.0.0." + std::to_string(address) + " ";
    size_t lines = 0;
    for (size_t at = 0; (at = run.err.find(from, at)) != std::string::npos; ++at) ++lines;
    EXPECT_LE(lines, 2u) << run.err;
  }
  // Under valgrind the wait that matches the dearest hash may outlast the
  // flood, so that no guess is answered before it ends.
  if (!upstest::underValgrind()) {
    EXPECT_NE(run.err.find(" as root\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" more)\n"), std::string::npos) << run.err;
  }
}

TEST_F(ServerWithSim, KeepsDataFreshWhileClientsFillASmallDescriptorLimit) {
  ASSERT_TRUE(netd.start({"--poll-interval", "100ms", "--stale-after", "1s"}, false, 20));
  Client asker("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(asker, "GET VAR ups device.type", "VAR ups device.type \"ups\"\n"));
  std::vector<std::unique_ptr<Client>> crowd;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until) {
    if (crowd.size() < 30) crowd.push_back(std::make_unique<Client>("127.0.0.1", netd.port));
    EXPECT_EQ(asker.ask("GET VAR ups device.type"), "VAR ups device.type \"ups\"\n");
    ::usleep(20 * 1000);
  }
}

}  // namespace
}  // namespace zqnetd
