// FactKind: the six kinds of fact the engine derives.
//
// The enumerator order is the comparison order wherever kinds are sorted or
// ranked. Wire names are the only text form in JSON; value names appear only
// in the duplicate-kind validation message; reading a kind from JSON goes
// through the enum conversion of the JSON layer. All functions are pure.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace mellix {

enum class FactKind : std::uint8_t {
  PriceMove,
  OrderbookImbalance,
  LiquidationCluster,
  FundingFlip,
  OiChange,
  VolatilitySpike,
};

inline constexpr std::array<FactKind, 6> kAllFactKinds = {
    FactKind::PriceMove,   FactKind::OrderbookImbalance, FactKind::LiquidationCluster,
    FactKind::FundingFlip, FactKind::OiChange,           FactKind::VolatilitySpike,
};

inline constexpr std::array<std::string_view, 6> kFactKindWireNames = {
    "price_move",   "orderbook_imbalance", "liquidation_cluster",
    "funding_flip", "oi_change",           "volatility_spike",
};

// "price_move", "orderbook_imbalance", ...
constexpr std::string_view wire_name(FactKind kind) {
  return kFactKindWireNames[static_cast<std::size_t>(kind)];
}

// "PriceMove", "OrderbookImbalance", ...
constexpr std::string_view value_name(FactKind kind) {
  constexpr std::array<std::string_view, 6> names = {
      "PriceMove",   "OrderbookImbalance", "LiquidationCluster",
      "FundingFlip", "OiChange",           "VolatilitySpike",
  };
  return names[static_cast<std::size_t>(kind)];
}

}  // namespace mellix
