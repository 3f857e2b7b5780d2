// One reading of the UPS at a time, shared by every scrape that comes
// while it runs.  The readings run on a zqread::ServiceQueue; everything
// else, and every result, on the event loop.
#ifndef SHAREDREADING_H
#define SHAREDREADING_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "Reading.h"
#include "ServiceQueue.h"

namespace zqups {

class SharedReading {
 public:
  using Done = std::function<void(const zqread::Reading&)>;

  // Every reading asks only a service that runs as `serviceOwner`, when
  // one is given.
  explicit SharedReading(boost::asio::io_context& io,
                         std::optional<uid_t> serviceOwner = std::nullopt);
  SharedReading(const SharedReading&) = delete;
  SharedReading& operator=(const SharedReading&) = delete;

  // On the loop: `done` gets the reading in flight, or one started now
  // that ends by `deadline`, once it ends; or, when `deadline` comes
  // first, what it has read by then, the rest as not read in time.
  void read(zqread::Clock::time_point deadline, Done done);
  // On the loop: `ended` sees each whole reading once, as it ends.
  void onEnded(Done ended) { ended_ = std::move(ended); }
  // Ends the exchange in flight at once.  After the loop has stopped,
  // from the thread that ran it.
  void stop() { queue_.stop(); }

 private:
  struct Waiter {
    std::unique_ptr<boost::asio::steady_timer> timer;
    Done done;
  };

  void end(const zqread::Reading& reading);
  void answerEarly(uint64_t waiter);
  zqread::Reading soFar() const;

  boost::asio::io_context& io_;
  Done ended_;
  bool inFlight_ = false;
  std::vector<zqread::PointReading> progress_;
  std::map<uint64_t, Waiter> waiters_;
  uint64_t nextWaiter_ = 0;
  zqread::ServiceQueue queue_;  // last: it posts to the members above
};

}  // namespace zqups

#endif
