#include "Store.h"

namespace zqsim {

Store::Store(Profile profile) : profile_(std::move(profile)) { advanceTo(0); }

void Store::advanceTo(uint64_t elapsedMillis) {
  while (nextStep_ < profile_.steps.size() && profile_.steps[nextStep_].atMillis <= elapsedMillis)
    apply(profile_.steps[nextStep_++]);
}

void Store::apply(const Step& step) {
  for (const PointDef& def : step.points) {
    points_[def.key] = Point{def.value, def.readOnly};
    indexes_.insert(def.key.index);
  }
  for (const FaultDef& def : step.faults) faults_[def.key] = def.fault;
}

uint32_t Store::missing(const PointKey& key) const {
  return indexes_.count(key.index) != 0 ? kStatusUnknownOffset : kStatusUnknownIndex;
}

uint32_t Store::read(const PointKey& key, Bytes* value) const {
  auto it = points_.find(key);
  if (it == points_.end()) return missing(key);
  *value = it->second.value;
  return 0;
}

uint32_t Store::write(const PointKey& key, const Bytes& value) {
  auto it = points_.find(key);
  if (it == points_.end()) return missing(key);
  if (it->second.readOnly) return kStatusReadOnly;
  it->second.value = value;
  return 0;
}

void Store::overrideFault(const FaultDef& def) { overrides_[def.key] = def.fault; }

Fault Store::faultAt(const PointKey& key) const {
  auto it = overrides_.find(key);
  if (it != overrides_.end()) return it->second;
  it = faults_.find(key);
  return it != faults_.end() ? it->second : Fault();
}

}  // namespace zqsim
