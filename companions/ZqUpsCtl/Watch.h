// `ZqUpsCtl watch`: polls the service, turns what changed into events and
// runs a hook for each.
#ifndef ZQUPSCTL_WATCH_H
#define ZQUPSCTL_WATCH_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Journal.h"
#include "Reading.h"

namespace zqctl {

struct WatchSettings {
  double intervalSeconds = 2;
  zqread::PowerRules rules;
  std::string hook;  // empty: none
  double hookTimeoutSeconds = 300;
  bool json = false;
  std::optional<uid_t> serviceOwner;
  std::string journal;  // empty: none
  std::uintmax_t journalMaxSize = zqjournal::kDefaultMaxSize;
};

// What the previous polls found.
struct WatchState {
  bool polled = false;
  bool reached = false;
  zqread::Power power = zqread::Power::Unknown;
  bool low = false;
};

// The events that `reading` makes of `state`, in order, and the state
// after it.  Only a service that could not be asked is lost; a power that
// cannot be told from an answer leaves the power as it was.
std::vector<std::string> eventsFor(WatchState* state, const zqread::Reading& reading,
                                   const zqread::PowerRules& rules);

// Until SIGINT or SIGTERM; returns the exit status.
int runWatch(const WatchSettings& settings);

}  // namespace zqctl

#endif
