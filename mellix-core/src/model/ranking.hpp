// How facts rank: the one ordering of builds, replays and merges.
//
// A fact ranks by magnitude descending in IEEE-754 total order, then kind,
// symbol and ts ascending; facts equal on all four keep their order (every
// user sorts stably). Pure, header-only.
#pragma once

#include <bit>
#include <cstdint>

#include "mellix/fact_kind.hpp"

namespace mellix {

// Maps a double onto a signed integer whose order is IEEE-754 totalOrder:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline std::int64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// What ranks a fact: magnitude descending by IEEE total order, then kind,
// symbol and ts ascending. `Symbol` is the symbol's text, compared by its
// bytes, or any number whose order is that of the texts.
template <class Symbol>
struct RankKey {
  double magnitude;
  FactKind kind;
  Symbol symbol;
  std::int64_t ts;
};

template <class Symbol>
bool ranks_before(const RankKey<Symbol>& a, const RankKey<Symbol>& b) {
  const std::int64_t ma = total_order_key(a.magnitude);
  const std::int64_t mb = total_order_key(b.magnitude);
  if (ma != mb) return ma > mb;
  if (a.kind != b.kind) return a.kind < b.kind;
  if (a.symbol != b.symbol) return a.symbol < b.symbol;
  return a.ts < b.ts;
}

}  // namespace mellix
