// The one queue of a program's exchanges, against a scripted service: its
// jobs in the order they came, a write after its read, and what `stop`
// leaves undone.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "FakeUpsService.h"
#include "RunProgram.h"
#include "ServiceQueue.h"
#include "ZqUpsPoints.h"

namespace {

using Clock = std::chrono::steady_clock;
using upstest::Bytes;
using upstest::FakeUpsService;
using upstest::Peer;
using upstest::secondsSince;

// Stands for the owner's event loop: what the queue posts waits here
// until the test runs it.
class Posted {
 public:
  zqread::ServiceQueue::Post post() {
    return [this](std::function<void()> result) {
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back(std::move(result));
      posted_.notify_all();
    };
  }
  // Runs each result as it comes until `count` have run; false after 30 s.
  bool run(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t ran = 0; ran < count; ++ran) {
      if (!posted_.wait_for(lock, std::chrono::seconds(30), [this] { return !results_.empty(); }))
        return false;
      const std::function<void()> result = std::move(results_.front());
      results_.pop_front();
      lock.unlock();
      result();
      lock.lock();
    }
    return true;
  }
  size_t waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> results_;
};

bool isWrite(const Bytes& envelope) { return upstest::wordAt(envelope, 8) != 12; }
uint32_t offsetOf(const Bytes& envelope) { return upstest::wordAt(envelope, 16); }

const zqread::Point& replaceDate() {
  static const zqread::Point point = *zqread::resolvePoint("battery_replace_date", zqread::Kind::Hex);
  return point;
}

Bytes bytesFor(const std::string& text) {
  Bytes bytes;
  std::string error;
  EXPECT_TRUE(zqread::encode(replaceDate(), text, &bytes, &error)) << error;
  return bytes;
}

}  // namespace

TEST(ServiceQueue, JobsRunInTheirOrderAndAWriteAfterItsRead) {
  FakeUpsService service(upstest::upsWith());  // the date reads 2028-07-01, whatever is written
  START_OR_SKIP(service);
  Posted posted;
  zqread::ServiceQueue queue(std::nullopt, posted.post());
  std::vector<std::string> done;
  const auto reading = [&done](const char* name) {
    return [&done, name](const zqread::Reading& r) {
      EXPECT_TRUE(r.end.ok()) << r.end.why;
      done.push_back(name);
    };
  };
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  queue.readOnce(deadline, reading("first"));
  zqread::WriteResult written;
  queue.write(replaceDate(), bytesFor("2028-07-01"), std::chrono::seconds(10),
              [&](const zqread::WriteResult& result) {
                written = result;
                done.push_back("write");
              });
  queue.readOnce(deadline, reading("second"));
  ASSERT_TRUE(posted.run(3));
  EXPECT_EQ(done, (std::vector<std::string>{"first", "write", "second"}));
  EXPECT_TRUE(written.outcome.ok()) << written.outcome.why;
  EXPECT_TRUE(written.held);
  ASSERT_TRUE(written.readBack.has_value());
  EXPECT_EQ(written.readBack->text, "2028-07-01");

  service.waitIdle();
  const std::vector<Bytes> sent = service.envelopes();
  const size_t points = zqread::catalogue().size();
  ASSERT_EQ(sent.size(), 2 * points + 3);
  for (size_t at = 0; at < sent.size(); ++at)
    EXPECT_EQ(isWrite(sent[at]), at == points + 1) << at;
  for (size_t at = points; at < points + 3; ++at)
    EXPECT_EQ(offsetOf(sent[at]), UPS_OFFSET_BATTERY_REPLACE_DATE) << "read, write, read back";
}

// The first exchange hangs: stop ends it at once, and neither the write
// nor the reading queued behind it is sent or answered.
TEST(ServiceQueue, StopDropsWhatIsQueued) {
  FakeUpsService service([](Peer& peer) {
    peer.readEnvelope();
    peer.stall();
  });
  START_OR_SKIP(service);
  Posted posted;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  {
    zqread::ServiceQueue queue(std::nullopt, posted.post());
    queue.readOnce(deadline, [](const zqread::Reading&) { ADD_FAILURE() << "a reading"; });
    queue.write(replaceDate(), bytesFor("2030-01-01"), std::chrono::seconds(60),
                [](const zqread::WriteResult&) { ADD_FAILURE() << "a write"; });
    queue.readOnce(deadline, [](const zqread::Reading&) { ADD_FAILURE() << "a reading"; });
    ASSERT_TRUE(upstest::within(30, [&] { return service.connections() > 0; }));
    const auto start = Clock::now();
    queue.stop();
    EXPECT_LT(secondsSince(start), 3.0) << "valgrind is slow; at once without it";
  }
  service.waitIdle();
  EXPECT_EQ(posted.waiting(), 0u);
  const std::vector<Bytes> sent = service.envelopes();
  EXPECT_EQ(sent.size(), 1u);
  for (const Bytes& envelope : sent) EXPECT_FALSE(isWrite(envelope));
}
