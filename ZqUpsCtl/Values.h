// Data points as the command line names them, and their values as bytes,
// as plain text and as JSON.
#ifndef ZQUPSCTL_VALUES_H
#define ZQUPSCTL_VALUES_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zqctl {

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
  std::string plain;  // what `get` prints
  nlohmann::json json;
};

// "text", "float", "int", "version", "hex".
const char* kindName(Kind kind);
std::optional<Kind> kindNamed(const std::string& name);
std::vector<std::string> kindNames();

// The catalogue's points, in the report's order.
std::vector<Point> catalogue();
// A catalogue name, or INDEX:OFFSET (each hex with 0x, or decimal); a
// point the catalogue does not know reads as `unknownAs`.  Empty when
// `text` is neither.
std::optional<Point> resolvePoint(const std::string& text, Kind unknownAs);

// The bytes a read delivered as a value; false (with `error`) when a
// number's reply is too short to hold it.
bool decode(const Point& point, const Bytes& bytes, Value* value, std::string* error);
// `text` as the bytes to write to `point`; false (with `error`) when it
// does not read as the point's type or does not fit.
bool encode(const Point& point, const std::string& text, Bytes* bytes, std::string* error);

// A float as the shortest plain decimal that reads back as the same
// float: 230, 27.5, 0.45.
std::string shortestDecimal(float value);
// JSON text on one line; bytes that are not UTF-8 become U+FFFD.
std::string jsonText(const nlohmann::json& json);

}  // namespace zqctl

#endif
