// What the server tells its operator at run time: one plain line each on
// standard error (journald takes it from there), and a limit on the lines
// that a flood of clients could cause.
#ifndef ZQUPSNETD_LOG_H
#define ZQUPSNETD_LOG_H

#include <chrono>
#include <map>
#include <string>
#include <tuple>

namespace zqnetd {

// "ZqUpsNetd: " and `text` as one line, in one write.
void logLine(const std::string& text);

// Lines about clients, "WHAT ADDRESS[: WHY]" ("refused 192.0.2.7: too
// many connections"): the first line for an address, what and why in an
// interval is logged at once, the rest of the interval only counted, and
// the count logged when it ends.  Past kMaxHeld kinds of line in an
// interval, a flood from many addresses, the rest are only counted, all
// together.
class ClientLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kInterval = std::chrono::seconds(10);
  static constexpr size_t kMaxHeld = 1024;

  // `aside` ends the first line only ("as alice").
  void note(Clock::time_point now, const std::string& what, const std::string& address,
            const std::string& why, const std::string& aside = "");
  // Logs the counts of intervals that ended (of all, at the end); call
  // at least once per interval.
  void flush(Clock::time_point now, bool end = false);

 private:
  struct Held {
    Clock::time_point since;
    unsigned more = 0;  // lines not logged since
  };
  std::map<std::tuple<std::string, std::string, std::string>, Held> held_;
  Held unheld_;  // the lines past kMaxHeld
};

}  // namespace zqnetd

#endif
