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

#include "mellix/json/value_type.hpp"

namespace mellix::json {

class FastValue {
 public:
  static constexpr bool kHasOffsets = false;

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

  // Only valid for the matching type().
  bool get_bool() const { return e_.get_bool().value_unsafe(); }
  std::int64_t get_int64() const { return e_.get_int64().value_unsafe(); }
  std::uint64_t get_uint64() const { return e_.get_uint64().value_unsafe(); }
  double get_double() const { return e_.get_double().value_unsafe(); }
  std::string_view get_string() const { return e_.get_string().value_unsafe(); }

  std::size_t size() const {
    if (e_.type() == simdjson::dom::element_type::ARRAY) {
      return e_.get_array().value_unsafe().size();
    }
    return e_.get_object().value_unsafe().size();
  }
  template <class F>
  bool for_each_element(F&& f) const {
    for (simdjson::dom::element item : e_.get_array().value_unsafe()) {
      if (!f(FastValue(item))) return false;
    }
    return true;
  }
  template <class F>
  bool for_each_member(F&& f) const {
    for (simdjson::dom::key_value_pair member : e_.get_object().value_unsafe()) {
      if (!f(member.key, FastValue(member.value))) return false;
    }
    return true;
  }

  std::optional<std::size_t> begin_offset() const { return std::nullopt; }
  std::optional<std::size_t> end_offset() const { return std::nullopt; }

 private:
  simdjson::dom::element e_;
};

}  // namespace mellix::json
