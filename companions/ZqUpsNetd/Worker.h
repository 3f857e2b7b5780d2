// A thread for slow work, so that the network thread never waits: the
// password checks.  (Every exchange with the UPS service goes through
// zqread::ServiceQueue.)
#ifndef ZQUPSNETD_WORKER_H
#define ZQUPSNETD_WORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

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

}  // namespace zqnetd

#endif
