// The simulator's profile format: values as encoded for the client, the
// errors a person makes when writing one by hand (with their line), fault
// rules, timed steps as the store applies them, and the shipped profiles
// against the point catalogue.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "FakeUpsService.h"
#include "Profile.h"
#include "Store.h"
#include "ZqUpsPoints.h"

using namespace zqsim;
using upstest::bytesOf;

namespace {

Profile parsed(const std::string& text) {
  Profile profile;
  std::string error;
  EXPECT_TRUE(parseProfile(text, "t.profile", &profile, &error)) << error;
  return profile;
}

std::string errorOf(const std::string& text) {
  Profile profile;
  std::string error;
  EXPECT_FALSE(parseProfile(text, "t.profile", &profile, &error)) << text;
  return error;
}

Bytes valueOf(Store& store, uint32_t offset) {
  Bytes value;
  EXPECT_EQ(store.read({0x2000, offset}, &value), 0u) << offset;
  return value;
}

}  // namespace

TEST(ProfileValues, EachTypeIsEncodedAsTheClientReadsIt) {
  Store store(
      parsed("# comment line\n"
             "\n"
             "0x2000:1   text    \"Zq \\\"A\\\" #1\\x41\"   # trailing comment\n"
             "8192:0x06  float   230.5\n"
             "0x2000:26  int     -7\n"
             "0x2000:010 int     010\n"
             "0x2000:27  int     0xFFFFFFFF\n"
             "0x2000:49  version 1.2.770\n"
             "0x2000:64  hex     01 a0ff 7E\n"));
  EXPECT_EQ(valueOf(store, 1), (Bytes{'Z', 'q', ' ', '"', 'A', '"', ' ', '#', '1', 'A', 0}));
  EXPECT_EQ(valueOf(store, 6), bytesOf(230.5f));
  EXPECT_EQ(valueOf(store, 26), bytesOf<int32_t>(-7));
  EXPECT_EQ(valueOf(store, 10), bytesOf<int32_t>(10)) << "a leading zero is not octal";
  EXPECT_EQ(valueOf(store, 27), bytesOf<int32_t>(-1));
  EXPECT_EQ(valueOf(store, 49), (Bytes{1, 2, 0x02, 0x03}));
  EXPECT_EQ(valueOf(store, 64), (Bytes{0x01, 0xa0, 0xff, 0x7e}));
}

TEST(ProfileErrors, NameTheLineAndTheReason) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"0x2000:1 text \"ok\"\n\n0x2000:2 text unquoted\n",
       "t.profile:3: text values are written in double quotes"},
      {"0x2000:1 text \"open\n", "t.profile:1: unterminated text"},
      {"0x2000:1 float inf\n", "t.profile:1: 'inf' is not a valid float value"},
      {"0x2000:1 int 2147483648\n", "t.profile:1: '2147483648' is not a valid int value"},
      {"0x2000:1 version 1.256.0\n", "t.profile:1: '1.256.0' is not a valid version value"},
      {"0x2000:1 hex 123\n", "t.profile:1: hex wants pairs of hex digits, e.g. 01 a0 ff"},
      {"0x2000:1 int readonly\n", "t.profile:1: expected a value before 'readonly'"},
      {"0x1:0x100000000 int 1\n",
       "t.profile:1: expected INDEX:OFFSET, 'at' or 'fault', got '0x1:0x100000000'"},
      {"0x2000:1 int 1\n0x2000:0x1 int 2\n",
       "t.profile:2: point set twice in this step (first on line 1)"},
      {"at 10s\nat 5s\n", "t.profile:2: steps must come in rising order of time"},
      {"\n\nfault 0x2000:1=explode\n",
       "t.profile:3: unknown fault 'explode' (status, delay, close, partial, bytewise, overlong, "
       "hang, none)"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.text), c.message) << c.text;
}

TEST(ProfileErrors, StrayNulBytesAreAnErrorNotAHang) {
  const std::string texts[] = {std::string("\0", 1), std::string("0x2000:1 int 1\0\n", 16),
                               std::string("\n0x2000:1 \0int 1\n", 18)};
  for (const std::string& text : texts) {
    const std::string error = errorOf(text);
    EXPECT_EQ(error.compare(0, 10, "t.profile:"), 0) << error;
  }
}

TEST(ProfileErrors, AnEndlessLineOrAReadErrorIsAnErrorNotAShortProfile) {
  std::ifstream zeros("/dev/zero");
  Profile profile;
  std::string error;
  EXPECT_FALSE(parseProfile(zeros, "/dev/zero", &profile, &error));
  EXPECT_EQ(error, "/dev/zero:1: line longer than 1 MiB");
  std::istringstream broken("0x2000:1 int 1\n");
  broken.setstate(std::ios::badbit);
  EXPECT_FALSE(parseProfile(broken, "t.profile", &profile, &error));
  EXPECT_EQ(error, "t.profile:1: read error");
}

TEST(FaultRules, ParseEveryKindAndRejectMissingOrStrayArguments) {
  using Kind = Fault::Kind;
  const struct {
    const char* rule;
    Fault fault;
  } good[] = {
      {"0x2000:0x35=status:0xECA60102", {Kind::Status, 0xECA60102, 0, 0}},
      {"0x2000:1=delay:2s", {Kind::Delay, 0, 2000, 0}},
      {"0x2000:1=partial", {Kind::Partial, 0, 0, Fault::kHalf}},
      {"0x2000:1=partial:0", {Kind::Partial, 0, 0, 0}},
      {"0x2000:1=bytewise", {Kind::Bytewise, 0, 1, 0}},
      {"0x2000:1=overlong", {Kind::Overlong, 0, 0, 1}},
  };
  for (const auto& c : good) {
    FaultDef def;
    std::string error;
    ASSERT_TRUE(parseFaultRule(c.rule, &def, &error)) << c.rule << ": " << error;
    EXPECT_EQ(def.fault, c.fault) << c.rule;
  }
  for (const char* bad : {"0x2000:1", "0x2000=close", "0x2000:1=status", "0x2000:1=status:-1",
                          "0x2000:1=delay", "0x2000:1=delay:fast", "0x2000:1=close:1",
                          "0x2000:1=hang:5s", "0x2000:1=overlong:0", "0x2000:1=overlong:70000"}) {
    FaultDef def;
    std::string error;
    EXPECT_FALSE(parseFaultRule(bad, &def, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(TimedSteps, ValuesAndFaultsChangeWhenTheirTimeComes) {
  Store store(
      parsed("0x2000:6 float 230.0\n"
             "0x2000:26 int 40\n"
             "fault 0x2000:53=delay:100ms\n"
             "at 1500ms\n"
             "0x2000:6 float 0\n"
             "fault 0x2000:53=none\n"
             "fault 0x2000:26=hang\n"
             "at 3\n"
             "0x2000:26 int 12\n"));
  EXPECT_EQ(store.faultAt({0x2000, 53}).kind, Fault::Kind::Delay);
  store.advanceTo(1499);
  EXPECT_EQ(valueOf(store, 6), bytesOf(230.0f));
  store.advanceTo(1500);
  EXPECT_EQ(valueOf(store, 6), bytesOf(0.0f));
  EXPECT_EQ(valueOf(store, 26), bytesOf<int32_t>(40))
      << "a point the step leaves out keeps its value";
  EXPECT_EQ(store.faultAt({0x2000, 53}).kind, Fault::Kind::None);
  EXPECT_EQ(store.faultAt({0x2000, 26}).kind, Fault::Kind::Hang);
  store.advanceTo(60000);
  EXPECT_EQ(valueOf(store, 26), bytesOf<int32_t>(12));
}

TEST(TimedSteps, CommandLineFaultsHoldOverTheProfilesSteps) {
  Store store(parsed("fault 0x2000:1=close\nat 1s\nfault 0x2000:1=hang\n"));
  FaultDef def;
  std::string error;
  ASSERT_TRUE(parseFaultRule("0x2000:1=status:7", &def, &error));
  store.overrideFault(def);
  store.advanceTo(5000);
  EXPECT_EQ(store.faultAt({0x2000, 1}).kind, Fault::Kind::Status);
}

// Every shipped profile serves each catalogue point in the catalogue's
// shape: a NUL-ended text within its read length, or one 4-byte word.
TEST(ShippedProfiles, ServeTheCataloguesPointsInTheirShape) {
  for (const char* name : {"default", "on-battery", "faulty", "power-cut-drill"}) {
    const std::string path = std::string(ZQUPSSIM_PROFILES) + "/" + name + ".profile";
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    Profile profile;
    std::string error;
    ASSERT_TRUE(parseProfile(in, path, &profile, &error)) << error;
    Store store(profile);
    for (int i = 0; i < UPS_POINT_COUNT; ++i) {
      const UPSPoint& point = UPSPoints()[i];
      Bytes value;
      EXPECT_EQ(store.read({UPS_POINTS_INDEX, point.offset}, &value), 0u)
          << name << ' ' << point.name;
      if (point.type == UPS_POINT_TEXT) {
        EXPECT_LE(value.size(), point.readLength) << name << ' ' << point.name;
        EXPECT_TRUE(!value.empty() && value.back() == 0) << name << ' ' << point.name;
      } else {
        EXPECT_EQ(value.size(), 4u) << name << ' ' << point.name;
      }
    }
  }
  Profile builtIn;
  std::string error;
  EXPECT_TRUE(parseProfile(defaultProfileText(), "built-in", &builtIn, &error)) << error;
}
