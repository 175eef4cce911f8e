// Checks that turn an indicator's numeric parameters into window lengths.
//
// Parameters arrive as doubles, the form in which hosts and configuration
// hand them over, and are narrowed here in two steps: check_positive_integer
// accepts only finite, positive, integral values, and check_window_length
// bounds the result by MAX_PERIOD. Both are pure functions, safe to call from
// any number of threads at once. Failures are values: the parameter check
// returns its message text directly (it names the parameter's position, which
// no IndicatorError kind carries); the window-length check returns an
// IndicatorError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "varnok/indicator_error.hpp"

namespace varnok {

// The largest window an indicator accepts: 2^24 values, so a window buffer of
// doubles stays within 128 MiB.
inline constexpr std::uint64_t MAX_PERIOD = 16777216;

// Parameter `index` (counting from 0) as an unsigned integer. Fails with
// "parameter #<index> must be finite" for NaN and infinities, and with
// "parameter #<index> must be a positive integer, got <value>" for a value that
// is not above 0 or lies more than one double epsilon from its truncation.
// The value is written in the shortest plain decimal that reads back exactly
// ("0", "-0", "-3", "2.5"). Accepted values are truncated toward zero, so a
// positive value of at most epsilon yields 0 (left to check_window_length);
// values of 2^64 and above saturate at UINT64_MAX.
std::expected<std::uint64_t, std::string> check_positive_integer(std::size_t index, double value);

// `length` as a window size: ZeroPeriod for 0, InvalidPeriod for anything above
// MAX_PERIOD.
std::expected<std::size_t, IndicatorError> check_window_length(std::uint64_t length);

}  // namespace varnok
