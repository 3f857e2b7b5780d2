#include "Power.h"

#include <cmath>
#include <cstdio>

#include "Reading.h"

namespace zqread {

namespace {

// The runtime's read failed, as against not being read yet: only then
// does being on battery without it count as low.
bool runtimeFailed(const Outcome& outcome) {
  return outcome.ok() || outcome.failure == Failure::BadAnswer ||
         outcome.failure == Failure::Silent || outcome.failure == Failure::Unreachable;
}

std::optional<double> numberOf(const Reading& reading, const char* point) {
  const Value* value = reading.value(point);
  if (value == nullptr || std::isnan(value->number)) return std::nullopt;
  return value->number;
}

std::string compared(const char* what, double value, const char* unit, const char* relation,
                     double limit) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %g %s, %s %g %s", what, value, unit, relation, limit, unit);
  return text;
}

std::string transferReason(const Reading& reading, Power power, const PowerRules& rules) {
  return compared("line voltage", *numberOf(reading, "input_voltage"), "V",
                  power == Power::OnBattery ? "below" : "at least", rules.minLineVoltage);
}

std::string runtimeReason(const Reading& reading, bool low, const PowerRules& rules) {
  if (const std::optional<double> runtime = numberOf(reading, "estimated_runtime"))
    return compared("runtime", *runtime, "min", low ? "at most" : "over",
                    rules.lowRuntimeMinutes);
  const PointReading* runtime = reading.entry("estimated_runtime");
  return "runtime not read: " + (runtime != nullptr ? runtime->outcome.why : "not asked");
}

std::string lostReason(const Reading& reading) {
  return reading.end.why.empty() ? "nothing answered" : reading.end.why;
}

}  // namespace

Power powerFrom(const Value* inputVoltage, const PowerRules& rules) {
  if (inputVoltage == nullptr || std::isnan(inputVoltage->number)) return Power::Unknown;
  return inputVoltage->number >= rules.minLineVoltage ? Power::OnMains : Power::OnBattery;
}

PowerState powerOf(const Reading& reading, const PowerRules& rules) {
  PowerState state;
  state.reached = reading.reached();
  state.power = powerFrom(reading.value("input_voltage"), rules);
  if (state.power == Power::OnMains) {
    state.batteryLow = false;
  } else if (state.power == Power::OnBattery) {
    const PointReading* runtime = reading.entry("estimated_runtime");
    if (const std::optional<double> minutes = numberOf(reading, "estimated_runtime"))
      state.batteryLow = *minutes <= rules.lowRuntimeMinutes;
    else if (runtime != nullptr && runtimeFailed(runtime->outcome))
      state.batteryLow = true;
  }
  return state;
}

const char* eventName(PowerEventKind kind) {
  switch (kind) {
    case PowerEventKind::OnBattery:
      return "on-battery";
    case PowerEventKind::OnMains:
      return "on-mains";
    case PowerEventKind::BatteryLow:
      return "battery-low";
    case PowerEventKind::BatteryOk:
      return "battery-ok";
    case PowerEventKind::ServiceLost:
      return "service-lost";
    case PowerEventKind::ServiceBack:
      return "service-back";
  }
  return "";
}

PowerTime PowerTime::now() { return PowerTime{std::chrono::system_clock::now(), Clock::now()}; }

std::vector<PowerEvent> PowerTracker::take(const Reading& reading, const PowerTime& at) {
  std::vector<PowerEvent> events;
  if (reading.end.failure == Failure::Cancelled) return events;
  const auto say = [&](PowerEventKind kind, std::string reason) {
    events.push_back(PowerEvent{kind, at, numberOf(reading, "input_voltage"),
                                numberOf(reading, "estimated_runtime"), std::move(reason)});
  };
  const PowerState told = powerOf(reading, rules_);
  const bool first = !polled_;
  polled_ = true;
  if (!told.reached) {
    if (first || state_.reached) say(PowerEventKind::ServiceLost, lostReason(reading));
    state_.reached = false;
    return events;
  }
  if (!first && !state_.reached) say(PowerEventKind::ServiceBack, "");
  state_.reached = true;
  if (told.power == Power::Unknown) return events;
  const bool onBattery = told.power == Power::OnBattery;
  if (told.power != state_.power)
    say(onBattery ? PowerEventKind::OnBattery : PowerEventKind::OnMains,
        transferReason(reading, told.power, rules_));
  state_.power = told.power;
  const bool wasLow = state_.batteryLow.value_or(false);
  if (told.batteryLow) state_.batteryLow = told.batteryLow;
  const bool low = state_.batteryLow.value_or(false);
  if (low && !wasLow) say(PowerEventKind::BatteryLow, runtimeReason(reading, true, rules_));
  if (!low && wasLow && onBattery)
    say(PowerEventKind::BatteryOk, runtimeReason(reading, false, rules_));
  return events;
}

}  // namespace zqread
