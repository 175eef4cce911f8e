#include "rules/relevance.hpp"

#include "rules/lowercase.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <utility>

namespace mellix {
namespace {

// A set of kinds as one bit per kind; iteration order never matters because
// the answer's order comes from the pair set below.
using KindMask = std::uint32_t;
static_assert(kAllFactKinds.size() <= 32, "a kind mask holds 32 kinds");

constexpr KindMask mask_of(FactKind kind) {
  return static_cast<KindMask>(1U << static_cast<unsigned>(kind));
}

constexpr KindMask mask_of(std::initializer_list<FactKind> kinds) {
  KindMask mask = 0;
  for (const FactKind kind : kinds) mask = static_cast<KindMask>(mask | mask_of(kind));
  return mask;
}

constexpr KindMask kEveryKind = [] {
  KindMask mask = 0;
  for (const FactKind kind : kAllFactKinds) mask |= mask_of(kind);
  return mask;
}();

struct KeywordRow {
  std::string_view keyword;  // lower-case; matched as a plain substring
  KindMask kinds;
};

using enum FactKind;

// Stems ("liquidat", "volatil") catch every inflection; the two-word keywords
// hold exactly one ASCII space.
constexpr std::array<KeywordRow, 21> kKeywords = {{
    {"dump", mask_of({PriceMove, LiquidationCluster})},
    {"crash", mask_of({PriceMove, LiquidationCluster})},
    {"sell", mask_of({PriceMove, LiquidationCluster})},
    {"drop", mask_of({PriceMove})},
    {"fall", mask_of({PriceMove})},
    {"pump", mask_of({PriceMove, OiChange})},
    {"rally", mask_of({PriceMove, OiChange})},
    {"moon", mask_of({PriceMove, OiChange})},
    {"rise", mask_of({PriceMove})},
    {"surge", mask_of({PriceMove, VolatilitySpike})},
    {"liquidat", mask_of({LiquidationCluster})},
    {"cascade", mask_of({LiquidationCluster})},
    {"funding", mask_of({FundingFlip})},
    {"open interest", mask_of({OiChange})},
    {"leverage", mask_of({OiChange, LiquidationCluster})},
    {"order book", mask_of({OrderbookImbalance})},
    {"orderbook", mask_of({OrderbookImbalance})},
    {"imbalance", mask_of({OrderbookImbalance})},
    {"book", mask_of({OrderbookImbalance})},
    {"volatil", mask_of({VolatilitySpike})},
    {"move", mask_of({PriceMove})},
}};

}  // namespace

std::vector<ToolCall> relevant_tool_calls(std::string_view question, std::span<const Fact> facts) {
  const std::string lowered = lowercase_full(question);

  KindMask relevant = 0;
  for (const KeywordRow& row : kKeywords) {
    if (lowered.find(row.keyword) != std::string::npos) {
      relevant = static_cast<KindMask>(relevant | row.kinds);
    }
  }
  // A question that names nothing specific is about everything.
  if (relevant == 0) relevant = kEveryKind;

  // Ordered by kind, then by symbol bytes (char_traits<char> compares as
  // unsigned char, so non-ASCII bytes sort after ASCII), which makes the
  // answer independent of the facts' ranking and order.
  std::set<std::pair<FactKind, std::string_view>> pairs;
  for (const Fact& fact : facts) {
    if ((relevant & mask_of(fact.kind)) != 0) pairs.emplace(fact.kind, fact.symbol);
  }

  std::vector<ToolCall> calls;
  calls.reserve(pairs.size());
  for (const auto& [kind, symbol] : pairs) {
    calls.push_back(ToolCall{.kind = kind, .symbol = std::string(symbol)});
  }
  return calls;
}

}  // namespace mellix
