// ForwardValue: a span of a request read forward by simdjson On-Demand, as the
// conversion reaches it.
//
// The forward reader's view (see forward_reader.hpp): single-pass, without
// offsets, and all-or-nothing. A scalar is parsed, and so validated, when its
// view is made; a container is read once by its for_each_* call; a container
// the conversion leaves unread is validated (validate_document's rules)
// before the next value is read, so no byte of the span goes unchecked. Any
// simdjson error, a key written with an escape, or nesting beyond the limit
// sets ForwardState::failed and stops the reading: the caller then gives up
// and a full path answers, so a failed reading needs no message.
//
// Views borrow the On-Demand document and are valid while it is; not
// thread-safe (one document per worker).
#pragma once

#include <simdjson.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "json/inline.hpp"
#include "json/value_type.hpp"

namespace mellix::json {

namespace ondemand = simdjson::ondemand;

struct ForwardState {
  bool failed = false;

  bool give_up() {
    failed = true;
    return false;
  }
};

// Validates a whole On-Demand document whose root is an object or an array
// lying `depth` containers deep in the request: every value parsed, keys
// unescaped, nesting within the limit, nothing after the root.
bool validate_document(ondemand::document& doc, std::size_t depth);

// Whether the document was read to its end (and without an error).
inline bool at_end(ondemand::document& doc) {
  return doc.current_location().error() == simdjson::OUT_OF_BOUNDS;
}

namespace detail {
bool validate_value(ondemand::value value, std::size_t depth);
bool validate_object(ondemand::object& object, std::size_t depth);
bool validate_array(ondemand::array& array, std::size_t depth);
}  // namespace detail

class ForwardValue {
 public:
  // The root of a document: an object or an array (anything else fails).
  ForwardValue(ondemand::document& doc, ForwardState& state, std::size_t depth)
      : state_(&state), depth_(depth), doc_(&doc) {
    ondemand::json_type type;
    if (doc.type().get(type)) {
      state.give_up();
    } else if (type == ondemand::json_type::object) {
      type_ = ValueType::Object;
    } else if (type == ondemand::json_type::array) {
      type_ = ValueType::Array;
    } else {
      state.give_up();
    }
  }

  // A member's value or an element: a scalar is read here. Always inlined, as
  // the rest of the conversion chain (json/record.hpp).
  MELLIX_ALWAYS_INLINE ForwardValue(ondemand::value value, ForwardState& state, std::size_t depth)
      : state_(&state), depth_(depth), value_(value) {
    ondemand::json_type type;
    if (value.type().get(type)) {
      state.give_up();
      return;
    }
    switch (type) {
      case ondemand::json_type::object:
        type_ = ValueType::Object;
        break;
      case ondemand::json_type::array:
        type_ = ValueType::Array;
        break;
      case ondemand::json_type::string:
        type_ = ValueType::String;
        if (value.get_string().get(string_)) state.give_up();
        break;
      case ondemand::json_type::number:
        read_number(value);
        break;
      case ondemand::json_type::boolean:
        type_ = ValueType::Bool;
        if (value.get_bool().get(scalar_.boolean)) state.give_up();
        break;
      case ondemand::json_type::null: {
        bool is_null = false;
        if (value.is_null().get(is_null) || !is_null) state.give_up();
        break;
      }
    }
  }

  ValueType type() const { return type_; }
  bool get_bool() const { return scalar_.boolean; }
  std::int64_t get_int64() const { return scalar_.int64; }
  std::uint64_t get_uint64() const { return scalar_.uint64; }
  double get_double() const { return scalar_.number; }
  std::string_view get_string() const { return string_; }

  template <class F>
  bool for_each_element(F&& f) const {
    ondemand::array array;
    if (!can_open() || (doc_ ? doc_->get_array() : value_.get_array()).get(array)) {
      return state_->give_up();
    }
    for (auto item : array) {
      ondemand::value element;
      if (std::move(item).get(element)) return state_->give_up();
      const ForwardValue child(element, *state_, depth_ + 1);
      if (state_->failed || !f(child) || !child.finish()) return false;
    }
    read_ = true;
    return true;
  }

  // The key's view lasts for its callback.
  template <class F>
  bool for_each_member(F&& f) const {
    ondemand::object object;
    if (!can_open() || (doc_ ? doc_->get_object() : value_.get_object()).get(object)) {
      return state_->give_up();
    }
    for (auto item : object) {
      ondemand::field field;
      std::string_view key;
      if (std::move(item).get(field) || !plain_key(field.key(), key)) return state_->give_up();
      const ForwardValue child(field.value(), *state_, depth_ + 1);
      if (state_->failed || !f(key, child) || !child.finish()) return false;
    }
    read_ = true;
    return true;
  }

  // Validates what the conversion left unread of this value.
  bool finish() const {
    return read_ || (type_ != ValueType::Array && type_ != ValueType::Object) || validate_unread();
  }

  std::optional<std::size_t> begin_offset() const { return std::nullopt; }
  std::optional<std::size_t> end_offset() const { return std::nullopt; }

 private:
  MELLIX_ALWAYS_INLINE void read_number(ondemand::value& value) {
    ondemand::number number;
    if (value.get_number().get(number)) {
      state_->give_up();
      return;
    }
    switch (number.get_number_type()) {
      case ondemand::number_type::signed_integer:
        type_ = ValueType::Int64;
        scalar_.int64 = number.get_int64();
        break;
      case ondemand::number_type::unsigned_integer:
        type_ = ValueType::UInt64;
        scalar_.uint64 = number.get_uint64();
        break;
      case ondemand::number_type::floating_point_number:
        // simdjson before 3.6.4 reads a number of 18 or more significant
        // digits on a slow path whose result get_number() loses, giving 0
        // (its issue 2099): such a request is left to the document path.
        if (const std::string_view token = value.raw_json_token();
            token.size() >= kLongDecimalDigits && significant_digits(token) >= kLongDecimalDigits) {
          state_->give_up();
          return;
        }
        type_ = ValueType::Double;
        scalar_.number = number.get_double();
        break;
    }
  }

  // A token shorter than this (it may run on to the next token's blanks)
  // cannot hold as many digits, which spares nearly every number the count.
  static constexpr std::size_t kLongDecimalDigits = 18;

  // The digits of a number's mantissa from the first that is not 0, in one
  // pass that stops at the exponent (a search for it first would be a
  // library call per character).
  static std::size_t significant_digits(std::string_view number) {
    std::size_t digits = 0;
    for (const char c : number) {
      if (c == 'e' || c == 'E') break;
      digits += (c >= '1' && c <= '9') || (c == '0' && digits > 0);
    }
    return digits;
  }

  bool validate_unread() const;

  // Containers nested up to the limit open; one more fails.
  bool can_open() const { return depth_ + 1 < kMaxNesting; }

  // A key as written; one with an escape is not read this way. Keys are
  // mostly short: eight bytes are searched at once for the closing quote
  // and any backslash before it (the padding lets the load run past the key).
  [[gnu::always_inline]] static bool plain_key(ondemand::raw_json_string raw,
                                               std::string_view& key) {
    const char* text = raw.raw();
    std::uint64_t word = 0;
    std::memcpy(&word, text, sizeof word);
    const std::uint64_t quotes = zero_bytes(word ^ 0x2222222222222222);
    const std::uint64_t backslashes = zero_bytes(word ^ 0x5C5C5C5C5C5C5C5C);
    if (quotes != 0 &&
        (backslashes == 0 || std::countr_zero(backslashes) > std::countr_zero(quotes))) {
      key = std::string_view(text, static_cast<std::size_t>(std::countr_zero(quotes)) / 8);
      return true;
    }
    std::size_t length = 0;
    for (; text[length] != '"'; ++length) {
      if (text[length] == '\\') return false;
    }
    key = std::string_view(text, length);
    return true;
  }

  // The high bit of each zero byte of `word`, exact up to the lowest one.
  static std::uint64_t zero_bytes(std::uint64_t word) {
    return (word - 0x0101010101010101) & ~word & 0x8080808080808080;
  }

  ForwardState* state_;
  std::size_t depth_;
  ValueType type_ = ValueType::Null;
  union {
    bool boolean;
    std::int64_t int64 = 0;
    std::uint64_t uint64;
    double number;
  } scalar_;
  std::string_view string_;
  ondemand::document* doc_ = nullptr;
  mutable ondemand::value value_;
  mutable bool read_ = false;
};

static_assert(ValueView<ForwardValue>);

}  // namespace mellix::json
