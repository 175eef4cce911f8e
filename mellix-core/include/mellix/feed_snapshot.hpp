// FeedSnapshot: everything a build is told about one symbol's market.
//
// Plain owning value types, read from the "feeds" member of a build request
// and then shared read-only by the builder's workers. Lists keep the order of
// their JSON arrays; nothing is sorted or checked for plausibility.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "varnok/candle.hpp"

namespace mellix {

using Candle = varnok::Candle;

// One side's price level: [price, quantity] on the wire.
struct PriceLevel {
  double price = 0.0;
  double qty = 0.0;

  friend bool operator==(const PriceLevel&, const PriceLevel&) = default;
};

struct OrderbookL2 {
  std::int64_t ts = 0;
  std::vector<PriceLevel> bids;  // as given; the rules read the first entries
  std::vector<PriceLevel> asks;

  friend bool operator==(const OrderbookL2&, const OrderbookL2&) = default;
};

struct Trade {
  std::int64_t ts = 0;
  double price = 0.0;
  double qty = 0.0;
  bool buyer_maker = false;

  friend bool operator==(const Trade&, const Trade&) = default;
};

struct FundingPoint {
  std::int64_t ts = 0;
  double rate = 0.0;

  friend bool operator==(const FundingPoint&, const FundingPoint&) = default;
};

struct OiPoint {
  std::int64_t ts = 0;
  double oi = 0.0;

  friend bool operator==(const OiPoint&, const OiPoint&) = default;
};

enum class LiquidationSide : std::uint8_t { Long, Short };

struct Liquidation {
  std::int64_t ts = 0;
  LiquidationSide side = LiquidationSide::Long;
  double price = 0.0;
  double qty = 0.0;

  friend bool operator==(const Liquidation&, const Liquidation&) = default;
};

struct FeedSnapshot {
  std::string symbol;
  std::vector<Candle> candles;  // oldest first
  std::optional<OrderbookL2> orderbook;
  std::vector<Trade> trades;
  std::vector<FundingPoint> funding;
  std::vector<OiPoint> open_interest;
  std::vector<Liquidation> liquidations;

  friend bool operator==(const FeedSnapshot&, const FeedSnapshot&) = default;
};

// Symbol key -> snapshot, ordered by byte-wise comparison of the keys.
using FeedMap = std::map<std::string, FeedSnapshot, std::less<>>;

}  // namespace mellix
