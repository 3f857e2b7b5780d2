#include "Log.h"

#include <unistd.h>

#include <cerrno>

#include "Duration.h"

namespace zqnetd {

namespace {

std::string clientLine(const std::string& what, const std::string& address, const std::string& why) {
  return what + " " + address + (why.empty() ? "" : ": " + why);
}

}  // namespace

void logLine(const std::string& text) {
  const std::string line = "ZqUpsNetd: " + text + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<size_t>(wrote);
  }
}

void ClientLog::note(Clock::time_point now, const std::string& what, const std::string& address,
                     const std::string& why, const std::string& aside) {
  auto key = std::make_tuple(what, address, why);
  if (held_.size() >= kMaxHeld && held_.count(key) == 0) {
    if (unheld_.more++ == 0) unheld_.since = now;
    return;
  }
  const auto [held, first] = held_.try_emplace(std::move(key), Held{now, 0});
  if (!first) {
    ++held->second.more;
    return;
  }
  logLine(clientLine(what, address, why) + (aside.empty() ? "" : " " + aside));
}

void ClientLog::flush(Clock::time_point now, bool end) {
  const std::string interval = zqopt::durationText(kInterval);
  for (auto held = held_.begin(); held != held_.end();) {
    if (!end && now - held->second.since < kInterval) {
      ++held;
      continue;
    }
    const auto& [what, address, why] = held->first;
    if (held->second.more > 0)
      logLine(clientLine(what, address, why) + " (" + std::to_string(held->second.more) + " more" +
              (end ? "" : " in " + interval) + ")");
    held = held_.erase(held);
  }
  if (unheld_.more > 0 && (end || now - unheld_.since >= kInterval)) {
    logLine(std::to_string(unheld_.more) + " more lines about clients not logged: over " +
            std::to_string(kMaxHeld) + " addresses or reasons in " + interval);
    unheld_.more = 0;
  }
}

}  // namespace zqnetd
