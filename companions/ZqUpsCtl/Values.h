// How ZqUpsCtl shows what it read: values as plain text and as JSON, with
// every text that came from the service kept from acting on a terminal or
// on a reader of the output.
#ifndef ZQUPSCTL_VALUES_H
#define ZQUPSCTL_VALUES_H

#include <nlohmann/json.hpp>

#include <string>

#include "Point.h"

namespace zqctl {

// Control characters (C0, DEL, C1), bytes that are not UTF-8 and the
// backslash as backslash escapes (\n, \x1b, \u009b, \\); other UTF-8 as
// it is.  What was a text on one line stays one line.
std::string escapeText(const std::string& text);
// A value as `get` prints it: texts escaped.
std::string plainText(const zqread::Value& value);
// Numbers as JSON numbers in their shortest form (230, 27.5); texts as
// JSON strings.
nlohmann::json jsonOf(const zqread::Value& value);
// JSON on one line; bytes that are not UTF-8 become U+FFFD, and control
// characters of any kind, DEL included, are \u escapes.
std::string jsonText(const nlohmann::json& json);
// A double in its shortest form: 230, 0.45, 1000000, 1e+308.
std::string shortestNumber(double value);

}  // namespace zqctl

#endif
