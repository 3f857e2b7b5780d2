// The journal's file: opening and refusing, locks, appends, rotation.
#include "Journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace zqjournal {

#if defined(__linux__)
const char kDefaultPath[] = "/var/lib/zqups/power.journal";
#else
const char kDefaultPath[] = "/var/db/zqups/power.journal";
#endif

namespace {

const char kMagic[] = "#zqups-power-journal ";
constexpr int kVersion = 1;
// Another writer holds the lock only for an append or a rotation.
constexpr std::chrono::seconds kLockWait{5};
// Another writer's entry of the same event this recent is the same
// transition, seen by both.
constexpr Seconds kSameTransition = 60;

std::string headerLine() { return kMagic + std::to_string(kVersion) + "\n"; }

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Whether `header` (the first line, without its newline) is ours; *why
// when it is not.
bool headerIsOurs(const std::string& path, const std::string& header, std::string* why) {
  const size_t magic = sizeof kMagic - 1;
  if (header.compare(0, magic, kMagic) != 0) return *why = path + " is not a power journal", false;
  const int version = std::atoi(header.c_str() + magic);
  if (version == kVersion) return true;
  *why = path + (version > kVersion ? " is of a newer format (version " + header.substr(magic) +
                                          "); this program reads version 1"
                                    : " is not a power journal");
  return false;
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool readFrom(int fd, off_t offset, std::string* text) {
  text->clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

// Refuses what is no regular file; the file is opened without following a
// symlink.
int openRegular(const std::string& path, int flags, std::string* why) {
  struct stat before;
  if (::lstat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode) && !S_ISLNK(before.st_mode)) {
    *why = path + " is not a regular file";
    return -1;
  }
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = errno == ELOOP ? path + " is a symbolic link" : errnoText(path);
    return -1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = path + " is not a regular file";
    ::close(fd);
    return -1;
  }
  return fd;
}

using SteadyTime = std::chrono::steady_clock::time_point;

Seconds secondsOf(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

// When something was seen, on both clocks.
struct Moment {
  Seconds wall;
  SteadyTime steady;
};

// The lines of `text` parsed in order: a carried line first after the
// header; a line that is no entry is skipped and counted, and a last piece
// without its newline (a torn append) left for the caller.
struct Parsed {
  size_t whole = 0;  // bytes of complete lines
  int skipped = 0;
  std::string firstSkipped;
};

template <typename OnEntry>
Parsed parseLines(const std::string& text, bool carriedMayLead, Ledger* ledger, OnEntry onEntry) {
  Parsed parsed;
  size_t at = 0;
  Entry entry;
  std::string why;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const bool lead = carriedMayLead;
    carriedMayLead = false;
    if (lead && ledger->takeCarried(line)) continue;
    if (parseEntry(line, &entry, &why)) {
      ledger->apply(entry);
      onEntry(entry);
    } else if (parsed.skipped++ == 0) {
      parsed.firstSkipped = why;
    }
  }
  parsed.whole = at;
  return parsed;
}

}  // namespace

struct Journal::File {
  std::string path;
  Options options;
  int fd = -1;
  int lockFd = -1;
  int watchFd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  off_t offset = 0;  // folded into the ledger so far
  Ledger ledger;
  // Others' entries since the last record.
  std::vector<Entry> fresh;
  std::optional<SteadyTime> batteryStart, lostStart;
  bool failing = false;
  bool watching = false;

  ~File() {
    for (int f : {fd, lockFd, watchFd})
      if (f >= 0) ::close(f);
  }

  void say(const std::string& line) const {
    if (options.say) options.say(line);
  }
  Seconds now() const { return secondsOf(options.clocks.wall()); }
  Moment moment() const { return {now(), options.clocks.steady()}; }
  Moment momentOf(const Observation& seen) const {
    return seen.at ? Moment{secondsOf(seen.at->utc), seen.at->steady} : moment();
  }

  bool lock(std::string* why) {
    const auto until = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return *why = errnoText(path + ".lock"), false;
      if (std::chrono::steady_clock::now() >= until)
        return *why = path + ".lock held by another process for over 5 s", false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  void unlock() { ::flock(lockFd, LOCK_UN); }

  bool openFile(std::string* why) {
    if (fd >= 0) ::close(fd);
    fd = openRegular(path, O_RDWR | O_APPEND | O_CREAT, why);
    if (fd < 0) return false;
    struct stat info;
    ::fstat(fd, &info);
    device = info.st_dev;
    inode = info.st_ino;
    offset = 0;
    ledger = Ledger();
    return true;
  }

  bool rotatedAway() const {
    struct stat info;
    return ::stat(path.c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode;
  }

  // Folds in what was appended since the last time, under the lock: the
  // header checked (written to a new file), a torn last line cut off.
  bool sync(std::string* why) {
    if (rotatedAway()) {
      std::string tail;
      if (readFrom(fd, offset, &tail)) {
        Ledger old = ledger;
        parseLines(tail, false, &old, [this](const Entry& e) { fresh.push_back(e); });
      }
      if (!openFile(why)) return false;
    }
    std::string text;
    if (!readFrom(fd, offset, &text)) return *why = errnoText(path), false;
    size_t start = 0;
    if (offset == 0) {
      const size_t newline = text.find('\n');
      const std::string header = headerLine();
      if (newline == std::string::npos && header.compare(0, text.size(), text) == 0) {
        // New, or its header torn: (re)written whole, readable by all
        // whatever the umask, so that anyone may ask for the statistics.
        if (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0644) != 0 || !writeAll(fd, header) ||
            ::fsync(fd) != 0)
          return *why = errnoText(path), false;
        offset = static_cast<off_t>(header.size());
        return true;
      }
      if (!headerIsOurs(path, text.substr(0, newline), why)) return false;
      start = newline + 1;
    }
    const Parsed parsed = parseLines(text.substr(start), offset == 0, &ledger,
                                     [this](const Entry& e) { fresh.push_back(e); });
    if (parsed.skipped != 0)
      say(path + ": " + std::to_string(parsed.skipped) + " line(s) that are no entry skipped (" +
          parsed.firstSkipped + ")");
    offset += static_cast<off_t>(start + parsed.whole);
    if (start + parsed.whole < text.size()) {
      say(path + ": its last line was cut short (an append interrupted); removed");
      if (::ftruncate(fd, offset) != 0) return *why = errnoText(path), false;
    }
    forgetEndedSpells();
    return true;
  }

  void forgetEndedSpells() {
    if (ledger.state().power != Power::OnBattery) batteryStart.reset();
    if (!ledger.state().serviceLost) lostStart.reset();
  }

  bool alreadyRecorded(Event event, Seconds now) const {
    if (!ledger.changes(event)) return true;
    for (const Entry& e : fresh)
      if (e.event == event && now - e.time < kSameTransition && e.time - now < kSameTransition)
        return true;
    return false;
  }

  static Seconds spellUntil(const std::optional<SteadyTime>& start, Seconds wallStart,
                            const Moment& now) {
    if (!start) return std::max<Seconds>(0, now.wall - wallStart);
    return std::max<Seconds>(
        0, std::chrono::duration_cast<std::chrono::seconds>(now.steady - *start).count());
  }

  Entry entryFor(const Observation& seen, const Moment& at) const {
    Entry entry;
    entry.time = at.wall;
    entry.event = seen.event;
    entry.lineVoltage = seen.lineVoltage;
    entry.runtimeMinutes = seen.runtimeMinutes;
    entry.reason = seen.reason;
    const State& s = ledger.state();
    const bool endsAll = seen.event == Event::Unknown;
    if (s.power == Power::OnBattery && (endsAll || seen.event == Event::OnMains))
      entry.batterySpell = spellUntil(batteryStart, s.powerSince, at);
    if (s.serviceLost && (endsAll || seen.event == Event::ServiceBack))
      entry.lostSpell = spellUntil(lostStart, s.lostSince, at);
    if (s.unwatched && !endsAll) entry.unknownSpell = std::max<Seconds>(0, at.wall - s.powerSince);
    return entry;
  }

  // FILE.2 -> FILE.3, FILE.1 -> FILE.2, FILE -> FILE.1, and a new FILE
  // whose first line carries the ledger.
  bool rotate(std::string* why) {
    for (int i = options.keep; i > 1; --i)
      ::rename((path + "." + std::to_string(i - 1)).c_str(),
               (path + "." + std::to_string(i)).c_str());
    const std::string next = path + ".new";
    ::unlink(next.c_str());
    const int created = openRegular(next, O_RDWR | O_APPEND | O_CREAT | O_EXCL, why);
    if (created < 0) return false;
    const std::string start = headerLine() + ledger.carriedLine(now());
    const bool written =
        ::fchmod(created, 0644) == 0 && writeAll(created, start) && ::fsync(created) == 0;
    ::close(created);
    if (!written || (options.keep > 0 ? ::rename(path.c_str(), (path + ".1").c_str())
                                      : ::unlink(path.c_str())) != 0 ||
        ::rename(next.c_str(), path.c_str()) != 0) {
      *why = errnoText("rotating " + path);
      ::unlink(next.c_str());
      return false;
    }
    const Ledger kept = ledger;
    if (!openFile(why)) return false;
    ledger = kept;
    offset = static_cast<off_t>(start.size());
    return true;
  }

  // One write and one flush; a failed write leaves no part of the line.
  bool append(const Entry& entry, std::string* why) {
    const std::string line = entryLine(entry);
    if (static_cast<std::uintmax_t>(offset) + line.size() > options.maxSize && !rotate(why))
      return false;
    if (!writeAll(fd, line) || ::fsync(fd) != 0) {
      *why = errnoText(path);
      const bool cut = ::ftruncate(fd, offset) == 0;
      static_cast<void>(cut);  // the next start cuts what is left
      return false;
    }
    offset += static_cast<off_t>(line.size());
    ledger.apply(entry);
    return true;
  }

  void noteSpellStarts(Event event, SteadyTime seen) {
    if (event == Event::OnBattery && ledger.state().power == Power::OnBattery && !batteryStart)
      batteryStart = seen;
    if (event == Event::ServiceLost && ledger.state().serviceLost && !lostStart)
      lostStart = seen;
    forgetEndedSpells();
  }

  bool record(const Observation& seen, std::string* why) {
    if (!lock(why)) return false;
    bool appended = false;
    bool ok = sync(why);
    const Moment at = momentOf(seen);
    if (ok && !alreadyRecorded(seen.event, at.wall)) {
      ok = append(entryFor(seen, at), why);
      appended = ok;
    }
    fresh.clear();
    if (ok) noteSpellStarts(seen.event, at.steady);
    unlock();
    return appended;
  }

  // Under the lock: alone, a record left not unknown means a watcher
  // ended without saying so.
  bool startWatching(std::string* why) {
    if (::flock(watchFd, LOCK_EX | LOCK_NB) == 0) {
      if (ledger.changes(Event::Unknown)) {
        Entry gap;
        gap.time = ledger.state().lastEntry;
        gap.reason = "no watcher from here: the last one ended without saying so";
        say(path + ": " + gap.reason + " (at " + timeText(gap.time) + ")");
        if (!append(gap, why)) return false;
      }
    }
    // Others take the exclusive lock only under the append lock, held here.
    if (::flock(watchFd, LOCK_SH | LOCK_NB) != 0) return *why = errnoText(path + ".watch"), false;
    watching = true;
    return true;
  }

  void stopWatching() {
    if (!watching) return;
    watching = false;
    std::string why;
    if (!lock(&why)) return say(why);
    ::flock(watchFd, LOCK_UN);
    if (sync(&why) && ::flock(watchFd, LOCK_EX | LOCK_NB) == 0 &&
        ledger.changes(Event::Unknown)) {
      Observation end;
      end.reason = "the last watcher stopped";
      if (!append(entryFor(end, moment()), &why)) say(why);
    }
    ::flock(watchFd, LOCK_UN);
    unlock();
  }
};

std::unique_ptr<Journal> Journal::open(const std::string& path, Options options,
                                       std::string* why) {
  auto file = std::make_unique<File>();
  file->path = path;
  file->options = std::move(options);
  if (file->options.maxSize < 4096) file->options.maxSize = 4096;
  if (!file->openFile(why)) return nullptr;
  file->lockFd = openRegular(path + ".lock", O_RDWR | O_CREAT, why);
  if (file->lockFd < 0) return nullptr;
  file->watchFd = openRegular(path + ".watch", O_RDWR | O_CREAT, why);
  if (file->watchFd < 0 || !file->lock(why)) return nullptr;
  const bool ok = file->sync(why) && file->startWatching(why);
  file->fresh.clear();
  file->unlock();
  if (!ok) return nullptr;
  return std::unique_ptr<Journal>(new Journal(std::move(file)));
}

Journal::Journal(std::unique_ptr<File> file) : file_(std::move(file)) {}

Journal::~Journal() { stop(); }

bool Journal::record(const Observation& seen) {
  std::lock_guard<std::mutex> hold(mutex_);
  return recordLocked(seen);
}

bool Journal::recordLocked(const Observation& seen) {
  std::string why;
  const bool appended = file_->record(seen, &why);
  if (!why.empty() && !file_->failing) file_->say("cannot record " + std::string(eventName(seen.event)) + ": " + why);
  file_->failing = !why.empty();
  return appended;
}

void Journal::refresh() {
  std::lock_guard<std::mutex> hold(mutex_);
  refreshLocked();
}

void Journal::refreshLocked() {
  std::string why;
  if (!file_->lock(&why)) return;
  if (!file_->sync(&why) && !file_->failing) file_->say(why);
  file_->unlock();
}

void Journal::take(const std::vector<zqread::PowerEvent>& events) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (events.empty()) refreshLocked();
  for (const zqread::PowerEvent& event : events) recordLocked(observed(event));
}

void Journal::stop() {
  std::lock_guard<std::mutex> hold(mutex_);
  file_->stopWatching();
}

const std::string& Journal::path() const { return file_->path; }
const Ledger& Journal::ledger() const { return file_->ledger; }

Seconds Journal::batterySpell() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return batterySpellLocked();
}

Seconds Journal::batterySpellLocked() const {
  const State& s = file_->ledger.state();
  if (s.power != Power::OnBattery) return 0;
  return File::spellUntil(file_->batteryStart, s.powerSince, file_->moment());
}

Stats Journal::stats() const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Seconds now = file_->now();
  Stats stats = file_->ledger.statsAt(now);
  // The spell under way as the steady clock measured it.
  const Seconds spell = batterySpellLocked();
  const Seconds wall = file_->ledger.batterySpellAt(now);
  stats.batterySeconds += spell - wall;
  if (file_->ledger.state().power == Power::OnBattery) {
    stats.lastBatterySpell = spell;
    stats.longestBatterySpell = std::max(file_->ledger.stats().longestBatterySpell, spell);
  }
  return stats;
}

bool readJournal(const std::string& path, Seconds since, std::vector<Entry>* entries,
                 Ledger* ledger, std::string* why) {
  const auto keep = [&](const Entry& e) {
    if (entries && e.time >= since) entries->push_back(e);
  };
  // The rotated files first, oldest first, for their entries only.
  for (int i = kDefaultKeep; i >= 1 && entries; --i) {
    const std::string older = path + "." + std::to_string(i);
    std::string ignored;
    const int fd = openRegular(older, O_RDONLY, &ignored);
    if (fd < 0) continue;
    std::string text;
    const bool read = readFrom(fd, 0, &text);
    ::close(fd);
    const size_t newline = text.find('\n');
    if (!read || newline == std::string::npos || !headerIsOurs(older, text.substr(0, newline), &ignored))
      continue;
    Ledger scratch;
    parseLines(text.substr(newline + 1), true, &scratch, keep);
  }
  const int fd = openRegular(path, O_RDONLY, why);
  if (fd < 0) return false;
  std::string text;
  const bool read = readFrom(fd, 0, &text);
  ::close(fd);
  if (!read) return *why = errnoText(path), false;
  const size_t newline = text.find('\n');
  if (text.empty()) return true;
  if (newline == std::string::npos || !headerIsOurs(path, text.substr(0, newline), why)) {
    if (why->empty()) *why = path + " is not a power journal";
    return false;
  }
  Ledger scratch;
  parseLines(text.substr(newline + 1), true, ledger ? ledger : &scratch, keep);
  return true;
}

}  // namespace zqjournal
