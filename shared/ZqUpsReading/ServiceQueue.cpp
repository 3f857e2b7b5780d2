#include "ServiceQueue.h"

#include <algorithm>

namespace zqread {

bool WriteTicket::withdraw() {
  int queued = kQueued;
  return state_.compare_exchange_strong(queued, kWithdrawn) || queued == kWithdrawn;
}

bool WriteTicket::send() {
  int queued = kQueued;
  return state_.compare_exchange_strong(queued, kSending);
}

ServiceQueue::ServiceQueue(std::optional<uid_t> serviceOwner, Post post)
    : serviceOwner_(serviceOwner), post_(std::move(post)), thread_([this] { run(); }) {}

void ServiceQueue::sayTo(Say say) {
  std::lock_guard<std::mutex> lock(mutex_);
  say_ = std::move(say);
}

void ServiceQueue::readEvery(Clock::duration interval, Clock::duration budget,
                             ReadingDone done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = interval;
    budget_ = budget;
    periodic_ = std::move(done);
    due_ = Clock::now();
  }
  wake_.notify_one();
}

void ServiceQueue::readOnce(Clock::time_point deadline, ReadingDone done, PointDone onPoint) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    jobs_.push_back([this, deadline, done = std::move(done), onPoint = std::move(onPoint)] {
      const auto shown = [this, &onPoint](const PointReading& entry) {
        deliver([onPoint, entry] { onPoint(entry); });
      };
      Reading reading = readWith(deadline, onPoint ? shown : PointDone());
      deliver([done, reading = std::move(reading)] { done(reading); });
    });
  }
  wake_.notify_one();
}

std::shared_ptr<WriteTicket> ServiceQueue::write(const Point& point, const Bytes& bytes,
                                                 Clock::duration budget, WriteDone done) {
  auto ticket = std::make_shared<WriteTicket>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return ticket;
    jobs_.push_back([this, ticket, point, bytes, budget, done = std::move(done)] {
      performWrite(ticket, point, bytes, budget, done);
    });
  }
  wake_.notify_one();
  return ticket;
}

void ServiceQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  cancel_.cancel();
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void ServiceQueue::run() {
  while (const Job job = next()) job();
}

ServiceQueue::Job ServiceQueue::next() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return {};
    const Clock::time_point now = Clock::now();
    const bool due = now >= due_;
    if (due && (jobs_.empty() || !lastWasPeriodic_)) {
      lastWasPeriodic_ = true;
      due_ = now + interval_;
      return [this, deadline = now + budget_, done = periodic_] {
        readPeriodically(deadline, done);
      };
    }
    if (!jobs_.empty()) {
      lastWasPeriodic_ = false;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      return job;
    }
    // No wait until time_point::max(): some libraries overflow on it and
    // return at once.
    if (periodic_)
      wake_.wait_until(lock, due_);
    else
      wake_.wait(lock);
  }
}

Access ServiceQueue::access(Clock::time_point deadline) {
  Access access;
  access.serviceOwner = serviceOwner_;
  access.deadline = deadline;
  access.cancel = &cancel_;
  return access;
}

Reading ServiceQueue::readWith(Clock::time_point deadline, const PointDone& onPoint) {
  Say say;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    say = say_;
  }
  const auto said = [this, &say](const std::string& line) {
    if (say) deliver([say, line] { say(line); });
  };
  const auto seen = [this, &onPoint](const PointReading& entry) {
    if (entry.value || entry.outcome.failure == Failure::BadAnswer) noteAnswer();
    if (onPoint) onPoint(entry);
  };
  return readCatalogue(access(deadline), seen, &health_, said);
}

void ServiceQueue::readPeriodically(Clock::time_point deadline, const ReadingDone& done) {
  std::vector<PointReading> fresh;
  bool delivered = false;
  const Clock::time_point started = Clock::now();
  const auto early = [&](const PointReading& entry) {
    const auto& group = readingOrder();
    const bool inGroup = std::find_if(group.begin(), group.begin() + kPowerGroup,
                                      [&](const Point& point) {
                                        return point.name == entry.point.name;
                                      }) != group.begin() + kPowerGroup;
    if (inGroup) fresh.push_back(entry);
    // Once, when the group is in (a late current leaves it short).
    if (delivered || fresh.empty() || (inGroup && fresh.size() != kPowerGroup) ||
        last_.points.empty())
      return;
    delivered = true;
    Reading soFar = carriedOver(last_, fresh);
    soFar.started = started;
    deliver([done, soFar = std::move(soFar)] { done(soFar); });
  };
  last_ = readWith(deadline, early);
  deliver([done, reading = last_] { done(reading); });
}

void ServiceQueue::deliver(std::function<void()> result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stopping_) post_(std::move(result));
}

void ServiceQueue::performWrite(const std::shared_ptr<WriteTicket>& ticket, const Point& point,
                                const Bytes& bytes, Clock::duration budget,
                                const WriteDone& done) {
  if (ticket->withdrawn()) return;
  WriteResult result;
  Value value;
  // Any answer, even a bad one, says the service is there to take the
  // write now.
  result.outcome = readValue(point, access(Clock::now() + budget), &value);
  const bool present = result.outcome.ok() || result.outcome.failure == Failure::BadAnswer;
  if (present) noteAnswer();
  if (present && !ticket->send()) return;
  if (present) {
    result = writeAndVerify(point, bytes, true, [&] { return access(Clock::now() + budget); });
    if (result.readBack) noteAnswer();
  }
  // Readings that carry the last one's values over carry what was written.
  for (PointReading& entry : last_.points)
    if (result.held && entry.point.name == point.name)
      entry = PointReading{point, *result.readBack, {}};
  // Withdrawn meanwhile when the pre-read failed: the owner has its answer.
  deliver([ticket, done, result] {
    if (!ticket->withdrawn()) done(result);
  });
}

}  // namespace zqread
