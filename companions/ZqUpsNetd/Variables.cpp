#include "Variables.h"

#include <algorithm>
#include <cmath>

#include "ReplyLines.h"
#include "Request.h"

#include "Text.h"

namespace zqnetd {

namespace {

constexpr const char* kNoPoint = nullptr;
// What clients keep of a writable text's value.
constexpr size_t kMaxWritableText = 127;

// Whether `point` failed for want of time or of the service, not because
// it answered badly.
bool unread(const zqread::Reading& reading, const char* point) {
  for (const zqread::PointReading& entry : reading.points)
    if (entry.point.name == point)
      return !entry.value && entry.outcome.failure != zqread::Failure::BadAnswer;
  return true;
}

bool unread(const Variable& variable, const zqread::Reading& reading) {
  switch (variable.source) {
    case Source::Point:
      return unread(reading, variable.point);
    case Source::Current:
      return unread(reading, "charging_current") || unread(reading, "discharging_current");
    case Source::Status:
      return unread(reading, "input_voltage");
    default:
      break;
  }
  return false;
}

std::optional<double> numberOf(const zqread::Reading& reading, const char* point) {
  const zqread::Value* value = reading.value(point);
  if (value == nullptr || std::isnan(value->number)) return std::nullopt;
  return value->number;
}

std::optional<std::string> statusOf(const zqread::Reading& reading, const Rules& rules) {
  const zqread::PowerState state = zqread::powerOf(reading, rules.power);
  if (state.power == zqread::Power::Unknown) return std::nullopt;
  std::string words = state.power == zqread::Power::OnMains ? "OL" : "OB";
  if (state.batteryLow.value_or(false)) words += " LB";
  if (numberOf(reading, "charging_current").value_or(0) > 0) words += " CHRG";
  if (numberOf(reading, "discharging_current").value_or(0) > 0) words += " DISCHRG";
  return words;
}

std::string pointText(const Variable& variable, const zqread::Value& value) {
  if (std::isnan(value.number)) return printable(value.text);
  return numberText(value.number * variable.times / variable.per);
}

std::optional<std::string> journalValue(const Variable& variable, const zqjournal::Stats& stats) {
  switch (variable.source) {
    case Source::Transfers: return std::to_string(stats.transfers);
    case Source::BatteryTime: return std::to_string(stats.batterySeconds);
    case Source::LastTransfer:
      if (stats.lastTransfer) return zqjournal::timeText(*stats.lastTransfer);
      break;
    case Source::TransferReason:
      if (stats.lastTransfer)
        return printable(stats.lastTransferReason.substr(0, textLength(variable)));
      break;
    default: break;
  }
  return std::nullopt;
}

std::optional<std::string> valueOf(const Variable& variable, const zqread::Reading& reading,
                                   const Rules& rules, const zqjournal::Stats* journal) {
  switch (variable.source) {
    case Source::Point: {
      const zqread::Value* value = reading.value(variable.point);
      if (value == nullptr) return std::nullopt;
      return pointText(variable, *value);
    }
    case Source::DeviceType:
      return std::string("ups");
    case Source::LowRuntime:
      return numberText(rules.power.lowRuntimeMinutes * 60);
    case Source::Current: {
      const auto charging = numberOf(reading, "charging_current");
      const auto discharging = numberOf(reading, "discharging_current");
      if (!charging || !discharging) return std::nullopt;
      return numberText(*charging - *discharging);
    }
    case Source::Status:
      return statusOf(reading, rules);
    case Source::Transfers:
    case Source::BatteryTime:
    case Source::LastTransfer:
    case Source::TransferReason:
      if (journal) return journalValue(variable, *journal);
      break;
  }
  return std::nullopt;
}

}  // namespace

const std::vector<Variable>& variables() {
  static const std::vector<Variable> table = {
      {"battery.capacity", Source::Point, "battery_rated_capacity", 1, 1000, false,
       "Battery rated capacity (Ah)"},
      {"battery.current", Source::Current, kNoPoint, 1, 1, false,
       "Battery current (A): charging positive, discharging negative"},
      {"battery.date", Source::Point, "battery_replace_date", 1, 1, true,
       "Battery replacement date", Format::Date},
      {"battery.runtime", Source::Point, "estimated_runtime", 60, 1, false,
       "Battery runtime (seconds)"},
      {"battery.runtime.low", Source::LowRuntime, kNoPoint, 1, 1, false,
       "Low battery at this runtime or less (seconds)"},
      {"battery.temperature", Source::Point, "battery_temperature", 1, 1, false,
       "Battery temperature (degrees C)"},
      {"device.mfr", Source::Point, "vendor", 1, 1, false, "Device manufacturer"},
      {"device.model", Source::Point, "model", 1, 1, false, "Device model"},
      {"device.serial", Source::Point, "serial_number", 1, 1, false, "Device serial number"},
      {"device.type", Source::DeviceType, kNoPoint, 1, 1, false, "Device type"},
      {"experimental.battery.time.total", Source::BatteryTime, kNoPoint, 1, 1, false,
       "Time on battery in all, from the power journal (seconds)"},
      {"experimental.transfer.count", Source::Transfers, kNoPoint, 1, 1, false,
       "Transfers to battery, from the power journal"},
      {"experimental.transfer.last", Source::LastTransfer, kNoPoint, 1, 1, false,
       "Last transfer to battery (UTC), from the power journal"},
      {"experimental.zqups.battery_hardware_version", Source::Point, "battery_hardware_version",
       1, 1, false, "Battery hardware version"},
      {"experimental.zqups.battery_serial", Source::Point, "battery_serial", 1, 1, false,
       "Battery serial string"},
      {"experimental.zqups.capabilities", Source::Point, "capabilities", 1, 1, false,
       "Device capabilities"},
      {"experimental.zqups.copyright", Source::Point, "copyright", 1, 1, false, "Copyright"},
      {"input.transfer.reason", Source::TransferReason, kNoPoint, 1, 1, false,
       "Reason for the last transfer to battery"},
      {"input.voltage", Source::Point, "input_voltage", 1, 1, false, "Input voltage (V)"},
      {"ups.firmware", Source::Point, "firmware_version", 1, 1, false, "UPS firmware"},
      {"ups.load", Source::Point, "load_level", 1, 1, false, "Load on UPS (percent)"},
      {"ups.mfr", Source::Point, "vendor", 1, 1, false, "UPS manufacturer"},
      {"ups.mfr.date", Source::Point, "manufacturing_date", 1, 1, false,
       "UPS manufacturing date"},
      {"ups.model", Source::Point, "model", 1, 1, false, "UPS model"},
      {"ups.serial", Source::Point, "serial_number", 1, 1, false, "UPS serial number"},
      {"ups.status", Source::Status, kNoPoint, 1, 1, false, "UPS status"},
      {"ups.temperature", Source::Point, "internal_temperature", 1, 1, false,
       "UPS internal temperature (degrees C)"},
  };
  return table;
}

const Variable* variableNamed(std::string_view name) {
  // The names with their lengths, so that most compare by length alone.
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> all;
    for (const Variable& variable : variables()) all.emplace_back(variable.name);
    return all;
  }();
  for (size_t i = 0; i < names.size(); ++i)
    if (sameWord(name, names[i])) return &variables()[i];
  return nullptr;
}

bool isText(const Variable& variable) {
  if (variable.source == Source::DeviceType || variable.source == Source::Status ||
      variable.source == Source::LastTransfer || variable.source == Source::TransferReason)
    return true;
  if (variable.source != Source::Point) return false;
  const auto point = zqread::resolvePoint(variable.point, zqread::Kind::Hex);
  return point->kind != zqread::Kind::Float && point->kind != zqread::Kind::Int;
}

size_t textLength(const Variable& variable) {
  if (variable.format == Format::Date) return zqread::kDateLength;
  const size_t longest = UPS_POINT_TEXT_LENGTH - 1;
  return variable.writable ? std::min(longest, kMaxWritableText) : longest;
}

bool writableAs(const Variable& variable, std::string_view text) {
  return variable.format != Format::Date || zqread::daysOfDate(text).has_value();
}

Snapshot snapshotOf(const zqread::Reading& reading, const Rules& rules, Clock::time_point taken,
                    const zqjournal::Stats* journal) {
  Snapshot snapshot;
  snapshot.taken = taken;
  snapshot.reached = reading.reached();
  for (const Variable& variable : variables()) {
    snapshot.values.push_back(valueOf(variable, reading, rules, journal));
    if (!snapshot.values.back() && unread(variable, reading)) snapshot.unread.insert(variable.name);
  }
  const zqread::Value* vendor = reading.value("vendor");
  const zqread::Value* model = reading.value("model");
  if (vendor != nullptr && model != nullptr)
    snapshot.model = printable(vendor->text + " " + model->text);
  return snapshot;
}

Snapshot withPoint(const Snapshot& snapshot, const std::string& point,
                   const zqread::Value& value) {
  Snapshot changed = snapshot;
  for (const Variable& variable : variables())
    if (variable.source == Source::Point && point == variable.point) {
      changed.values[indexOf(variable)] = pointText(variable, value);
      changed.unread.erase(variable.name);
    }
  return changed;
}

std::string printable(const std::string& text) {
  std::string clean = text;
  for (char& c : clean)
    if (c < 0x20 || c > 0x7e) c = '?';
  return clean;
}

}  // namespace zqnetd
