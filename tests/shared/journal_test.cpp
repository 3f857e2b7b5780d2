// The power journal on its own: its file against tears, rotation, clock
// steps, foreign files and several writers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "Journal.h"
#include "RunProgram.h"

namespace {

using namespace zqjournal;
using namespace std::chrono_literals;

struct FakeClock {
  std::chrono::system_clock::time_point wall{std::chrono::seconds(1796800000)};
  std::chrono::steady_clock::time_point steady{};
  void pass(std::chrono::seconds time) {
    wall += time;
    steady += time;
  }
  Options options(std::vector<std::string>* said = nullptr) {
    Options o;
    o.clocks.wall = [this] { return wall; };
    o.clocks.steady = [this] { return steady; };
    if (said) o.say = [said](const std::string& line) { said->push_back(line); };
    return o;
  }
};

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/journal_test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/power.journal";
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::unique_ptr<Journal> open(Options options) {
    std::string why;
    auto journal = Journal::open(path_, std::move(options), &why);
    EXPECT_TRUE(journal) << why;
    return journal;
  }
  std::string contents(const std::string& path) { return upstest::fileText(path); }
  std::vector<std::string> events(const std::string& path) {
    std::vector<Entry> entries;
    std::string why;
    EXPECT_TRUE(readJournal(path, 0, &entries, nullptr, &why)) << why;
    std::vector<std::string> names;
    for (const Entry& e : entries) names.push_back(eventName(e.event));
    return names;
  }

  std::string dir_, path_;
  FakeClock clock_;
};

Observation seen(Event event, std::string reason = "") {
  Observation o;
  o.event = event;
  o.reason = std::move(reason);
  return o;
}

TEST(JournalLine, AReasonOfAnyBytesComesBackWhileTheLineIsPrintableAscii) {
  Entry entry;
  entry.time = 1796800000;
  entry.event = Event::OnMains;
  entry.lineVoltage = 229.5;
  entry.batterySpell = 61;
  entry.reason = "say \"x\" \\ \n\x1b[2J caf\xc3\xa9 \xff";
  const std::string line = entryLine(entry);
  for (size_t i = 0; i + 1 < line.size(); ++i)
    EXPECT_TRUE(line[i] >= 0x20 && line[i] < 0x7f) << i << " in " << line;
  Entry back;
  std::string why;
  ASSERT_TRUE(parseEntry(line.substr(0, line.size() - 1), &back, &why)) << why;
  EXPECT_EQ(back.reason, entry.reason);
  EXPECT_EQ(back.lineVoltage, entry.lineVoltage);
  EXPECT_EQ(back.batterySpell, entry.batterySpell);
  EXPECT_EQ(entryLine(back), line);
}

TEST_F(JournalTest, ATornLastLineIsCutOffAndSaidOnce) {
  {
    auto journal = open(clock_.options());
    journal->record(seen(Event::OnMains));
    journal->record(seen(Event::OnBattery, "line voltage 0 V, below 100 V"));
  }
  // As a watcher killed in the middle of an append leaves it.
  std::ofstream(path_, std::ios::app) << "2026-12-09T10:00:00Z on-ma";
  std::vector<std::string> said;
  auto journal = open(clock_.options(&said));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("last line was cut short"), std::string::npos) << said[0];
  EXPECT_EQ(journal->ledger().state().power, Power::Unknown);
  clock_.pass(30s);
  EXPECT_TRUE(journal->record(seen(Event::OnMains)));
  journal->stop();
  EXPECT_EQ(events(path_), (std::vector<std::string>{"on-mains", "on-battery", "unknown", "on-mains", "unknown"}));
  EXPECT_EQ(contents(path_).back(), '\n');
  EXPECT_EQ(journal->ledger().stats().lastTransferReason, "line voltage 0 V, below 100 V");
}

TEST_F(JournalTest, RotationKeepsTheTotalsAndThreeFiles) {
  Options options = clock_.options();
  options.maxSize = 4096;
  auto journal = open(options);
  const int outages = 200;
  for (int i = 0; i < outages; ++i) {
    clock_.pass(100s);
    journal->record(seen(Event::OnBattery, "outage " + std::to_string(i)));
    clock_.pass(std::chrono::seconds(1 + i % 7));
    journal->record(seen(Event::OnMains));
  }
  const Stats& stats = journal->ledger().stats();
  EXPECT_EQ(stats.transfers, static_cast<std::uint64_t>(outages));
  Seconds total = 0;
  for (int i = 0; i < outages; ++i) total += 1 + i % 7;
  EXPECT_EQ(stats.batterySeconds, total);
  EXPECT_EQ(stats.longestBatterySpell, 7);
  EXPECT_EQ(stats.lastTransferReason, "outage 199");
  struct stat info;
  for (const char* suffix : {"", ".1", ".2", ".3"}) {
    ASSERT_EQ(::stat((path_ + suffix).c_str(), &info), 0) << suffix;
    EXPECT_LE(info.st_size, 4096) << suffix;
  }
  EXPECT_NE(::stat((path_ + ".4").c_str(), &info), 0);
  // A reader of the file alone and a writer opening it again agree.
  Ledger read;
  std::string why;
  ASSERT_TRUE(readJournal(path_, 0, nullptr, &read, &why)) << why;
  EXPECT_EQ(read.stats().batterySeconds, total);
  EXPECT_EQ(read.stats().transfers, stats.transfers);
  EXPECT_EQ(read.stats().firstEntry, stats.firstEntry);
  // Another writer finds the file rotated under it and reopens it.
  auto other = open(clock_.options());
  for (int i = 0; i < 40; ++i) {
    clock_.pass(10s);
    journal->record(seen(i % 2 ? Event::OnMains : Event::OnBattery));
  }
  other->refresh();
  EXPECT_EQ(other->ledger().stats().transfers, stats.transfers);
  EXPECT_EQ(other->ledger().stats().batterySeconds, stats.batterySeconds);
}

TEST_F(JournalTest, AClockStepGivesNoNegativeSpell) {
  auto journal = open(clock_.options());
  journal->record(seen(Event::OnMains));
  journal->record(seen(Event::OnBattery));
  // The clock is set back an hour while 30 s pass.
  clock_.wall -= 1h;
  clock_.pass(30s);
  EXPECT_EQ(journal->batterySpell(), 30);
  journal->record(seen(Event::OnMains));
  EXPECT_EQ(journal->ledger().stats().lastBatterySpell, 30);
  // A writer that did not see the start has only the wall clock, at least 0.
  journal->record(seen(Event::OnBattery));
  FakeClock late = clock_;
  late.wall -= 1h;
  auto other = open(late.options());
  EXPECT_EQ(other->batterySpell(), 0);
  other->record(seen(Event::OnMains));
  journal->refresh();
  EXPECT_EQ(journal->ledger().stats().batterySeconds, 30);
  Ledger read;
  std::string why;
  ASSERT_TRUE(readJournal(path_, 0, nullptr, &read, &why)) << why;
  EXPECT_EQ(read.stats().batterySeconds, 30);
  EXPECT_EQ(read.stats().transfers, 2u);
}

TEST_F(JournalTest, AForeignNewerOrOddFileIsRefusedAndLeftAsItIs) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {{"hello\n", "is not a power journal"},
               {"#zqups-power-journal 2\n2030-01-01T00:00:00Z on-mains\n", "newer format (version 2)"}};
  for (const auto& c : cases) {
    std::ofstream(path_, std::ios::trunc) << c.text;
    std::string why;
    EXPECT_FALSE(Journal::open(path_, clock_.options(), &why));
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_FALSE(readJournal(path_, 0, nullptr, nullptr, &why));
    EXPECT_EQ(contents(path_), c.text);
  }
  ::unlink(path_.c_str());
  ASSERT_EQ(::symlink((dir_ + "/elsewhere").c_str(), path_.c_str()), 0);
  std::string why;
  EXPECT_FALSE(Journal::open(path_, clock_.options(), &why));
  EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;
  ::unlink(path_.c_str());
  ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);
  EXPECT_FALSE(Journal::open(path_, clock_.options(), &why));
  EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
}

TEST_F(JournalTest, TwoWritersRecordEachTransitionOnceAndTheLastToStopEndsIt) {
  auto first = open(clock_.options());
  auto second = open(clock_.options());
  for (auto* journal : {first.get(), second.get()}) journal->record(seen(Event::OnMains));
  clock_.pass(5s);
  EXPECT_TRUE(first->record(seen(Event::OnBattery)));
  EXPECT_FALSE(second->record(seen(Event::OnBattery)));
  clock_.pass(1s);
  // A flap that the second saw late: both halves are the first's.
  EXPECT_TRUE(first->record(seen(Event::OnMains)));
  EXPECT_FALSE(second->record(seen(Event::OnMains)));
  clock_.pass(20s);
  EXPECT_TRUE(first->record(seen(Event::OnBattery)));
  EXPECT_TRUE(first->record(seen(Event::OnMains)));
  EXPECT_FALSE(second->record(seen(Event::OnBattery)));
  EXPECT_FALSE(second->record(seen(Event::OnMains)));
  first->stop();
  clock_.pass(20s);
  EXPECT_TRUE(second->record(seen(Event::OnBattery)));
  EXPECT_EQ(second->ledger().stats().transfers, 3u);
  second->stop();
  EXPECT_EQ(events(path_), (std::vector<std::string>{"on-mains", "on-battery", "on-mains", "on-battery",
                                                     "on-mains", "on-battery", "unknown"}));
}

// A server records FSD on its network thread while its readings record
// their events on another (ThreadSanitizer sees any race).
TEST_F(JournalTest, RecordsFromTwoThreadsAtOnce) {
  auto journal = open(Options());
  std::thread fsd([&] {
    for (int i = 0; i < 50; ++i) journal->record(seen(i % 2 ? Event::Fsd : Event::BatteryOk));
  });
  for (int i = 0; i < 50; ++i) {
    journal->take({});
    journal->record(seen(i % 2 ? Event::OnBattery : Event::OnMains));
    (void)journal->stats();
  }
  fsd.join();
  journal->stop();
  EXPECT_EQ(events(path_).back(), "unknown");
}

}  // namespace
