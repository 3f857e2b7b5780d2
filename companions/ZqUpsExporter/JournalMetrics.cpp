#include "JournalMetrics.h"

#include <algorithm>

namespace zqups {
namespace {

prometheus::MetricFamily one(const char* name, const char* help, prometheus::MetricType type,
                             double value) {
  prometheus::MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  family.metric.emplace_back();
  if (type == prometheus::MetricType::Counter)
    family.metric.back().counter.value = value;
  else
    family.metric.back().gauge.value = value;
  return family;
}

}  // namespace

Families JournalMetrics::families() {
  using prometheus::MetricType;
  const zqjournal::Stats stats = journal_->stats();
  batterySeconds_ = std::max(batterySeconds_, stats.batterySeconds);
  lostSeconds_ = std::max(lostSeconds_, stats.lostSeconds);
  Families families;
  families.push_back(one("zqups_transfers_total",
                         "Transfers to battery that the power journal holds, across restarts "
                         "and its rotations",
                         MetricType::Counter, static_cast<double>(stats.transfers)));
  families.push_back(one("zqups_on_battery_seconds_total",
                         "Seconds on battery that the power journal holds, the spell under way "
                         "included",
                         MetricType::Counter, static_cast<double>(batterySeconds_)));
  families.push_back(one("zqups_service_lost_seconds_total",
                         "Seconds without the UPS service that the power journal holds, the "
                         "spell under way included",
                         MetricType::Counter, static_cast<double>(lostSeconds_)));
  if (stats.lastTransfer)
    families.push_back(one("zqups_last_transfer_timestamp_seconds",
                           "When the last transfer to battery was, as a Unix time",
                           MetricType::Gauge, static_cast<double>(*stats.lastTransfer)));
  return families;
}

}  // namespace zqups
