// JSON reading of the data model: ContextSpec, FeedMap and MarketContext.
//
// The record tables (RecordTraits/EnumTraits) below are the single source of
// every record's wire format; read_value() converts a parsed value into any of
// the three top-level types for either source flavour (see json/reader.hpp).
// Conversions only read the view and allocate the result; thread-compatible.
#pragma once

#include <expected>

#include "mellix/context_spec.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"
#include "json/exact_document.hpp"
#include "json/fast_value.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"

namespace mellix::json {

template <>
struct EnumTraits<FactKind> {
  static constexpr auto& names = kFactKindWireNames;
};

template <>
struct EnumTraits<LiquidationSide> {
  static constexpr std::array<std::string_view, 2> names = {"long", "short"};
};

template <>
struct RecordTraits<ContextSpec> {
  static constexpr std::string_view name = "struct ContextSpec";
  static constexpr auto fields =
      std::make_tuple(required_field("symbols", &ContextSpec::symbols),
                      required_field("lookback", &ContextSpec::lookback),
                      required_field("facts", &ContextSpec::facts),
                      optional_field("timeframe", &ContextSpec::timeframe));
};

template <>
struct RecordTraits<Candle> {
  static constexpr std::string_view name = "struct Candle";
  static constexpr auto fields = std::make_tuple(
      required_field("ts", &Candle::ts), required_field("open", &Candle::open),
      required_field("high", &Candle::high), required_field("low", &Candle::low),
      required_field("close", &Candle::close), required_field("volume", &Candle::volume));
};

template <>
struct RecordTraits<OrderbookL2> {
  static constexpr std::string_view name = "struct OrderbookL2";
  static constexpr auto fields = std::make_tuple(required_field("ts", &OrderbookL2::ts),
                                                 required_field("bids", &OrderbookL2::bids),
                                                 required_field("asks", &OrderbookL2::asks));
};

template <>
struct RecordTraits<Trade> {
  static constexpr std::string_view name = "struct Trade";
  static constexpr auto fields = std::make_tuple(
      required_field("ts", &Trade::ts), required_field("price", &Trade::price),
      required_field("qty", &Trade::qty), required_field("buyer_maker", &Trade::buyer_maker));
};

template <>
struct RecordTraits<FundingPoint> {
  static constexpr std::string_view name = "struct FundingPoint";
  static constexpr auto fields = std::make_tuple(required_field("ts", &FundingPoint::ts),
                                                 required_field("rate", &FundingPoint::rate));
};

template <>
struct RecordTraits<OiPoint> {
  static constexpr std::string_view name = "struct OiPoint";
  static constexpr auto fields =
      std::make_tuple(required_field("ts", &OiPoint::ts), required_field("oi", &OiPoint::oi));
};

template <>
struct RecordTraits<Liquidation> {
  static constexpr std::string_view name = "struct Liquidation";
  static constexpr auto fields = std::make_tuple(
      required_field("ts", &Liquidation::ts), required_field("side", &Liquidation::side),
      required_field("price", &Liquidation::price), required_field("qty", &Liquidation::qty));
};

template <>
struct RecordTraits<FeedSnapshot> {
  static constexpr std::string_view name = "struct FeedSnapshot";
  static constexpr auto fields =
      std::make_tuple(required_field("symbol", &FeedSnapshot::symbol),
                      required_field("candles", &FeedSnapshot::candles),
                      optional_field("orderbook", &FeedSnapshot::orderbook),
                      optional_field("trades", &FeedSnapshot::trades),
                      optional_field("funding", &FeedSnapshot::funding),
                      optional_field("open_interest", &FeedSnapshot::open_interest),
                      optional_field("liquidations", &FeedSnapshot::liquidations));
};

template <>
struct RecordTraits<Fact> {
  static constexpr std::string_view name = "struct Fact";
  static constexpr auto fields = std::make_tuple(
      required_field("kind", &Fact::kind), required_field("symbol", &Fact::symbol),
      required_field("value", &Fact::value), required_field("magnitude", &Fact::magnitude),
      required_field("ts", &Fact::ts), required_field("human", &Fact::human));
};

template <>
struct RecordTraits<MarketContext> {
  static constexpr std::string_view name = "struct MarketContext";
  static constexpr auto fields =
      std::make_tuple(required_field("facts", &MarketContext::facts),
                      required_field("symbols", &MarketContext::symbols),
                      required_field("lookback", &MarketContext::lookback));
};

// A price level is exactly [price, quantity]; it has no object form.
template <>
struct Conversion<PriceLevel> {
  template <class V>
  static bool read(Reader<V>& r, const V& v, PriceLevel& out) {
    static constexpr std::string_view kExpected = "an array of length 2";
    if (v.type() != ValueType::Array) return r.invalid_type(v, kExpected);
    std::size_t index = 0;
    bool failed = false;
    v.for_each_element([&](const V& element) {
      if (index >= 2) return false;
      failed = !r.read(element, index++ == 0 ? out.price : out.qty);
      return !failed;
    });
    if (failed) return false;
    const std::size_t present = v.size();
    if (present < 2) return r.invalid_length(v, present, kExpected);
    if (present > 2) return r.too_many_elements(v, 2);
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

}  // namespace mellix::json
