// JSON reading of the data model: ContextSpec, FeedMap and MarketContext.
//
// read_value() converts a parsed value into any of the three top-level types
// for either source flavour (see json/reader.hpp), through the record tables
// of model_records.hpp.
// Conversions only read the view and allocate the result; thread-compatible.
#pragma once

#include <expected>

#include "json/exact_document.hpp"
#include "json/fast_value.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "json/text_value.hpp"
#include "mellix/context_spec.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"
#include "model/model_records.hpp"

namespace mellix::json {

// A price level is exactly [price, quantity]; it has no object form.
template <>
struct Conversion<PriceLevel> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, PriceLevel& out) {
    static constexpr std::string_view kExpected = "an array of length 2";
    if (v.type() != ValueType::Array) return r.invalid_type(v, kExpected);
    std::size_t present = 0;
    const bool ok = v.for_each_element([&](const V& element) {
      if (present == 2) return r.too_many_elements(v, element);
      const std::size_t index = present++;
      return r.read(element, index == 0 ? out.price : out.qty) || r.at_index(index);
    });
    if (!ok) return false;
    if (present < 2) return r.invalid_length(v, present, kExpected);
    return true;
  }
};

template <class T, class V>
std::expected<T, ReadError> read_value(const V& v, Source source) {
  Reader<V> reader(source);
  T out{};
  if (!reader.read(v, out)) return std::unexpected(reader.take_error());
  return out;
}

#define MELLIX_MODEL_JSON_EXTERN(T)                                                               \
  extern template std::expected<T, ReadError> read_value<T, FastValue>(const FastValue&, Source); \
  extern template std::expected<T, ReadError> read_value<T, ExactValue>(const ExactValue&, Source);
MELLIX_MODEL_JSON_EXTERN(ContextSpec)
MELLIX_MODEL_JSON_EXTERN(FeedMap)
MELLIX_MODEL_JSON_EXTERN(MarketContext)
#undef MELLIX_MODEL_JSON_EXTERN
// The constructor's spec, read from its text as it stands.
extern template std::expected<ContextSpec, ReadError> read_value<ContextSpec, TextValue>(
    const TextValue&, Source);

}  // namespace mellix::json
