// The threads that talk to the UPS service or do slow work, so that the
// network thread never waits: the poller that reads the catalogue into
// snapshots, and workers that check passwords and write.
#ifndef ZQUPSNETD_WORKERS_H
#define ZQUPSNETD_WORKERS_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "Session.h"
#include "Variables.h"

namespace zqnetd {

// One thread that runs jobs in the order posted.  The server posts at
// most one job per connection, which bounds the queue.
class Worker {
 public:
  Worker();
  ~Worker() { stop(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void post(std::function<void()> job);
  // Ends after the job in hand; the rest are dropped.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

struct ServiceSettings {
  std::optional<uid_t> serviceOwner;
  zqread::Cancel* cancel = nullptr;
};

// Writes `write` and reads the point back: whether it holds, and the value
// read.
bool performWrite(const Write& write, const ServiceSettings& service, zqread::Value* readBack);

struct PollSettings {
  Clock::duration interval = std::chrono::seconds(2);
  // No reading lasts longer than this.
  Clock::duration budget = std::chrono::seconds(5);
  Rules rules;
  ServiceSettings service;
};

// Reads the catalogue every interval and hands each snapshot to `publish`
// (on the poller's thread).
class Poller {
 public:
  using Publish = std::function<void(std::shared_ptr<const Snapshot>)>;
  Poller(PollSettings settings, Publish publish);
  ~Poller() { stop(); }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Ends the reading in flight (through the settings' Cancel) and joins.
  void stop();

 private:
  void run();

  PollSettings settings_;
  Publish publish_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zqnetd

#endif
