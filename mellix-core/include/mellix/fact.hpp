// Fact and MarketContext: the records in which derived knowledge travels.
//
// Plain owning value types. A Fact's value and magnitude are already rounded
// to steps of 1e-8 by the rule that made it; a MarketContext's facts are in
// ranked order. Equality compares every member exactly (NaN != NaN).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mellix/fact_kind.hpp"

namespace mellix {

struct Fact {
  FactKind kind = FactKind::PriceMove;
  std::string symbol;
  double value = 0.0;
  double magnitude = 0.0;
  std::int64_t ts = 0;
  std::string human;

  friend bool operator==(const Fact&, const Fact&) = default;
};

struct MarketContext {
  std::vector<Fact> facts;           // ranked, most significant first
  std::vector<std::string> symbols;  // spec symbols that had a snapshot, ascending
  std::uint32_t lookback = 0;

  friend bool operator==(const MarketContext&, const MarketContext&) = default;
};

}  // namespace mellix
