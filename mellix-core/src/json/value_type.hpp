// ValueView: the interface of a view of one JSON value, which the
// conversions (reader.hpp) read, and ValueType (mellix/host_value.hpp), the
// categories every view reports.
//
// Integers are kept apart from doubles: a non-negative integer that fits in
// 64 signed bits is Int64, a larger one up to 2^64-1 is UInt64, and any other
// number (fraction, exponent, or an integer beyond 64 bits) is Double.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "mellix/host_value.hpp"
#include "mellix/request_limits.hpp"

namespace mellix::json {

// The categories are the ones a host's own objects report too.
using mellix::ValueType;

// What a conversion reads through: one JSON value of a view type, readable
// (mellix/host_value.hpp) and with the offsets of a text. Every view
// (FastValue, ExactValue, TextValue, ForwardValue, HostValue)
// is checked against it where it is declared, so a new view that misses a
// call fails to compile there, not deep inside a conversion.
template <class V>
concept ValueView = std::copy_constructible<V> && ReadableValue<V> && requires(const V& v) {
  { v.begin_offset() } -> std::same_as<std::optional<std::size_t>>;
};

static_assert(ValueView<HostValue>);

}  // namespace mellix::json
