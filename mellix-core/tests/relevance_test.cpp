#include "rules/relevance.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace mellix {

// Readable failure output for call lists.
void PrintTo(const ToolCall& call, std::ostream* os) {
  *os << "{" << wire_name(call.kind) << ", \"" << call.symbol << "\"}";
}

namespace {

using enum FactKind;

Fact fact(FactKind kind, std::string symbol) {
  return {.kind = kind, .symbol = std::move(symbol), .value = 1, .magnitude = 1, .human = "x"};
}

std::vector<ToolCall> calls(const std::vector<std::pair<FactKind, std::string>>& pairs) {
  std::vector<ToolCall> out;
  for (const auto& [kind, symbol] : pairs) out.push_back({.kind = kind, .symbol = symbol});
  return out;
}

struct QuestionCase {
  std::string question;
  std::vector<FactKind> kinds;  // in kind order
};

class QuestionKindsTest : public ::testing::TestWithParam<QuestionCase> {};

// Keywords match as plain substrings of the lower-cased question; a question
// that names nothing is about everything.
TEST_P(QuestionKindsTest, SelectsKinds) {
  const QuestionCase& c = GetParam();
  std::vector<Fact> facts;
  for (const FactKind kind : kAllFactKinds) facts.push_back(fact(kind, "BTC"));
  std::vector<std::pair<FactKind, std::string>> expected;
  for (const FactKind kind : c.kinds) expected.emplace_back(kind, "BTC");
  EXPECT_EQ(relevant_tool_calls(c.question, facts), calls(expected)) << c.question;
}

const std::vector<FactKind> kEverything(kAllFactKinds.begin(), kAllFactKinds.end());

INSTANTIATE_TEST_SUITE_P(
    Questions, QuestionKindsTest,
    ::testing::Values(QuestionCase{"why would BTC dump?", {PriceMove, LiquidationCluster}},
                      QuestionCase{"WHY THE PUMP", {PriceMove, OiChange}},
                      QuestionCase{"Any liquidations?", {LiquidationCluster}},
                      QuestionCase{"what a surprise", {PriceMove}},  // "rise", inside a word
                      QuestionCase{"is leverage building while funding turns?",
                                   {LiquidationCluster, FundingFlip, OiChange}},
                      QuestionCase{"Open Interest", {OiChange}},
                      QuestionCase{"open  interest", kEverything},
                      QuestionCase{"hello there", kEverything}, QuestionCase{"", kEverything},
                      // Non-ASCII text goes through full Unicode lower-casing: the Kelvin
                      // sign lowers to an ASCII k, and ASCII capitals beside accents too.
                      QuestionCase{"boo\u212A", {OrderbookImbalance}},
                      QuestionCase{"\u00C9TAT DU FUNDING", {FundingFlip}}));

TEST(RelevantToolCalls, OnePerKindAndSymbolInKindThenByteOrder) {
  // "\xC3\x89TH" starts with a byte above 0x7F: it sorts after every ASCII
  // symbol, not before (as a signed char would).
  std::vector<Fact> facts = {fact(LiquidationCluster, "ETH"), fact(PriceMove, "\xC3\x89TH"),
                             fact(FundingFlip, "BTC"),        fact(LiquidationCluster, "BTC"),
                             fact(PriceMove, "btc"),          fact(PriceMove, "BTC"),
                             fact(PriceMove, "BTC")};
  const std::vector<ToolCall> expected = calls({{PriceMove, "BTC"},
                                                {PriceMove, "btc"},
                                                {PriceMove, "\xC3\x89TH"},
                                                {LiquidationCluster, "BTC"},
                                                {LiquidationCluster, "ETH"}});
  // Symbols in the question play no part, and neither does the facts' order.
  std::sort(facts.begin(), facts.end(),
            [](const Fact& a, const Fact& b) { return a.symbol < b.symbol; });
  do {
    ASSERT_EQ(relevant_tool_calls("will ETH dump?", facts), expected);
  } while (std::next_permutation(facts.begin(), facts.end(),
                                 [](const Fact& a, const Fact& b) { return a.symbol < b.symbol; }));
  EXPECT_TRUE(relevant_tool_calls("order book", facts).empty());
}

}  // namespace
}  // namespace mellix
