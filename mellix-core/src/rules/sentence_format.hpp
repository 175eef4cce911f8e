// Number formatting for fact sentences.
//
// Each helper appends to an existing string, so a sentence is assembled in one
// buffer without temporaries. Fixed-point output is exact: digits come from the
// binary value itself, a value halfway between two results goes to the one with
// an even last digit, and there is never an exponent or digit grouping, however
// large the number (1e20 with two decimals is "100000000000000000000.00").
// Non-finite values print as "inf"/"nan"; the fact rules never pass them.
// `decimals` must be in [0, kMaxDecimals].
#pragma once

#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>

namespace mellix::sentence {

inline constexpr int kMaxDecimals = 17;

// Fixed point with `decimals` digits after the point; "-" only when negative.
inline void append_fixed(std::string& out, double value, int decimals) {
  assert(decimals >= 0 && decimals <= kMaxDecimals);
  // The largest finite double has 309 integer digits; add sign, point, decimals.
  std::array<char, 1 + 309 + 1 + kMaxDecimals> buffer;
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::fixed, decimals);
  assert(ec == std::errc{});
  (void)ec;
  out.append(buffer.data(), end);
}

// As append_fixed, but a rise or fall always shows its sign: "+" whenever the
// sign bit is clear (so 0 shows as "+0.00"); to_chars writes the "-".
inline void append_signed_fixed(std::string& out, double value, int decimals) {
  if (!std::signbit(value)) out.push_back('+');
  append_fixed(out, value, decimals);
}

// The decimal digits of an unsigned integer.
inline void append_unsigned(std::string& out, std::uint64_t value) {
  std::array<char, 20> buffer;  // 18446744073709551615 has 20 digits
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  assert(ec == std::errc{});
  (void)ec;
  out.append(buffer.data(), end);
}

}  // namespace mellix::sentence
