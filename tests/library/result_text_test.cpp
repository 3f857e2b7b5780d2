// Names and texts of result codes, one test per code family.
#include "ZqUpsResultText.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string textOf(uint32_t code) {
  char buffer[UPS_RESULT_TEXT_SIZE];
  return UPSResultText(code, buffer, sizeof buffer);
}

std::string systemText(int number, const char* name, const char* words) {
  return "system error " + std::to_string(number) + " (" + name + "): " + words;
}

struct LibraryCode {
  uint32_t code;
  const char* name;
};

const LibraryCode kLibraryCodes[] = {
    {UPS_OK, "UPS_OK"},
    {UPSERR_DATA_WITH_STATUS, "UPSERR_DATA_WITH_STATUS"},
    {UPSERR_NO_OUT_BUFFER, "UPSERR_NO_OUT_BUFFER"},
    {UPSERR_INVALID_PARAM, "UPSERR_INVALID_PARAM"},
    {UPSERR_SERVICE_REFUSED, "UPSERR_SERVICE_REFUSED"},
    {UPSERR_SERVICE_MISSING, "UPSERR_SERVICE_MISSING"},
    {UPS_STATUS_PRESET, "UPS_STATUS_PRESET"},
};

TEST(ResultText, LibraryCodesHaveTheirOwnNameAndText) {
  std::vector<std::string> texts;
  for (const LibraryCode& c : kLibraryCodes) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(UPSResultName(c.code), nullptr);
    EXPECT_STREQ(UPSResultName(c.code), c.name);
    const std::string text = textOf(c.code);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.rfind("service status 0x", 0), 0u) << text;
    EXPECT_NE(text.rfind("system error", 0), 0u) << text;
    for (const std::string& earlier : texts) EXPECT_NE(text, earlier);
    texts.push_back(text);
  }
  EXPECT_EQ(textOf(UPS_OK), "success");
  EXPECT_EQ(textOf(UPSERR_INVALID_PARAM), "invalid parameter");
  EXPECT_EQ(textOf(UPSERR_SERVICE_MISSING), "service socket missing (/tmp/UPS0)");
}

TEST(ResultText, SystemCodesNameTheirErrorNumber) {
  EXPECT_EQ(textOf(UPSERR_SYSTEM_BASE | ETIMEDOUT),
            systemText(ETIMEDOUT, "ETIMEDOUT", "connection timed out"));
  // The numbers the library itself reports, and those a connect meets.
  const struct {
    int number;
    const char* name;
  } used[] = {{ETIMEDOUT, "ETIMEDOUT"},   {ECONNRESET, "ECONNRESET"}, {EMSGSIZE, "EMSGSIZE"},
              {EPIPE, "EPIPE"},           {EBADMSG, "EBADMSG"},       {ENOENT, "ENOENT"},
              {ECONNREFUSED, "ECONNREFUSED"}, {EACCES, "EACCES"},     {EINTR, "EINTR"}};
  for (const auto& u : used) {
    const uint32_t code = UPSERR_SYSTEM_BASE | static_cast<uint32_t>(u.number);
    EXPECT_STREQ(UPSResultName(code), u.name);
    EXPECT_EQ(textOf(code).rfind(systemText(u.number, u.name, ""), 0), 0u) << textOf(code);
  }
  // A number without a name is still given, and has no name.
  EXPECT_EQ(textOf(UPSERR_SYSTEM_BASE | 0xFFFFu), "system error 65535");
  EXPECT_EQ(UPSResultName(UPSERR_SYSTEM_BASE | 0xFFFFu), nullptr);
  EXPECT_EQ(textOf(UPSERR_SYSTEM_BASE), "system error 0");
}

TEST(ResultText, ServiceStatusesAreGivenInHex) {
  EXPECT_EQ(textOf(0x5A000001u), "service status 0x5a000001");
  EXPECT_EQ(UPSResultName(0x5A000001u), nullptr);
  // Neighbours of the library's codes are the service's own.
  EXPECT_EQ(textOf(0xECA60103u), "service status 0xeca60103");
  EXPECT_EQ(textOf(0xECA80000u), "service status 0xeca80000");
  EXPECT_EQ(textOf(0xECA6FFFFu), "service status 0xeca6ffff");
  EXPECT_EQ(textOf(1u), "service status 0x1");
  EXPECT_EQ(textOf(0xFFFFFFFEu), "service status 0xfffffffe");
}

TEST(ResultText, BufferIsCutAndTerminated) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(UPSResultText(UPSERR_SERVICE_REFUSED, buffer, 5), buffer);
  EXPECT_STREQ(buffer, "serv");
  EXPECT_EQ(buffer[5], 'x');

  UPSResultText(UPSERR_SYSTEM_BASE | ETIMEDOUT, buffer, 1);
  EXPECT_STREQ(buffer, "");
  buffer[0] = 'x';
  EXPECT_EQ(UPSResultText(UPS_OK, buffer, 0), buffer);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(UPSResultText(UPS_OK, nullptr, 0), nullptr);
  EXPECT_EQ(UPSResultText(UPS_OK, nullptr, 16), nullptr);
}

TEST(ResultText, TextSizeHoldsEveryText) {
  char buffer[UPS_RESULT_TEXT_SIZE + 1];
  const auto fits = [&](uint32_t code) {
    return std::strlen(UPSResultText(code, buffer, sizeof buffer)) < UPS_RESULT_TEXT_SIZE;
  };
  for (uint32_t e = 0; e <= 0xFFFFu; ++e) ASSERT_TRUE(fits(UPSERR_SYSTEM_BASE | e)) << e;
  for (const LibraryCode& c : kLibraryCodes) EXPECT_TRUE(fits(c.code)) << c.name;
  EXPECT_TRUE(fits(0xFFFFFFFEu));
}

// Every thread gets the texts that one thread alone gets.
TEST(ResultText, ThreadsGetTheSameTexts) {
  const uint32_t codes[] = {UPS_OK, UPSERR_SERVICE_MISSING, UPSERR_SYSTEM_BASE | ETIMEDOUT,
                            UPSERR_SYSTEM_BASE | 0x1234u, 0x5A000001u};
  std::vector<std::string> expected;
  for (uint32_t code : codes) expected.push_back(textOf(code));
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < mismatches.size(); ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2000; ++round) {
        const size_t i = (t + static_cast<size_t>(round)) % expected.size();
        if (textOf(codes[i]) != expected[i]) ++mismatches[t];
      }
    });
  for (std::thread& thread : threads) thread.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
