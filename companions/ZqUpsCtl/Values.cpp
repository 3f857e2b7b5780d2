#include "Values.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace zqctl {

namespace {

std::string hexEscape(const char* prefix, unsigned value, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xf];
  return text;
}

// The length of the UTF-8 sequence at `at`, 0 when there is none.
size_t utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint32_t least = 0;
  if (lead >= 0xc2 && lead <= 0xdf) length = 2, least = 0x80;
  else if (lead >= 0xe0 && lead <= 0xef) length = 3, least = 0x800;
  else if (lead >= 0xf0 && lead <= 0xf4) length = 4, least = 0x10000;
  else return 0;
  if (at + length > text.size()) return 0;
  uint32_t code = lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    code = code << 6 | (byte(at + i) & 0x3f);
  }
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  return code < least || code > 0x10ffff || surrogate ? 0 : length;
}

}  // namespace

std::string escapeText(const std::string& text) {
  std::string escaped;
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<uint8_t>(text[at]);
    if (byte == '\\') {
      escaped += "\\\\";
    } else if (byte == '\n') {
      escaped += "\\n";
    } else if (byte == '\r') {
      escaped += "\\r";
    } else if (byte == '\t') {
      escaped += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      escaped += hexEscape("\\x", byte, 2);
    } else if (byte >= 0x80) {
      const size_t length = utf8Length(text, at);
      if (length == 0) {
        escaped += hexEscape("\\x", byte, 2);
      } else if (byte == 0xc2 && static_cast<uint8_t>(text[at + 1]) < 0xa0) {
        escaped += hexEscape("\\u", static_cast<uint8_t>(text[at + 1]), 4);  // C1
        at += length;
        continue;
      } else {
        escaped.append(text, at, length);
        at += length;
        continue;
      }
    } else {
      escaped += static_cast<char>(byte);
    }
    ++at;
  }
  return escaped;
}

std::string plainText(const zqread::Value& value) {
  return value.kind == zqread::Kind::Text ? escapeText(value.text) : value.text;
}

nlohmann::json jsonOf(const zqread::Value& value) {
  if (std::isnan(value.number)) return value.text;
  // nlohmann writes every double with a fraction (230.0); a whole number
  // as an integer prints as the decimal that `get` prints.
  if (std::trunc(value.number) == value.number && std::fabs(value.number) < 9.0e15)
    return static_cast<int64_t>(value.number);
  return value.number;
}

std::string jsonText(const nlohmann::json& json) {
  const std::string dumped = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // The dump is valid UTF-8 in which nlohmann escaped only C0; DEL and the
  // C1 characters (0xc2 0x80..0x9f) occur only inside strings.
  std::string text;
  for (size_t at = 0; at < dumped.size(); ++at) {
    const auto byte = static_cast<uint8_t>(dumped[at]);
    const auto next = at + 1 < dumped.size() ? static_cast<uint8_t>(dumped[at + 1]) : 0;
    if (byte == 0x7f) {
      text += "\\u007f";
    } else if (byte == 0xc2 && next >= 0x80 && next < 0xa0) {
      text += hexEscape("\\u", next, 4);
      ++at;
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text;
}

std::string shortestNumber(double value) {
  if (std::trunc(value) == value && std::fabs(value) < 1e15)
    return std::to_string(static_cast<int64_t>(value));
  char digits[64];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return std::string(digits, end);
}

}  // namespace zqctl
