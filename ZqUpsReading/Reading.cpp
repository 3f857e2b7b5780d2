#include "Reading.h"

#include <cstring>

namespace zqread {

const Value* Reading::value(const char* name) const {
  for (const PointReading& entry : points)
    if (entry.point.name == name) return entry.value ? &*entry.value : nullptr;
  return nullptr;
}

Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint) {
  Reading reading;
  for (const Point& point : catalogue()) {
    PointReading entry{point, std::nullopt, reading.end};
    if (reading.end.ok()) {
      Value value;
      entry.outcome = readValue(point, access, &value);
      if (entry.outcome.ok()) entry.value = std::move(value);
      // A bad answer is an answer: the exchange itself went through.
      if (entry.outcome.ok() || entry.outcome.failure == Failure::BadAnswer)
        reading.answered = true;
      if (entry.outcome.endsReading()) reading.end = entry.outcome;
    }
    if (onPoint) onPoint(entry);
    reading.points.push_back(std::move(entry));
  }
  return reading;
}

Power powerFrom(const Value* inputVoltage, const PowerRules& rules) {
  if (inputVoltage == nullptr || std::isnan(inputVoltage->number)) return Power::Unknown;
  return inputVoltage->number >= rules.minLineVoltage ? Power::OnMains : Power::OnBattery;
}

PowerState powerOf(const Reading& reading, const PowerRules& rules) {
  PowerState state;
  state.power = powerFrom(reading.value("input_voltage"), rules);
  if (state.power == Power::OnMains) {
    state.batteryLow = false;
  } else if (state.power == Power::OnBattery) {
    const Value* runtime = reading.value("estimated_runtime");
    if (runtime != nullptr && !std::isnan(runtime->number))
      state.batteryLow = runtime->number <= rules.lowRuntimeMinutes;
  }
  return state;
}

}  // namespace zqread
