#include "Reading.h"

#include <cstring>

namespace zqread {

const Value* Reading::value(const char* name) const {
  for (const PointReading& entry : points)
    if (entry.point.name == name) return entry.value ? &*entry.value : nullptr;
  return nullptr;
}

void Reading::add(PointReading entry) {
  // A bad answer is an answer: the exchange itself went through.
  if (entry.outcome.ok() || entry.outcome.failure == Failure::BadAnswer) answered = true;
  if (entry.outcome.endsReading() && end.ok()) end = entry.outcome;
  points.push_back(std::move(entry));
}

void Reading::finish(const Outcome& why) {
  const std::vector<Point>& all = catalogue();
  if (points.size() >= all.size()) return;
  if (end.ok()) end = why;
  for (size_t row = points.size(); row < all.size(); ++row)
    points.push_back(PointReading{all[row], std::nullopt, end});
}

Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint) {
  Reading reading;
  for (const Point& point : catalogue()) {
    if (!reading.end.ok()) break;
    PointReading entry{point, std::nullopt, Outcome{}};
    Value value;
    entry.outcome = readValue(point, access, &value);
    if (entry.outcome.ok()) entry.value = std::move(value);
    if (onPoint) onPoint(entry);
    reading.add(std::move(entry));
  }
  reading.finish(reading.end);
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
