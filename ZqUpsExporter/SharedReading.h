// One reading of the UPS at a time, on a worker thread, shared by every
// scrape that comes while it runs.  Everything but the worker runs on the
// event loop; the worker only reads and posts what it read to the loop.
#ifndef SHAREDREADING_H
#define SHAREDREADING_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Reading.h"

namespace zqups {

class SharedReading {
 public:
  using Done = std::function<void(const zqread::Reading&)>;

  // Every reading asks only a service that runs as `serviceOwner`, when
  // one is given.
  explicit SharedReading(boost::asio::io_context& io,
                         std::optional<uid_t> serviceOwner = std::nullopt);
  ~SharedReading();
  SharedReading(const SharedReading&) = delete;
  SharedReading& operator=(const SharedReading&) = delete;

  // On the loop: `done` gets the reading in flight, or one started now
  // that ends by `deadline`, once it ends; or, when `deadline` comes
  // first, what it has read by then, the rest as not read in time.
  void read(zqread::Clock::time_point deadline, Done done);
  // On the loop: `ended` sees each whole reading once, as it ends.
  void onEnded(Done ended) { ended_ = std::move(ended); }
  // Ends the exchange in flight at once, and the worker.  After the loop
  // has stopped, from the thread that ran it.
  void stop();

 private:
  struct Waiter {
    std::unique_ptr<boost::asio::steady_timer> timer;
    Done done;
  };

  void work();
  void addPoint(zqread::PointReading entry);
  void end(const zqread::Reading& reading);
  void answerEarly(uint64_t waiter);
  zqread::Reading soFar() const;

  boost::asio::io_context& io_;
  const std::optional<uid_t> serviceOwner_;
  // The loop's.
  Done ended_;
  bool inFlight_ = false;
  std::vector<zqread::PointReading> progress_;
  std::map<uint64_t, Waiter> waiters_;
  uint64_t nextWaiter_ = 0;
  // Shared with the worker.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<zqread::Clock::time_point> requested_;
  bool stopping_ = false;
  zqread::Cancel cancel_;
  std::thread worker_;
};

}  // namespace zqups

#endif
