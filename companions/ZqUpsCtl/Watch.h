// `ZqUpsCtl watch`: polls the service, turns what changed into events and
// runs a hook for each.
#ifndef ZQUPSCTL_WATCH_H
#define ZQUPSCTL_WATCH_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Journal.h"
#include "Power.h"

namespace zqctl {

struct WatchSettings {
  std::chrono::milliseconds interval = std::chrono::seconds(2);
  zqread::PowerRules rules;
  std::string hook;  // empty: none
  std::chrono::milliseconds hookTimeout = std::chrono::minutes(5);
  bool json = false;
  std::optional<uid_t> serviceOwner;
  std::string journal;  // empty: none
  std::uintmax_t journalMaxSize = zqjournal::kDefaultMaxSize;
};

// Until SIGINT or SIGTERM; returns the exit status.
int runWatch(const WatchSettings& settings);

}  // namespace zqctl

#endif
