// A reading of the UPS as Prometheus metric families in base units, and
// the counters of what readings failed.  Only formatting: the reading
// itself, its values and the power rules come from ZqUpsReading.
#ifndef UPSMETRICS_H
#define UPSMETRICS_H

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Power.h"
#include "Reading.h"

namespace zqups {

using Families = std::vector<prometheus::MetricFamily>;

struct MetricOptions {
  // On battery below the line voltage; battery low at the runtime.
  zqread::PowerRules power;
  // The exporter's version, for zqups_exporter_build_info.
  std::string version;
};

// zqups_exporter_build_info, then what `reading` holds: zqups_up, each
// value that was read, the power state as far as the reading tells it,
// and zqups_scrape_duration_seconds.
Families readingFamilies(const zqread::Reading& reading, const MetricOptions& options,
                         double seconds);

// zqups_reading_age_seconds: how long ago the reading served began.
prometheus::MetricFamily readingAgeFamily(double seconds);

// For a single run (--textfile), where a counter would restart at every
// run: zqups_read_failed{point} 0 or 1.
prometheus::MetricFamily readFailedFamily(const zqread::Reading& reading);

// The failures of the readings so far, for a long-running exporter.
class ReadCounters {
 public:
  ReadCounters();
  // Counts the failed points of one reading, or, when the service
  // answered nothing, that.
  void count(const zqread::Reading& reading);
  Families families() const { return registry_.Collect(); }

 private:
  prometheus::Registry registry_;
  std::map<std::string, prometheus::Counter*> readErrors_;
  prometheus::Counter* unreachable_;
};

// The exposition in Prometheus' text format.
std::string exposition(const Families& families);

// "YYYY-MM-DD" as the seconds since the epoch at that day's midnight UTC;
// nothing for any other text.
std::optional<double> dateTimestamp(const std::string& text);

// A text from the service as a valid UTF-8 label value: each byte that
// does not belong to a well-formed sequence becomes U+FFFD.
std::string utf8LabelValue(const std::string& text);

}  // namespace zqups

#endif
