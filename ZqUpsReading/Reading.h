// One reading of the whole catalogue, and the power rules that the
// companions share: on mains or on battery, battery low, or cannot tell.
#ifndef ZQUPSREADING_READING_H
#define ZQUPSREADING_READING_H

#include <functional>
#include <optional>
#include <vector>

#include "Access.h"
#include "ZqUpsPoints.h"

namespace zqread {

// Battery low at this estimated runtime (minutes) or less, by default.
constexpr double kDefaultLowRuntimeMinutes = 5;

struct PointReading {
  Point point;
  std::optional<Value> value;  // when the point answered well
  Outcome outcome;             // why not, when it did not (or was not asked)
};

struct Reading {
  // Every catalogue point, in the catalogue's order; those not asked
  // because the reading ended early carry what ended it.
  std::vector<PointReading> points;
  // What ended the reading early, or ok.
  Outcome end;
  // At least one exchange was answered.
  bool answered = false;

  // The service was reached and answered: a point that answered badly does
  // not change that, nor does a deadline that cut the reading short.
  bool reached() const {
    return answered && (end.ok() || end.failure == Failure::OutOfTime);
  }
  const Value* value(const char* name) const;

  // Takes in the next point's reading: whether it answered, and whether
  // what it met ends the reading.
  void add(PointReading entry);
  // The points not taken in yet carry `why`, which ends the reading unless
  // something ended it before.
  void finish(const Outcome& why);
};

// Reads every catalogue point in turn within `access`; only a failure
// that every later exchange would share (see Outcome::endsReading) stops
// it.  `onPoint`, when given, sees each point as soon as it is read (the
// points left unasked after such a failure are not shown to it).
Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint = {});

enum class Power { OnMains, OnBattery, Unknown };

struct PowerRules {
  // On mains while input_voltage is at least this.
  double minLineVoltage = UPS_MIN_LINE_VOLTAGE;
  // Battery low on battery at this estimated runtime or less.
  double lowRuntimeMinutes = kDefaultLowRuntimeMinutes;
};

struct PowerState {
  Power power = Power::Unknown;
  // Empty when it cannot be told: power unknown, or on battery without a
  // runtime.  Never low on mains.
  std::optional<bool> batteryLow;
};

// Unknown without a voltage (a NaN never decodes into one).
Power powerFrom(const Value* inputVoltage, const PowerRules& rules);
PowerState powerOf(const Reading& reading, const PowerRules& rules);

}  // namespace zqread

#endif
