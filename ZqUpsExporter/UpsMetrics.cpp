#include "UpsMetrics.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZqUpsApi.h"

namespace zqups {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The points whose texts label zqups_info; the label is the point's name.
const char* const kInfoPoints[] = {"vendor",
                                   "model",
                                   "serial_number",
                                   "firmware_version",
                                   "battery_serial",
                                   "battery_hardware_version",
                                   "manufacturing_date",
                                   "battery_replace_date"};

// A numeric point as a gauge in base units: the value times
// multiply / divide.  The rated capacity in mAh becomes coulombs (As).
struct ValueMetric {
  const char* point;
  const char* name;
  const char* help;
  double multiply;
  double divide;
};
const ValueMetric kValueMetrics[] = {
    {"input_voltage", "zqups_input_voltage_volts", "Input line voltage in volts", 1, 1},
    {"load_level", "zqups_load_ratio", "Load of the UPS as a ratio of its rating, 0 to 1", 1, 100},
    {"estimated_runtime", "zqups_battery_runtime_seconds",
     "Estimated runtime on battery in seconds", 60, 1},
    {"battery_temperature", "zqups_battery_temperature_celsius",
     "Battery temperature in degrees Celsius", 1, 1},
    {"internal_temperature", "zqups_internal_temperature_celsius",
     "Internal temperature of the UPS in degrees Celsius", 1, 1},
    {"charging_current", "zqups_battery_charge_current_amperes",
     "Battery charging current in amperes", 1, 1},
    {"discharging_current", "zqups_battery_discharge_current_amperes",
     "Battery discharging current in amperes", 1, 1},
    {"battery_rated_capacity", "zqups_battery_rated_capacity_coulombs",
     "Rated capacity of the battery in coulombs (ampere-seconds)", 36, 10}};

const char kLineVoltagePoint[] = "input_voltage";

// A point's value as read; which half holds it goes by the point's type.
struct Value {
  std::string text;
  double number = 0;
};

enum class Outcome { Read, Failed, Unreachable };

int rowOf(const char* name) { return static_cast<int>(UPSPointByName(name) - UPSPoints()); }

bool exported(const UPSPoint& point) {
  for (const char* name : kInfoPoints)
    if (std::strcmp(name, point.name) == 0) return true;
  for (const ValueMetric& metric : kValueMetrics)
    if (std::strcmp(metric.point, point.name) == 0) return true;
  return false;
}

// The exchange itself failed: no service, nobody accepting, or a system
// call (a timeout among them).  Every further read would fail alike, each
// after as long, so the collection stops there.
bool exchangeFailed(uint32_t result) {
  return result == UPSERR_SERVICE_MISSING || result == UPSERR_SERVICE_REFUSED ||
         UPS_IS_SYSTEM_CODE(result);
}

// The float as the shortest decimal that reads back as it, so that 0.45
// stays 0.45 and does not become 0.449999988079071.
double fromFloat(float value) {
  char digits[32];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits - 1, value);
  *end.ptr = '\0';
  return std::strtod(digits, nullptr);
}

bool decode(const UPSPoint& point, const unsigned char* data, uint32_t count, Value* value) {
  if (point.type == UPS_POINT_TEXT) {
    const char* text = reinterpret_cast<const char*>(data);
    value->text.assign(text, strnlen(text, count));
    return true;
  }
  if (count < UPS_POINT_WORD_LENGTH) return false;
  if (point.type == UPS_POINT_VERSION) {
    uint16_t build;
    std::memcpy(&build, data + 2, sizeof build);
    value->text =
        std::to_string(data[0]) + "." + std::to_string(data[1]) + "." + std::to_string(build);
  } else if (point.type == UPS_POINT_INTEGER) {
    int32_t number;
    std::memcpy(&number, data, sizeof number);
    value->number = number;
  } else {
    float number;
    std::memcpy(&number, data, sizeof number);
    if (!std::isfinite(number)) return false;
    value->number = fromFloat(number);
  }
  return true;
}

Outcome readPoint(const UPSPoint& point, Value* value) {
  unsigned char data[UPS_POINT_TEXT_LENGTH] = {};
  uint32_t count = 0;
  if (point.readLength > sizeof data) return Outcome::Failed;
  const uint32_t result = UPSRead(UPS_POINTS_INDEX, point.offset, point.readLength, data, &count);
  if (result != UPS_OK) return exchangeFailed(result) ? Outcome::Unreachable : Outcome::Failed;
  return decode(point, data, count, value) ? Outcome::Read : Outcome::Failed;
}

std::string pointHelp(const char* help, const UPSPoint& point) {
  char address[32];
  std::snprintf(address, sizeof address, "0x%x:0x%02x", UPS_POINTS_INDEX,
                static_cast<unsigned>(point.offset));
  return std::string(help) + " (data point " + point.name + ", " + address + ")";
}

MetricFamily family(const std::string& name, const std::string& help, MetricType type) {
  MetricFamily result;
  result.name = name;
  result.help = help;
  result.type = type;
  return result;
}

MetricFamily gauge(const std::string& name, const std::string& help, double value) {
  MetricFamily result = family(name, help, MetricType::Gauge);
  result.metric.emplace_back();
  result.metric.back().gauge.value = value;
  return result;
}

MetricFamily infoFamily(const Value* values) {
  MetricFamily info = gauge("zqups_info",
                            "Identity of the UPS and its battery, from the data points named by "
                            "the labels; always 1",
                            1);
  for (const char* name : kInfoPoints)
    info.metric.back().label.push_back({name, utf8LabelValue(values[rowOf(name)].text)});
  return info;
}

std::string onBatteryHelp(double minLineVoltage) {
  char threshold[64];
  std::snprintf(threshold, sizeof threshold, "%g V", minLineVoltage);
  return pointHelp((std::string("1 while the input line voltage is below ") + threshold).c_str(),
                   *UPSPointByName(kLineVoltagePoint)) +
         ", the UPS running on its battery; else 0";
}

void addValueFamilies(const Value* values, double minLineVoltage,
                      std::vector<MetricFamily>* families) {
  families->push_back(infoFamily(values));
  for (const ValueMetric& metric : kValueMetrics) {
    const int row = rowOf(metric.point);
    families->push_back(gauge(metric.name, pointHelp(metric.help, UPSPoints()[row]),
                              values[row].number * metric.multiply / metric.divide));
  }
  const double lineVoltage = values[rowOf(kLineVoltagePoint)].number;
  families->push_back(
      gauge("zqups_on_battery", onBatteryHelp(minLineVoltage), lineVoltage < minLineVoltage));
}

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t utf8SequenceAt(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead > 0xF4 || length == 0 || at + length > text.size()) return 0;
  const unsigned char second = static_cast<unsigned char>(text[at + 1]);
  // Overlong forms, UTF-16 surrogates and code points above U+10FFFF.
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

std::string utf8LabelValue(const std::string& text) {
  std::string result;
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8SequenceAt(text, at);
    result += length ? text.substr(at, length) : "\xEF\xBF\xBD";
    at += length ? length : 1;
  }
  return result;
}

UpsCollector::UpsCollector(double minLineVoltage) : minLineVoltage_(minLineVoltage) {}

MetricFamily UpsCollector::readErrorFamily() const {
  MetricFamily errors = family("zqups_read_errors_total",
                               "Reads of the data point named by the label that failed, since the "
                               "exporter started",
                               MetricType::Counter);
  for (int row = 0; row < UPS_POINT_COUNT; ++row) {
    if (!exported(UPSPoints()[row])) continue;
    errors.metric.emplace_back();
    errors.metric.back().label.push_back({"point", UPSPoints()[row].name});
    errors.metric.back().counter.value = static_cast<double>(readErrors_[row].load());
  }
  return errors;
}

std::vector<MetricFamily> UpsCollector::Collect() const {
  bool up = false;
  return collect(&up);
}

std::vector<MetricFamily> UpsCollector::collect(bool* up) const {
  const auto start = std::chrono::steady_clock::now();
  Value values[UPS_POINT_COUNT];
  *up = true;
  for (int row = 0; row < UPS_POINT_COUNT; ++row) {
    if (!exported(UPSPoints()[row])) continue;
    const Outcome outcome = readPoint(UPSPoints()[row], &values[row]);
    if (outcome == Outcome::Read) continue;
    ++readErrors_[row];
    *up = false;
    if (outcome == Outcome::Unreachable) break;
  }
  std::vector<MetricFamily> families;
  families.push_back(
      gauge("zqups_up", "1 when every data point was read in this scrape, else 0", *up));
  if (*up) addValueFamilies(values, minLineVoltage_, &families);
  families.push_back(readErrorFamily());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  families.push_back(gauge("zqups_scrape_duration_seconds",
                           "Time this scrape took to read the UPS in seconds", took.count()));
  return families;
}

}  // namespace zqups
