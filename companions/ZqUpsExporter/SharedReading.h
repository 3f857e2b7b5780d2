// The UPS read on a schedule, on a zqread::ServiceQueue, and the latest
// reading served to every scrape: no scrape starts, waits on or cuts
// short a reading.  Everything but the reading itself runs on the event
// loop.
#ifndef SHAREDREADING_H
#define SHAREDREADING_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "Reading.h"
#include "ServiceQueue.h"

namespace zqups {

class SharedReading {
 public:
  using Ended = std::function<void(const zqread::Reading&)>;
  // The latest reading, or nullptr when there is none yet.
  using Serve = std::function<void(const zqread::Reading* latest)>;
  using Say = zqread::ServiceQueue::Say;

  // Every reading asks only a service that runs as `serviceOwner`, when
  // one is given.
  explicit SharedReading(boost::asio::io_context& io,
                         std::optional<uid_t> serviceOwner = std::nullopt);
  SharedReading(const SharedReading&) = delete;
  SharedReading& operator=(const SharedReading&) = delete;

  // Reads from now on every `interval`, each reading ending within
  // `budget`; on the loop, `ended` sees each whole reading once and `say`
  // each line on how a point stands.
  void start(zqread::Clock::duration interval, zqread::Clock::duration budget, Ended ended,
             Say say);
  // On the loop: `serve` gets the latest reading at once (which may be
  // one whose power's points are new and the rest as read before); before
  // the first, that one as soon as it comes, or nullptr at `deadline`.
  void latest(zqread::Clock::time_point deadline, Serve serve);
  // Ends the exchange in flight at once.  After the loop has stopped,
  // from the thread that ran it.
  void stop() { queue_.stop(); }

 private:
  void take(const zqread::Reading& reading);
  void giveUp(uint64_t waiter);

  boost::asio::io_context& io_;
  Ended ended_;
  std::optional<zqread::Reading> latest_;
  // The scrapes waiting for the first reading; one at most a connection.
  std::map<uint64_t, std::pair<std::unique_ptr<boost::asio::steady_timer>, Serve>> waiters_;
  uint64_t nextWaiter_ = 0;
  zqread::ServiceQueue queue_;  // last: it posts to the members above
};

}  // namespace zqups

#endif
