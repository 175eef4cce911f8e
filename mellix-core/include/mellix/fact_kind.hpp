// FactKind: the kinds of fact the engine derives.
//
// MELLIX_FACT_KINDS is the one list of kinds: the enumeration, its value
// names and its wire names are all made from it, and every other list of
// kinds in the engine is made from those. Adding a kind is a line here and
// its rule (derive.cpp), sentence and question words (relevance.cpp).
//
// The enumerator order is the comparison order wherever kinds are sorted or
// ranked. Wire names are the only text form in JSON; value names appear only
// in the duplicate-kind validation message; reading a kind from JSON goes
// through the enum conversion of the JSON layer. All functions are pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// X(ValueName, "wire_name"), in comparison order.
#define MELLIX_FACT_KINDS(X)                   \
  X(PriceMove, "price_move")                   \
  X(OrderbookImbalance, "orderbook_imbalance") \
  X(LiquidationCluster, "liquidation_cluster") \
  X(FundingFlip, "funding_flip")               \
  X(OiChange, "oi_change")                     \
  X(VolatilitySpike, "volatility_spike")

namespace mellix {

enum class FactKind : std::uint8_t {
#define MELLIX_FACT_KIND_ENUMERATOR(value_name, wire_name) value_name,
  MELLIX_FACT_KINDS(MELLIX_FACT_KIND_ENUMERATOR)
#undef MELLIX_FACT_KIND_ENUMERATOR
};

inline constexpr std::array kAllFactKinds = {
#define MELLIX_FACT_KIND_VALUE(value_name, wire_name) FactKind::value_name,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_VALUE)
#undef MELLIX_FACT_KIND_VALUE
};

inline constexpr std::array<std::string_view, kAllFactKinds.size()> kFactKindWireNames = {
#define MELLIX_FACT_KIND_WIRE_NAME(value_name, wire_name) wire_name,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_WIRE_NAME)
#undef MELLIX_FACT_KIND_WIRE_NAME
};

inline constexpr std::array<std::string_view, kAllFactKinds.size()> kFactKindValueNames = {
#define MELLIX_FACT_KIND_VALUE_NAME(value_name, wire_name) #value_name,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_VALUE_NAME)
#undef MELLIX_FACT_KIND_VALUE_NAME
};

// "price_move", "orderbook_imbalance", ...
constexpr std::string_view wire_name(FactKind kind) {
  return kFactKindWireNames[static_cast<std::size_t>(kind)];
}

// "PriceMove", "OrderbookImbalance", ...
constexpr std::string_view value_name(FactKind kind) {
  return kFactKindValueNames[static_cast<std::size_t>(kind)];
}

}  // namespace mellix
