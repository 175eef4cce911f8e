// FastValue: the simdjson DOM element behind the conversion interface.
//
// A cheap-to-copy view into a simdjson document; it is valid only while the
// parser that produced the document is alive and not reused. It offers the
// same interface as ExactValue, so every typed conversion is written once as
// a template over the view type. It carries no source offsets.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "json/value_type.hpp"

namespace mellix::json {

class FastValue {
 public:
  explicit FastValue(simdjson::dom::element element) : e_(element) {}

  ValueType type() const {
    switch (e_.type()) {
      case simdjson::dom::element_type::ARRAY:
        return ValueType::Array;
      case simdjson::dom::element_type::OBJECT:
        return ValueType::Object;
      case simdjson::dom::element_type::INT64:
        return ValueType::Int64;
      case simdjson::dom::element_type::UINT64:
        return ValueType::UInt64;
      case simdjson::dom::element_type::DOUBLE:
        return ValueType::Double;
      case simdjson::dom::element_type::STRING:
        return ValueType::String;
      case simdjson::dom::element_type::BOOL:
        return ValueType::Bool;
      case simdjson::dom::element_type::NULL_VALUE:
        break;
    }
    return ValueType::Null;
  }

  // Only valid for the matching type(). The out-parameter form of get() is
  // used throughout: it leaves nothing for the optimiser to flag as read
  // before being set.
  bool get_bool() const { return get<bool>(); }
  std::int64_t get_int64() const { return get<std::int64_t>(); }
  std::uint64_t get_uint64() const { return get<std::uint64_t>(); }
  double get_double() const { return get<double>(); }
  std::string_view get_string() const { return get<std::string_view>(); }

  // simdjson stores a container's count in 24 bits and saturates there; a
  // saturated count is recounted.
  std::size_t size() const {
    static constexpr std::size_t kSaturated = 0xFFFFFF;
    const auto count = [](const auto& container) {
      std::size_t n = container.size();
      if (n == kSaturated) {
        n = 0;
        for ([[maybe_unused]] const auto& item : container) ++n;
      }
      return n;
    };
    if (e_.type() == simdjson::dom::element_type::ARRAY) return count(get<simdjson::dom::array>());
    return count(get<simdjson::dom::object>());
  }
  template <class F>
  bool for_each_element(F&& f) const {
    for (simdjson::dom::element item : get<simdjson::dom::array>()) {
      if (!f(FastValue(item))) return false;
    }
    return true;
  }
  template <class F>
  bool for_each_member(F&& f) const {
    for (simdjson::dom::key_value_pair member : get<simdjson::dom::object>()) {
      if (!f(member.key, FastValue(member.value))) return false;
    }
    return true;
  }

  std::optional<std::size_t> begin_offset() const { return std::nullopt; }
  std::optional<std::size_t> end_offset() const { return std::nullopt; }

 private:
  template <class T>
  T get() const {
    T out{};
    [[maybe_unused]] const simdjson::error_code error = e_.get(out);
    return out;
  }

  simdjson::dom::element e_;
};

static_assert(ValueView<FastValue>);

}  // namespace mellix::json
