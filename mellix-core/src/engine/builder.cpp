#include "engine/builder.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "rules/derive.hpp"
#include "system/pool.hpp"

namespace mellix {
namespace {

// A symbol's facts, and their evidence when asked for.
struct Derived {
  std::vector<Fact> facts;
  std::vector<Evidence> evidence;
};

using SymbolFacts = std::optional<std::pair<std::string, Derived>>;

SymbolFacts derive_symbol(const std::string& symbol, const ContextSpec& spec, const FeedMap& feeds,
                          bool explain) {
  const auto it = feeds.find(symbol);
  if (it == feeds.end()) return std::nullopt;
  Derived derived;
  derived.facts = derive_facts(it->second, spec, explain ? &derived.evidence : nullptr);
  return std::make_pair(symbol, std::move(derived));
}

bool fact_ranks_before(const Fact& a, const Fact& b) {
  using Key = RankKey<std::string_view>;
  return ranks_before(Key{a.magnitude, a.kind, a.symbol, a.ts},
                      Key{b.magnitude, b.kind, b.symbol, b.ts});
}

// The facts ranked with their evidence alongside.
void rank_explained(std::vector<Fact>& facts, std::vector<Evidence>& evidence) {
  std::vector<std::size_t> order(facts.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return fact_ranks_before(facts[a], facts[b]);
  });
  std::vector<Fact> ranked_facts;
  std::vector<Evidence> ranked_evidence;
  ranked_facts.reserve(facts.size());
  ranked_evidence.reserve(facts.size());
  for (const std::size_t i : order) {
    ranked_facts.push_back(std::move(facts[i]));
    ranked_evidence.push_back(evidence[i]);
  }
  facts = std::move(ranked_facts);
  evidence = std::move(ranked_evidence);
}

}  // namespace

void rank_facts(std::vector<Fact>& facts) {
  std::stable_sort(facts.begin(), facts.end(), fact_ranks_before);
}

std::expected<MarketContext, EngineError> build_context(const ContextSpec& spec,
                                                        const FeedMap& feeds,
                                                        std::vector<Evidence>* evidence) {
  if (auto valid = validate(spec); !valid) return std::unexpected(std::move(valid.error()));

  // One slot per listed symbol, written by exactly one task: gathering the slots
  // in index order afterwards gives spec order whatever the scheduling.
  const std::vector<std::string>& symbols = spec.symbols;
  std::vector<SymbolFacts> per_symbol(symbols.size());
  parallel_ranges(symbols.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i != end; ++i)
      per_symbol[i] = derive_symbol(symbols[i], spec, feeds, evidence != nullptr);
  });

  // A symbol listed twice keeps its first key and its later fact list.
  std::map<std::string, Derived, std::less<>> by_symbol;
  std::size_t fact_count = 0;
  for (SymbolFacts& entry : per_symbol) {
    if (!entry) continue;
    fact_count += entry->second.facts.size();
    by_symbol.insert_or_assign(std::move(entry->first), std::move(entry->second));
  }

  MarketContext context;
  context.lookback = spec.lookback;
  context.facts.reserve(fact_count);
  context.symbols.reserve(by_symbol.size());
  for (auto& [symbol, derived] : by_symbol) {
    std::move(derived.facts.begin(), derived.facts.end(), std::back_inserter(context.facts));
    if (evidence) {
      evidence->insert(evidence->end(), derived.evidence.begin(), derived.evidence.end());
    }
    context.symbols.push_back(symbol);
  }
  if (evidence) {
    rank_explained(context.facts, *evidence);
  } else {
    rank_facts(context.facts);
  }
  return context;
}

}  // namespace mellix
