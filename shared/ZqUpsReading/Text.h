// What the companions check in texts alike: a well-formed UTF-8 character
// and the catalogue's dates.
#ifndef ZQUPSREADING_TEXT_H
#define ZQUPSREADING_TEXT_H

#include <cstddef>
#include <optional>
#include <string_view>

namespace zqread {

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t utf8SequenceAt(std::string_view text, size_t at);

// How the catalogue writes a date (battery_replace_date,
// manufacturing_date): "YYYY-MM-DD".
constexpr size_t kDateLength = 10;
// The days from 1970-01-01 to such a date, a real day of the proleptic
// Gregorian calendar; nothing for any other text.
std::optional<long> daysOfDate(std::string_view text);

}  // namespace zqread

#endif
