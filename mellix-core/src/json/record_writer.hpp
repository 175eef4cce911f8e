// Writing records as compact JSON, driven by the same field tables as reading.
//
// write_json(out, value) appends one value: a record (RecordTraits) as an
// object with its members in declared order, an enumeration (EnumTraits) as
// its wire name, a vector as an array, strings with the standard escapes,
// doubles in the response float form (null when not finite) and integers in
// decimal. Appends only; cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "json/number_format.hpp"
#include "json/record_traits.hpp"
#include "json/writer.hpp"

namespace mellix::json {

template <class T>
struct Emitter;

template <class T>
void write_json(std::string& out, const T& value) {
  Emitter<T>::write(out, value);
}

template <>
struct Emitter<std::string> {
  static void write(std::string& out, const std::string& s) { append_string(out, s); }
};

template <>
struct Emitter<double> {
  static void write(std::string& out, double v) { append_json_double(out, v); }
};

template <>
struct Emitter<std::int64_t> {
  static void write(std::string& out, std::int64_t v) { append_integer(out, v); }
};

template <>
struct Emitter<std::uint32_t> {
  static void write(std::string& out, std::uint32_t v) {
    append_integer(out, static_cast<std::uint64_t>(v));
  }
};

template <WireEnum E>
struct Emitter<E> {
  // Wire names are plain lower-case ASCII: nothing to escape.
  static void write(std::string& out, E e) {
    out += '"';
    out += EnumTraits<E>::names[static_cast<std::size_t>(e)];
    out += '"';
  }
};

template <class T>
struct Emitter<std::vector<T>> {
  static void write(std::string& out, const std::vector<T>& items) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += ',';
      write_json(out, items[i]);
    }
    out += ']';
  }
};

template <Record T>
struct Emitter<T> {
  static void write(std::string& out, const T& record) {
    out += '{';
    std::apply(
        [&](const auto&... field) {
          bool first = true;
          // Keys are plain ASCII identifiers: written without escaping.
          ((out += first ? "\"" : ",\"", first = false, out += field.key,
            out += "\":", write_json(out, record.*field.member)),
           ...);
        },
        RecordTraits<T>::fields);
    out += '}';
  }
};

}  // namespace mellix::json
