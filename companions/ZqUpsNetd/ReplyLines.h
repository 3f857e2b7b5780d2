// The reply side of the network UPS protocol on plain bytes: lines of
// words, quoted values cut to what clients read, and numbers.
#ifndef ZQUPSNETD_REPLYLINES_H
#define ZQUPSNETD_REPLYLINES_H

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zqnetd {

// A reply line's bytes, its LF included; clients read lines into 512 bytes.
constexpr size_t kMaxReplyLine = 511;

using Line = std::initializer_list<std::string_view>;

// Appends `words` with a space between each two.
void appendWords(std::string* out, Line words);
// Appends `text` in double quotes, '\' and '"' escaped, at most `room`
// bytes in all: a longer text is cut, never inside an escape.
void appendQuoted(std::string* out, std::string_view text, size_t room);
// Appends `head` and the quoted `value` as one line, its LF included, cut
// to fit kMaxReplyLine.
void appendValueLine(std::string* out, Line head, std::string_view value);

// A number with a decimal point and no exponent: "230", "0.45", "-14.2".
std::string numberText(double value);

}  // namespace zqnetd

#endif
