#include "builder.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "derive.hpp"
#include "pool.hpp"

namespace mellix {
namespace {

using SymbolFacts = std::optional<std::pair<std::string, std::vector<Fact>>>;

SymbolFacts derive_symbol(const std::string& symbol, const ContextSpec& spec,
                          const FeedMap& feeds) {
  const auto it = feeds.find(symbol);
  if (it == feeds.end()) return std::nullopt;
  return std::make_pair(symbol, derive_facts(it->second, spec));
}

}  // namespace

void rank_facts(std::vector<Fact>& facts) {
  std::stable_sort(facts.begin(), facts.end(), [](const Fact& a, const Fact& b) {
    using Key = RankKey<std::string_view>;
    return ranks_before(Key{a.magnitude, a.kind, a.symbol, a.ts},
                        Key{b.magnitude, b.kind, b.symbol, b.ts});
  });
}

std::expected<MarketContext, EngineError> build_context(const ContextSpec& spec,
                                                        const FeedMap& feeds) {
  if (auto valid = validate(spec); !valid) return std::unexpected(std::move(valid.error()));

  // One slot per listed symbol, written by exactly one task: gathering the slots
  // in index order afterwards gives spec order whatever the scheduling.
  const std::vector<std::string>& symbols = spec.symbols;
  std::vector<SymbolFacts> per_symbol(symbols.size());
  parallel_ranges(symbols.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i != end; ++i)
      per_symbol[i] = derive_symbol(symbols[i], spec, feeds);
  });

  // A symbol listed twice keeps its first key and its later fact list.
  std::map<std::string, std::vector<Fact>, std::less<>> by_symbol;
  std::size_t fact_count = 0;
  for (SymbolFacts& entry : per_symbol) {
    if (!entry) continue;
    fact_count += entry->second.size();
    by_symbol.insert_or_assign(std::move(entry->first), std::move(entry->second));
  }

  MarketContext context;
  context.lookback = spec.lookback;
  context.facts.reserve(fact_count);
  context.symbols.reserve(by_symbol.size());
  for (auto& [symbol, facts] : by_symbol) {
    std::move(facts.begin(), facts.end(), std::back_inserter(context.facts));
    context.symbols.push_back(symbol);
  }
  rank_facts(context.facts);
  return context;
}

}  // namespace mellix
