#include "Workers.h"

namespace zqnetd {

// No exchange lasts longer than the library's own budget for one call.
constexpr auto kWriteBudget = std::chrono::seconds(10);

Worker::Worker() : thread_([this] { run(); }) {}

void Worker::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void Worker::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Worker::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

bool performWrite(const Write& write, const ServiceSettings& service, zqread::Value* readBack) {
  zqread::Access access;
  access.serviceOwner = service.serviceOwner;
  access.cancel = service.cancel;
  access.deadline = zqread::Clock::now() + kWriteBudget;
  if (!zqread::writeBytes(write.point, access, write.bytes).ok()) return false;
  access.deadline = zqread::Clock::now() + kWriteBudget;
  return zqread::readValue(write.point, access, readBack).ok() && readBack->text == write.wanted;
}

Poller::Poller(PollSettings settings, Publish publish)
    : settings_(std::move(settings)), publish_(std::move(publish)), thread_([this] { run(); }) {}

void Poller::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (settings_.service.cancel != nullptr) settings_.service.cancel->cancel();
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Poller::run() {
  zqread::Skips skips;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const Clock::time_point start = Clock::now();
    lock.unlock();
    zqread::Access access;
    access.serviceOwner = settings_.service.serviceOwner;
    access.cancel = settings_.service.cancel;
    access.deadline = start + settings_.budget;
    const zqread::Reading reading = zqread::readCatalogue(access, {}, &skips);
    publish_(std::make_shared<const Snapshot>(snapshotOf(reading, settings_.rules, start)));
    lock.lock();
    wake_.wait_until(lock, start + settings_.interval, [this] { return stopping_; });
  }
}

}  // namespace zqnetd
