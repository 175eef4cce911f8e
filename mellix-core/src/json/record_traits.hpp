// The field tables that describe every record and enumeration on the wire.
//
// A record type T declares RecordTraits<T> once: the name used in messages
// ("struct Candle") and its fields in declared order, each a wire key, a
// member pointer and whether the key may be absent. An enumeration declares
// EnumTraits<E>: its wire names, indexed by the enumerator's value. Both
// reading (json/record.hpp) and writing (json/record_writer.hpp) are driven by
// these tables, so a record's wire format is stated in exactly one place.
#pragma once

#include <string_view>

namespace mellix::json {

template <class T, class M>
struct Field {
  std::string_view key;
  M T::* member;
  bool required;
};

template <class T, class M>
constexpr Field<T, M> required_field(std::string_view key, M T::* member) {
  return {key, member, true};
}
// May be absent from an object or missing at the end of an array; the member
// then keeps its default value.
template <class T, class M>
constexpr Field<T, M> optional_field(std::string_view key, M T::* member) {
  return {key, member, false};
}

template <class T>
struct RecordTraits;  // static constexpr std::string_view name; static constexpr auto fields

template <class E>
struct EnumTraits;  // static constexpr std::array<std::string_view, N> names

template <class T>
concept Record = requires { RecordTraits<T>::fields; };

template <class E>
concept WireEnum = requires { EnumTraits<E>::names; };

}  // namespace mellix::json
