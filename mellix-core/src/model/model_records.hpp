// The wire format of every record of the data model, as field tables.
//
// Each record lists its wire keys in declared order (the order of the array
// form and of written objects) with the member each key fills and whether it
// may be absent. These tables drive both reading (model_json.hpp) and
// writing (context_text.cpp).
#pragma once

#include <array>
#include <string_view>
#include <tuple>

#include "json/record_traits.hpp"
#include "mellix/context_spec.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"

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

}  // namespace mellix::json
