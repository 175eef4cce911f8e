#include "mellix/json/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace mellix::json {
namespace {

// value = 0.d1d2d3... x 10^(exponent + 1), i.e. d1.d2d3... x 10^exponent.
struct ShortestDecimal {
  char digits[24];
  int length = 0;
  int exponent = 0;
};

// Finite, non-zero, non-negative values only.
ShortestDecimal shortest_decimal(double value) {
  char buf[40];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
  ShortestDecimal d;
  std::size_t i = 0;
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] != '.') d.digits[d.length++] = text[i];
  }
  // to_chars writes at least one exponent digit after the sign.
  std::from_chars(text.data() + i + 2, text.data() + text.size(), d.exponent);
  if (text[i + 1] == '-') d.exponent = -d.exponent;
  while (d.length > 1 && d.digits[d.length - 1] == '0') --d.length;
  return d;
}

void append_fixed(std::string& out, const ShortestDecimal& d, bool point_zero) {
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

}  // namespace

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  if (value < 0) out += '-';
  const ShortestDecimal d = shortest_decimal(std::fabs(value));
  if (d.exponent >= -5 && d.exponent <= 15) {
    append_fixed(out, d, true);
    return;
  }
  out += d.digits[0];
  if (d.length > 1) {
    out += '.';
    out.append(d.digits + 1, static_cast<std::size_t>(d.length - 1));
  }
  out += 'e';
  out += d.exponent < 0 ? '-' : '+';
  append_integer(out, static_cast<std::int64_t>(std::abs(d.exponent)));
}

void append_plain_decimal(std::string& out, double value, bool point_zero) {
  if (std::signbit(value)) out += '-';
  if (value == 0.0) {
    out += point_zero ? "0.0" : "0";
    return;
  }
  append_fixed(out, shortest_decimal(std::fabs(value)), point_zero);
}

void append_integer(std::string& out, std::int64_t value) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

void append_integer(std::string& out, std::uint64_t value) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

}  // namespace mellix::json
