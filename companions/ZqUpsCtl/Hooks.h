// The hooks of `ZqUpsCtl watch`: one child at a time for the events in
// order, each in a process group of its own and within a time limit.
#ifndef ZQUPSCTL_HOOKS_H
#define ZQUPSCTL_HOOKS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace zqctl {

struct HookEvent {
  std::string name;
  std::vector<std::string> environment;  // NAME=VALUE besides the watch's own
};

// Events waiting for a running hook; see queueEvent.
constexpr size_t kMaxQueuedEvents = 64;
// A hook past its time limit gets SIGTERM, and SIGKILL this much later.
constexpr std::chrono::seconds kHookKillGrace{5};

// Puts `event` last in `queue`, of at most `limit` events.  An event that
// comes again after its opposite (service-lost, service-back,
// service-lost) takes the place of that pair, which changed nothing.  Past
// the limit the oldest event goes, but never the newest of the power's
// (on-battery, on-mains, battery-low, battery-ok).  Returns a line for the
// log for each event skipped so.
std::vector<std::string> queueEvent(std::deque<HookEvent>* queue, HookEvent event,
                                    size_t limit = kMaxQueuedEvents);

class HookRunner {
 public:
  using Clock = std::chrono::steady_clock;

  // `childMask` is the signal mask that a hook starts with.
  HookRunner(std::string command, Clock::duration timeLimit, const sigset_t& childMask);
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  // Starts the hook for `event`, or queues it behind the one running.
  void submit(HookEvent event);
  // Collects a hook that ended, stops one past its time, starts the next.
  void tend();
  // When tend() has something to do next without a signal.
  Clock::time_point nextDeadline() const;
  size_t waiting() const { return queue_.size(); }

 private:
  void startNext();
  void reap();
  void enforceTimeLimit();
  std::string script() const;
  std::string scriptName() const;

  std::string command_;
  bool simple_;
  Clock::duration timeLimit_;
  sigset_t childMask_;
  std::deque<HookEvent> queue_;
  pid_t running_ = -1;  // also its process group
  std::string runningEvent_;
  // Past its time limit, the running hook gets SIGTERM, then SIGKILL.
  enum class Stop { None, Terminated, Killed } stop_ = Stop::None;
  Clock::time_point stopAt_;  // when the next signal is due
};

}  // namespace zqctl

#endif
