// What every program's command line shares: the forms a duration takes
// (the simulator's profiles take them too).
#include <gtest/gtest.h>

#include <chrono>

#include "Duration.h"

TEST(Durations, EveryFormToTheMillisecondAndNothingElse) {
  const struct {
    const char* text;
    int64_t millis;
  } good[] = {{"100ms", 100}, {"10s", 10000}, {"2m", 120000}, {"5min", 300000},
              {"30", 30000},  {"1.5s", 1500}, {"0.25", 250},  {"0.5m", 30000},
              {"0s", 0},      {"1099511627776ms", int64_t{1} << 40}};
  for (const auto& c : good) {
    std::chrono::milliseconds duration{-1};
    EXPECT_TRUE(zqopt::parseDuration(c.text, &duration)) << c.text;
    EXPECT_EQ(duration.count(), c.millis) << c.text;
    EXPECT_EQ(zqopt::durationText(duration).empty(), false);
  }
  for (const char* bad : {"", "s", "ms", "10x", "-1s", "+1s", "1e3", ".5s", "5.s", "1.5ms",
                          "0.0001s", "10 s", "10S", "2h", "1099511627777ms", "99999999999999999999",
                          "0x10"}) {
    std::chrono::milliseconds duration{7};
    EXPECT_FALSE(zqopt::parseDuration(bad, &duration)) << bad;
    EXPECT_EQ(duration.count(), 7) << bad;
  }
  EXPECT_EQ(zqopt::durationText(std::chrono::milliseconds(1500)), "1.5s");
  EXPECT_EQ(zqopt::durationText(std::chrono::milliseconds(300000)), "5m");
  EXPECT_EQ(zqopt::durationText(std::chrono::milliseconds(100)), "100ms");
}
