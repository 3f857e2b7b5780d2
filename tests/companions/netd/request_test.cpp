// ZqUpsNetd's request side on bytes: lines cut and bounded, words split,
// passwords that clients can send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Request.h"

namespace zqnetd {
namespace {

TEST(Request, SplitsWordsWithQuotesAndEscapes) {
  const struct {
    std::string line;
    Parse parse;
    std::vector<std::string> words;
  } cases[] = {
      {"GET VAR ups ups.status", Parse::Words, {"GET", "VAR", "ups", "ups.status"}},
      {"  LIST\tUPS \r", Parse::Words, {"LIST", "UPS"}},
      {"SET VAR ups battery.date \"2030 01\"", Parse::Words,
       {"SET", "VAR", "ups", "battery.date", "2030 01"}},
      {R"(PASSWORD "a\"b\\c")", Parse::Words, {"PASSWORD", "a\"b\\c"}},
      {R"(USERNAME a\ b)", Parse::Words, {"USERNAME", "a b"}},
      {"PASSWORD \"\"", Parse::Words, {"PASSWORD", ""}},
      {"x\"y z\"w", Parse::Words, {"xy zw"}},
      {"", Parse::Empty, {}},
      {" \r", Parse::Empty, {}},
      {"GET \"open", Parse::Invalid, {}},
      {"GET x\\", Parse::Invalid, {}},
      {"PASSWORD caf\xc3\xa9 \\\xe2\x82\xac", Parse::Words, {"PASSWORD", "caf\xc3\xa9", "\xe2\x82\xac"}},
      {"GET caf\xc3(", Parse::Invalid, {}},
      {"GET \xc0\xaf", Parse::Invalid, {}},
      {"GET \xff", Parse::Invalid, {}},
      {"GET \x7f", Parse::Invalid, {}},
      {std::string("GET \0x", 6), Parse::Invalid, {}},
      {"GET \x1b[2J", Parse::Invalid, {}},
      {"GET \\\x01", Parse::Invalid, {}},
  };
  Request request;
  for (const auto& c : cases) {
    EXPECT_EQ(request.parse(c.line), c.parse) << c.line;
    if (c.parse == Parse::Words) {
      EXPECT_EQ(std::vector<std::string>(request.words().begin(), request.words().end()), c.words)
          << c.line;
    }
  }
}

TEST(Request, PasswordsOnlyThatClientsCanSend) {
  EXPECT_EQ(unsendablePassword("s3cret-p\xc3\xa4ss"), "");
  // upsmon makes "PASSWORD %s\n" in 512 bytes.
  EXPECT_EQ(unsendablePassword(std::string(501, 'a')), "");
  for (const std::string& password :
       {std::string(), std::string("a\0b", 3), std::string("a b"), std::string("a\"b"),
        std::string("a\\b"), std::string("a\tb"), std::string("a\x01"), std::string("\xff"),
        std::string(502, 'a'), std::string(503, 'a')})
    EXPECT_NE(unsendablePassword(password), "") << password;
}

TEST(Request, FramerCutsLinesAndBoundsThem) {
  LineFramer framer;
  std::string line;
  framer.append("VER\r\nLIST ", 10);
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, "VER\r");
  EXPECT_EQ(framer.next(&line), LineFramer::Next::NeedMore);
  framer.append("UPS\n\n", 5);
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, "LIST UPS");
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, "");

  const std::string longest(kMaxLine, 'a');
  framer.append(longest.data(), longest.size());
  EXPECT_EQ(framer.next(&line), LineFramer::Next::NeedMore);
  framer.append("\n", 1);
  ASSERT_EQ(framer.next(&line), LineFramer::Next::Line);
  EXPECT_EQ(line, longest);

  // Too long as soon as the bytes pass the bound, LF or not.
  LineFramer unended, ended;
  unended.append(longest.data(), longest.size());
  unended.append("a", 1);
  EXPECT_EQ(unended.next(&line), LineFramer::Next::TooLong);
  const std::string over = longest + "a\nVER\n";
  ended.append(over.data(), over.size());
  EXPECT_EQ(ended.next(&line), LineFramer::Next::TooLong);
}

}  // namespace
}  // namespace zqnetd
