#include "Watch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <utility>

#include "Hooks.h"
#include "ServiceQueue.h"
#include "Service.h"
#include "Values.h"

namespace zqctl {

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t gStopRequested = 0;

void onStopSignal(int) { gStopRequested = 1; }
// Caught only so that a hook's end wakes the waiting loop.
void onChildSignal(int) {}

// The longest wait of the loop when nothing is due.
constexpr std::chrono::seconds kIdleWait{60};

void report(const std::string& text) { std::cerr << "ZqUpsCtl watch: " << text << std::endl; }

std::string localTime(std::chrono::system_clock::time_point at) {
  const time_t now = std::chrono::system_clock::to_time_t(at);
  struct tm parts;
  char text[40] = "";
  if (::localtime_r(&now, &parts) != nullptr)
    ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &parts);
  return text;
}

std::string environmentName(const std::string& pointName) {
  std::string name = "ZQUPS_";
  for (char c : pointName)
    name += std::isalnum(static_cast<unsigned char>(c))
                ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                : '_';
  return name;
}

// Why the service could not be asked: the first point that found out.
// (An outcome's why has the service's texts escaped already.)
std::string whyLost(const zqread::Reading& reading) {
  for (const zqread::PointReading& entry : reading.points)
    if (entry.outcome.endsReading()) return entry.point.name + ": " + entry.outcome.why;
  return reading.end.why;
}

struct Event {
  std::string line;  // what is printed
  HookEvent hook;
};

// The journal that the events go to, or this run's own ledger without one:
// what a hook is told of the transfers and the spell on battery.
class PowerRecord {
 public:
  explicit PowerRecord(std::unique_ptr<zqjournal::Journal> journal) : journal_(std::move(journal)) {}

  std::vector<std::string> note(const zqread::PowerEvent& event) {
    const zqjournal::Observation seen = zqjournal::observed(event);
    zqjournal::Seconds spell = 0;
    std::uint64_t transfers = 0;
    if (journal_) {
      journal_->record(seen);
      spell = journal_->batterySpell();
      transfers = journal_->ledger().stats().transfers;
      if (seen.event == zqjournal::Event::OnMains) spell = journal_->ledger().stats().lastBatterySpell;
    } else {
      zqjournal::Entry entry;
      entry.time = static_cast<zqjournal::Seconds>(
          std::chrono::system_clock::to_time_t(event.at.utc));
      entry.event = seen.event;
      if (own_.changes(seen.event)) own_.apply(entry);
      spell = seen.event == zqjournal::Event::OnMains ? own_.stats().lastBatterySpell
                                                       : own_.batterySpellAt(entry.time);
      transfers = own_.stats().transfers;
    }
    return {"ZQUPS_TRANSFER_COUNT=" + std::to_string(transfers),
            "ZQUPS_BATTERY_SPELL_SECONDS=" + std::to_string(spell)};
  }

 private:
  std::unique_ptr<zqjournal::Journal> journal_;
  zqjournal::Ledger own_;
};

Event describeEvent(const zqread::PowerEvent& power, const zqread::Reading& reading, bool json) {
  const std::string name = zqread::eventName(power.kind);
  Event event{"", {name, {"ZQUPS_EVENT=" + name}}};
  nlohmann::json object = {{"time", localTime(power.at.utc)}, {"event", name}};
  std::string detail;
  if (!reading.reached()) {
    detail = whyLost(reading);
    object["error"] = detail;
    event.hook.environment.push_back("ZQUPS_ERROR=" + detail);
  }
  for (const zqread::PointReading& entry : reading.points) {
    if (!entry.value) continue;
    object[entry.point.name] = jsonOf(*entry.value);
    event.hook.environment.push_back(environmentName(entry.point.name) + "=" +
                                     plainText(*entry.value));
  }
  if (reading.reached())
    for (const char* key : {"input_voltage", "estimated_runtime"})
      if (const zqread::Value* value = reading.value(key))
        detail += (detail.empty() ? "" : " ") + std::string(key) + "=" + value->text;
  event.line = json ? jsonText(object) : object["time"].get<std::string>() + " " + name +
                                             (detail.empty() ? "" : " " + detail);
  return event;
}

// The results the service queue posts from its thread, run by the loop;
// each post wakes the loop with a byte on `wakeFd`.
class Inbox {
 public:
  explicit Inbox(int wakeFd) : wakeFd_(wakeFd) {}

  void post(std::function<void()> result) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back(std::move(result));
    }
    const char byte = 1;
    // A full pipe already has the loop awake.
    if (::write(wakeFd_, &byte, 1) < 0 && errno != EAGAIN) report(std::strerror(errno));
  }

  std::deque<std::function<void()>> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(results_, {});
  }

 private:
  const int wakeFd_;
  std::mutex mutex_;
  std::deque<std::function<void()>> results_;
};

// Sleeps until `fd` is readable, a signal that `mask` lets through comes,
// or `until`.
void waitFor(int fd, Clock::time_point until, const sigset_t& mask) {
  const auto left = std::min<Clock::duration>(
      std::max<Clock::duration>(until - Clock::now(), Clock::duration::zero()), kIdleWait);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  struct timespec pause;
  pause.tv_sec = static_cast<time_t>(nanos / 1000000000);
  pause.tv_nsec = static_cast<long>(nanos % 1000000000);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  if (::pselect(fd + 1, &readable, nullptr, nullptr, &pause, &mask) > 0) {
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
  }
}

void handle(int sig, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
}

bool openWakePipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i)
    if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK) != 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      return false;
    }
  return true;
}

}  // namespace

int runWatch(const WatchSettings& settings) {
  std::unique_ptr<zqjournal::Journal> journal;
  if (!settings.journal.empty()) {
    zqjournal::Options options;
    options.maxSize = settings.journalMaxSize;
    options.say = report;
    std::string why;
    journal = zqjournal::Journal::open(settings.journal, options, &why);
    if (!journal) {
      report(why);
      return kExitJournal;
    }
  }
  PowerRecord record(std::move(journal));
  // The signals come through only while the loop waits; the service
  // queue's thread starts with them blocked and never sees them.
  sigset_t watched, original;
  sigemptyset(&watched);
  for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&watched, sig);
  ::pthread_sigmask(SIG_BLOCK, &watched, &original);
  handle(SIGINT, onStopSignal);
  handle(SIGTERM, onStopSignal);
  handle(SIGCHLD, onChildSignal);
  sigset_t waiting = original;
  for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigdelset(&waiting, sig);

  int wake[2];
  if (!openWakePipe(wake)) {
    report(std::string("pipe: ") + std::strerror(errno));
    return 1;
  }
  HookRunner hooks(settings.hook, settings.hookTimeout, original);
  {
    Inbox inbox(wake[1]);
    zqread::PowerTracker tracker(settings.rules);
    // The polls run on the queue's thread, so that a slow service holds
    // up neither the signals nor the hooks.
    zqread::ServiceQueue service(settings.serviceOwner, [&inbox](std::function<void()> result) {
      inbox.post(std::move(result));
    });
    const Clock::duration interval = settings.interval;
    // A poll may take as long as one exchange may, or the interval.
    const Clock::duration budget = std::max(interval, zqread::kExchangeBound);
    service.sayTo([](const std::string& line) { report(line); });
    service.readEvery(interval, budget, [&](const zqread::Reading& reading) {
      for (const zqread::PowerEvent& power : tracker.take(reading, zqread::PowerTime::now())) {
        const std::vector<std::string> tally = record.note(power);
        Event event = describeEvent(power, reading, settings.json);
        event.hook.environment.insert(event.hook.environment.end(), tally.begin(), tally.end());
        std::cout << event.line << std::endl;
        hooks.submit(std::move(event.hook));
      }
    });
    while (!gStopRequested) {
      for (const auto& result : inbox.take()) result();
      hooks.tend();
      if (!gStopRequested) waitFor(wake[0], hooks.nextDeadline(), waiting);
    }
    service.stop();
  }
  ::close(wake[0]);
  ::close(wake[1]);
  if (hooks.waiting() != 0)
    report(std::to_string(hooks.waiting()) + " event(s) left without their hook");
  ::pthread_sigmask(SIG_SETMASK, &original, nullptr);
  return 0;
}

}  // namespace zqctl
