// Every exchange a program has with the UPS service, in one queue run by
// one thread: readings every interval, readings asked for, and writes,
// one at a time in the order they came.  A write therefore runs between
// two readings, and the reading after it shows what it wrote.  Results go
// back through the owner's Post (an event loop's post, say), never called
// on the owner's thread directly.
#ifndef ZQUPSREADING_SERVICEQUEUE_H
#define ZQUPSREADING_SERVICEQUEUE_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "Reading.h"

namespace zqread {

// A queued write, which its owner may withdraw until its bytes go out.
class WriteTicket {
 public:
  // True when the write's bytes will never be sent, and then its `done`
  // is never called; false once they are going out.  The owner's thread.
  bool withdraw();

 private:
  friend class ServiceQueue;
  enum State { kQueued, kSending, kWithdrawn };
  // The queue's thread, right before the bytes go out: false when
  // withdrawn.
  bool send();
  bool withdrawn() const { return state_.load() == kWithdrawn; }
  std::atomic<int> state_{kQueued};
};

class ServiceQueue {
 public:
  using Post = std::function<void(std::function<void()>)>;
  using ReadingDone = std::function<void(const Reading&)>;
  using PointDone = std::function<void(const PointReading&)>;
  using WriteDone = std::function<void(const WriteResult&)>;

  // Asks only a service that runs as `serviceOwner`, when given.
  ServiceQueue(std::optional<uid_t> serviceOwner, Post post);
  ~ServiceQueue() { stop(); }
  ServiceQueue(const ServiceQueue&) = delete;
  ServiceQueue& operator=(const ServiceQueue&) = delete;

  using Say = std::function<void(const std::string&)>;

  // Each line on how a point stands (turned slow or failing, recovered)
  // goes to `say`, through Post.  Before readEvery.
  void sayTo(Say say);
  // From now on, a reading every `interval` (start to start, or at once
  // when one took longer), each point read as PointHealth says within
  // `budget`.  `done` gets each reading but the first twice: as soon as
  // the points that tell the power are in (`complete` false, the others
  // as last read), and whole.
  void readEvery(Clock::duration interval, Clock::duration budget, ReadingDone done);
  // One reading that ends by `deadline`, after the exchanges queued
  // before it; `onPoint` sees each point as it is read.
  void readOnce(Clock::time_point deadline, ReadingDone done, PointDone onPoint = {});
  // Writes `bytes` to `point` and reads the point back, each exchange
  // within `budget`.  The point is read first: a service that does not
  // answer that is not sent the write.
  std::shared_ptr<WriteTicket> write(const Point& point, const Bytes& bytes,
                                     Clock::duration budget, WriteDone done);
  // When the service last answered an exchange, even badly.  Any thread.
  Clock::time_point lastAnswer() const {
    return Clock::time_point(Clock::duration(answered_.load()));
  }
  // Ends the exchange in flight at once and drops what is queued, never
  // to be performed: nothing is posted once it returns.  Any thread but
  // the queue's.
  void stop();

 private:
  using Job = std::function<void()>;
  void run();
  // The next job, waiting for one or for the next reading's time; empty
  // once stopping.
  Job next();
  Access access(Clock::time_point deadline);
  // Posts `result` unless stopping.
  void deliver(std::function<void()> result);
  void readPeriodically(Clock::time_point deadline, const ReadingDone& done);
  Reading readWith(Clock::time_point deadline, const PointDone& onPoint);
  void performWrite(const std::shared_ptr<WriteTicket>& ticket, const Point& point,
                    const Bytes& bytes, Clock::duration budget, const WriteDone& done);
  void noteAnswer() { answered_ = Clock::now().time_since_epoch().count(); }

  const std::optional<uid_t> serviceOwner_;
  const Post post_;
  Cancel cancel_;
  PointHealth health_;  // the queue thread's
  Say say_;
  Reading last_;       // the queue thread's: the last whole periodic reading
  std::atomic<Clock::rep> answered_{0};  // lastAnswer()
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  // The readings every interval.
  Clock::duration interval_{};
  Clock::duration budget_{};
  ReadingDone periodic_;
  Clock::time_point due_ = Clock::time_point::max();
  // An overdue reading and queued jobs take turns.
  bool lastWasPeriodic_ = false;
  std::thread thread_;  // last: it starts at once
};

}  // namespace zqread

#endif
