// The data points the simulator serves, as they stand at a moment: the
// profile's steps applied up to that moment, writes, and the faults.
#ifndef ZQUPSSIM_STORE_H
#define ZQUPSSIM_STORE_H

#include <map>
#include <set>

#include "Profile.h"
#include "ZqUpsWire.h"

namespace zqsim {

using zqwire::kStatusEmptyRequest;
using zqwire::kStatusReadOnly;
using zqwire::kStatusUnknownIndex;
using zqwire::kStatusUnknownOffset;
// A status with which the client still takes the data.
constexpr uint32_t kStatusDataWithStatus = 0xECA60102;

class Store {
 public:
  explicit Store(Profile profile);

  // Applies every step due at `elapsedMillis` after start, once each.
  void advanceTo(uint64_t elapsedMillis);

  // 0 and the value, or an unknown-point status.
  uint32_t read(const PointKey& key, Bytes* value) const;
  // 0, an unknown-point status, or kStatusReadOnly; nothing is stored on failure.
  uint32_t write(const PointKey& key, const Bytes& value);

  // A fault that holds whatever the profile's steps say.
  void overrideFault(const FaultDef& def);
  Fault faultAt(const PointKey& key) const;

 private:
  struct Point {
    Bytes value;
    bool readOnly = false;
  };
  void apply(const Step& step);
  uint32_t missing(const PointKey& key) const;

  Profile profile_;
  size_t nextStep_ = 0;
  std::map<PointKey, Point> points_;
  std::set<uint32_t> indexes_;
  std::map<PointKey, Fault> faults_;
  std::map<PointKey, Fault> overrides_;
};

}  // namespace zqsim

#endif
