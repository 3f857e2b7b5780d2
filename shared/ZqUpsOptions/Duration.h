// The one form of a duration on every program's command line and in the
// simulator's profiles.
#ifndef ZQUPS_OPTIONS_DURATION_H
#define ZQUPS_OPTIONS_DURATION_H

#include <chrono>
#include <string>

namespace zqopt {

// For messages: what parseDuration takes.
extern const char kDurationForms[];

// "100ms", "10s", "2m" (or "2min") or a bare number of seconds, decimals
// allowed ("1.5s"), as milliseconds.  False for anything else, for a part
// of a millisecond and for more than about 34 years.
bool parseDuration(const std::string& text, std::chrono::milliseconds* duration);

// The shortest of those forms that is exact: "100ms", "10s", "2m", "1.5s".
std::string durationText(std::chrono::milliseconds duration);
// A finer duration, to the millisecond below.
template <typename Rep, typename Period>
std::string durationText(std::chrono::duration<Rep, Period> duration) {
  return durationText(std::chrono::floor<std::chrono::milliseconds>(duration));
}

}  // namespace zqopt

#endif
