#include "SharedReading.h"

#include <boost/asio/post.hpp>

namespace zqups {

using zqread::Failure;
using zqread::Outcome;
using zqread::PointReading;
using zqread::Reading;

SharedReading::SharedReading(boost::asio::io_context& io, std::optional<uid_t> serviceOwner)
    : io_(io), serviceOwner_(serviceOwner), worker_([this] { work(); }) {}

SharedReading::~SharedReading() { stop(); }

void SharedReading::read(zqread::Clock::time_point deadline, Done done) {
  if (!inFlight_) {
    inFlight_ = true;
    progress_.clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requested_ = deadline;
    }
    wake_.notify_one();
  }
  const uint64_t id = nextWaiter_++;
  Waiter& waiter = waiters_[id];
  waiter.done = std::move(done);
  waiter.timer = std::make_unique<boost::asio::steady_timer>(io_, deadline);
  waiter.timer->async_wait([this, id](const boost::system::error_code& ec) {
    if (!ec) answerEarly(id);
  });
}

void SharedReading::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cancel_.cancel();
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void SharedReading::work() {
  zqread::Skips skips;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || requested_; });
    if (stopping_) return;
    zqread::Access access;
    access.deadline = *requested_;
    access.serviceOwner = serviceOwner_;
    access.cancel = &cancel_;
    requested_.reset();
    lock.unlock();
    Reading reading = zqread::readCatalogue(
        access,
        [this](const PointReading& entry) {
          boost::asio::post(io_, [this, entry] { addPoint(entry); });
        },
        &skips);
    boost::asio::post(io_, [this, reading = std::move(reading)] { end(reading); });
    lock.lock();
  }
}

void SharedReading::addPoint(PointReading entry) { progress_.push_back(std::move(entry)); }

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
