// The UPS as the network UPS protocol names it: the one table of
// variables and how each is made from a reading, and the snapshot that
// every client is answered from until the next reading.
#ifndef ZQUPSNETD_VARIABLES_H
#define ZQUPSNETD_VARIABLES_H

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Journal.h"
#include "Reading.h"

namespace zqnetd {

using Clock = std::chrono::steady_clock;

// Where a variable's value comes from.
enum class Source {
  Point,       // the catalogue point `point`
  DeviceType,  // always "ups"
  LowRuntime,  // --low-runtime in seconds
  Current,     // charging_current - discharging_current
  Status,      // OL/OB, LB, CHRG, DISCHRG by the power rules
  // The power journal's statistics, with --journal only:
  Transfers,       // transfers to battery
  BatteryTime,     // seconds on battery, the spell under way included
  LastTransfer,    // the last transfer's UTC time
  TransferReason,  // the last transfer's reason
};

// What a text variable holds; what a write must be.
enum class Format {
  Text,  // any text that fits the point
  Date,  // the catalogue's YYYY-MM-DD
};

struct Variable {
  const char* name;
  Source source;
  const char* point;  // the catalogue's name, for Source::Point
  int times, per;     // a number point's value * times / per
  bool writable;
  const char* description;
  Format format = Format::Text;
};

// Every variable, by name.
const std::vector<Variable>& variables();
// The variable named `name` in any case, or null.
const Variable* variableNamed(std::string_view name);
// Whether `variable` holds text; else a number.
bool isText(const Variable& variable);
// The longest text `variable` holds, as GET TYPE says it; a writable one
// at most 127 bytes, which clients keep of a value to write.
size_t textLength(const Variable& variable);
// Whether `text` has the form `variable` asks (its type and length aside,
// which the point's encoding checks).
bool writableAs(const Variable& variable, std::string_view text);

struct Rules {
  zqread::PowerRules power;
};

// One reading turned into the protocol's values, shared read-only by
// every client until the next.
struct Snapshot {
  Clock::time_point taken;
  bool reached = false;  // false: the service was lost; no value is worth anything
  // By position in variables(); none for a variable whose point failed.
  // Texts are printable ASCII; ups.status lacks FSD, which the server adds.
  std::vector<std::optional<std::string>> values;
  // The variables missing because their points were not read in time (or
  // at all): their data is stale, not unsupported.
  std::set<std::string, std::less<>> unread;
  std::string model;  // "vendor model" when both were read, else empty
};

// `variable`'s position in variables().
inline size_t indexOf(const Variable& variable) { return size_t(&variable - variables().data()); }

// With `journal`, the power journal's statistics as they stand.
Snapshot snapshotOf(const zqread::Reading& reading, const Rules& rules, Clock::time_point taken,
                    const zqjournal::Stats* journal = nullptr);
// `snapshot` with the variables of `point` showing `value`.
Snapshot withPoint(const Snapshot& snapshot, const std::string& point, const zqread::Value& value);

// `text` with every byte outside ASCII's printable range as '?'.
std::string printable(const std::string& text);

}  // namespace zqnetd

#endif
