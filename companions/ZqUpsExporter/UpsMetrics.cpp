#include "UpsMetrics.h"

#include <prometheus/text_serializer.h>

#include <cstdio>
#include <cstring>

#include "Text.h"

namespace zqups {
namespace {

using prometheus::MetricFamily;
using prometheus::MetricType;
using zqread::Failure;
using zqread::PointReading;
using zqread::Reading;

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

// A date point as the Unix time of that day's midnight UTC.
struct DateMetric {
  const char* point;
  const char* name;
  const char* help;
};
const DateMetric kDateMetrics[] = {
    {"battery_replace_date", "zqups_battery_replace_timestamp_seconds",
     "Date by which the battery is to be replaced, as a Unix time (midnight UTC)"},
    {"manufacturing_date", "zqups_manufacturing_timestamp_seconds",
     "Manufacturing date of the UPS, as a Unix time (midnight UTC)"}};

const char kLineVoltagePoint[] = "input_voltage";

bool isDatePoint(const std::string& name) {
  for (const DateMetric& metric : kDateMetrics)
    if (name == metric.point) return true;
  return false;
}

bool exported(const std::string& name) {
  for (const char* info : kInfoPoints)
    if (name == info) return true;
  for (const ValueMetric& metric : kValueMetrics)
    if (name == metric.point) return true;
  return false;
}

const PointReading* entryOf(const Reading& reading, const char* name) {
  for (const PointReading& entry : reading.points)
    if (entry.point.name == name) return &entry;
  return nullptr;
}

std::string pointHelp(const std::string& help, const zqread::Point& point) {
  char address[32];
  std::snprintf(address, sizeof address, "0x%x:0x%02x", static_cast<unsigned>(point.index),
                static_cast<unsigned>(point.offset));
  return help + " (data point " + point.name + ", " + address + ")";
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

MetricFamily buildInfoFamily(const std::string& version) {
  MetricFamily info =
      gauge("zqups_exporter_build_info", "The exporter's version, in the label; always 1", 1);
  info.metric.back().label.push_back({"version", version});
  return info;
}

// A label whose point was not read is empty, which Prometheus takes as
// no label at all; without any text read there is no zqups_info.
void addInfo(const Reading& reading, Families* families) {
  MetricFamily info = gauge("zqups_info",
                            "Identity of the UPS and its battery, from the data points named by "
                            "the labels; always 1",
                            1);
  bool any = false;
  for (const char* name : kInfoPoints) {
    const zqread::Value* value = reading.value(name);
    any = any || value != nullptr;
    info.metric.back().label.push_back({name, value ? utf8LabelValue(value->text) : ""});
  }
  if (any) families->push_back(std::move(info));
}

void addValues(const Reading& reading, Families* families) {
  for (const ValueMetric& metric : kValueMetrics) {
    const PointReading* entry = entryOf(reading, metric.point);
    if (entry == nullptr || !entry->value) continue;
    families->push_back(gauge(metric.name, pointHelp(metric.help, entry->point),
                              entry->value->number * metric.multiply / metric.divide));
  }
  for (const DateMetric& metric : kDateMetrics) {
    const PointReading* entry = entryOf(reading, metric.point);
    if (entry == nullptr || !entry->value) continue;
    if (const std::optional<double> seconds = dateTimestamp(entry->value->text))
      families->push_back(gauge(metric.name, pointHelp(metric.help, entry->point), *seconds));
  }
}

std::string measure(const char* what, double number, const char* unit) {
  char text[96];
  std::snprintf(text, sizeof text, "%s%g %s", what, number, unit);
  return text;
}

void addPower(const Reading& reading, const zqread::PowerRules& rules, Families* families) {
  const zqread::PowerState state = zqread::powerOf(reading, rules);
  if (state.power == zqread::Power::Unknown) return;
  const std::string help =
      pointHelp(measure("1 while the input line voltage is below ", rules.minLineVoltage, "V"),
                entryOf(reading, kLineVoltagePoint)->point) +
      ", the UPS running on its battery; else 0";
  families->push_back(gauge("zqups_on_battery", help, state.power == zqread::Power::OnBattery));
  if (!state.batteryLow) return;
  families->push_back(gauge(
      "zqups_battery_low",
      pointHelp(measure("1 while on battery with the estimated runtime at most ",
                      rules.lowRuntimeMinutes, "min") +
                    " or unreadable",
                *zqread::resolvePoint("estimated_runtime", zqread::Kind::Hex)) +
          "; else 0",
      *state.batteryLow));
}

// Nothing answered (no service, or one that never answers in time): no
// point is to blame.  A reading cut short by the end of the exporter is
// neither.
bool serviceUnreachable(const Reading& reading) {
  return !reading.reached() && reading.end.failure != Failure::Cancelled;
}

// The point answered badly, was not read in time, or holds a date that is
// no date.
bool pointFailed(const PointReading& entry) {
  if (entry.value)
    return isDatePoint(entry.point.name) && !dateTimestamp(entry.value->text).has_value();
  return entry.outcome.failure == Failure::BadAnswer || entry.outcome.failure == Failure::OutOfTime ||
         entry.outcome.failure == Failure::Skipped || entry.outcome.failure == Failure::Silent;
}

bool countsAsFailed(const Reading& reading, const PointReading& entry) {
  return reading.reached() && exported(entry.point.name) && pointFailed(entry);
}

}  // namespace

Families readingFamilies(const Reading& reading, const MetricOptions& options, double seconds) {
  Families families;
  families.push_back(buildInfoFamily(options.version));
  families.push_back(gauge("zqups_up",
                           "1 when the UPS service was reached and answered in the reading "
                           "served, else 0; a data point that failed leaves out only its own "
                           "metric",
                           reading.reached()));
  addInfo(reading, &families);
  addValues(reading, &families);
  addPower(reading, options.power, &families);
  families.push_back(gauge("zqups_scrape_duration_seconds",
                           "Time this scrape took in seconds: the reading, or the wait for a "
                           "first one",
                           seconds));
  return families;
}

MetricFamily readingAgeFamily(double seconds) {
  return gauge("zqups_reading_age_seconds",
               "Time since the reading served began, in seconds; the UPS is read on a schedule",
               seconds);
}

MetricFamily readFailedFamily(const Reading& reading) {
  MetricFamily failed = family("zqups_read_failed",
                               "1 when the read of the data point named by the label failed in "
                               "this run, else 0",
                               MetricType::Gauge);
  for (const PointReading& entry : reading.points) {
    if (!exported(entry.point.name)) continue;
    failed.metric.emplace_back();
    failed.metric.back().label.push_back({"point", entry.point.name});
    failed.metric.back().gauge.value = countsAsFailed(reading, entry);
  }
  return failed;
}

ReadCounters::ReadCounters() {
  auto& errors = prometheus::BuildCounter()
                     .Name("zqups_read_errors_total")
                     .Help(
                         "Reads of the data point named by the label that failed (answered "
                         "badly, or not in time), since the exporter started")
                     .Register(registry_);
  for (const zqread::Point& point : zqread::catalogue())
    if (exported(point.name)) readErrors_[point.name] = &errors.Add({{"point", point.name}});
  unreachable_ = &prometheus::BuildCounter()
                      .Name("zqups_service_unreachable_total")
                      .Help(
                          "Readings in which the UPS service answered nothing (not there, or "
                          "not in time), since the exporter started")
                      .Register(registry_)
                      .Add({});
}

void ReadCounters::count(const Reading& reading) {
  if (serviceUnreachable(reading)) unreachable_->Increment();
  for (const PointReading& entry : reading.points) {
    if (countsAsFailed(reading, entry)) readErrors_.at(entry.point.name)->Increment();
  }
}

std::string exposition(const Families& families) {
  return prometheus::TextSerializer().Serialize(families);
}

std::optional<double> dateTimestamp(const std::string& text) {
  const std::optional<long> days = zqread::daysOfDate(text);
  if (!days) return std::nullopt;
  return static_cast<double>(*days) * 86400;
}

std::string utf8LabelValue(const std::string& text) {
  std::string result;
  for (size_t at = 0; at < text.size();) {
    const size_t length = zqread::utf8SequenceAt(text, at);
    result += length ? text.substr(at, length) : "\xEF\xBF\xBD";
    at += length ? length : 1;
  }
  return result;
}

}  // namespace zqups
