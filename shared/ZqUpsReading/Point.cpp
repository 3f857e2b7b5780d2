#include "Point.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "ZqUpsPoints.h"

namespace zqread {

namespace {

const struct {
  Kind kind;
  const char* name;
} kKinds[] = {{Kind::Text, "text"},
              {Kind::Float, "float"},
              {Kind::Int, "int"},
              {Kind::Version, "version"},
              {Kind::Hex, "hex"}};

Kind kindOf(UPSPointType type) {
  switch (type) {
    case UPS_POINT_TEXT:
      return Kind::Text;
    case UPS_POINT_FLOAT:
      return Kind::Float;
    case UPS_POINT_INTEGER:
      return Kind::Int;
    case UPS_POINT_VERSION:
      return Kind::Version;
  }
  return Kind::Hex;
}

Point fromRow(const UPSPoint& row) {
  return Point{row.name, UPS_POINTS_INDEX, row.offset, row.readLength, kindOf(row.type), row.unit};
}

// A whole string as an unsigned number: hex after 0x, else decimal.
template <typename Number>
bool parseNumber(const std::string& text, Number* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* first = text.data() + (hex ? 2 : 0);
  const char* last = text.data() + text.size();
  const auto result = std::from_chars(first, last, *value, hex ? 16 : 10);
  return first != last && result.ec == std::errc() && result.ptr == last;
}

// A whole string as a signed decimal; a leading '+' is allowed, as people
// write it.
template <typename Number>
bool parseSigned(const std::string& text, Number* value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-') ++first;
  const auto result = std::from_chars(first, last, *value);
  return first != last && result.ec == std::errc() && result.ptr == last;
}

std::string hexWord(uint32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

std::string hexBytes(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

bool parseHexBytes(std::string text, Bytes* bytes) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() % 2 != 0) return false;
  for (size_t at = 0; at < text.size(); at += 2) {
    uint8_t byte = 0;
    const auto result = std::from_chars(text.data() + at, text.data() + at + 2, byte, 16);
    if (result.ec != std::errc() || result.ptr != text.data() + at + 2) return false;
    bytes->push_back(byte);
  }
  return true;
}

bool parseVersion(const std::string& text, Bytes* bytes) {
  const size_t first = text.find('.');
  const size_t second = first == std::string::npos ? first : text.find('.', first + 1);
  if (second == std::string::npos) return false;
  uint8_t major = 0, minor = 0;
  uint16_t build = 0;
  if (!parseNumber(text.substr(0, first), &major) ||
      !parseNumber(text.substr(first + 1, second - first - 1), &minor) ||
      !parseNumber(text.substr(second + 1), &build))
    return false;
  bytes->assign({major, minor, 0, 0});
  std::memcpy(bytes->data() + 2, &build, sizeof build);
  return true;
}

template <typename Word>
Bytes wordBytes(Word word) {
  Bytes bytes(sizeof word);
  std::memcpy(bytes.data(), &word, sizeof word);
  return bytes;
}

template <typename Word>
Word wordOf(const Bytes& bytes) {
  Word word;
  std::memcpy(&word, bytes.data(), sizeof word);
  return word;
}

}  // namespace

const char* kindName(Kind kind) {
  for (const auto& known : kKinds)
    if (known.kind == kind) return known.name;
  return "hex";
}

std::optional<Kind> kindNamed(const std::string& name) {
  for (const auto& known : kKinds)
    if (name == known.name) return known.kind;
  return std::nullopt;
}

std::vector<std::string> kindNames() {
  std::vector<std::string> names;
  for (const auto& known : kKinds) names.push_back(known.name);
  return names;
}

const std::vector<Point>& catalogue() {
  static const std::vector<Point> points = [] {
    std::vector<Point> rows;
    for (int i = 0; i < UPS_POINT_COUNT; ++i) rows.push_back(fromRow(UPSPoints()[i]));
    return rows;
  }();
  return points;
}

std::optional<Point> resolvePoint(const std::string& text, Kind unknownAs) {
  if (const UPSPoint* row = UPSPointByName(text.c_str())) return fromRow(*row);
  const size_t colon = text.find(':');
  uint32_t index = 0, offset = 0;
  if (colon == std::string::npos || !parseNumber(text.substr(0, colon), &index) ||
      !parseNumber(text.substr(colon + 1), &offset))
    return std::nullopt;
  if (const UPSPoint* row = UPSPointAt(index, offset)) return fromRow(*row);
  const bool word = unknownAs == Kind::Float || unknownAs == Kind::Int || unknownAs == Kind::Version;
  return Point{hexWord(index) + ":" + hexWord(offset), index, offset,
               word ? UPS_POINT_WORD_LENGTH : UPS_POINT_TEXT_LENGTH, unknownAs, ""};
}

bool decode(const Point& point, const Bytes& bytes, Value* value, std::string* error) {
  value->kind = point.kind;
  value->number = std::nan("");
  if (point.kind == Kind::Text) {
    value->text.assign(bytes.begin(), std::find(bytes.begin(), bytes.end(), 0));
    return true;
  }
  if (point.kind == Kind::Hex) {
    value->text = hexBytes(bytes);
    return true;
  }
  if (bytes.size() < UPS_POINT_WORD_LENGTH) {
    *error = "reply holds " + std::to_string(bytes.size()) + " of 4 bytes";
    return false;
  }
  if (point.kind == Kind::Float) {
    const float number = wordOf<float>(bytes);
    if (!std::isfinite(number)) {
      *error = "reply holds no finite number";
      return false;
    }
    value->text = shortestDecimal(number);
    // The decimal, not the float widened to double, so that 0.45 stays 0.45.
    value->number = std::strtod(value->text.c_str(), nullptr);
  } else if (point.kind == Kind::Int) {
    const int32_t number = wordOf<int32_t>(bytes);
    value->text = std::to_string(number);
    value->number = number;
  } else {
    uint16_t build;
    std::memcpy(&build, bytes.data() + 2, sizeof build);
    value->text = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                  std::to_string(build);
  }
  return true;
}

bool encode(const Point& point, const std::string& text, Bytes* bytes, std::string* error) {
  bytes->clear();
  bool ok = true;
  switch (point.kind) {
    case Kind::Text:
      bytes->assign(text.begin(), text.end());
      bytes->push_back(0);
      if (bytes->size() > point.readLength) {
        *error = "a text of at most " + std::to_string(point.readLength - 1) + " bytes";
        return false;
      }
      return true;
    case Kind::Float: {
      float number = 0;
      ok = parseSigned(text, &number) && std::isfinite(number);
      *bytes = wordBytes(number);
      break;
    }
    case Kind::Int: {
      int32_t number = 0;
      ok = parseSigned(text, &number);
      *bytes = wordBytes(number);
      break;
    }
    case Kind::Version:
      ok = parseVersion(text, bytes);
      break;
    case Kind::Hex:
      ok = parseHexBytes(text, bytes) && bytes->size() <= point.readLength;
      break;
  }
  if (!ok) *error = std::string("a value of type ") + kindName(point.kind);
  return ok;
}

std::string shortestDecimal(float value) {
  char digits[64];
  const auto result =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
  return std::string(digits, result.ptr);
}

}  // namespace zqread
