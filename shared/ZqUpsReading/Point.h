// The UPS's data points as the companions name them, and the bytes a
// read delivers decoded into typed values.  The one place where a point's
// bytes are read as a value or a value is turned into bytes.
#ifndef ZQUPSREADING_POINT_H
#define ZQUPSREADING_POINT_H

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zqread {

using Bytes = std::vector<uint8_t>;

enum class Kind { Text, Float, Int, Version, Hex };

struct Point {
  std::string name;  // the catalogue's name, or "0x2000:0x99" for an unknown point
  uint32_t index = 0;
  uint32_t offset = 0;
  uint32_t readLength = 0;
  Kind kind = Kind::Hex;
  std::string unit;
};

struct Value {
  Kind kind = Kind::Hex;
  // Text: up to the first NUL (bytes as sent, control characters
  // included); Version: "major.minor.build"; Float: the shortest decimal
  // that reads back as the float ("230", "0.45"); Int: decimal; Hex: the
  // bytes in lower-case hex digits.
  std::string text;
  // Float and Int: the number (a Float as its shortest decimal reads);
  // NaN for the other kinds.
  double number = std::nan("");
};

// "text", "float", "int", "version", "hex".
const char* kindName(Kind kind);
std::optional<Kind> kindNamed(const std::string& name);
std::vector<std::string> kindNames();

// The catalogue's points, in the report's order.
const std::vector<Point>& catalogue();
// A catalogue name, or INDEX:OFFSET (each hex with 0x, or decimal); a
// point the catalogue does not know reads as `unknownAs`.  Empty when
// `text` is neither.
std::optional<Point> resolvePoint(const std::string& text, Kind unknownAs);

// The bytes a read delivered as a value; false (with `error`) when they do
// not hold one: a number's reply shorter than 4 bytes, a float that is not
// finite.
bool decode(const Point& point, const Bytes& bytes, Value* value, std::string* error);
// `text` as the bytes to write to `point`; false (with `error`) when it
// does not read as the point's type or does not fit.
bool encode(const Point& point, const std::string& text, Bytes* bytes, std::string* error);

// A float as the shortest plain decimal that reads back as the same
// float: 230, 27.5, 0.45.
std::string shortestDecimal(float value);

}  // namespace zqread

#endif
