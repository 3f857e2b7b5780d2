// ZqUpsExporter: its collection against a scripted service (points the
// service answers badly, an exchange that fails, texts that are not
// UTF-8) and the built program's textfile against ZqUpsSim.
#include <dirent.h>
#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "FakeUpsService.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "UpsMetrics.h"
#include "ZqUpsApi.h"

using namespace upstest;

namespace {

const char kExporter[] = ZQUPSEXPORTER_PATH;
const char kSim[] = ZQUPSSIM_PATH;

template <typename T>
Bytes bytesOf(T value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

struct Answer {
  uint32_t status;
  Bytes data;
};

// A healthy UPS: each text is the point's name, the line 230 V, every
// other number 1.5 or 42.  `odd` answers for the offsets it holds.
FakeUpsService::Handler upsWith(std::map<uint32_t, Answer> odd,
                                const std::atomic<float>* lineVoltage = nullptr) {
  return [odd, lineVoltage](Peer& peer) {
    const Bytes envelope = peer.readEnvelope();
    const uint32_t index = wordAt(envelope, 12), offset = wordAt(envelope, 16);
    const auto it = odd.find(offset);
    if (it != odd.end())
      return peer.reply(accessReply(index, offset, it->second.status, it->second.data));
    const UPSPoint& point = *UPSPointAt(index, offset);
    Bytes data;
    if (point.type == UPS_POINT_TEXT)
      data.assign(point.name, point.name + std::strlen(point.name) + 1);
    else if (point.type == UPS_POINT_VERSION)
      data = {1, 2, 3, 0};
    else if (point.type == UPS_POINT_INTEGER)
      data = bytesOf<int32_t>(42);
    else
      data = bytesOf<float>(offset != UPS_OFFSET_INPUT_VOLTAGE ? 1.5f
                            : lineVoltage                      ? lineVoltage->load()
                                                               : 230.0f);
    peer.reply(accessReply(index, offset, 0, data));
  };
}

std::string exposition(const zqups::UpsCollector& collector, bool* up) {
  return prometheus::TextSerializer().Serialize(collector.collect(up));
}

bool has(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string readErrors(const char* point, int count) {
  return std::string("zqups_read_errors_total{point=\"") + point + "\"} " + std::to_string(count);
}

void expectNoValueMetrics(const std::string& text) {
  for (const char* name : {"zqups_info", "zqups_input_voltage_volts", "zqups_on_battery",
                           "zqups_battery_runtime_seconds"})
    EXPECT_EQ(text.find(std::string("\n") + name), std::string::npos) << name << " in\n" << text;
}

}  // namespace

TEST(Collector, PointsAnsweredBadlyAreCountedAndNothingIsMadeUp) {
  FakeUpsService service(upsWith({{UPS_OFFSET_BATTERY_TEMPERATURE, {0x5A000002, {}}},
                                  {UPS_OFFSET_LOAD_LEVEL, {UPSERR_DATA_WITH_STATUS, bytesOf(9.0f)}},
                                  {UPS_OFFSET_INTERNAL_TEMPERATURE, {0, bytesOf(std::nanf(""))}},
                                  {UPS_OFFSET_ESTIMATED_RUNTIME, {0, {7, 0}}}}));
  START_OR_SKIP(service);
  zqups::UpsCollector collector;
  bool up = true;
  std::string text = exposition(collector, &up);
  EXPECT_FALSE(up);
  EXPECT_TRUE(has(text, "zqups_up 0"));
  expectNoValueMetrics(text);
  EXPECT_EQ(service.connections(), 16) << "the service answered: every point is asked for";
  text = exposition(collector, &up);
  for (const char* point :
       {"battery_temperature", "load_level", "internal_temperature", "estimated_runtime"})
    EXPECT_TRUE(has(text, readErrors(point, 2))) << point << " in\n" << text;
  EXPECT_TRUE(has(text, readErrors("input_voltage", 0)));
}

TEST(Collector, AFailedExchangeEndsTheScrapeAtThatPoint) {
  FakeUpsService service([](Peer& peer) {
    peer.readEnvelope();
    peer.close();
  });
  START_OR_SKIP(service);
  zqups::UpsCollector collector;
  bool up = true;
  const std::string text = exposition(collector, &up);
  EXPECT_FALSE(up);
  expectNoValueMetrics(text);
  EXPECT_EQ(service.connections(), 1);
  EXPECT_TRUE(has(text, readErrors("vendor", 1)));
  EXPECT_TRUE(has(text, readErrors("model", 0)));
}

TEST(Collector, OnBatteryBelowTheThresholdOnly) {
  std::atomic<float> volts{99.5f};
  FakeUpsService service(upsWith({}, &volts));
  START_OR_SKIP(service);
  zqups::UpsCollector collector;
  bool up = false;
  EXPECT_TRUE(has(exposition(collector, &up), "zqups_on_battery 1"));
  EXPECT_TRUE(up);
  volts = 100.0f;
  EXPECT_TRUE(has(exposition(collector, &up), "zqups_on_battery 0"));
}

TEST(Collector, TextsBecomeValidUtf8Labels) {
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
    std::remove(path_.c_str());
    rmdir(folder_.c_str());
  }
  ProgramRun write(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"ZqUpsExporter", "--textfile", path_});
    return runProgram(kExporter, options);
  }
  std::string contents() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
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

}  // namespace

TEST_F(Textfile, DefaultProfileInBaseUnits) {
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
        "zqups_on_battery 0", "# TYPE zqups_read_errors_total counter"})
    EXPECT_TRUE(has(text, line)) << line << " not in\n" << text;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("zqups_read_errors_total{", 0) == 0) {
      EXPECT_EQ(line.back(), '0') << line;
    }
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"ups.prom"}) << "no temporary file left";

  EXPECT_EQ(write({"--min-line-voltage", "240"}).exitStatus, 0);
  EXPECT_TRUE(has(contents(), "zqups_on_battery 1"));
}

TEST_F(Textfile, WithoutServiceStatus3AndNoValues) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  std::ofstream(path_) << "old\n";
  const ProgramRun run = write();
  EXPECT_EQ(run.exitStatus, 3) << run.err;
  EXPECT_TRUE(has(contents(), "zqups_up 0"));
  EXPECT_TRUE(has(contents(), readErrors("vendor", 1)));
  expectNoValueMetrics(contents());
}

TEST_F(Textfile, FailuresToWriteAndBadUsage) {
  const ProgramRun run =
      runProgram(kExporter, {"ZqUpsExporter", "--textfile", folder_ + "/missing/ups.prom"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find(folder_ + "/missing/ups.prom"), std::string::npos) << run.err;
  EXPECT_EQ(write({"--listen", "127.0.0.1:9967"}).exitStatus, 2);
  EXPECT_EQ(write({"--min-line-voltage", "-1"}).exitStatus, 2);
  EXPECT_TRUE(folderEntries().empty());
}
