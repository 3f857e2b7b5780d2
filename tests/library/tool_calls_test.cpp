// The tool's own calls, linked in without its main(): which command lines
// ask for stress mode, and how the battery hardware version prints.
#include "ZqUpsTestmain.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

bool stressFor(std::vector<std::string> args, int argc) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return GetStresstestEnabled(argc, argv.data());
}

bool stressFor(const std::vector<std::string>& args) {
  return stressFor(args, static_cast<int>(args.size()));
}

std::string printed(const TVqDevice_Version& version) {
  std::ostringstream out;
  out << &version;
  return out.str();
}

}  // namespace

TEST(StressSwitch, ExactDashOrSlashSAnywhereSelectsIt) {
  EXPECT_TRUE(stressFor({"ZqUpsTest", "-s"}));
  EXPECT_TRUE(stressFor({"ZqUpsTest", "/s"}));
  EXPECT_TRUE(stressFor({"ZqUpsTest", "x", "y", "/s"}));
  EXPECT_TRUE(stressFor({"-s"})) << "the program name counts as well";
  EXPECT_TRUE(stressFor({"/s", "-S"}));
}

TEST(StressSwitch, NearMissesDoNotSelectIt) {
  for (const char* arg : {"-S", "/S", "--s", "-sx", "/sx", "-s ", " -s", "s", "/", "-", "", "//s"})
    EXPECT_FALSE(stressFor({"ZqUpsTest", arg})) << '"' << arg << '"';
  EXPECT_FALSE(stressFor({"ZqUpsTest"}));
}

TEST(StressSwitch, OnlyTheFirstArgcArgumentsAreLookedAt) {
  EXPECT_FALSE(stressFor({"ZqUpsTest", "-s"}, 1));
  EXPECT_FALSE(stressFor({"-s"}, 0));
  EXPECT_FALSE(stressFor({"-s"}, -1));
  EXPECT_FALSE(GetStresstestEnabled(2, nullptr));
}

TEST(VersionRecord, FieldsPrintAsDecimalNumbersNotCharacters) {
  EXPECT_EQ(printed({1, 2, 3}), "1.2.3");
  EXPECT_EQ(printed({0x41, 0x0A, 0x3039}), "65.10.12345");
  EXPECT_EQ(printed({0, 0, 0}), "0.0.0");
  EXPECT_EQ(printed({255, 255, 65535}), "255.255.65535");
}

TEST(VersionRecord, PrintsDecimalOnAHexStreamAndLeavesItsFormatAlone) {
  std::ostringstream out;
  out << std::hex << std::showbase;
  const TVqDevice_Version version = {10, 11, 4660};
  out << &version << ' ' << 255u;
  EXPECT_EQ(out.str(), "10.11.4660 0xff");
}
