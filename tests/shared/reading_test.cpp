// The reading the companions stand on, against a scripted service: bad
// answers, slow and hung points, deadlines, cancellation, the peer's owner.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "FakeUpsService.h"
#include "Reading.h"
#include "RunProgram.h"
#include "ZqUpsPoints.h"

namespace {

using Clock = std::chrono::steady_clock;
using upstest::Bytes;
using upstest::bytesOf;
using upstest::FakeUpsService;
using upstest::Peer;
using upstest::secondsSince;
using upstest::textBytes;
using upstest::upsWith;

zqread::Access accessFor(Clock::duration time, zqread::Cancel* cancel = nullptr) {
  return zqread::Access{std::nullopt, Clock::now() + time, cancel};
}

}  // namespace

// Bad answers of every kind on three points: the reading goes on, and
// the power is still told from the line voltage.
TEST(Reading, ABadAnswerEndsOnlyThatPoint) {
  FakeUpsService service(upsWith({
      {UPS_OFFSET_INPUT_VOLTAGE, {0, bytesOf<float>(0)}},
      {0x07, {0x5a000002, {}}},                                     // copyright: a status
      {UPS_OFFSET_LOAD_LEVEL, {0, bytesOf<float>(std::nanf(""))}},  // NaN
      {UPS_OFFSET_ESTIMATED_RUNTIME, {0, {1, 2}}},                  // a short number
  }));
  START_OR_SKIP(service);
  const zqread::Reading reading = zqread::readCatalogue(accessFor(std::chrono::seconds(30)));
  EXPECT_TRUE(reading.end.ok()) << reading.end.why;
  EXPECT_TRUE(reading.reached());
  size_t bad = 0;
  for (const zqread::PointReading& entry : reading.points) {
    EXPECT_NE(entry.outcome.failure == zqread::Failure::BadAnswer, entry.value.has_value())
        << entry.point.name;
    bad += !entry.value;
  }
  EXPECT_EQ(bad, 3u);
  const zqread::PowerState power = zqread::powerOf(reading, zqread::PowerRules());
  EXPECT_EQ(power.power, zqread::Power::OnBattery);
  EXPECT_EQ(power.batteryLow, true) << "no runtime to tell it by: low, to be safe";
}

// Read again and again on battery (0 V, 18 minutes left), with one point
// slow (1.2 s, under the 1.5 s bound), hung, or answering a status for
// three readings, then well.  Slowness never hides the power nor fakes a
// low battery; each change in how a point stands is said once.
TEST(Reading, APointSlowHungOrFailingNeverHidesNorFakesThePower) {
  enum Fault { Slow, Hung, Status };
  using F = zqread::Failure;
  const struct {
    uint32_t offset;
    Fault fault;
    F rounds[4];
    zqread::Power power;
    std::optional<bool> low;  // in the faulty rounds
    int lines;                // said in all
  } rows[] = {
      {UPS_OFFSET_INPUT_VOLTAGE, Slow, {F::None, F::None, F::None, F::None}, zqread::Power::OnBattery, false, 2},
      {UPS_OFFSET_INPUT_VOLTAGE, Hung, {F::Silent, F::Silent, F::Silent, F::None}, zqread::Power::Unknown, {}, 2},
      {UPS_OFFSET_INPUT_VOLTAGE, Status, {F::BadAnswer, F::BadAnswer, F::BadAnswer, F::None}, zqread::Power::Unknown, {}, 2},
      {UPS_OFFSET_ESTIMATED_RUNTIME, Slow, {F::None, F::None, F::None, F::None}, zqread::Power::OnBattery, false, 2},
      {UPS_OFFSET_ESTIMATED_RUNTIME, Hung, {F::Silent, F::Silent, F::Silent, F::None}, zqread::Power::OnBattery, true, 2},
      {UPS_OFFSET_ESTIMATED_RUNTIME, Status, {F::BadAnswer, F::BadAnswer, F::BadAnswer, F::None}, zqread::Power::OnBattery, true, 2},
      // Cut at its share, then asked last with the bound.
      {UPS_OFFSET_MODEL, Slow, {F::OutOfTime, F::None, F::None, F::None}, zqread::Power::OnBattery, false, 2},
      {UPS_OFFSET_MODEL, Hung, {F::OutOfTime, F::Silent, F::Skipped, F::Skipped}, zqread::Power::OnBattery, false, 2},
      {UPS_OFFSET_MODEL, Status, {F::BadAnswer, F::BadAnswer, F::BadAnswer, F::None}, zqread::Power::OnBattery, false, 2},
  };
  for (const auto& row : rows) {
    std::atomic<bool> faulty{true};
    FakeUpsService service([&](Peer& peer) {
      const uint32_t offset = upstest::wordAt(peer.readEnvelope(), 16);
      if (offset == row.offset && faulty) {
        if (row.fault == Hung) return peer.stall();
        if (row.fault == Status) return peer.reply(upstest::accessReply(UPS_POINTS_INDEX, offset, 0x5a000002, {}));
        peer.pause(1200);
      }
      const bool text = UPSPointAt(UPS_POINTS_INDEX, offset)->type == UPS_POINT_TEXT;
      const float number = offset == UPS_OFFSET_ESTIMATED_RUNTIME ? 18 : 0;
      peer.reply(upstest::accessReply(UPS_POINTS_INDEX, offset, 0,
                                      text ? textBytes("Zq") : bytesOf<float>(number)));
    });
    START_OR_SKIP(service);
    zqread::PointHealth health(std::chrono::milliseconds(1500));
    std::vector<std::string> said;
    const auto say = [&said](const std::string& line) { said.push_back(line); };
    const std::string name = UPSPointAt(UPS_POINTS_INDEX, row.offset)->name;
    for (int round = 0; round < 4; ++round) {
      faulty = round < 3;
      const auto start = Clock::now();
      const zqread::Reading reading =
          zqread::readCatalogue(accessFor(std::chrono::seconds(3)), {}, &health, say);
      const std::string where = name + " round " + std::to_string(round);
      EXPECT_LT(secondsSince(start), 2.5) << where;
      EXPECT_TRUE(reading.reached()) << where << ": " << reading.end.why;
      for (const zqread::PointReading& entry : reading.points)
        EXPECT_EQ(entry.outcome.failure, entry.point.name == name ? row.rounds[round] : F::None)
            << where << ": " << entry.point.name << " " << entry.outcome.why;
      const zqread::PowerState power = zqread::powerOf(reading, zqread::PowerRules());
      EXPECT_EQ(power.power, faulty ? row.power : zqread::Power::OnBattery) << where;
      EXPECT_EQ(power.batteryLow, faulty ? row.low : false) << where;
    }
    EXPECT_EQ(static_cast<int>(said.size()), row.lines) << name << ": " << testing::PrintToString(said);
  }
}

TEST(Reading, ADeadlineMarksTheRestOutOfTimeAndCancelEndsAnExchangeAtOnce) {
  // Only the first point read, input_voltage, answers.
  FakeUpsService service([](Peer& peer) {
    const uint32_t offset = upstest::wordAt(peer.readEnvelope(), 16);
    if (offset != UPS_OFFSET_INPUT_VOLTAGE) return peer.stall();
    peer.reply(upstest::accessReply(UPS_POINTS_INDEX, offset, 0, bytesOf<float>(230)));
  });
  START_OR_SKIP(service);
  const zqread::Reading reading =
      zqread::readCatalogue(accessFor(std::chrono::milliseconds(500)));
  EXPECT_EQ(reading.end.failure, zqread::Failure::OutOfTime) << reading.end.why;
  EXPECT_TRUE(reading.reached()) << "the first point answered";
  for (const zqread::PointReading& entry : reading.points)
    EXPECT_EQ(entry.outcome.failure, entry.point.name == "input_voltage"
                                         ? zqread::Failure::None
                                         : zqread::Failure::OutOfTime)
        << entry.point.name;

  zqread::Cancel cancel;
  std::thread canceller([&cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel.cancel();
  });
  const auto start = Clock::now();
  zqread::Value value;
  const zqread::Outcome outcome = zqread::readValue(
      *zqread::resolvePoint("model", zqread::Kind::Hex), accessFor(std::chrono::seconds(30), &cancel),
      &value);
  canceller.join();
  EXPECT_EQ(outcome.failure, zqread::Failure::Cancelled) << outcome.why;
  EXPECT_LT(secondsSince(start), 3.0);
  EXPECT_EQ(zqread::readValue(*zqread::resolvePoint("vendor", zqread::Kind::Hex),
                              accessFor(std::chrono::seconds(30), &cancel), &value)
                .failure,
            zqread::Failure::Cancelled);
}

// The test serves the socket itself: its own uid is the peer's.
TEST(Reading, OnlyAServiceOfTheOwnerIsAsked) {
  FakeUpsService service(upsWith());
  START_OR_SKIP(service);
  const zqread::Point voltage = *zqread::resolvePoint("input_voltage", zqread::Kind::Hex);
  zqread::Access access = accessFor(std::chrono::seconds(30));
  access.serviceOwner = ::getuid() + 1;
  zqread::Value value;
  zqread::Outcome outcome = zqread::readValue(voltage, access, &value);
  EXPECT_EQ(outcome.failure, zqread::Failure::NotTrusted);
  EXPECT_NE(outcome.why.find("/tmp/UPS0 is served by "), std::string::npos) << outcome.why;
  EXPECT_EQ(zqread::writeBytes(voltage, access, bytesOf<float>(1)).failure,
            zqread::Failure::NotTrusted);
  service.waitIdle();
  for (const Bytes& envelope : service.envelopes())
    EXPECT_TRUE(envelope.empty()) << "nothing is sent to a stranger";
  access.serviceOwner = ::getuid();
  outcome = zqread::readValue(voltage, access, &value);
  EXPECT_TRUE(outcome.ok()) << outcome.why;
  EXPECT_EQ(value.text, "230");
}

// The scripted service takes every write and keeps its own values: the
// date always reads 2028-07-01, the runtime two bytes.
TEST(Reading, AWriteIsVerifiedByItsReadBack) {
  FakeUpsService service(upsWith({{UPS_OFFSET_ESTIMATED_RUNTIME, {0, {1, 2}}}}));
  START_OR_SKIP(service);
  const auto access = [] { return accessFor(std::chrono::seconds(30)); };
  const zqread::Point date = *zqread::resolvePoint("battery_replace_date", zqread::Kind::Hex);
  const zqread::Point runtime = *zqread::resolvePoint("estimated_runtime", zqread::Kind::Hex);
  const auto bytes = [](const zqread::Point& point, const std::string& text) {
    Bytes encoded;
    std::string error;
    EXPECT_TRUE(zqread::encode(point, text, &encoded, &error)) << error;
    return encoded;
  };
  zqread::WriteResult result = zqread::writeAndVerify(date, bytes(date, "2028-07-01"), true, access);
  EXPECT_TRUE(result.outcome.ok() && result.written && result.held) << result.outcome.why;
  result = zqread::writeAndVerify(date, bytes(date, "2030-01-01"), true, access);
  EXPECT_TRUE(result.outcome.ok() && result.written) << result.outcome.why;
  EXPECT_FALSE(result.held);
  ASSERT_TRUE(result.readBack.has_value());
  EXPECT_EQ(result.readBack->text, "2028-07-01");
  result = zqread::writeAndVerify(runtime, bytes(runtime, "30"), true, access);
  EXPECT_EQ(result.outcome.failure, zqread::Failure::BadAnswer);
  EXPECT_TRUE(result.written);
  EXPECT_FALSE(result.undecodable.empty());
  EXPECT_FALSE(result.held || result.readBack);
  service.waitIdle();
  const size_t exchanges = service.envelopes().size();
  result = zqread::writeAndVerify(runtime, bytes(runtime, "30"), false, access);
  EXPECT_TRUE(result.written && !result.held && !result.readBack);
  service.waitIdle();
  EXPECT_EQ(service.envelopes().size(), exchanges + 1) << "no read back";
}
