// Reading records and enumerations: the two generic conversions behind every
// structured type that crosses the JSON boundary.
//
// From a record's single field table (RecordTraits, json/record_traits.hpp)
// read_record accepts both encodings:
//  - an object, keys in any order, unknown keys ignored; after the present
//    members, the first absent required key in declared order is reported;
//  - an array of the field values in declared order: present elements are
//    converted first to last, then a short array fails naming the elements
//    present (unless every missing field may be absent), a long one names the
//    whole array's length (or is "trailing characters" for text input).
// An enumeration (EnumTraits) is read from one of its wire names as a string,
// or from an object whose single key is the name and whose value is null.
// A failure names the member or element it failed at (json/reader.hpp): for
// the array form, the element's index, as the value stands in the input.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "json/inline.hpp"
#include "json/reader.hpp"
#include "json/record_traits.hpp"

namespace mellix::json {
namespace detail {

template <class T>
constexpr std::size_t field_count = std::tuple_size_v<decltype(RecordTraits<T>::fields)>;

template <class T>
constexpr auto field_keys() {
  return std::apply(
      [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; },
      RecordTraits<T>::fields);
}

template <class T>
constexpr auto field_required() {
  return std::apply([](const auto&... f) { return std::array<bool, sizeof...(f)>{f.required...}; },
                    RecordTraits<T>::fields);
}

// Field indices in ascending byte order of their keys.
template <class T>
constexpr auto fields_in_key_order() {
  constexpr auto keys = field_keys<T>();
  std::array<std::size_t, keys.size()> order{};
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  return order;
}

// Reading a record is a chain of small templates per value (field lookup,
// field dispatch, Reader::read, the view's constructor): each link is always
// inlined, so that the loops over a large feed's members keep their state in
// registers, which takes about a third off the forward reader's time.
// Flattening whole loops did the same but took minutes to compile.

// Whether the N bytes at `a` and `b` are equal, as two loads of a word each
// (overlapping when N is not a word's size), for keys up to 16 bytes: GCC
// calls memcmp for a constant size that is not a power of two.
template <class Word, std::size_t N>
MELLIX_ALWAYS_INLINE inline bool equal_words(const char* a, const char* b) {
  Word a_first, a_last, b_first, b_last;
  std::memcpy(&a_first, a, sizeof(Word));
  std::memcpy(&a_last, a + N - sizeof(Word), sizeof(Word));
  std::memcpy(&b_first, b, sizeof(Word));
  std::memcpy(&b_last, b + N - sizeof(Word), sizeof(Word));
  return ((a_first ^ b_first) | (a_last ^ b_last)) == 0;
}

template <std::size_t N>
MELLIX_ALWAYS_INLINE inline bool equal_bytes(const char* a, const char* b) {
  if constexpr (N == 0) {
    return true;
  } else if constexpr (N == 1) {
    return *a == *b;
  } else if constexpr (N < 4) {
    return equal_words<std::uint16_t, N>(a, b);
  } else if constexpr (N < 8) {
    return equal_words<std::uint32_t, N>(a, b);
  } else if constexpr (N <= 16) {
    return equal_words<std::uint64_t, N>(a, b);
  } else {
    return std::memcmp(a, b, N) == 0;
  }
}

// Compares against a compile-time key: a length check, then a few integer
// compares. Key lookup is the inner loop of reading large feeds.
template <class T, std::size_t I>
MELLIX_ALWAYS_INLINE inline bool key_is(std::string_view key) {
  static constexpr std::string_view expected = std::get<I>(RecordTraits<T>::fields).key;
  return key.size() == expected.size() && equal_bytes<expected.size()>(key.data(), expected.data());
}

// The index of the field called `key`, or kNoField. A plain index, not an
// optional: GCC 12 builds an optional<size_t> in memory from two stores and
// reloads it whole, a store-forwarding stall per member of every record.
inline constexpr std::size_t kNoField = static_cast<std::size_t>(-1);

template <class T, std::size_t... Is>
MELLIX_ALWAYS_INLINE inline std::size_t field_index_of(std::string_view key,
                                                       std::index_sequence<Is...>) {
  std::size_t found = kNoField;
  (void)((key_is<T, Is>(key) ? (found = Is, true) : false) || ...);
  return found;
}

template <class T>
MELLIX_ALWAYS_INLINE inline std::size_t field_index(std::string_view key) {
  return field_index_of<T>(key, std::make_index_sequence<field_count<T>>{});
}

// Members mostly come in declared order, so the field after the last one
// found is tried first.
template <class T, std::size_t... Is>
MELLIX_ALWAYS_INLINE inline bool key_is_at(std::size_t index, std::string_view key,
                                           std::index_sequence<Is...>) {
  bool match = false;
  (void)((index == Is ? (match = key_is<T, Is>(key), true) : false) || ...);
  return match;
}

template <class T>
MELLIX_ALWAYS_INLINE inline std::size_t field_index(std::string_view key, std::size_t expected) {
  if (key_is_at<T>(expected, key, std::make_index_sequence<field_count<T>>{})) return expected;
  return field_index<T>(key);
}

template <class T, class V, std::size_t... Is>
MELLIX_ALWAYS_INLINE inline bool read_field_at(Reader<V>& r, std::size_t index, const V& v, T& out,
                                               std::index_sequence<Is...>) {
  bool ok = true;
  (void)((index == Is ? (ok = r.read(v, out.*(std::get<Is>(RecordTraits<T>::fields).member)), true)
                      : false) ||
         ...);
  return ok;
}

template <class T, class V>
MELLIX_ALWAYS_INLINE inline bool read_field(Reader<V>& r, std::size_t index, const V& v, T& out) {
  return read_field_at(r, index, v, out, std::make_index_sequence<field_count<T>>{});
}

inline std::string quoted_key_message(std::string_view what, std::string_view key) {
  std::string m(what);
  m += " `";
  m += key;
  m += '`';
  return m;
}

// After an object's members: the first required key not seen, in declared order.
template <class T, class V>
bool check_required(Reader<V>& r, const V& v, const std::array<bool, field_count<T>>& seen) {
  static constexpr auto required = field_required<T>();
  static constexpr auto keys = field_keys<T>();
  for (std::size_t i = 0; i < field_count<T>; ++i) {
    if (required[i] && !seen[i]) {
      return r.fail(quoted_key_message("missing field", keys[i]), v.end_offset());
    }
  }
  return true;
}

template <class T, class V>
bool read_record_object(Reader<V>& r, const V& v, T& out) {
  std::array<bool, field_count<T>> seen{};
  std::size_t expected = 0;
  if (r.source() == Source::Text) {
    const bool ok = v.for_each_member([&](std::string_view key, const V& value) {
      const std::size_t i = field_index<T>(key, expected);
      if (i == kNoField) return true;
      if (seen[i]) return r.fail(quoted_key_message("duplicate field", key), value.begin_offset());
      seen[i] = true;
      expected = i + 1;
      return read_field(r, i, value, out) || r.at_key(key);
    });
    if (!ok) return false;
  } else if constexpr (Revisitable<V>) {
    // Remember each known key's last value, then visit in key order.
    std::array<std::optional<V>, field_count<T>> slots{};
    const bool ok = v.for_each_member([&](std::string_view key, const V& value) {
      const std::size_t i = field_index<T>(key, expected);
      if (i == kNoField) return pass_over(value);
      slots[i].emplace(value);
      expected = i + 1;
      return true;
    });
    if (!ok) return false;
    static constexpr auto order = fields_in_key_order<T>();
    static constexpr auto keys = field_keys<T>();
    for (const std::size_t i : order) {
      if (!slots[i]) continue;
      seen[i] = true;
      if (!read_field(r, i, *slots[i], out)) return r.at_key(keys[i]);
    }
  } else {
    // A document read in one pass: as written, a repeated key read again so
    // that the last value wins. Only the forward reader reads this way, and
    // it gives up on any error, so the order in which errors would be met
    // cannot show.
    const bool ok = v.for_each_member([&](std::string_view key, const V& value) {
      const std::size_t i = field_index<T>(key, expected);
      if (i == kNoField) return true;
      seen[i] = true;
      expected = i + 1;
      return read_field(r, i, value, out) || r.at_key(key);
    });
    if (!ok) return false;
  }
  return check_required<T>(r, v, seen);
}

template <class T, class V>
bool read_record_array(Reader<V>& r, const V& v, T& out) {
  constexpr std::size_t n = field_count<T>;
  static constexpr auto required = field_required<T>();
  std::size_t present = 0;
  const bool ok = v.for_each_element([&](const V& element) {
    if (present == n) return r.too_many_elements(v, element);
    const std::size_t index = present++;
    return read_field(r, index, element, out) || r.at_index(index);
  });
  if (!ok) return false;
  for (std::size_t i = present; i < n; ++i) {
    if (required[i]) {
      std::string expected(RecordTraits<T>::name);
      expected += " with ";
      append_integer(expected, static_cast<std::uint64_t>(n));
      expected += " elements";
      return r.invalid_length(v, present, expected);
    }
  }
  return true;
}

template <class E>
std::string unknown_variant_message(std::string_view name) {
  static constexpr auto& names = EnumTraits<E>::names;
  std::string m = "unknown variant `";
  m += name;
  m += "`, expected ";
  if constexpr (names.size() == 1) {
    m += '`';
    m += names[0];
    m += '`';
  } else if constexpr (names.size() == 2) {
    m += '`';
    m += names[0];
    m += "` or `";
    m += names[1];
    m += '`';
  } else {
    m += "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) m += ", ";
      m += '`';
      m += names[i];
      m += '`';
    }
  }
  return m;
}

template <class E>
std::optional<E> enum_from_name(std::string_view name) {
  static constexpr auto& names = EnumTraits<E>::names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace detail

template <class T, class V>
bool read_record(Reader<V>& r, const V& v, T& out) {
  switch (v.type()) {
    case ValueType::Object:
      return detail::read_record_object(r, v, out);
    case ValueType::Array:
      return detail::read_record_array(r, v, out);
    default:
      return r.invalid_type(v, RecordTraits<T>::name);
  }
}

template <class E, class V>
bool read_enum(Reader<V>& r, const V& v, E& out) {
  if (v.type() == ValueType::String) {
    const std::string_view name = v.get_string();
    const auto e = detail::enum_from_name<E>(name);
    if (!e) return r.fail(detail::unknown_variant_message<E>(name), v.begin_offset());
    out = *e;
    return true;
  }
  if (v.type() != ValueType::Object) return r.invalid_type(v, "string or map");
  // Exactly one key; in a document, repeats of one key count once. A key's
  // view lasts only for its callback.
  std::optional<std::string> key;
  std::optional<V> value;
  bool single = true;
  const bool read = v.for_each_member([&](std::string_view k, const V& val) {
    if (key && !(r.source() == Source::Document && *key == k)) {
      single = false;
      return false;
    }
    key.emplace(k);
    value.emplace(val);
    return true;
  });
  if (!read && single) return false;  // the view could not read the object
  if (!key || !single) {
    return r.fail("invalid value: map, expected map with a single key", v.begin_offset());
  }
  const auto e = detail::enum_from_name<E>(*key);
  if (!e) return r.fail(detail::unknown_variant_message<E>(*key), v.begin_offset());
  if (value->type() != ValueType::Null) return r.invalid_type(*value, "unit") || r.at_key(*key);
  out = *e;
  return true;
}

// Every type with RecordTraits or EnumTraits converts through the above.
template <Record T>
struct Conversion<T> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, T& out) {
    return read_record(r, v, out);
  }
};

template <WireEnum E>
struct Conversion<E> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, E& out) {
    return read_enum(r, v, out);
  }
};

// A JSON object as an ordered map from key to T (the map's own ordering).
template <class T, class Compare>
struct Conversion<std::map<std::string, T, Compare>> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, std::map<std::string, T, Compare>& out) {
    if (v.type() != ValueType::Object) return r.invalid_type(v, "a map");
    out.clear();
    if (r.source() == Source::Text) {
      return v.for_each_member([&](std::string_view key, const V& value) {
        T item{};
        if (!r.read(value, item)) return r.at_key(key);
        out.insert_or_assign(std::string(key), std::move(item));
        return true;
      });
    }
    // Document: visit in key order, the last of repeated keys winning.
    std::vector<std::pair<std::string_view, V>> members;
    members.reserve(v.size());
    const bool ok = v.for_each_member([&](std::string_view key, const V& value) {
      members.emplace_back(key, value);
      return true;
    });
    if (!ok) return false;
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
      T item{};
      if (!r.read(members[i].second, item)) return r.at_key(members[i].first);
      out.emplace_hint(out.end(), std::string(members[i].first), std::move(item));
    }
    return true;
  }
};

}  // namespace mellix::json
