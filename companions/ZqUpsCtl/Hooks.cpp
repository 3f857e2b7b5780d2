#include "Hooks.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <utility>

#include "Duration.h"
#include "Values.h"

extern char** environ;

namespace zqctl {

namespace {

void report(const std::string& text) { std::cerr << "ZqUpsCtl watch: " << text << std::endl; }

// Words of these characters and blanks make a simple command: no quoting,
// expansion, redirection or operator in it.
bool isSimpleCommand(const std::string& command) {
  return command.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+-,:@% \t") ==
             std::string::npos &&
         command.find_first_not_of(" \t") != std::string::npos;
}

// This process's environment without ZQUPS_ values that could be taken
// for the event's.
std::vector<std::string> inheritedEnvironment() {
  std::vector<std::string> kept;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::strncmp(*entry, "ZQUPS_", 6) != 0) kept.push_back(*entry);
  return kept;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> list;
  for (std::string& s : strings) list.push_back(&s[0]);
  list.push_back(nullptr);
  return list;
}

const std::pair<const char*, const char*> kOpposites[] = {
    {"service-lost", "service-back"}, {"on-battery", "on-mains"}, {"battery-low", "battery-ok"}};

bool opposite(const std::string& a, const std::string& b) {
  for (const auto& pair : kOpposites)
    if ((a == pair.first && b == pair.second) || (a == pair.second && b == pair.first)) return true;
  return false;
}

bool isPowerEvent(const std::string& name) {
  return name != kOpposites[0].first && name != kOpposites[0].second;
}

}  // namespace

std::vector<std::string> queueEvent(std::deque<HookEvent>* queue, HookEvent event, size_t limit) {
  std::vector<std::string> skipped;
  const size_t size = queue->size();
  if (size >= 2 && (*queue)[size - 2].name == event.name &&
      opposite((*queue)[size - 1].name, event.name)) {
    skipped.push_back("the hook skips " + (*queue)[size - 2].name + " and " +
                      (*queue)[size - 1].name + ": " + event.name + " came again");
    queue->resize(size - 2);
  }
  queue->push_back(std::move(event));
  if (queue->size() <= limit) return skipped;
  const auto newestPower = std::find_if(queue->rbegin(), queue->rend(), [](const HookEvent& e) {
    return isPowerEvent(e.name);
  });
  auto victim = queue->begin();
  if (newestPower != queue->rend() && victim == std::prev(newestPower.base())) ++victim;
  skipped.push_back("too many events waiting; the hook skips " + victim->name);
  queue->erase(victim);
  return skipped;
}

HookRunner::HookRunner(std::string command, Clock::duration timeLimit, const sigset_t& childMask)
    : command_(std::move(command)),
      simple_(isSimpleCommand(command_)),
      timeLimit_(timeLimit),
      childMask_(childMask) {}

void HookRunner::submit(HookEvent event) {
  if (command_.empty()) return;
  if (running_ > 0)
    report("the hook for " + runningEvent_ + " is still running; " + event.name + " waits");
  for (const std::string& line : queueEvent(&queue_, std::move(event))) report(line);
  startNext();
}

void HookRunner::tend() {
  reap();
  enforceTimeLimit();
  startNext();
}

HookRunner::Clock::time_point HookRunner::nextDeadline() const {
  if (running_ <= 0 || stop_ == Stop::Killed) return Clock::time_point::max();
  return stopAt_;
}

// A simple command gets the event as its last argument; other shell text
// sees it as $1.
std::string HookRunner::script() const { return simple_ ? command_ + " \"$@\"" : command_; }

// $0, which the shell's own messages name: the program of a simple
// command, else "hook".
std::string HookRunner::scriptName() const {
  if (!simple_) return "hook";
  const size_t first = command_.find_first_not_of(" \t");
  return command_.substr(first, command_.find_first_of(" \t", first) - first);
}

void HookRunner::startNext() {
  if (running_ > 0 || queue_.empty()) return;
  HookEvent event = std::move(queue_.front());
  queue_.pop_front();
  std::vector<std::string> environment = inheritedEnvironment();
  environment.insert(environment.end(), event.environment.begin(), event.environment.end());
  std::vector<std::string> args = {"sh", "-c", script(), scriptName(), event.name};
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(environment);
  // Only async-signal-safe calls in the child: the watch has threads.
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own, so that the terminal's Ctrl-C for the watch
    // does not stop a shutdown half done; no terminal input either.
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null > 0) {
      ::dup2(null, 0);
      ::close(null);
    }
    ::pthread_sigmask(SIG_SETMASK, &childMask_, nullptr);
    ::execve("/bin/sh", argv.data(), envp.data());
    _exit(127);
  }
  if (pid < 0) {
    report("cannot start the hook for " + event.name + ": " + std::strerror(errno));
    return;
  }
  // Also here, so that the group exists before any signal is sent to it.
  ::setpgid(pid, pid);
  running_ = pid;
  runningEvent_ = event.name;
  stop_ = Stop::None;
  stopAt_ = Clock::now() + timeLimit_;
}

void HookRunner::reap() {
  int status = 0;
  if (running_ <= 0 || ::waitpid(running_, &status, WNOHANG) != running_) return;
  running_ = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    report("the hook for " + runningEvent_ + " exited with status " +
           std::to_string(WEXITSTATUS(status)));
  else if (WIFSIGNALED(status))
    report("the hook for " + runningEvent_ + " was killed by signal " +
           std::to_string(WTERMSIG(status)));
}

// Signals go to the group only while its leader is unreaped, so that the
// group's number cannot have been reused.
void HookRunner::enforceTimeLimit() {
  if (running_ <= 0 || stop_ == Stop::Killed || Clock::now() < stopAt_) return;
  if (stop_ == Stop::None) {
    report("the hook for " + runningEvent_ + " ran longer than " +
           zqopt::durationText(timeLimit_) + "; stopping it");
    ::killpg(running_, SIGTERM);
    stop_ = Stop::Terminated;
    stopAt_ = Clock::now() + kHookKillGrace;
  } else {
    ::killpg(running_, SIGKILL);
    stop_ = Stop::Killed;
  }
}

}  // namespace zqctl
