#include "ReplyLines.h"

#include <charconv>
#include <cmath>

namespace zqnetd {

void appendWords(std::string* out, Line words) {
  bool first = true;
  for (const std::string_view word : words) {
    if (!first) *out += ' ';
    first = false;
    out->append(word.data(), word.size());
  }
}

void appendQuoted(std::string* out, std::string_view text, size_t room) {
  const size_t end = out->size() + room;
  *out += '"';
  for (char c : text) {
    const size_t size = (c == '\\' || c == '"') ? 2 : 1;
    if (out->size() + size + 1 > end) break;
    if (size == 2) *out += '\\';
    *out += c;
  }
  *out += '"';
}

void appendValueLine(std::string* out, Line head, std::string_view value) {
  const size_t start = out->size();
  appendWords(out, head);
  *out += ' ';
  appendQuoted(out, value, kMaxReplyLine - 1 - (out->size() - start));
  *out += '\n';
}

std::string numberText(double value) {
  if (!std::isfinite(value)) return "0";
  // Six decimals at most, so that a difference of two readings does not
  // print as 0.35000000000000003.
  if (std::fabs(value) < 1e9) value = std::round(value * 1e6) / 1e6;
  if (value == 0) value = 0;  // no "-0"
  char digits[400];
  const auto result = std::to_chars(digits, digits + sizeof digits, value,
                                    std::chars_format::fixed);
  return std::string(digits, result.ptr);
}

}  // namespace zqnetd
