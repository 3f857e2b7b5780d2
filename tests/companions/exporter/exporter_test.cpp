// ZqUpsExporter: its metrics of a reading against a scripted service
// (points the service answers badly, a service that is not there, texts
// that are not UTF-8 or not dates), the built program's textfile against
// ZqUpsSim, and its HTTP server: where it listens, what it answers, and
// (the Timing cases, left out under valgrind) that no client, slow
// service or hung exchange holds up a scrape or the end.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "FakeUpsService.h"
#include "Journal.h"
#include "LineClient.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "MetricsServer.h"
#include "UpsMetrics.h"
#include "ZqUpsApi.h"

using namespace upstest;
using Clock = std::chrono::steady_clock;

namespace {

const char kExporter[] = ZQUPSEXPORTER_PATH;
const char kSim[] = ZQUPSSIM_PATH;

// One reading as a long-running exporter shows it, its counters included.
std::string scrape(zqups::ReadCounters& counters, const zqread::PowerRules& rules = {},
                   Clock::duration budget = std::chrono::seconds(30)) {
  zqread::Access access;
  access.deadline = Clock::now() + budget;
  const zqread::Reading reading = zqread::readCatalogue(access);
  counters.count(reading);
  zqups::MetricOptions options;
  options.power = rules;
  zqups::Families families = zqups::readingFamilies(reading, options, 0);
  const zqups::Families counted = counters.families();
  families.insert(families.end(), counted.begin(), counted.end());
  return zqups::exposition(families);
}

bool has(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

bool hasMetric(const std::string& text, const std::string& name) {
  return ("\n" + text).find("\n" + name + " ") != std::string::npos ||
         ("\n" + text).find("\n" + name + "{") != std::string::npos;
}

std::string readErrors(const char* point, int count) {
  return std::string("zqups_read_errors_total{point=\"") + point + "\"} " + std::to_string(count);
}

void expectNoValueMetrics(const std::string& text) {
  for (const char* name : {"zqups_info", "zqups_input_voltage_volts", "zqups_on_battery",
                           "zqups_battery_low", "zqups_battery_runtime_seconds"})
    EXPECT_FALSE(hasMetric(text, name)) << name << " in\n" << text;
}

}  // namespace

TEST(Metrics, APointThatFailsLeavesOutOnlyItsOwnMetric) {
  FakeUpsService service(upsWith({
      {UPS_OFFSET_BATTERY_SERIAL, {0x5A000002, {}}},
      {UPS_OFFSET_LOAD_LEVEL, {UPSERR_DATA_WITH_STATUS, bytesOf(9.0f)}},
      {UPS_OFFSET_INTERNAL_TEMPERATURE, {0, bytesOf(std::nanf(""))}},
      {UPS_OFFSET_ESTIMATED_RUNTIME, {0, {7, 0}}},
      {UPS_OFFSET_BATTERY_REPLACE_DATE, {0, textBytes("2027-02-29")}},
  }));
  START_OR_SKIP(service);
  zqups::ReadCounters counters;
  scrape(counters);
  const std::string text = scrape(counters);
  EXPECT_EQ(service.connections(), 2 * UPS_POINT_COUNT) << "every point is asked for";
  for (const char* line :
       {"zqups_up 1", "zqups_on_battery 0", "zqups_input_voltage_volts 230",
        "zqups_manufacturing_timestamp_seconds 1709164800", "zqups_service_unreachable_total 0"})
    EXPECT_TRUE(has(text, line)) << line << " not in\n" << text;
  EXPECT_NE(text.find("battery_serial=\"\",battery_hardware_version=\"1.2.3\""), std::string::npos)
      << "the label of a point not read is empty:\n"
      << text;
  for (const char* name :
       {"zqups_load_ratio", "zqups_internal_temperature_celsius", "zqups_battery_runtime_seconds",
        "zqups_battery_replace_timestamp_seconds"})
    EXPECT_FALSE(hasMetric(text, name)) << name << " in\n" << text;
  for (const char* point : {"battery_serial", "load_level", "internal_temperature",
                            "estimated_runtime", "battery_replace_date"})
    EXPECT_TRUE(has(text, readErrors(point, 2))) << point << " in\n" << text;
  EXPECT_TRUE(has(text, readErrors("input_voltage", 0)));
}

// No service, then one that never answers: neither is a point's failure.
TEST(Metrics, AServiceThatAnswersNothingIsUnreachable) {
  zqups::ReadCounters counters;
  {
    PathClaim claim;
    CLAIM_OR_SKIP(claim);
    const std::string text = scrape(counters);
    EXPECT_TRUE(has(text, "zqups_up 0"));
    EXPECT_TRUE(has(text, "zqups_service_unreachable_total 1")) << text;
    expectNoValueMetrics(text);
  }
  FakeUpsService service([](Peer& peer) { peer.stall(); });
  START_OR_SKIP(service);
  const std::string text = scrape(counters, {}, std::chrono::milliseconds(200));
  EXPECT_TRUE(has(text, "zqups_up 0"));
  EXPECT_TRUE(has(text, "zqups_service_unreachable_total 2")) << text;
  EXPECT_TRUE(has(text, readErrors("vendor", 0))) << text;
}

// The service's runtime is 42 minutes: low on battery at a --low-runtime
// of 42, not by default, never on mains.
TEST(Metrics, OnBatteryBelowTheThresholdOnlyAndLowAtTheRuntime) {
  std::atomic<float> volts{99.5f};
  FakeUpsService service(upsWith({}, &volts));
  START_OR_SKIP(service);
  zqups::ReadCounters counters;
  std::string text = scrape(counters);
  EXPECT_TRUE(has(text, "zqups_on_battery 1") && has(text, "zqups_battery_low 0")) << text;
  EXPECT_TRUE(has(scrape(counters, {UPS_MIN_LINE_VOLTAGE, 42}), "zqups_battery_low 1"));
  volts = 100.0f;
  text = scrape(counters, {UPS_MIN_LINE_VOLTAGE, 42});
  EXPECT_TRUE(has(text, "zqups_on_battery 0") && has(text, "zqups_battery_low 0")) << text;
}

TEST(Metrics, DatesAreDaysAtMidnightUtc) {
  EXPECT_EQ(zqups::dateTimestamp("1970-01-01"), 0.0);
  EXPECT_EQ(zqups::dateTimestamp("2000-02-29"), 951782400.0);
  EXPECT_EQ(zqups::dateTimestamp("2028-07-01"), 1846022400.0);
  for (const char* text : {"1900-02-29", "2024-04-31", "2024-13-01", "2024-00-10", "2024-7-15",
                           "2024-07-15 ", "2024/07/15", "", "unknown"})
    EXPECT_FALSE(zqups::dateTimestamp(text).has_value()) << text;
}

TEST(Metrics, TextsBecomeValidUtf8Labels) {
  EXPECT_EQ(zqups::utf8LabelValue("27.5 \xC2\xB0"
                                  "C \xE2\x82\xAC \xF0\x9F\x94\x8B"),
            "27.5 \xC2\xB0"
            "C \xE2\x82\xAC \xF0\x9F\x94\x8B");
  const std::string bad = "\xEF\xBF\xBD";
  EXPECT_EQ(zqups::utf8LabelValue("a\xFF"
                                  "b"),
            "a" + bad + "b");
  EXPECT_EQ(zqups::utf8LabelValue("\xE2\x82"), bad + bad) << "cut short";
  EXPECT_EQ(zqups::utf8LabelValue("\xC0\xAF"), bad + bad) << "overlong";
  EXPECT_EQ(zqups::utf8LabelValue("\xED\xA0\x80"), bad + bad + bad) << "surrogate";
  EXPECT_EQ(zqups::utf8LabelValue("\xF4\x90\x80\x80"), bad + bad + bad + bad) << "past U+10FFFF";
}

namespace {

class Textfile : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zqups-exporter-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    path_ = folder_ + "/ups.prom";
  }
  void TearDown() override {
    for (const std::string& name : folderEntries()) std::remove((folder_ + "/" + name).c_str());
    rmdir(folder_.c_str());
  }
  ProgramRun write(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"ZqUpsExporter", "--textfile", path_});
    return runProgram(kExporter, options);
  }
  std::string contents() const { return fileText(path_); }
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder_.c_str())) {
      while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
      closedir(dir);
    }
    return names;
  }

  std::string folder_;
  std::string path_;
};

// The program's usage errors: status 2 at once, never a server started
// (the time limit catches one).
ProgramRun usage(std::vector<std::string> options) {
  options.insert(options.begin(), "ZqUpsExporter");
  ProgramOptions limits;
  limits.timeoutSeconds = 10;
  return runProgram(kExporter, options, limits);
}

}  // namespace

TEST_F(Textfile, DefaultProfileInBaseUnitsWithoutCounters) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({})) << sim.why();
  const ProgramRun run = write();
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const std::string text = contents();
  for (const char* line :
       {"zqups_up 1",
        "zqups_info{vendor=\"Zq Power Systems\",model=\"ZQ-R3000 RM 2U\",serial_number=\"ZQR3-"
        "2407-004211\",firmware_version=\"4.12.7 (2024-05-02)\",battery_serial=\"BP-ZQR3-1187-22\","
        "battery_hardware_version=\"1.2.3\",manufacturing_date=\"2024-07-15\",battery_replace_date="
        "\"2028-07-01\"} 1",
        "zqups_input_voltage_volts 230", "zqups_load_ratio 0.385",
        "zqups_battery_runtime_seconds 2520", "zqups_battery_temperature_celsius 27.5",
        "zqups_internal_temperature_celsius 31", "zqups_battery_charge_current_amperes 0.45",
        "zqups_battery_discharge_current_amperes 0", "zqups_battery_rated_capacity_coulombs 32400",
        "zqups_battery_replace_timestamp_seconds 1846022400",
        "zqups_manufacturing_timestamp_seconds 1721001600", "zqups_on_battery 0",
        "zqups_read_failed{point=\"vendor\"} 0", "zqups_exporter_build_info{version=\"1.0.0\"} 1"})
    EXPECT_TRUE(has(text, line)) << line << " not in\n" << text;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("zqups_read_failed{", 0) == 0) {
      EXPECT_EQ(line.back(), '0') << line;
    }
    EXPECT_EQ(line.find("counter"), std::string::npos) << "restarts at every run: " << line;
  }
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"ups.prom"}) << "no temporary file left";

  EXPECT_EQ(write({"--min-line-voltage", "240"}).exitStatus, 0);
  EXPECT_TRUE(has(contents(), "zqups_on_battery 1"));

  // Only a service run by the owner named is read.
  EXPECT_EQ(write({"--service-owner", std::to_string(geteuid())}).exitStatus, 0);
  EXPECT_EQ(write({"--service-owner", std::to_string(geteuid() + 1)}).exitStatus, 3);
  EXPECT_TRUE(has(contents(), "zqups_up 0"));
  expectNoValueMetrics(contents());
}

TEST_F(Textfile, WithoutServiceStatus3AndNoValues) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  std::ofstream(path_) << "old\n";
  const ProgramRun run = write();
  EXPECT_EQ(run.exitStatus, 3) << run.err;
  EXPECT_EQ(run.err.rfind("ZqUpsExporter: UPS service not read: ", 0), 0u) << run.err;
  EXPECT_TRUE(has(contents(), "zqups_up 0"));
  expectNoValueMetrics(contents());
}

// A symbolic link at the path is replaced, not followed; the file is the
// writer's, readable by a collector running as anyone, whatever the umask.
TEST_F(Textfile, ReplacesALinkWithAFileOfMode0644) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  const std::string target = folder_ + "/elsewhere";
  std::ofstream(target) << "kept\n";
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  const mode_t mask = umask(077);
  const ProgramRun run = write();
  umask(mask);
  EXPECT_EQ(run.exitStatus, 3) << run.err;
  struct stat status;
  ASSERT_EQ(lstat(path_.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_EQ(status.st_uid, geteuid());
  std::ifstream kept(target);
  std::string line;
  EXPECT_TRUE(std::getline(kept, line) && line == "kept");
}

TEST_F(Textfile, FailuresToWriteAndBadUsage) {
  const ProgramRun run =
      runProgram(kExporter, {"ZqUpsExporter", "--textfile", folder_ + "/missing/ups.prom"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find(folder_ + "/missing/ups.prom"), std::string::npos) << run.err;
  const std::vector<std::vector<std::string>> bad = {
      {"--textfile", path_, "--listen", "127.0.0.1:9967"},
      {"--textfile", ""},
      {"--textfile", path_, "--service-owner", ""},
      {"--textfile", path_, "--journal", folder_ + "/power.journal"},
      {"--journal", folder_ + "/power.journal", "--journal-max-size", "1k"},
      {"--listen", "9968"},
      {"--listen", "[::1]"},
      {"--listen", "127.0.0.1:65536"},
      {"--min-line-voltage", "-1"},
      {"--min-line-voltage", "nan"},
      {"--min-line-voltage", "inf"},
      {"--min-line-voltage", "2e6"},
      {"--scrape-timeout", "0"},
      {"--scrape-timeout", "nan"},
      {"--scrape-timeout", "6m"},
      {"--read-interval", "50ms"},
      {"--textfile", path_, "--read-interval", "1s"}};
  for (const auto& options : bad) {
    const ProgramRun refused = usage(options);
    EXPECT_EQ(refused.exitStatus, 2) << options[0] << " " << options[1] << ": " << refused.err;
    EXPECT_EQ(refused.err.rfind("ZqUpsExporter: ", 0), 0u) << refused.err;
  }
  EXPECT_TRUE(folderEntries().empty());
  const ProgramRun minute = usage({"--textfile", path_, "--scrape-timeout", "1m"});
  EXPECT_EQ(minute.exitStatus, 3) << "the service unread: " << minute.err;
}

namespace {

struct HttpReply {
  bool complete = false;  // the connection ended after the reply
  std::string text;       // everything received
  int status = 0;
  std::string body;  // of the first reply
  bool has(const std::string& header) const {
    return text.find("\r\n" + header + "\r\n") != std::string::npos;
  }
};

// Sends `request` as it is and takes what comes until the connection ends.
HttpReply exchange(const std::string& host, int port, const std::string& request,
                   int millis = 20000) {
  HttpReply reply;
  const int fd = connectTcp(host, port);
  if (fd < 0) return reply;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size()))
    reply.text = readToEnd(fd, millis, &reply.complete);
  close(fd);
  std::sscanf(reply.text.c_str(), "HTTP/1.%*d %d", &reply.status);
  const size_t body = reply.text.find("\r\n\r\n");
  if (body != std::string::npos) reply.body = reply.text.substr(body + 4);
  return reply;
}

HttpReply get(const std::string& host, int port, const std::string& extraHeaders = "") {
  return exchange(
      host, port,
      "GET /metrics HTTP/1.1\r\nHost: x\r\n" + extraHeaders + "Connection: close\r\n\r\n");
}

// Starts the built exporter with `options`, its ready line read.
#define START_EXPORTER(exporter, ...)                                   \
  do {                                                                  \
    std::vector<std::string> argv_ = __VA_ARGS__;                       \
    argv_.insert(argv_.begin(), "ZqUpsExporter");                       \
    ASSERT_TRUE((exporter).start(kExporter, argv_)) << (exporter).why(); \
  } while (0)

}  // namespace

TEST(Server, AnswersMetricsOnlyAndClosesWhenItSaysSo) {
  FakeUpsService service(upsWith({}));
  START_OR_SKIP(service);
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0"});
  const std::string& host = exporter.host();
  const int port = exporter.port();

  HttpReply reply = get(host, port);
  EXPECT_EQ(reply.status, 200) << reply.text;
  EXPECT_TRUE(reply.has("Content-Type: text/plain; version=0.0.4; charset=utf-8")) << reply.text;
  EXPECT_TRUE(reply.has("Connection: close")) << reply.text;
  EXPECT_TRUE(reply.complete);
  EXPECT_TRUE(has(reply.body, "zqups_up 1")) << reply.body;

  reply = exchange(host, port, "HEAD /metrics HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.status, 200) << reply.text;
  EXPECT_TRUE(reply.has("Connection: close")) << "HTTP/1.0 closes: " << reply.text;
  EXPECT_TRUE(reply.body.empty()) << reply.body;
  EXPECT_EQ(reply.text.find("Content-Length: 0\r\n"), std::string::npos) << reply.text;

  reply = exchange(host, port,
                   "GET /metrics?x=1 HTTP/1.1\r\nHost: x\r\n\r\n"
                   "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.text.find("zqups_up 1"), std::string::npos) << "kept alive for the second";
  EXPECT_NE(reply.text.find("<a href=\"/metrics\">"), std::string::npos) << reply.text;

  EXPECT_EQ(
      exchange(host, port, "GET /metric HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status,
      404);
  reply = exchange(host, port, "POST /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(reply.status, 405) << reply.text;
  EXPECT_TRUE(reply.has("Allow: GET, HEAD")) << reply.text;
  reply = get(host, port, "X-Padding: " + std::string(20000, 'a') + "\r\n");
  EXPECT_EQ(reply.status, 431) << reply.text;
  EXPECT_TRUE(reply.complete);
  EXPECT_EQ(exporter.stop(SIGTERM).exitStatus, 0);
}

// The simulator gone and back: one line for each, however many readings
// and scrapes see it.
TEST(Server, SaysOnceWhenTheServiceIsLostAndWhenItIsBack) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({})) << sim.why();
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0", "--read-interval", "100ms"});
  const auto showsUp = [&](const char* line) {
    return within(30, [&] { return has(get(exporter.host(), exporter.port()).body, line); });
  };
  EXPECT_TRUE(showsUp("zqups_up 1"));
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_TRUE(showsUp("zqups_up 0"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(sim.start({})) << sim.why();
  EXPECT_TRUE(showsUp("zqups_up 1"));
  const ProgramRun run = exporter.stop(SIGTERM);
  // A stop in the middle of a reading may cut one point's reply short
  // first: that point's own lines are no service lines.
  std::string serviceLines;
  std::istringstream lines(run.err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("ZqUpsExporter: UPS point ", 0) != 0) serviceLines += line + "\n";
  EXPECT_EQ(serviceLines,
            "ZqUpsExporter: UPS service lost: 0xeca60201: service socket missing (/tmp/UPS0)\n"
            "ZqUpsExporter: UPS service back\n");
}

// A scraper that allows 5 ms, beside ordinary ones, against a service
// whose reading takes longer: its deadline is its own, and it neither
// cuts their reading short nor counts as the service lost.
TEST(Server, AShortDeadlineSpoilsNoOtherScrape) {
  FakeUpsService service(upsWith({}, nullptr, 20));
  START_OR_SKIP(service);
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0", "--read-interval", "100ms"});
  const std::string hasty = "X-Prometheus-Scrape-Timeout-Seconds: 0.005\r\n";
  for (int round = 0; round < 10; ++round) {
    auto short_ = std::async(std::launch::async,
                             [&] { return get(exporter.host(), exporter.port(), hasty); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const HttpReply ordinary = get(exporter.host(), exporter.port());
    EXPECT_TRUE(has(ordinary.body, "zqups_up 1")) << "round " << round << ":\n" << ordinary.body;
    EXPECT_TRUE(has(ordinary.body, "zqups_input_voltage_volts 230")) << ordinary.body;
    EXPECT_EQ(short_.get().status, 200);
  }
  EXPECT_TRUE(has(get(exporter.host(), exporter.port()).body, "zqups_service_unreachable_total 0"));
  EXPECT_EQ(exporter.stop(SIGTERM).err, "");
}

// Connections that came and went leave nothing behind in the server's
// table once the next one is accepted.
TEST(Server, EndedConnectionsLeaveTheTable) {
  boost::asio::io_context io;
  zqups::MetricsServer server(io, std::chrono::seconds(10),
                              [](Clock::time_point, zqups::MetricsServer::Reply reply) {
    reply("zqups_up 1\n");
  });
  boost::asio::ip::tcp::endpoint bound;
  std::string error;
  ASSERT_TRUE(server.listen({boost::asio::ip::make_address("127.0.0.1"), 0}, &bound, &error))
      << error;
  std::thread loop([&io] {
    const auto work = boost::asio::make_work_guard(io);
    io.run();
  });
  for (int i = 0; i < 100; ++i) EXPECT_EQ(get("127.0.0.1", bound.port()).status, 200);
  // Each try accepts one more, which clears out those that ended.
  EXPECT_TRUE(within(10, [&] {
    const int fd = connectTcp("127.0.0.1", bound.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::promise<size_t> asked;
    boost::asio::post(io, [&] { asked.set_value(server.connectionsHeld()); });
    const size_t held = asked.get_future().get();
    close(fd);
    return held <= 2;
  }));
  boost::asio::post(io, [&] {
    server.stop();
    io.stop();
  });
  loop.join();
}

// IPv6 in brackets; a port in use is refused with the system's reason.
TEST(Server, ListensOnIpv6LoopbackAndSaysWhyNot) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "[::1]:0"});
  EXPECT_EQ(exporter.host(), "::1");
  const HttpReply reply = get("::1", exporter.port());
  EXPECT_EQ(reply.status, 200) << reply.text;
  EXPECT_TRUE(has(reply.body, "zqups_up 0")) << reply.body;

  const ProgramRun second = runProgram(
      kExporter, {"ZqUpsExporter", "--listen", "[::1]:" + std::to_string(exporter.port())});
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_NE(second.err.find("in use"), std::string::npos) << second.err;
  EXPECT_EQ(exporter.stop(SIGTERM).exitStatus, 0);
}

namespace {

// The first value of metric `name` in `text`, or -1.
double metricValue(const std::string& text, const std::string& name) {
  const size_t at = ("\n" + text).find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 1));
}

}  // namespace

// A journal rotated twice behind it: the counters go on from the totals
// carried, not from the entries of the file now.  One that is no journal
// ends the start, untouched.
TEST(Server, JournalCountersCarryOverItsRotations) {
  FakeUpsService service(upsWith({}));
  START_OR_SKIP(service);
  char folder[] = "/tmp/zqups-exporter-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string journal = std::string(folder) + "/power.journal";
  zqjournal::Seconds now = 1700000000;
  zqjournal::Options options;
  options.maxSize = 4096;
  options.clocks.wall = [&] { return std::chrono::system_clock::from_time_t(now); };
  options.clocks.steady = [&] { return Clock::time_point(std::chrono::seconds(now)); };
  {
    std::string why;
    const auto kept = zqjournal::Journal::open(journal, options, &why);
    ASSERT_TRUE(kept) << why;
    for (int i = 0; i < 50; ++i) {
      kept->record({zqjournal::Event::OnBattery, 0.0, 20.0, "line voltage 0 V", {}});
      now += 30;
      kept->record({zqjournal::Event::OnMains, 230.0, 20.0, "line voltage 230 V", {}});
      now += 600;
    }
  }
  ASSERT_FALSE(fileText(journal + ".2").empty()) << "rotated twice";
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0", "--journal", journal});
  const std::string body = get(exporter.host(), exporter.port()).body;
  EXPECT_EQ(metricValue(body, "zqups_transfers_total"), 50) << body;
  EXPECT_EQ(metricValue(body, "zqups_on_battery_seconds_total"), 50 * 30);
  EXPECT_EQ(metricValue(body, "zqups_last_transfer_timestamp_seconds"), now - 630);
  EXPECT_EQ(metricValue(body, "zqups_service_lost_seconds_total"), 0);
  EXPECT_EQ(exporter.stop(SIGTERM).exitStatus, 0);

  const std::string foreign = std::string(folder) + "/notes";
  std::ofstream(foreign) << "mine\n";
  const ProgramRun refused =
      runProgram(kExporter, {"ZqUpsExporter", "--listen", "127.0.0.1:0", "--journal", foreign});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.err, "ZqUpsExporter: " + foreign + " is not a power journal\n");
  EXPECT_EQ(fileText(foreign), "mine\n");
  for (const char* end : {"", ".1", ".2", ".3", ".lock", ".watch"})
    std::remove((journal + end).c_str());
  std::remove(foreign.c_str());
  rmdir(folder);
}

#ifdef ZQUPSNETD_PATH
// The exporter and ZqUpsNetd keep one journal through the drill (the line
// back after 15 s): each transition once.  Both killed in the middle of
// the outage and started again, the gap is unknown, the outage still one
// transfer, and its seconds not fewer than were served before the kill.
TEST(Server, JournalSharedWithNetdThroughTheDrillAndAKill) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  char folder[] = "/tmp/zqups-exporter-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string journal = std::string(folder) + "/power.journal";
  const std::string profile = std::string(folder) + "/drill.profile";
  std::string drill = fileText(ZQUPSSIM_PROFILES "/power-cut-drill.profile");
  drill.replace(drill.find("\nat 60s"), 7, "\nat 15s");
  std::ofstream(profile) << drill;
  SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({"--profile", profile})) << sim.why();
  const auto startBoth = [&](ListeningProgram* exporter, ListeningProgram* netd) {
    START_EXPORTER(*exporter, {"--listen", "127.0.0.1:0", "--read-interval", "200ms",
                               "--journal", journal});
    ASSERT_TRUE(netd->start(ZQUPSNETD_PATH, {"ZqUpsNetd", "--listen", "127.0.0.1:0",
                                             "--poll-interval", "200ms", "--journal", journal}))
        << netd->why();
  };
  const auto holds = [&](const char* event, size_t times) {
    return within(30, [&] {
      const std::string text = fileText(journal);
      size_t found = 0;
      for (size_t at = 0; (at = text.find(event, at)) != std::string::npos; ++at) ++found;
      return found >= times;
    });
  };
  double served = 0;
  {
    ListeningProgram exporter, netd;
    startBoth(&exporter, &netd);
    ASSERT_TRUE(holds(" battery-low", 1)) << fileText(journal);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    served = metricValue(get(exporter.host(), exporter.port()).body,
                         "zqups_on_battery_seconds_total");
    exporter.stop(SIGKILL);
    netd.stop(SIGKILL);
  }
  ListeningProgram exporter, netd;
  startBoth(&exporter, &netd);
  ASSERT_TRUE(holds(" on-mains", 2)) << fileText(journal);
  const std::string body = get(exporter.host(), exporter.port()).body;
  EXPECT_EQ(metricValue(body, "zqups_transfers_total"), 1) << body;
  EXPECT_GE(metricValue(body, "zqups_on_battery_seconds_total"), served) << body;
  EXPECT_EQ(exporter.stop(SIGTERM).exitStatus, 0);
  EXPECT_EQ(netd.stop(SIGTERM).exitStatus, 0);
  EXPECT_EQ(sim.stop(), 0);

  std::vector<zqjournal::Entry> entries;
  std::string why;
  ASSERT_TRUE(zqjournal::readJournal(journal, 0, &entries, nullptr, &why)) << why;
  std::vector<std::string> events;
  for (const zqjournal::Entry& entry : entries) events.push_back(zqjournal::eventName(entry.event));
  EXPECT_EQ(events, (std::vector<std::string>{"on-mains", "on-battery", "battery-low", "unknown",
                                              "on-battery", "battery-low", "on-mains", "unknown"}));
  for (const std::string& path : {journal, journal + ".lock", journal + ".watch", profile})
    std::remove(path.c_str());
  rmdir(folder);
}
#endif

// More idle connections than the cap: a scrape is answered at once, and
// the oldest idle connection is the one that went.
TEST(Timing, IdleConnectionsCostAScrapeNothing) {
  FakeUpsService service(upsWith({}));
  START_OR_SKIP(service);
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0"});
  std::vector<int> idle;
  for (int i = 0; i < 16; ++i) idle.push_back(connectTcp(exporter.host(), exporter.port()));
  Clock::time_point start = Clock::now();
  HttpReply reply = get(exporter.host(), exporter.port());
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_TRUE(has(reply.body, "zqups_up 1")) << reply.text;

  while (idle.size() < 520) idle.push_back(connectTcp(exporter.host(), exporter.port()));
  start = Clock::now();
  reply = get(exporter.host(), exporter.port());
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_TRUE(has(reply.body, "zqups_up 1")) << reply.text;
  bool ended = false;
  readToEnd(idle.front(), 1000, &ended);
  EXPECT_TRUE(ended) << "the oldest idle connection is closed";
  readToEnd(idle.back(), 100, &ended);
  EXPECT_FALSE(ended) << "the newest stays";
  for (int fd : idle) close(fd);
  EXPECT_EQ(exporter.stop(SIGTERM).exitStatus, 0);
}

// A service that takes 400 ms a point, read whole only after about 7 s:
// before that, each scrape waits until its own deadline (the scraper's
// header, or --scrape-timeout), and one that gives up says zqups_up 0
// without counting the service as lost.  Once there is a reading, every
// scrape gets it at once, with its age.
TEST(Timing, AScrapeWaitsForTheFirstReadingOnlyUntilItsOwnDeadline) {
  FakeUpsService service(upsWith({}, nullptr, 400));
  START_OR_SKIP(service);
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0", "--scrape-timeout", "20"});
  const Clock::time_point start = Clock::now();
  auto patient = std::async(std::launch::async, [&] { return get(exporter.host(), exporter.port()); });
  const HttpReply hasty =
      get(exporter.host(), exporter.port(), "X-Prometheus-Scrape-Timeout-Seconds: 1.5\r\n");
  const double hastyTook = secondsSince(start);
  EXPECT_GT(hastyTook, 1.2);
  EXPECT_LT(hastyTook, 1.5) << "the scraper's deadline, less the margin";
  EXPECT_TRUE(has(hasty.body, "zqups_up 0")) << hasty.body;
  EXPECT_TRUE(has(hasty.body, "zqups_service_unreachable_total 0")) << hasty.body;
  expectNoValueMetrics(hasty.body);
  EXPECT_FALSE(hasMetric(hasty.body, "zqups_reading_age_seconds"));

  const HttpReply whole = patient.get();
  EXPECT_TRUE(has(whole.body, "zqups_up 1")) << whole.body;
  EXPECT_TRUE(hasMetric(whole.body, "zqups_battery_rated_capacity_coulombs")) << "read last";
  const Clock::time_point later = Clock::now();
  const HttpReply next = get(exporter.host(), exporter.port());
  EXPECT_LT(secondsSince(later), 0.2);
  EXPECT_TRUE(has(next.body, "zqups_up 1")) << next.body;
  EXPECT_TRUE(hasMetric(next.body, "zqups_reading_age_seconds")) << next.body;
  EXPECT_EQ(exporter.stop(SIGTERM).err, "") << "no service lost";
}

// SIGHUP leaves it running; SIGTERM ends it at once, a reading of a
// service that never answers included.
TEST(Timing, SigtermEndsAHungScrapeAtOnceAndSighupNothing) {
  FakeUpsService service([](Peer& peer) { peer.stall(); });
  START_OR_SKIP(service);
  ListeningProgram exporter;
  START_EXPORTER(exporter, {"--listen", "127.0.0.1:0"});
  ASSERT_EQ(kill(exporter.pid(), SIGHUP), 0);
  EXPECT_EQ(exchange(exporter.host(), exporter.port(),
                     "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                .status,
            200);
  const int fd = connectTcp(exporter.host(), exporter.port());
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  const Clock::time_point asked = Clock::now();
  while (service.connections() == 0 && secondsSince(asked) < 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(service.connections(), 1);
  const Clock::time_point start = Clock::now();
  const ProgramRun run = exporter.stop(SIGTERM);
  EXPECT_LT(secondsSince(start), 2.0);
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
  close(fd);
}
