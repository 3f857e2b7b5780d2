// The power rules: the events that successive readings make, with their
// times, values and reasons, and the state they leave.
#include <gtest/gtest.h>

#include <vector>

#include "Power.h"
#include "Reading.h"

namespace {

using zqread::PowerEventKind;

zqread::PointReading answered(const char* name, double number) {
  zqread::PointReading entry{*zqread::resolvePoint(name, zqread::Kind::Hex), zqread::Value(), {}};
  entry.value->kind = entry.point.kind;
  entry.value->number = number;
  return entry;
}

zqread::Reading served(double volts, int runtime) {
  zqread::Reading reading;
  reading.answered = true;
  reading.points = {answered("input_voltage", volts), answered("estimated_runtime", runtime)};
  return reading;
}

std::vector<std::string> names(const std::vector<zqread::PowerEvent>& events) {
  std::vector<std::string> all;
  for (const zqread::PowerEvent& event : events) all.push_back(zqread::eventName(event.kind));
  return all;
}

}  // namespace

TEST(PowerTracker, EachChangeGivesItsEventsInOrder) {
  zqread::Reading lost;
  lost.end = {zqread::Failure::Unreachable, 0, "no socket"};
  // Answers, but none that tells the power: the power stays as it was.
  zqread::Reading voltageUnreadable = served(0, 3);
  voltageUnreadable.points[0].value.reset();
  voltageUnreadable.points[0].outcome = {zqread::Failure::BadAnswer, 0, "reply holds 2 of 4 bytes"};
  // On battery with a runtime that failed: low, to be safe; one not read
  // in time tells nothing.
  zqread::Reading runtimeUnreadable = served(0, 6);
  runtimeUnreadable.points[1].value.reset();
  runtimeUnreadable.points[1].outcome = {zqread::Failure::Silent, 0, "no answer in time"};
  zqread::Reading runtimeLate = runtimeUnreadable;
  runtimeLate.points[1].outcome = {zqread::Failure::OutOfTime, 0, "not read in time"};
  // The program's own end says nothing, not even that the service is lost.
  zqread::Reading cancelled;
  cancelled.end = {zqread::Failure::Cancelled, 0, "cancelled"};
  const struct {
    zqread::Reading reading;
    std::vector<std::string> events;
  } steps[] = {
      {lost, {"service-lost"}},
      {lost, {}},
      {served(0, 3), {"service-back", "on-battery", "battery-low"}},
      {voltageUnreadable, {}},
      {served(0, 5), {}},
      {served(0, 6), {"battery-ok"}},
      {served(0, 2), {"battery-low"}},
      {served(0, 6), {"battery-ok"}},
      {runtimeLate, {}},
      {runtimeUnreadable, {"battery-low"}},
      {cancelled, {}},
      {lost, {"service-lost"}},
      {served(99.9, 2), {"service-back"}},
      {served(100, 2), {"on-mains"}},
      {served(230, 42), {}},
  };
  zqread::PowerTracker tracker;  // 100 V, 5 minutes
  int at = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(names(tracker.take(step.reading, zqread::PowerTime::now())), step.events)
        << "step " << at;
    ++at;
  }
  zqread::PowerTracker first;
  EXPECT_EQ(names(first.take(served(230, 42), zqread::PowerTime::now())),
            std::vector<std::string>{"on-mains"})
      << "a first reading's power is news, its service is not";
}

// Times as given, values and reasons as read, the state as left.
TEST(PowerTracker, EventsCarryTheirTimeValuesAndReason) {
  zqread::PowerTracker tracker(zqread::PowerRules{110, 8});
  const zqread::PowerTime at{std::chrono::system_clock::time_point(std::chrono::hours(500000)),
                             zqread::Clock::time_point(std::chrono::seconds(77))};
  const std::vector<zqread::PowerEvent> events = tracker.take(served(0, 7), at);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, PowerEventKind::OnBattery);
  EXPECT_EQ(events[0].reason, "line voltage 0 V, below 110 V");
  EXPECT_EQ(events[1].reason, "runtime 7 min, at most 8 min");
  EXPECT_EQ(events[1].at.utc, at.utc);
  EXPECT_EQ(events[1].at.steady, at.steady);
  EXPECT_EQ(events[1].lineVoltage, 0.0);
  EXPECT_EQ(events[1].runtimeMinutes, 7.0);
  EXPECT_EQ(tracker.state().power, zqread::Power::OnBattery);
  EXPECT_EQ(tracker.state().batteryLow, true);

  zqread::Reading lost;
  lost.end = {zqread::Failure::Unreachable, 0, "no socket"};
  const std::vector<zqread::PowerEvent> gone = tracker.take(lost, at);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].reason, "no socket");
  EXPECT_FALSE(gone[0].lineVoltage);
  EXPECT_FALSE(tracker.state().reached);
  EXPECT_EQ(tracker.state().power, zqread::Power::OnBattery) << "as last told";
  EXPECT_EQ(tracker.take(served(230, 9), at).back().reason, "line voltage 230 V, at least 110 V");
}
