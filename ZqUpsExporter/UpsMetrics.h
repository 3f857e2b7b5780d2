// The UPS as Prometheus metrics: each collection reads the data points
// through libZqUps at that moment and turns them into metric families in
// base units.  Safe to collect from any number of threads at once.
#ifndef UPSMETRICS_H
#define UPSMETRICS_H

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ZqUpsPoints.h"

namespace zqups {

class UpsCollector : public prometheus::Collectable {
 public:
  // The UPS counts as on battery while the input line voltage is below
  // minLineVoltage volts.
  explicit UpsCollector(double minLineVoltage = UPS_MIN_LINE_VOLTAGE);

  std::vector<prometheus::MetricFamily> Collect() const override;
  // As Collect(); *up tells whether every data point was read.
  std::vector<prometheus::MetricFamily> collect(bool* up) const;

 private:
  prometheus::MetricFamily readErrorFamily() const;

  double minLineVoltage_;
  // Failed reads per catalogue row, since the collector was made.
  mutable std::atomic<std::uint64_t> readErrors_[UPS_POINT_COUNT] = {};
};

// A text from the service as a valid UTF-8 label value: each byte that
// does not belong to a well-formed sequence becomes U+FFFD.
std::string utf8LabelValue(const std::string& text);

}  // namespace zqups

#endif
