#include "SharedReading.h"

#include <boost/asio/post.hpp>

#include <utility>

namespace zqups {

using zqread::Reading;

SharedReading::SharedReading(boost::asio::io_context& io, std::optional<uid_t> serviceOwner)
    : io_(io), queue_(serviceOwner, [&io](std::function<void()> result) {
        boost::asio::post(io, std::move(result));
      }) {}

void SharedReading::start(zqread::Clock::duration interval, zqread::Clock::duration budget,
                          Ended ended, Say say) {
  ended_ = std::move(ended);
  queue_.sayTo(std::move(say));
  queue_.readEvery(interval, budget, [this](const Reading& reading) { take(reading); });
}

void SharedReading::latest(zqread::Clock::time_point deadline, Serve serve) {
  if (latest_) return serve(&*latest_);
  const uint64_t id = nextWaiter_++;
  auto& waiter = waiters_[id];
  waiter.first = std::make_unique<boost::asio::steady_timer>(io_, deadline);
  waiter.second = std::move(serve);
  waiter.first->async_wait([this, id](const boost::system::error_code& ec) {
    if (!ec) giveUp(id);
  });
}

void SharedReading::take(const Reading& reading) {
  latest_ = reading;
  if (ended_ && reading.complete) ended_(reading);
  for (auto& waiter : std::exchange(waiters_, {})) {
    waiter.second.first->cancel();
    waiter.second.second(&*latest_);
  }
}

void SharedReading::giveUp(uint64_t id) {
  const auto it = waiters_.find(id);
  if (it == waiters_.end()) return;
  const Serve serve = std::move(it->second.second);
  waiters_.erase(it);
  serve(nullptr);
}

}  // namespace zqups
