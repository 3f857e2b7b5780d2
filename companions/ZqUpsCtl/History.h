// `ZqUpsCtl events` and `ZqUpsCtl stats`: the power journal read back.
#ifndef ZQUPSCTL_HISTORY_H
#define ZQUPSCTL_HISTORY_H

#include <optional>
#include <string>

#include "Journal.h"

namespace zqctl {

// --since: an ISO 8601 UTC time or date ("2026-12-09T17:00:00Z",
// "2026-12-09"), or a time ago ("7d", "12h", "30m", "90s") before `now`.
std::optional<zqjournal::Seconds> sinceTime(const std::string& text, zqjournal::Seconds now);

// One line a journal entry from `since` (0: all), JSON objects with
// `json`; the exit status.
int listEvents(const std::string& path, zqjournal::Seconds since, bool json);
int showStats(const std::string& path, bool json);

}  // namespace zqctl

#endif
