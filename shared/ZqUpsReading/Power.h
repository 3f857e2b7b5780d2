// The power rules that every companion shares: what a reading tells of the
// power (on mains or on battery, battery low, the service there), and the
// events that successive readings make of it.
#ifndef ZQUPSREADING_POWER_H
#define ZQUPSREADING_POWER_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Access.h"
#include "ZqUpsPoints.h"

namespace zqread {

struct Reading;

// Battery low at this estimated runtime (minutes) or less, by default.
constexpr double kDefaultLowRuntimeMinutes = 5;

enum class Power { OnMains, OnBattery, Unknown };

struct PowerRules {
  // On mains while input_voltage is at least this.
  double minLineVoltage = UPS_MIN_LINE_VOLTAGE;
  // Battery low on battery at this estimated runtime or less.
  double lowRuntimeMinutes = kDefaultLowRuntimeMinutes;
};

struct PowerState {
  Power power = Power::Unknown;
  // Empty when the power is unknown, or on battery with a runtime not
  // read yet; never low on mains.  On battery with a runtime that failed
  // (a status, a bad reply, no answer within the library's bound) it is
  // low: shutting down early beats going down with the battery.
  std::optional<bool> batteryLow;
  // The service was reached and answered (Reading::reached).
  bool reached = false;
};

// Unknown without a voltage (a NaN never decodes into one).
Power powerFrom(const Value* inputVoltage, const PowerRules& rules);
// What `reading` alone tells.
PowerState powerOf(const Reading& reading, const PowerRules& rules);

enum class PowerEventKind { OnBattery, OnMains, BatteryLow, BatteryOk, ServiceLost, ServiceBack };

// "on-battery", "on-mains", "battery-low", "battery-ok", "service-lost",
// "service-back".
const char* eventName(PowerEventKind kind);

// When something happened, on both clocks.
struct PowerTime {
  std::chrono::system_clock::time_point utc;
  Clock::time_point steady;

  static PowerTime now();
};

struct PowerEvent {
  PowerEventKind kind;
  PowerTime at;
  // As the reading that made the event read them, when it did.
  std::optional<double> lineVoltage;     // volts
  std::optional<double> runtimeMinutes;  // estimated
  // Why, for people: "line voltage 0 V, below 100 V", "runtime 4 min, at
  // most 5 min", the service's failure; empty for service-back.
  std::string reason;
};

// Turns successive readings into events.  Only a service that could not
// be asked is lost; a power that a reading cannot tell leaves the power
// as it was, and a runtime it cannot tell leaves battery low or ok as it
// was.  The first reading counts as following a service that was there:
// it is lost at once, back never, and its power is news.  A reading cut
// short by the program's own end (Cancelled) tells nothing.
class PowerTracker {
 public:
  explicit PowerTracker(const PowerRules& rules = PowerRules()) : rules_(rules) {}

  // The events that `reading`, taken in at `at`, makes, in order.
  std::vector<PowerEvent> take(const Reading& reading, const PowerTime& at);
  // As the readings so far leave it; the power unknown before any told it.
  const PowerState& state() const { return state_; }
  const PowerRules& rules() const { return rules_; }

 private:
  PowerRules rules_;
  PowerState state_;
  bool polled_ = false;
};

}  // namespace zqread

#endif
