#include "varnok/parameter_check.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <system_error>

namespace varnok {
namespace {

// Distances up to and including this from the truncated value are accepted,
// so that a period computed with a rounding error of one unit at 1.0 still
// counts as the integer it was meant to be.
constexpr double kIntegerTolerance = std::numeric_limits<double>::epsilon();

// 2^64, the first double that no longer fits in std::uint64_t.
constexpr double kTwoPow64 = 18446744073709551616.0;

std::string parameter_prefix(std::size_t index) {
  return "parameter #" + std::to_string(index);
}

// The shortest digits that read back to `value`, written out positionally:
// no exponent, and no decimal point for integral values. Fixed-notation
// to_chars is not used because it minimises characters rather than
// significant digits, and prints -1e23 as "-99999999999999991611392" instead of
// "-100000000000000000000000".
std::string plain_decimal(double value) {
  // Scientific notation yields the shortest round-trip digits, e.g. "-2.5e+00".
  std::array<char, 32> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::scientific);
  if (ec != std::errc{}) return "?";  // cannot happen: 32 bytes fit any double
  const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));

  const std::size_t e = text.find('e');
  std::string out;
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c == '-') {
      out.push_back('-');
    } else if (c != '.') {
      digits.push_back(c);
    }
  }
  int exponent = 0;
  const std::string_view exponent_text = text.substr(e + 1);
  std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                  exponent_text.data() + exponent_text.size(), exponent);

  // Digits before the decimal point; may be zero or negative for |value| < 1.
  const long whole = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (whole <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-whole), '0');
    out.append(digits);
  } else if (whole >= count) {
    out.append(digits);
    out.append(static_cast<std::size_t>(whole - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(whole));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(whole));
  }
  return out;
}

}  // namespace

std::expected<std::uint64_t, std::string> check_positive_integer(std::size_t index, double value) {
  if (!std::isfinite(value)) {
    return std::unexpected(parameter_prefix(index) + " must be finite");
  }
  if (!(value > 0.0) || std::abs(value - std::trunc(value)) > kIntegerTolerance) {
    return std::unexpected(parameter_prefix(index) + " must be a positive integer, got " +
                           plain_decimal(value));
  }
  if (value >= kTwoPow64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::expected<std::size_t, IndicatorError> check_window_length(std::uint64_t length) {
  if (length == 0) return std::unexpected(IndicatorError::zero_period());
  if (length > MAX_PERIOD) {
    return std::unexpected(IndicatorError::invalid_period(error_text::kPeriodExceedsMax));
  }
  return static_cast<std::size_t>(length);
}

}  // namespace varnok
