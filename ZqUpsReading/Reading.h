// One reading of the whole catalogue, and the power rules that the
// companions share: on mains or on battery, battery low, or cannot tell.
#ifndef ZQUPSREADING_READING_H
#define ZQUPSREADING_READING_H

#include <functional>
#include <map>
#include <optional>
#include <string>
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
  // Every catalogue point, in the catalogue's order whatever the order
  // read; those not asked because the reading ended early carry what
  // ended it.
  std::vector<PointReading> points;
  // What ended the reading early, or ok.
  Outcome end;
  // At least one exchange was answered.
  bool answered = false;
  // When readCatalogue began it.
  Clock::time_point started{};

  // The service was reached and answered: a point that answered badly does
  // not change that, nor does a deadline that cut the reading short.
  bool reached() const {
    return answered && (end.ok() || end.failure == Failure::OutOfTime);
  }
  const Value* value(const char* name) const;

  // Takes in a point's reading, in its catalogue place: whether it
  // answered, and whether what it met ends the reading.
  void add(PointReading entry);
  // The points not taken in yet carry `why`, which ends the reading unless
  // something ended it before.
  void finish(const Outcome& why);
};

// The points whose exchange took its whole share of a reading's time:
// each is left out of the readings after, twice as many after each
// time-out in a row (2, 4, 8, at most 16), so that one hung point does not
// cost every reading its time.  Only readings in which the service
// answered something count: a service that answers nothing is not its
// points' fault.
class Skips {
 public:
  // Whether the reading now under way leaves `point` out; counts it.
  bool skip(const Point& point);
  // What the reading found, once it ended.
  void note(const Reading& reading, const std::vector<std::string>& timedOut);

 private:
  struct Record {
    int timeOuts = 0;  // in a row
    int left = 0;      // readings still to leave it out of
  };
  std::map<std::string, Record> records_;
};

// The catalogue in the order a reading asks it: the points the power is
// told by (input_voltage, estimated_runtime, the currents) first.
const std::vector<Point>& readingOrder();

// Reads every catalogue point in readingOrder within `access`; each point
// may take its share of the time left (that time over the points left, at
// least a second, at most the library's bound), so that one slow point
// leaves the rest theirs.  A point that took it all is OutOfTime and the
// reading goes on; only a failure that every later exchange would share
// (see Outcome::endsReading), or the deadline, stops it.  `skips`, when
// given, leaves out the points that hung lately and learns from this
// reading.  `onPoint`, when given, sees each point as soon as it is read
// (the points left unasked after such a failure are not shown to it).
Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint = {},
                      Skips* skips = nullptr);

enum class Power { OnMains, OnBattery, Unknown };

struct PowerRules {
  // On mains while input_voltage is at least this.
  double minLineVoltage = UPS_MIN_LINE_VOLTAGE;
  // Battery low on battery at this estimated runtime or less.
  double lowRuntimeMinutes = kDefaultLowRuntimeMinutes;
};

struct PowerState {
  Power power = Power::Unknown;
  // Empty when the power is unknown; never low on mains.  On battery
  // without a runtime it is low: shutting down early beats going down
  // with the battery.
  std::optional<bool> batteryLow;
};

// Unknown without a voltage (a NaN never decodes into one).
Power powerFrom(const Value* inputVoltage, const PowerRules& rules);
PowerState powerOf(const Reading& reading, const PowerRules& rules);

}  // namespace zqread

#endif
