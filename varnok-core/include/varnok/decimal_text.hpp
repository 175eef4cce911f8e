// Shortest round-trip decimal text of doubles.
//
// The digit string is the shortest that reads back to the same double; the
// plain form writes it out positionally, without exponent however large or
// small the value ("-100000000000000000000000" for -1e23, "0.000015"). Pure
// functions, no allocation beyond appending to the caller's string.
#pragma once

#include <string>

namespace varnok {

// value = d1.d2d3...dn x 10^exponent, with digits "d1...dn" (no trailing zeros).
struct ShortestDecimal {
  char digits[24] = {};
  int length = 0;
  int exponent = 0;
};

// `magnitude` must be finite and greater than zero.
ShortestDecimal shortest_decimal(double magnitude);

// Appends the digits positionally: "0.00d1d2", "d1d2000", "d1.d2d3"; whole
// numbers get ".0" when `point_zero` is set.
void append_positional(std::string& out, const ShortestDecimal& decimal, bool point_zero);

// Sign, then the positional form of a finite value; 0 and -0 are "0" and "-0"
// ("0.0" and "-0.0" with `point_zero`).
void append_plain_decimal(std::string& out, double value, bool point_zero);

}  // namespace varnok
