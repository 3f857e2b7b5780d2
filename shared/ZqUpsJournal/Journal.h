// The power journal: one host's record of power-state transitions, kept by
// every program that watches the power and naming the same file, with the
// statistics folded in as entries come.  The standard library and POSIX
// only.
//
// The file is text, one entry a line after a header line
// ("#zqups-power-journal 1"); see ZqUpsCtl(1).  Writers share it without a
// leader: each appends under a short flock of FILE.lock, and only what
// changes the state the file records, so several watchers of one UPS keep
// one record.  Each watcher holds a shared flock of FILE.watch while it
// watches; the last to stop appends "unknown", and one that starts and
// finds the record not unknown with nobody watching (a watcher was killed)
// records the gap as unknown from the last entry's time.
#ifndef ZQUPS_JOURNAL_H
#define ZQUPS_JOURNAL_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Power.h"

namespace zqjournal {

// Where the journal is unless a program is told otherwise.
extern const char kDefaultPath[];
// Rotated past this size, FILE.1 .. FILE.kDefaultKeep kept.
constexpr std::uintmax_t kDefaultMaxSize = 1 << 20;
constexpr int kDefaultKeep = 3;

// A size as --journal-max-size takes it: bytes, or a whole number of
// KiB or MiB ("4096", "512k", "1M"), from 4 KiB; false for anything else.
bool parseSize(const std::string& text, std::uintmax_t* size);

// The power events of a reading (zqread::PowerEventKind, named as there)
// and two of the journal's own.
enum class Event {
  OnBattery = static_cast<int>(zqread::PowerEventKind::OnBattery),
  OnMains = static_cast<int>(zqread::PowerEventKind::OnMains),
  BatteryLow = static_cast<int>(zqread::PowerEventKind::BatteryLow),
  BatteryOk = static_cast<int>(zqread::PowerEventKind::BatteryOk),
  ServiceLost = static_cast<int>(zqread::PowerEventKind::ServiceLost),
  ServiceBack = static_cast<int>(zqread::PowerEventKind::ServiceBack),
  Fsd,      // a forced shutdown was called
  Unknown,  // from here nobody watched
};

const char* eventName(Event event);
std::optional<Event> eventNamed(const std::string& name);

// Seconds since 1970, UTC.
using Seconds = std::int64_t;

// One line of the journal.
struct Entry {
  Seconds time = 0;
  Event event = Event::Unknown;
  std::optional<double> lineVoltage;     // V
  std::optional<double> runtimeMinutes;  // estimated
  std::string reason;                    // why, for a transfer; may be empty
  // The spells that this entry ends, as their writer measured them.
  std::optional<Seconds> batterySpell;
  std::optional<Seconds> lostSpell;
  std::optional<Seconds> unknownSpell;
};

// "2026-12-09T17:15:26Z"; parseTime also takes a date ("2026-12-09").
std::string timeText(Seconds time);
std::optional<Seconds> parseTime(const std::string& text);

using zqread::Power;
// "on-mains", "on-battery", "unknown".
const char* powerName(Power power);

// What the journal says now, and since when.
struct State {
  Power power = Power::Unknown;
  bool batteryLow = false;
  bool serviceLost = false;
  bool fsd = false;
  bool unwatched = false;  // the last entry is unknown
  Seconds powerSince = 0;  // 0: no entry yet
  Seconds lostSince = 0;
  Seconds lastEntry = 0;
};

// Kept as entries come; never recomputed from the whole journal.
struct Stats {
  std::uint64_t transfers = 0;  // to battery
  Seconds batterySeconds = 0;   // of the spells ended
  Seconds longestBatterySpell = 0;
  Seconds lastBatterySpell = 0;
  std::optional<Seconds> lastTransfer;
  std::string lastTransferReason;
  std::uint64_t lostSpells = 0;
  Seconds lostSeconds = 0;  // of the spells ended
  Seconds unknownSeconds = 0;
  Seconds firstEntry = 0;  // since when the journal counts
};

// The clocks a journal reads; a test gives its own.
struct Clocks {
  std::function<std::chrono::system_clock::time_point()> wall = std::chrono::system_clock::now;
  std::function<std::chrono::steady_clock::time_point()> steady = std::chrono::steady_clock::now;
};

// The state and statistics of a sequence of entries.  `since` of a spell
// under way counts from the wall clock, at least 0.
class Ledger {
 public:
  void apply(const Entry& entry);
  // Whether `event` changes what the ledger says.
  bool changes(Event event) const;
  const State& state() const { return state_; }
  const Stats& stats() const { return stats_; }
  // Seconds on battery of the spell under way at `now`, 0 on mains.
  Seconds batterySpellAt(Seconds now) const;
  // The statistics with the spells under way counted up to `now`.
  Stats statsAt(Seconds now) const;
  // The first line of a new file after the header: all of this.
  std::string carriedLine(Seconds now) const;
  // Takes a carried line back; false when it is none.
  bool takeCarried(const std::string& line);

 private:
  State state_;
  Stats stats_;
  std::optional<Power> powerBeforeGap_;
};

// What a watcher saw.
struct Observation {
  Event event = Event::Unknown;
  std::optional<double> lineVoltage;
  std::optional<double> runtimeMinutes;
  std::string reason;
  // When it was seen, on both clocks; empty: when it is recorded.
  std::optional<zqread::PowerTime> at;
};

// A reading's event as the journal takes it.
Observation observed(const zqread::PowerEvent& event);

struct Options {
  std::uintmax_t maxSize = kDefaultMaxSize;
  int keep = kDefaultKeep;
  Clocks clocks;
  // A line for the program's log (a torn last line, skipped lines).
  std::function<void(const std::string&)> say;
};

// A journal open to watch and write.  Its calls may come from several
// threads (a server records FSD on its network thread, the readings
// elsewhere); ledger() only where no other call runs meanwhile.
class Journal {
 public:
  // Opens or creates `path` (0644, never a symlink or other than a regular
  // file) and starts watching; nullptr with *why when it is refused: not a
  // journal, one of a newer format, unreadable or unwritable.
  static std::unique_ptr<Journal> open(const std::string& path, Options options,
                                       std::string* why);
  // stop().
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Appends what was seen unless the journal has it already (another
  // writer recorded it); one write and one fsync.  Whether it was appended;
  // a failure is said once until an append works again.
  bool record(const Observation& seen);
  // Catches up with what other writers appended.
  void refresh();
  // Records one reading's events, or with none catches up with the other
  // writers.
  void take(const std::vector<zqread::PowerEvent>& events);
  // Stops watching; as the last watcher, appends "unknown".
  void stop();

  const std::string& path() const;
  const Ledger& ledger() const;
  // Seconds on battery of the spell under way, measured on the steady
  // clock when this journal saw it start.
  Seconds batterySpell() const;
  // The statistics now, the spells under way included.
  Stats stats() const;

 private:
  struct File;
  explicit Journal(std::unique_ptr<File> file);
  bool recordLocked(const Observation& seen);
  void refreshLocked();
  Seconds batterySpellLocked() const;
  std::unique_ptr<File> file_;
  mutable std::mutex mutex_;
};

// The entries of `path` from `since` (every one when 0), oldest first, the
// rotated files before it included, with its ledger; false with *why when
// it cannot be read or is refused.
bool readJournal(const std::string& path, Seconds since, std::vector<Entry>* entries,
                 Ledger* ledger, std::string* why);

std::string entryLine(const Entry& entry);
// False with *why for a line that is no entry.
bool parseEntry(const std::string& line, Entry* entry, std::string* why);

}  // namespace zqjournal

#endif
