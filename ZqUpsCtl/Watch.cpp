#include "Watch.h"

#include <errno.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <deque>
#include <iostream>

#include "Service.h"

extern char** environ;

namespace zqctl {

namespace {

volatile sig_atomic_t gStopRequested = 0;

void onStopSignal(int) { gStopRequested = 1; }
// Caught only so that a hook's end wakes the sleeping loop.
void onChildSignal(int) {}

// Events waiting for a running hook; more are dropped, oldest first.
constexpr size_t kMaxQueuedEvents = 64;

struct Event {
  std::string name;
  std::string line;               // what is printed
  std::vector<std::string> environment;  // NAME=VALUE for the hook
};

std::string localTime() {
  const time_t now = ::time(nullptr);
  struct tm parts;
  char text[40] = "";
  if (::localtime_r(&now, &parts) != nullptr)
    ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &parts);
  return text;
}

std::string environmentName(const std::string& pointName) {
  std::string name = "ZQUPS_";
  for (char c : pointName) name += std::isalnum(static_cast<unsigned char>(c)) ? std::toupper(c) : '_';
  return name;
}

const Value* valueOf(const Reading& reading, const char* name) {
  for (const auto& entry : reading.values)
    if (entry.first.name == name) return &entry.second;
  return nullptr;
}

Event describeEvent(const std::string& name, const Reading& reading, bool json) {
  Event event{name, "", {"ZQUPS_EVENT=" + name}};
  nlohmann::json object = {{"time", localTime()}, {"event", name}};
  std::string detail;
  if (!reading.reached) {
    object["error"] = reading.problem;
    detail = reading.problem;
    event.environment.push_back("ZQUPS_ERROR=" + reading.problem);
  }
  for (const auto& entry : reading.values) {
    object[entry.first.name] = entry.second.json;
    event.environment.push_back(environmentName(entry.first.name) + "=" + entry.second.plain);
  }
  if (reading.reached)
    for (const char* key : {"input_voltage", "estimated_runtime"})
      detail += (detail.empty() ? "" : " ") + std::string(key) + "=" + valueOf(reading, key)->plain;
  event.line = json ? jsonText(object) : object["time"].get<std::string>() + " " + name + " " + detail;
  return event;
}

// Every catalogue point; the first one that cannot reach the service ends
// the poll.  Without the line voltage and the runtime nothing can be told.
Reading pollService(const WatchSettings& settings) {
  Reading reading;
  if (settings.serviceOwner) {
    reading.problem = distrustOf(*settings.serviceOwner);
    if (!reading.problem.empty()) return reading;
  }
  for (const Point& point : catalogue()) {
    Bytes bytes;
    Value value;
    std::string error;
    const uint32_t result = readPoint(point, &bytes);
    if (exitFor(result) == kExitUnreachable) {
      reading.result = result;
      reading.problem = point.name + ": " + describeResult(result);
      reading.values.clear();
      return reading;
    }
    if (result == 0 && decode(point, bytes, &value, &error))
      reading.values.emplace_back(point, value);
  }
  const Value* voltage = valueOf(reading, "input_voltage");
  const Value* runtime = valueOf(reading, "estimated_runtime");
  if (voltage == nullptr || !voltage->json.is_number() || runtime == nullptr) {
    reading.problem = "input_voltage or estimated_runtime unreadable";
    reading.values.clear();
    return reading;
  }
  reading.reached = true;
  reading.inputVoltage = voltage->json.get<double>();
  reading.estimatedRuntime = runtime->json.get<int>();
  return reading;
}

void report(const std::string& text) { std::cerr << "ZqUpsCtl watch: " << text << std::endl; }

// Runs the hook for one event at a time through /bin/sh, never waiting
// for it: an event that comes while one runs waits its turn.
class HookRunner {
 public:
  HookRunner(std::string command, const sigset_t& childMask)
      : command_(std::move(command)), childMask_(childMask) {}

  void submit(Event event) {
    if (command_.empty()) return;
    if (running_ > 0) report("the hook for " + runningEvent_ + " is still running; " +
                             event.name + " waits");
    if (queue_.size() == kMaxQueuedEvents) {
      report("too many events waiting; the hook skips " + queue_.front().name);
      queue_.pop_front();
    }
    queue_.push_back(std::move(event));
    startNext();
  }

  // After SIGCHLD: collects the hook if it ended and starts the next one.
  void reap() {
    int status = 0;
    if (running_ <= 0 || ::waitpid(running_, &status, WNOHANG) != running_) return;
    running_ = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      report("the hook for " + runningEvent_ + " exited with status " +
             std::to_string(WEXITSTATUS(status)));
    else if (WIFSIGNALED(status))
      report("the hook for " + runningEvent_ + " was killed by signal " +
             std::to_string(WTERMSIG(status)));
    startNext();
  }

  size_t waiting() const { return queue_.size(); }

 private:
  void startNext() {
    if (running_ > 0 || queue_.empty()) return;
    Event event = std::move(queue_.front());
    queue_.pop_front();
    std::vector<std::string> environment = inheritedEnvironment();
    environment.insert(environment.end(), event.environment.begin(), event.environment.end());
    std::vector<std::string> args = {"sh", "-c", shellCommand(), "ZqUpsCtl", event.name};
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(environment);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::sigprocmask(SIG_SETMASK, &childMask_, nullptr);
      ::execve("/bin/sh", argv.data(), envp.data());
      _exit(127);
    }
    if (pid < 0) {
      report("cannot start the hook for " + event.name + ": " + std::strerror(errno));
      return;
    }
    running_ = pid;
    runningEvent_ = event.name;
  }

  // A command that is one plain word, a program's path, is called with
  // the event as its argument; any other shell text sees it as $1.
  std::string shellCommand() const {
    const bool word = command_.find_first_not_of(
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                          "_./+-,:@%") == std::string::npos;
    return word ? command_ + " \"$@\"" : command_;
  }

  // This process's environment without ZQUPS_ values that could be
  // taken for this event's.
  static std::vector<std::string> inheritedEnvironment() {
    std::vector<std::string> kept;
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (std::strncmp(*entry, "ZQUPS_", 6) != 0) kept.push_back(*entry);
    return kept;
  }

  static std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (std::string& s : strings) list.push_back(&s[0]);
    list.push_back(nullptr);
    return list;
  }

  std::string command_;
  sigset_t childMask_;
  std::deque<Event> queue_;
  pid_t running_ = -1;
  std::string runningEvent_;
};

double monotonicSeconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Sleeps until `seconds` have passed or a signal came that `mask` lets through.
void waitFor(double seconds, const sigset_t& mask) {
  if (seconds < 0) seconds = 0;
  struct timespec pause;
  pause.tv_sec = static_cast<time_t>(seconds);
  pause.tv_nsec = static_cast<long>((seconds - static_cast<double>(pause.tv_sec)) * 1e9);
  ::pselect(0, nullptr, nullptr, nullptr, &pause, &mask);
}

void handle(int sig, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
}

}  // namespace

std::vector<std::string> eventsFor(PowerState* state, const Reading& reading,
                                   const WatchSettings& settings) {
  std::vector<std::string> events;
  const bool first = !state->polled;
  state->polled = true;
  if (!reading.reached) {
    if (first || state->reached) events.push_back("service-lost");
    state->reached = false;
    return events;
  }
  if (!first && !state->reached) events.push_back("service-back");
  state->reached = true;
  const bool onBattery = !(reading.inputVoltage >= settings.minLineVoltage);
  if (!state->powerKnown || onBattery != state->onBattery)
    events.push_back(onBattery ? "on-battery" : "on-mains");
  state->powerKnown = true;
  state->onBattery = onBattery;
  const bool low = onBattery && reading.estimatedRuntime <= settings.lowRuntimeMinutes;
  if (low && !state->low) events.push_back("battery-low");
  if (!low && state->low && onBattery) events.push_back("battery-ok");
  state->low = low;
  return events;
}

int runWatch(const WatchSettings& settings) {
  // The signals wait while the library talks to the service, so that no
  // call of it is cut short, and come through only while the loop sleeps.
  sigset_t watched, original;
  sigemptyset(&watched);
  for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&watched, sig);
  ::sigprocmask(SIG_BLOCK, &watched, &original);
  handle(SIGINT, onStopSignal);
  handle(SIGTERM, onStopSignal);
  handle(SIGCHLD, onChildSignal);
  sigset_t sleeping = original;
  for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigdelset(&sleeping, sig);

  HookRunner hooks(settings.hook, original);
  PowerState state;
  double nextPoll = monotonicSeconds();
  while (!gStopRequested) {
    if (monotonicSeconds() >= nextPoll) {
      const Reading reading = pollService(settings);
      for (const std::string& name : eventsFor(&state, reading, settings)) {
        Event event = describeEvent(name, reading, settings.json);
        std::cout << event.line << std::endl;
        hooks.submit(std::move(event));
      }
      nextPoll += settings.intervalSeconds;
      if (nextPoll < monotonicSeconds()) nextPoll = monotonicSeconds() + settings.intervalSeconds;
    }
    hooks.reap();
    if (!gStopRequested) waitFor(nextPoll - monotonicSeconds(), sleeping);
  }
  if (hooks.waiting() != 0)
    report(std::to_string(hooks.waiting()) + " event(s) left without their hook");
  ::sigprocmask(SIG_SETMASK, &original, nullptr);
  return kExitOk;
}

}  // namespace zqctl
