#include "SharedReading.h"

#include <boost/asio/post.hpp>

namespace zqups {

using zqread::Failure;
using zqread::Outcome;
using zqread::PointReading;
using zqread::Reading;

SharedReading::SharedReading(boost::asio::io_context& io, std::optional<uid_t> serviceOwner)
    : io_(io), queue_(serviceOwner, [&io](std::function<void()> result) {
        boost::asio::post(io, std::move(result));
      }) {}

void SharedReading::read(zqread::Clock::time_point deadline, Done done) {
  if (!inFlight_) {
    inFlight_ = true;
    progress_.clear();
    queue_.readOnce(
        deadline, [this](const Reading& reading) { end(reading); },
        [this](const PointReading& entry) { progress_.push_back(entry); });
  }
  const uint64_t id = nextWaiter_++;
  Waiter& waiter = waiters_[id];
  waiter.done = std::move(done);
  waiter.timer = std::make_unique<boost::asio::steady_timer>(io_, deadline);
  waiter.timer->async_wait([this, id](const boost::system::error_code& ec) {
    if (!ec) answerEarly(id);
  });
}

void SharedReading::end(const Reading& reading) {
  inFlight_ = false;
  if (ended_) ended_(reading);
  std::map<uint64_t, Waiter> waiters;
  waiters.swap(waiters_);
  for (auto& entry : waiters) {
    entry.second.timer->cancel();
    entry.second.done(reading);
  }
}

void SharedReading::answerEarly(uint64_t id) {
  const auto it = waiters_.find(id);
  if (it == waiters_.end()) return;
  const Done done = std::move(it->second.done);
  waiters_.erase(it);
  done(soFar());
}

// The reading in flight as readCatalogue would have ended it here: the
// points not read yet count as not read in time.
Reading SharedReading::soFar() const {
  Reading reading;
  for (const PointReading& entry : progress_) reading.add(entry);
  reading.finish(Outcome{Failure::OutOfTime, 0, "not read in time"});
  return reading;
}

}  // namespace zqups
