// Number text forms shared by the JSON writer and the reader's messages.
//
// All functions append to a caller-owned string and cannot fail. Digits are
// always the shortest decimal string that reads back to the same double.
#pragma once

#include <cstdint>
#include <string>

#include "varnok/decimal_text.hpp"

namespace mellix::json {

// The JSON float form of responses: "null" for NaN and infinities, "0.0" and
// "-0.0", fixed notation for decimal exponents -5..15 with ".0" on whole
// numbers (100.0, 0.000015), exponent form elsewhere (1e+16, 2.5e-6).
void append_json_double(std::string& out, double value);

// Plain decimal without exponent however large or small (1e20 is
// "100000000000000000000"); whole numbers get ".0" when `point_zero` is set.
// Finite values only.
using varnok::append_plain_decimal;

void append_integer(std::string& out, std::int64_t value);
void append_integer(std::string& out, std::uint64_t value);

}  // namespace mellix::json
