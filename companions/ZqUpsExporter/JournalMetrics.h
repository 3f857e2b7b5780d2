// The power journal's statistics as metrics, from the journal's ledger as
// it stands: never read again from the file for a scrape.
#ifndef JOURNALMETRICS_H
#define JOURNALMETRICS_H

#include "Journal.h"
#include "UpsMetrics.h"

namespace zqups {

class JournalMetrics {
 public:
  // Kept in `journal`, open and watched, which outlives this.
  explicit JournalMetrics(zqjournal::Journal* journal) : journal_(journal) {}

  // zqups_transfers_total, zqups_on_battery_seconds_total (the spell under
  // way counted), zqups_service_lost_seconds_total, none of them below what
  // was served before, and zqups_last_transfer_timestamp_seconds after a
  // transfer.
  Families families();

 private:
  zqjournal::Journal* journal_;
  // Served so far: a spell measured by another writer on its own clock
  // may end a little shorter than it was counted while under way.
  zqjournal::Seconds batterySeconds_ = 0;
  zqjournal::Seconds lostSeconds_ = 0;
};

}  // namespace zqups

#endif
