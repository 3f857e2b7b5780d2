// `ZqUpsCtl watch`: polls the service, turns what changed into events and
// runs a hook for each.
#ifndef ZQUPSCTL_WATCH_H
#define ZQUPSCTL_WATCH_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Values.h"

namespace zqctl {

struct WatchSettings {
  double intervalSeconds = 2;
  int lowRuntimeMinutes = 5;
  double minLineVoltage = 100;
  std::string hook;  // empty: none
  bool json = false;
  std::optional<uid_t> serviceOwner;
};

// One poll: every catalogue point that answered, or why the service
// could not be asked.
struct Reading {
  bool reached = false;
  std::string problem;
  uint32_t result = 0;
  std::vector<std::pair<Point, Value>> values;
  double inputVoltage = 0;
  int estimatedRuntime = 0;
};

// What the previous polls found.
struct PowerState {
  bool polled = false;
  bool reached = false;
  bool powerKnown = false;
  bool onBattery = false;
  bool low = false;
};

// The events that `reading` makes of `state`, in order, and the state after it.
std::vector<std::string> eventsFor(PowerState* state, const Reading& reading,
                                   const WatchSettings& settings);

// Until SIGINT or SIGTERM; returns the exit status.
int runWatch(const WatchSettings& settings);

}  // namespace zqctl

#endif
