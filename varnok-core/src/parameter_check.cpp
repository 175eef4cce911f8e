#include "varnok/parameter_check.hpp"

#include "varnok/decimal_text.hpp"

#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

namespace varnok {
namespace {

// Distances up to and including this from the truncated value are accepted,
// so that a period computed with a rounding error of one unit at 1.0 still
// counts as the integer it was meant to be.
constexpr double kIntegerTolerance = std::numeric_limits<double>::epsilon();

// 2^64, the first double that no longer fits in std::uint64_t.
constexpr double kTwoPow64 = 18446744073709551616.0;

constexpr std::string_view kPeriodExceedsMax =
    "period exceeds the maximum supported window length (see MAX_PERIOD)";

std::string parameter_prefix(std::size_t index) {
  return "parameter #" + std::to_string(index);
}

}  // namespace

std::expected<std::uint64_t, std::string> check_positive_integer(std::size_t index, double value) {
  if (!std::isfinite(value)) {
    return std::unexpected(parameter_prefix(index) + " must be finite");
  }
  if (!(value > 0.0) || std::abs(value - std::trunc(value)) > kIntegerTolerance) {
    std::string message = parameter_prefix(index) + " must be a positive integer, got ";
    append_plain_decimal(message, value, false);
    return std::unexpected(std::move(message));
  }
  if (value >= kTwoPow64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::expected<std::size_t, IndicatorError> check_window_length(std::uint64_t length) {
  if (length == 0) return std::unexpected(IndicatorError::zero_period());
  if (length > MAX_PERIOD) {
    return std::unexpected(IndicatorError::invalid_period(kPeriodExceedsMax));
  }
  return static_cast<std::size_t>(length);
}

}  // namespace varnok
