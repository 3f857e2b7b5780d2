// The simulator's data: data points with their values, per-point faults,
// and timed steps, as read from a hand-written profile.
#ifndef ZQUPSSIM_PROFILE_H
#define ZQUPSSIM_PROFILE_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace zqsim {

using Bytes = std::vector<uint8_t>;

struct PointKey {
  uint32_t index = 0;
  uint32_t offset = 0;
  bool operator==(const PointKey& o) const { return index == o.index && offset == o.offset; }
  bool operator<(const PointKey& o) const {
    return index != o.index ? index < o.index : offset < o.offset;
  }
};

// How the answer to a request for one point misbehaves.
struct Fault {
  enum class Kind { None, Status, Delay, Close, Partial, Bytewise, Overlong, Hang };
  Kind kind = Kind::None;
  uint32_t status = 0;  // Status: the status word to answer with
  uint32_t millis = 0;  // Delay: the wait; Bytewise: the pause between bytes
  uint32_t bytes = 0;   // Partial: reply bytes sent (kHalf: half); Overlong: excess
  static constexpr uint32_t kHalf = 0xFFFFFFFF;
  bool operator==(const Fault& o) const {
    return kind == o.kind && status == o.status && millis == o.millis && bytes == o.bytes;
  }
};

struct PointDef {
  PointKey key;
  Bytes value;
  bool readOnly = false;
};

struct FaultDef {
  PointKey key;
  Fault fault;
};

// What holds from `atMillis` after start on; the first step is at 0.
struct Step {
  uint64_t atMillis = 0;
  std::vector<PointDef> points;
  std::vector<FaultDef> faults;
};

struct Profile {
  std::vector<Step> steps;  // ascending atMillis; steps[0].atMillis == 0
};

// Parses a profile.  On failure returns false and sets `error` to
// "<source>:<line>: <reason>"; a line longer than 1 MiB and a read error
// are failures too.
bool parseProfile(std::istream& in, const std::string& source, Profile* profile,
                  std::string* error);
bool parseProfile(const std::string& text, const std::string& source, Profile* profile,
                  std::string* error);

// "INDEX:OFFSET=KIND[:ARG]", the form shared by profiles and --fault.
bool parseFaultRule(const std::string& rule, FaultDef* def, std::string* error);

// The profile the simulator serves when given none.
const std::string& defaultProfileText();

}  // namespace zqsim

#endif
