// Reader: typed conversion of JSON values into the engine's records.
//
// One conversion per C++ type, written once as a template over the view type
// (FastValue for the simdjson document, ExactValue for the exact parser's
// tree). A conversion returns false after recording the first error; the
// caller stops at once, so the first error met in visiting order is the one
// reported. Messages follow one grammar throughout: "invalid type: <found>,
// expected <wanted>", "invalid value: ...", "invalid length N, expected ...",
// "missing field `k`", "duplicate field `k`", "unknown variant `v`, ...".
//
// Source selects the two input flavours:
//  - Text: a document parsed straight from the text at hand. Object members
//    are visited as written, a known key given twice is an error, an array
//    longer than its record is "trailing characters", and errors carry the
//    byte offset of the offending value when the view has offsets.
//  - Document: a member of an already parsed request. Members are visited in
//    ascending byte order of their keys, the last of repeated keys wins, and
//    errors carry no position.
//
// Whatever the source, a failed conversion says where the value it refused
// stands: each level it fails through adds its member's key or element's
// index to the error (at_key, at_index), on the way out only, so a reading
// that succeeds pays nothing for it.
//
// A view is either revisitable (a parsed document: it knows its sizes and its
// members can be visited in any order) or single-pass (read once, as written:
// TextValue for text, ForwardValue for the forward reader). Sizes are
// therefore counted while reading. A view's for_each_* may stop with false
// without an error recorded: it could not read on (the forward reader gives
// up, a view of a host's objects met one that it must look at closer).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/inline.hpp"
#include "json/number_format.hpp"
#include "json/value_type.hpp"
#include "mellix/error_location.hpp"

namespace mellix::json {

enum class Source : std::uint8_t { Text, Document };

template <class V>
concept Revisitable = requires(const V& v) { v.size(); };

// A value that a conversion passes over (a member of no field), offered to a
// view that checks its values as they are met: false when it found one that
// has no JSON form, and the reading stops, as for a view that could not read.
template <class V>
bool pass_over(const V& v) {
  if constexpr (requires { v.check_passed_over(); }) {
    return v.check_passed_over();
  } else {
    return true;
  }
}

struct ReadError {
  std::string message;
  std::optional<std::size_t> offset;  // into the source text, when known
  // From the converted value down to the refused one: keys and indices.
  std::vector<PathStep> path;

  friend bool operator==(const ReadError&, const ReadError&) = default;
};

// Specialised per type: template <class V> static bool read(Reader<V>&, const V&, T&).
template <class T>
struct Conversion;

// What a value is, as error messages name it: `string "abc"`, "integer `5`",
// "floating point `2.5`", "boolean `true`", "null", "sequence", "map".
template <class V>
std::string describe_found(const V& v);

void append_debug_string(std::string& out, std::string_view text);

template <ValueView V>
class Reader {
 public:
  explicit Reader(Source source) : source_(source) {}

  Source source() const { return source_; }

  // A link of the conversion chain, always inlined (json/record.hpp says why).
  template <class T>
  MELLIX_ALWAYS_INLINE bool read(const V& v, T& out) {
    return Conversion<T>::read(*this, v, out);
  }

  bool fail(std::string message, std::optional<std::size_t> offset) {
    error_ = ReadError{std::move(message), offset, {}};
    return false;
  }
  bool invalid_type(const V& v, std::string_view expected) {
    std::string m = "invalid type: ";
    m += describe_found(v);
    m += ", expected ";
    m += expected;
    return fail(std::move(m), v.begin_offset());
  }
  bool invalid_value(const V& v, std::string_view expected) {
    std::string m = "invalid value: ";
    m += describe_found(v);
    m += ", expected ";
    m += expected;
    return fail(std::move(m), v.begin_offset());
  }
  // A short array: `present` elements where `expected` describes the need.
  bool invalid_length(const V& array, std::size_t present, std::string_view expected) {
    std::string m = "invalid length ";
    append_integer(m, static_cast<std::uint64_t>(present));
    m += ", expected ";
    m += expected;
    return fail(std::move(m), array.end_offset());
  }
  // An array with more elements than its record takes; `extra` is the first
  // element beyond them. A single-pass view cannot count the rest, and only
  // the forward reader reads requests that way: it needs no message.
  bool too_many_elements(const V& array, const V& extra) {
    if (source_ == Source::Text) return fail("trailing characters", extra.begin_offset());
    if constexpr (Revisitable<V>) {
      std::string m = "invalid length ";
      append_integer(m, static_cast<std::uint64_t>(array.size()));
      m += ", expected fewer elements in array";
      return fail(std::move(m), array.end_offset());
    } else {
      return fail({}, std::nullopt);
    }
  }

  // A failure of the value at `key` of the object being read, or at `index`
  // of the array: each is false, to pass the failure on. Steps are added
  // innermost first and put in order by take_error().
  [[gnu::cold, gnu::noinline]] bool at_key(std::string_view key) {
    error_.path.emplace_back(std::in_place_index<0>, key);
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool at_index(std::size_t index) {
    error_.path.emplace_back(std::in_place_index<1>, index);
    return false;
  }

  ReadError take_error() {
    std::reverse(error_.path.begin(), error_.path.end());
    return std::move(error_);
  }

 private:
  Source source_;
  ReadError error_;
};

template <class V>
std::string describe_found(const V& v) {
  std::string out;
  switch (v.type()) {
    case ValueType::Null:
      out = "null";
      break;
    case ValueType::Bool:
      out = v.get_bool() ? "boolean `true`" : "boolean `false`";
      break;
    case ValueType::Int64:
      out = "integer `";
      append_integer(out, v.get_int64());
      out += '`';
      break;
    case ValueType::UInt64:
      out = "integer `";
      append_integer(out, v.get_uint64());
      out += '`';
      break;
    case ValueType::Double:
      out = "floating point `";
      append_plain_decimal(out, v.get_double(), true);
      out += '`';
      break;
    case ValueType::String:
      out = "string ";
      append_debug_string(out, v.get_string());
      break;
    case ValueType::Array:
      out = "sequence";
      break;
    case ValueType::Object:
      out = "map";
      break;
  }
  return out;
}

// ---- scalars ---------------------------------------------------------------

template <>
struct Conversion<bool> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, bool& out) {
    if (v.type() != ValueType::Bool) return r.invalid_type(v, "a boolean");
    out = v.get_bool();
    return true;
  }
};

template <>
struct Conversion<std::string> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, std::string& out) {
    if (v.type() != ValueType::String) return r.invalid_type(v, "a string");
    out.assign(v.get_string());
    return true;
  }
};

template <>
struct Conversion<double> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, double& out) {
    switch (v.type()) {
      case ValueType::Double:
        out = v.get_double();
        return true;
      case ValueType::Int64:
        out = static_cast<double>(v.get_int64());
        return true;
      case ValueType::UInt64:
        out = static_cast<double>(v.get_uint64());
        return true;
      default:
        return r.invalid_type(v, "f64");
    }
  }
};

template <>
struct Conversion<std::int64_t> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, std::int64_t& out) {
    switch (v.type()) {
      case ValueType::Int64:
        out = v.get_int64();
        return true;
      case ValueType::UInt64:
        return r.invalid_value(v, "i64");
      default:
        return r.invalid_type(v, "i64");
    }
  }
};

template <>
struct Conversion<std::uint32_t> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, std::uint32_t& out) {
    switch (v.type()) {
      case ValueType::Int64: {
        const std::int64_t i = v.get_int64();
        if (i < 0 || i > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
          return r.invalid_value(v, "u32");
        }
        out = static_cast<std::uint32_t>(i);
        return true;
      }
      case ValueType::UInt64:
        return r.invalid_value(v, "u32");
      default:
        return r.invalid_type(v, "u32");
    }
  }
};

// ---- containers --------------------------------------------------------------

template <class T>
struct Conversion<std::vector<T>> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, std::vector<T>& out) {
    if (v.type() != ValueType::Array) return r.invalid_type(v, "a sequence");
    out.clear();
    if constexpr (Revisitable<V>) out.reserve(v.size());
    return v.for_each_element([&](const V& element) {
      out.emplace_back();
      return r.read(element, out.back()) || r.at_index(out.size() - 1);
    });
  }
};

// Absent-or-null: null reads as nothing, anything else as a T.
template <class T>
struct Conversion<std::optional<T>> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, std::optional<T>& out) {
    if (v.type() == ValueType::Null) {
      out.reset();
      return true;
    }
    return r.read(v, out.emplace());
  }
};

}  // namespace mellix::json
