// The exact text forms a declared column reads: ISO-8601 date-times, UUIDs
// and numbers as fixed-point decimals. Each reader accepts its whole input
// or nothing; none rounds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/values/number.h"

namespace jorvane::table {

// Microseconds since 1970-01-01T00:00:00 UTC of a date ("YYYY-MM-DD", year
// 0000 to 9999, proleptic Gregorian calendar), or a date, "T"/"t"/" ",
// "HH:MM", optionally ":SS" (60 read as 59) and then "." with one or more
// fraction digits (the first six are the microseconds, the rest ignored),
// and optionally a zone: "Z"/"z", "+HH", "+HH:MM" or "+HHMM" (or "-").
// No zone is UTC.
std::optional<int64_t> parse_timestamp_micros(std::string_view text);

// The 16 bytes of a UUID written as 32 hex digits, or as 36 characters with
// '-' at positions 8, 13, 18 and 23; bytes in text order, either case.
std::optional<std::array<uint8_t, 16>> parse_uuid(std::string_view text);

// The unscaled value (number x 10^scale) of a number that decimal(precision,
// scale) holds exactly: an integer whose magnitude is below 10^precision.
// Nothing when the number needs more digits, has digits below the scale, or
// is not a well-formed literal.
std::optional<__int128> decimal_unscaled(const engine::JsonNumber& number, uint8_t precision, uint8_t scale);

}  // namespace jorvane::table
