// ValueType: the JSON value categories every document view reports.
//
// Integers are kept apart from doubles: a non-negative integer that fits in
// 64 signed bits is Int64, a larger one up to 2^64-1 is UInt64, and any other
// number (fraction, exponent, or an integer beyond 64 bits) is Double.
#pragma once

#include <cstdint>

#include "json/request_limits.hpp"

namespace mellix::json {

enum class ValueType : std::uint8_t { Null, Bool, Int64, UInt64, Double, String, Array, Object };

}  // namespace mellix::json
