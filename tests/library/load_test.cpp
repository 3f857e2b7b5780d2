// The library against the built simulator under load: many client
// threads at once, and the simulator killed and started again under them.
// (The flood of bad connections is sim_service_test's.)
#include "FakeUpsService.h"
#include "SimProcess.h"
#include "ZqUpsApi.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace upstest;
using Clock = std::chrono::steady_clock;

namespace {

const char kSim[] = ZQUPSSIM_PATH;

struct Row {
  uint32_t offset, length;
};
// A mix of the tool's rows: texts and 4-byte values.
const Row kRows[] = {{1, 512}, {2, 512}, {22, 512}, {6, 4}, {53, 4}, {49, 4}, {26, 4}, {50, 4}};

using Value = std::vector<uint8_t>;

uint32_t readRow(const Row& row, Value* answer) {
  answer->assign(row.length, 0);
  uint32_t count = 0;
  const uint32_t rc = UPSRead(0x2000, row.offset, row.length, answer->data(), &count);
  answer->resize(rc == UPS_OK ? count : 0);
  return rc;
}

// What the simulator answers for each row, read once before the load.
std::map<uint32_t, Value> expectedAnswers() {
  std::map<uint32_t, Value> expected;
  for (const Row& row : kRows) EXPECT_EQ(readRow(row, &expected[row.offset]), UPS_OK);
  return expected;
}

// The results a call may end with when the service dies or is missing.
bool isDocumentedOutage(uint32_t rc) {
  if (rc == UPSERR_SERVICE_REFUSED) return true;
  for (int err : {ECONNRESET, EPIPE, ENOENT, EBADMSG, ETIMEDOUT})
    if (rc == (UPSERR_SYSTEM_BASE | uint32_t(err))) return true;
  return false;
}

}  // namespace

TEST(Load, SixtyFourThreadsOfFiveHundredReadsAllGetTheirAnswers) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({})) << sim.why();
  const std::map<uint32_t, Value> expected = expectedAnswers();
  const int before = openDescriptorCount();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 64; ++t) {
    threads.emplace_back([t, &expected, &wrong] {
      Value answer;
      for (int i = 0; i < 500; ++i) {
        const Row& row = kRows[(t + i) % (sizeof kRows / sizeof kRows[0])];
        if (readRow(row, &answer) != UPS_OK || answer != expected.at(row.offset)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Load, CallsInFlightWhenTheServiceIsKilledEndWithDocumentedResults) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  SimProcess sim(kSim);
  ASSERT_TRUE(sim.start({})) << sim.why();
  const std::map<uint32_t, Value> expected = expectedAnswers();
  std::atomic<bool> restarted{false}, done{false};
  std::atomic<int> undocumented{0}, tooSlow{0}, wrong{0}, outages{0};
  std::vector<int> okAfterRestart(16, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      Value answer;
      for (int i = 0; !done; ++i) {
        const Row& row = kRows[(t + i) % (sizeof kRows / sizeof kRows[0])];
        const bool afterRestart = restarted;
        const auto start = Clock::now();
        const uint32_t rc = readRow(row, &answer);
        if (Clock::now() - start > std::chrono::seconds(11)) ++tooSlow;
        if (rc == UPS_OK) {
          if (answer != expected.at(row.offset)) ++wrong;
          if (afterRestart) ++okAfterRestart[t];
        } else {
          ++outages;
          if (!isDocumentedOutage(rc)) ++undocumented;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sim.stop(SIGKILL);  // leaves a stale socket file behind
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(sim.start({})) << sim.why();
  restarted = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  done = true;
  for (auto& thread : threads) thread.join();
  EXPECT_GT(outages, 0) << "the kill came while no call was in flight";
  EXPECT_EQ(undocumented, 0);
  EXPECT_EQ(tooSlow, 0);
  EXPECT_EQ(wrong, 0);
  for (int t = 0; t < 16; ++t) EXPECT_GT(okAfterRestart[t], 0) << "thread " << t;
}
