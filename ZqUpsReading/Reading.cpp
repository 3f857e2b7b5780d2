#include "Reading.h"

#include <algorithm>
#include <cstring>

#include "ZqUpsInternal.h"

namespace zqread {

const Value* Reading::value(const char* name) const {
  for (const PointReading& entry : points)
    if (entry.point.name == name) return entry.value ? &*entry.value : nullptr;
  return nullptr;
}

namespace {

// A second is more than any service that answers at all needs for one
// point, and few enough that a hung point leaves the rest their time.
constexpr Clock::duration kMinShare = std::chrono::seconds(1);
constexpr int kMaxSkipped = 16;
const char* const kPowerPoints[] = {"input_voltage", "estimated_runtime", "charging_current",
                                    "discharging_current"};

size_t rowOf(const Point& point) {
  const std::vector<Point>& all = catalogue();
  for (size_t row = 0; row < all.size(); ++row)
    if (all[row].index == point.index && all[row].offset == point.offset) return row;
  return all.size();
}

// The deadline of a point's exchange, `points` of them left.  A share
// past the library's own bound leaves that bound, whose time-out says the
// service is silent, not the point.
Clock::time_point shareOf(const Access& access, Clock::time_point now, size_t points) {
  const Clock::duration left = access.deadline - now;
  Clock::duration share = left / static_cast<Clock::duration::rep>(std::max<size_t>(points, 1));
  share = std::max(share, std::min(left, kMinShare));
  return share >= left || share >= zqups::kCallBudget ? access.deadline : now + share;
}

}  // namespace

void Reading::add(PointReading entry) {
  // A bad answer is an answer: the exchange itself went through.
  if (entry.outcome.ok() || entry.outcome.failure == Failure::BadAnswer) answered = true;
  if (entry.outcome.endsReading() && end.ok()) end = entry.outcome;
  const size_t row = rowOf(entry.point);
  auto at = points.begin();
  while (at != points.end() && rowOf(at->point) < row) ++at;
  points.insert(at, std::move(entry));
}

void Reading::finish(const Outcome& why) {
  const std::vector<Point>& all = catalogue();
  if (points.size() >= all.size()) return;
  if (end.ok()) end = why;
  std::vector<PointReading> whole;
  auto taken = points.begin();
  for (const Point& point : all) {
    if (taken != points.end() && rowOf(taken->point) == rowOf(point))
      whole.push_back(std::move(*taken++));
    else
      whole.push_back(PointReading{point, std::nullopt, end});
  }
  points = std::move(whole);
}

bool Skips::skip(const Point& point) {
  const auto found = records_.find(point.name);
  if (found == records_.end() || found->second.left == 0) return false;
  --found->second.left;
  return true;
}

void Skips::note(const Reading& reading, const std::vector<std::string>& timedOut) {
  if (!reading.answered) return;
  for (const PointReading& entry : reading.points)
    if (entry.value || entry.outcome.failure == Failure::BadAnswer) records_.erase(entry.point.name);
  for (const std::string& name : timedOut) {
    Record& record = records_[name];
    record.timeOuts = std::min(record.timeOuts + 1, 4);
    record.left = std::min(1 << record.timeOuts, kMaxSkipped);
  }
}

const std::vector<Point>& readingOrder() {
  static const std::vector<Point> order = [] {
    std::vector<Point> points;
    for (const char* name : kPowerPoints) points.push_back(*resolvePoint(name, Kind::Hex));
    for (const Point& point : catalogue())
      if (std::find_if(points.begin(), points.end(), [&](const Point& taken) {
            return taken.name == point.name;
          }) == points.end())
        points.push_back(point);
    return points;
  }();
  return order;
}

Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint, Skips* skips) {
  Reading reading;
  reading.started = Clock::now();
  std::vector<std::string> timedOut;
  bool ranOut = false;
  const std::vector<Point>& order = readingOrder();
  for (size_t at = 0; at < order.size() && reading.end.ok() && !ranOut; ++at) {
    const Point& point = order[at];
    const Clock::time_point now = Clock::now();
    if (now >= access.deadline) break;
    PointReading entry{point, std::nullopt, Outcome{}};
    if (skips != nullptr && skips->skip(point)) {
      entry.outcome = Outcome{Failure::Skipped, 0, "left out: it did not answer in time lately"};
    } else {
      Access own = access;
      own.deadline = shareOf(access, now, order.size() - at);
      Value value;
      entry.outcome = readValue(point, own, &value);
      if (entry.outcome.ok()) entry.value = std::move(value);
      if (entry.outcome.failure == Failure::OutOfTime) timedOut.push_back(point.name);
      // It had the rest of the reading's time.
      ranOut = entry.outcome.failure == Failure::OutOfTime && own.deadline == access.deadline;
    }
    if (onPoint) onPoint(entry);
    reading.add(std::move(entry));
  }
  reading.finish(reading.end.ok() ? Outcome{Failure::OutOfTime, 0, "not read in time"}
                                  : reading.end);
  if (skips != nullptr) skips->note(reading, timedOut);
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
    state.batteryLow = runtime == nullptr || std::isnan(runtime->number) ||
                       runtime->number <= rules.lowRuntimeMinutes;
  }
  return state;
}

}  // namespace zqread
