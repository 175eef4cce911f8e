#include "varnok/decimal_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace varnok {

ShortestDecimal shortest_decimal(double magnitude) {
  // Scientific notation yields exactly the shortest round-trip digits; fixed
  // notation would minimise characters instead (-1e23 would come out as
  // "-99999999999999991611392").
  char buf[40];
  const auto result =
      std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  const std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
  ShortestDecimal d;
  std::size_t i = 0;
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] != '.') d.digits[d.length++] = text[i];
  }
  std::from_chars(text.data() + i + 2, text.data() + text.size(), d.exponent);
  if (text[i + 1] == '-') d.exponent = -d.exponent;
  while (d.length > 1 && d.digits[d.length - 1] == '0') --d.length;
  return d;
}

void append_positional(std::string& out, const ShortestDecimal& d, bool point_zero) {
  const std::string_view digits(d.digits, static_cast<std::size_t>(d.length));
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += digits;
  } else if (d.length <= d.exponent + 1) {
    out += digits;
    out.append(static_cast<std::size_t>(d.exponent + 1 - d.length), '0');
    if (point_zero) out += ".0";
  } else {
    const auto whole = static_cast<std::size_t>(d.exponent + 1);
    out += digits.substr(0, whole);
    out += '.';
    out += digits.substr(whole);
  }
}

void append_plain_decimal(std::string& out, double value, bool point_zero) {
  if (std::signbit(value)) out += '-';
  if (value == 0.0) {
    out += point_zero ? "0.0" : "0";
    return;
  }
  append_positional(out, shortest_decimal(std::fabs(value)), point_zero);
}

}  // namespace varnok
