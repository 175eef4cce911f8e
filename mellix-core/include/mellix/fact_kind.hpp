// FactKind: the kinds of fact the engine derives.
//
// MELLIX_FACT_KINDS is the one list of kinds: the enumeration, its value
// names, wire names and descriptions are all made from it, and every other
// list of kinds is made from those, the Python package's included (it reads
// them from the extension). Adding a kind is a line here, its rule
// (derive.cpp) and question words (relevance.cpp), and the member of the
// Python enumeration that type checkers see (the package refuses to import
// when that differs from this list).
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

// X(ValueName, "wire_name", "what its value measures", "its evidence"), in
// comparison order. The texts are what hosts show people and models (tool
// schemas); the evidence names the numbers the rule records beside the
// from_ts and to_ts every kind has (mellix/evidence.hpp), and how value
// follows from them.
#define MELLIX_FACT_KINDS(X)                                                                      \
  X(PriceMove, "price_move", "percent change of the close over the look-back window",             \
    "first_close, last_close, bars, lookback, threshold (value = (last_close / first_close - 1) " \
    "* 100)")                                                                                     \
  X(OrderbookImbalance, "orderbook_imbalance",                                                    \
    "bid against ask quantity near the top of the book, -1 to +1, positive is bid-heavy",         \
    "bid_qty, ask_qty over bid_levels and ask_levels levels, threshold (value = (bid_qty - "      \
    "ask_qty) / (bid_qty + ask_qty))")                                                            \
  X(LiquidationCluster, "liquidation_cluster", "liquidated notional; value is long minus short",  \
    "long_notional, short_notional, long_count, short_count, dominant, threshold (value = long "  \
    "- short notional, magnitude = their sum)")                                                   \
  X(FundingFlip, "funding_flip", "the funding rate changed sign; value is the new rate",          \
    "previous_rate, rate")                                                                        \
  X(OiChange, "oi_change", "percent change of open interest",                                     \
    "first_oi, last_oi, points, threshold")                                                       \
  X(VolatilitySpike, "volatility_spike", "recent volatility as a multiple of the one before it",  \
    "recent_std_dev (from recent_from_ts), baseline_std_dev (the window before it), period, "     \
    "threshold (value = recent / baseline)")

namespace mellix {

enum class FactKind : std::uint8_t {
#define MELLIX_FACT_KIND_ENUMERATOR(value_name, wire_name, description, evidence) value_name,
  MELLIX_FACT_KINDS(MELLIX_FACT_KIND_ENUMERATOR)
#undef MELLIX_FACT_KIND_ENUMERATOR
};

inline constexpr std::array kAllFactKinds = {
#define MELLIX_FACT_KIND_VALUE(value_name, wire_name, description, evidence) FactKind::value_name,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_VALUE)
#undef MELLIX_FACT_KIND_VALUE
};

inline constexpr std::array<std::string_view, kAllFactKinds.size()> kFactKindWireNames = {
#define MELLIX_FACT_KIND_WIRE_NAME(value_name, wire_name, description, evidence) wire_name,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_WIRE_NAME)
#undef MELLIX_FACT_KIND_WIRE_NAME
};

inline constexpr std::array<std::string_view, kAllFactKinds.size()> kFactKindValueNames = {
#define MELLIX_FACT_KIND_VALUE_NAME(value_name, wire_name, description, evidence) #value_name,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_VALUE_NAME)
#undef MELLIX_FACT_KIND_VALUE_NAME
};

inline constexpr std::array<std::string_view, kAllFactKinds.size()> kFactKindDescriptions = {
#define MELLIX_FACT_KIND_DESCRIPTION(value_name, wire_name, description, evidence) description,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_DESCRIPTION)
#undef MELLIX_FACT_KIND_DESCRIPTION
};

inline constexpr std::array<std::string_view, kAllFactKinds.size()> kFactKindEvidence = {
#define MELLIX_FACT_KIND_EVIDENCE(value_name, wire_name, description, evidence) evidence,
    MELLIX_FACT_KINDS(MELLIX_FACT_KIND_EVIDENCE)
#undef MELLIX_FACT_KIND_EVIDENCE
};

// "price_move", "orderbook_imbalance", ...
constexpr std::string_view wire_name(FactKind kind) {
  return kFactKindWireNames[static_cast<std::size_t>(kind)];
}

// "percent change of the close over the look-back window", ...
constexpr std::string_view kind_description(FactKind kind) {
  return kFactKindDescriptions[static_cast<std::size_t>(kind)];
}

// "first_close, last_close, bars, lookback, threshold (value = ...)", ...
constexpr std::string_view kind_evidence(FactKind kind) {
  return kFactKindEvidence[static_cast<std::size_t>(kind)];
}

// "PriceMove", "OrderbookImbalance", ...
constexpr std::string_view value_name(FactKind kind) {
  return kFactKindValueNames[static_cast<std::size_t>(kind)];
}

}  // namespace mellix
