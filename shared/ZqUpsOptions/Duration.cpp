#include "Duration.h"

#include <cstdint>

namespace zqopt {

const char kDurationForms[] = "100ms, 10s, 2m or a number of seconds";

namespace {

constexpr uint64_t kLongest = uint64_t{1} << 40;  // milliseconds
constexpr size_t kMostFractionDigits = 9;
// Fewer than 10^19 fits in 64 bits.
constexpr size_t kMostDigits = 19;

struct Unit {
  const char* suffix;
  uint64_t millis;
};
// "ms" before "s" and "min" before "m", since each ends the other.
constexpr Unit kUnits[] = {{"ms", 1}, {"min", 60000}, {"s", 1000}, {"m", 60000}};

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool parseDuration(const std::string& text, std::chrono::milliseconds* duration) {
  std::string number = text;
  uint64_t unit = 1000;
  for (const Unit& u : kUnits) {
    if (endsWith(text, u.suffix)) {
      number = text.substr(0, text.size() - std::char_traits<char>::length(u.suffix));
      unit = u.millis;
      break;
    }
  }
  // DIGITS[.DIGITS], read as digits / 10^fractionDigits.
  const size_t point = number.find('.');
  const std::string whole = number.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
  if (whole.empty() || (point != std::string::npos && fraction.empty()) ||
      fraction.size() > kMostFractionDigits || whole.size() + fraction.size() > kMostDigits)
    return false;
  uint64_t digits = 0;
  uint64_t scale = 1;
  for (char c : whole + fraction) {
    if (!isDigit(c)) return false;
    digits = digits * 10 + static_cast<uint64_t>(c - '0');
  }
  for (size_t i = 0; i < fraction.size(); ++i) scale *= 10;
  const uint64_t wholeMillis = digits / scale;
  const uint64_t partMillis = digits % scale;
  // Millisecond counts, the part first so that nothing overflows.
  if (partMillis * unit % scale != 0) return false;
  if (wholeMillis > kLongest / unit) return false;
  const uint64_t millis = wholeMillis * unit + partMillis * unit / scale;
  if (millis > kLongest) return false;
  *duration = std::chrono::milliseconds(static_cast<int64_t>(millis));
  return true;
}

std::string durationText(std::chrono::milliseconds duration) {
  const int64_t ms = duration.count();
  if (ms % 60000 == 0 && ms != 0) return std::to_string(ms / 60000) + "m";
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + "s";
  if (ms < 1000) return std::to_string(ms) + "ms";
  std::string part = std::to_string(1000 + ms % 1000).substr(1);
  while (part.back() == '0') part.pop_back();
  return std::to_string(ms / 1000) + "." + part + "s";
}

}  // namespace zqopt
