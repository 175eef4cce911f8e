#include "json/number_format.hpp"

#include "varnok/decimal_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace mellix::json {

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
  const varnok::ShortestDecimal d = varnok::shortest_decimal(std::fabs(value));
  if (d.exponent >= -5 && d.exponent <= 15) {
    varnok::append_positional(out, d, true);
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
