// build_context: all symbols of a spec derived and ranked into a MarketContext.
//
// Validates the spec first (a bad-spec error ends the build), derives each
// spec symbol that has a snapshot on the process-wide work-stealing pool (a
// single symbol runs on the calling thread), and ranks the facts. The result
// does not depend on the pool's size or scheduling. Workers only read `spec`
// and `feeds`; the calling thread blocks until every symbol is done. Given
// `evidence`, it is filled with the evidence of each fact, in the context's
// fact order (mellix/evidence.hpp); a build without it records none.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "mellix/context_spec.hpp"
#include "mellix/engine_error.hpp"
#include "mellix/evidence.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"

namespace mellix {

std::expected<MarketContext, EngineError> build_context(const ContextSpec& spec,
                                                        const FeedMap& feeds,
                                                        std::vector<Evidence>* evidence = nullptr);

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

// Stable sort by rank.
void rank_facts(std::vector<Fact>& facts);

}  // namespace mellix
