#include "relevance.hpp"

#include <gtest/gtest.h>
#include <unicode/uloc.h>
#include <unicode/utypes.h>

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

// Names each parameterized case after its table entry.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
    return param_info.param.name;
  }
};

using enum FactKind;

Fact fact(FactKind kind, std::string symbol, double magnitude = 1.0) {
  return Fact{.kind = kind,
              .symbol = std::move(symbol),
              .value = magnitude,
              .magnitude = magnitude,
              .ts = 1,
              .human = "x"};
}

std::vector<ToolCall> calls(const std::vector<std::pair<FactKind, std::string>>& pairs) {
  std::vector<ToolCall> out;
  for (const auto& [kind, symbol] : pairs) out.push_back(ToolCall{.kind = kind, .symbol = symbol});
  return out;
}

std::vector<ToolCall> calls_for(const std::vector<FactKind>& kinds, const std::string& symbol) {
  std::vector<ToolCall> out;
  for (const FactKind kind : kinds) out.push_back(ToolCall{.kind = kind, .symbol = symbol});
  return out;
}

// One fact of every kind for one symbol, so the answer lists exactly the
// selected kinds.
std::vector<Fact> one_of_each(const std::string& symbol) {
  std::vector<Fact> facts;
  for (const FactKind kind : kAllFactKinds) facts.push_back(fact(kind, symbol));
  return facts;
}

const std::vector<FactKind> kEverything(kAllFactKinds.begin(), kAllFactKinds.end());

// ---------------------------------------------------------------- keyword selection

struct QuestionCase {
  const char* name;
  std::string question;
  std::vector<FactKind> kinds;  // in kind order
};

class QuestionKindsTest : public ::testing::TestWithParam<QuestionCase> {};

TEST_P(QuestionKindsTest, SelectsKinds) {
  const QuestionCase& c = GetParam();
  EXPECT_EQ(relevant_tool_calls(c.question, one_of_each("BTC")), calls_for(c.kinds, "BTC"));
}

INSTANTIATE_TEST_SUITE_P(
    KeywordRows, QuestionKindsTest,
    ::testing::Values(QuestionCase{"Dump", "dump", {PriceMove, LiquidationCluster}},
                      QuestionCase{"Crash", "crash", {PriceMove, LiquidationCluster}},
                      QuestionCase{"Sell", "sell", {PriceMove, LiquidationCluster}},
                      QuestionCase{"Drop", "drop", {PriceMove}},
                      QuestionCase{"Fall", "fall", {PriceMove}},
                      QuestionCase{"Pump", "pump", {PriceMove, OiChange}},
                      QuestionCase{"Rally", "rally", {PriceMove, OiChange}},
                      QuestionCase{"Moon", "moon", {PriceMove, OiChange}},
                      QuestionCase{"Rise", "rise", {PriceMove}},
                      QuestionCase{"Surge", "surge", {PriceMove, VolatilitySpike}},
                      QuestionCase{"Liquidat", "liquidat", {LiquidationCluster}},
                      QuestionCase{"Cascade", "cascade", {LiquidationCluster}},
                      QuestionCase{"Funding", "funding", {FundingFlip}},
                      QuestionCase{"OpenInterest", "open interest", {OiChange}},
                      QuestionCase{"Leverage", "leverage", {LiquidationCluster, OiChange}},
                      QuestionCase{"OrderSpaceBook", "order book", {OrderbookImbalance}},
                      QuestionCase{"Orderbook", "orderbook", {OrderbookImbalance}},
                      QuestionCase{"Imbalance", "imbalance", {OrderbookImbalance}},
                      QuestionCase{"Book", "book", {OrderbookImbalance}},
                      QuestionCase{"Volatil", "volatil", {VolatilitySpike}},
                      QuestionCase{"Move", "move", {PriceMove}}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Questions, QuestionKindsTest,
    ::testing::Values(
        QuestionCase{"WordInSentence", "why would BTC dump?", {PriceMove, LiquidationCluster}},
        QuestionCase{"Capitals", "WHY THE PUMP", {PriceMove, OiChange}},
        QuestionCase{"StemInsideWord", "Any liquidations?", {LiquidationCluster}},
        QuestionCase{"NoWordBoundaries", "what a surprise", {PriceMove}},
        QuestionCase{"Bookkeeping", "bookkeeping", {OrderbookImbalance}},
        QuestionCase{"Volatility", "Volatility?", {VolatilitySpike}},
        QuestionCase{"LeverageAndFunding",
                     "is leverage building while funding turns?",
                     {LiquidationCluster, FundingFlip, OiChange}},
        QuestionCase{"OpenInterestMixedCase", "Open Interest", {OiChange}},
        QuestionCase{"Greeting", "hello there", kEverything},
        QuestionCase{"Empty", "", kEverything}, QuestionCase{"Punctuation", "?!.,;", kEverything},
        QuestionCase{"OpenInterestTwoSpaces", "open  interest", kEverything},
        QuestionCase{"KelvinSign", "boo\u212A", {OrderbookImbalance}},
        QuestionCase{"NonAsciiCapitals", "\u00C9TAT DU FUNDING", {FundingFlip}}),
    CaseName());

// ---------------------------------------------------------------- pair set

TEST(RelevantToolCalls, KindThenSymbolOrder) {
  const std::vector<Fact> facts = {
      fact(LiquidationCluster, "ETH", 9.0), fact(PriceMove, "ETH", 8.0),
      fact(FundingFlip, "BTC", 7.0),        fact(LiquidationCluster, "BTC", 1.0),
      fact(PriceMove, "BTC", 0.5),
  };
  EXPECT_EQ(relevant_tool_calls("why would BTC dump", facts), calls({{PriceMove, "BTC"},
                                                                     {PriceMove, "ETH"},
                                                                     {LiquidationCluster, "BTC"},
                                                                     {LiquidationCluster, "ETH"}}));
}

TEST(RelevantToolCalls, SymbolsOrderedAsUnsignedBytes) {
  // "\xC3\x89TH" is "ETH" with an accented E: its first byte is above 0x7F and
  // must sort after every ASCII symbol, not before (as a signed char would).
  const std::vector<Fact> facts = {
      fact(PriceMove, "btc"),  fact(PriceMove, "\xC3\x89TH"), fact(PriceMove, "ETHUSD"),
      fact(PriceMove, "ETH"),  fact(PriceMove, "BTC"),        fact(PriceMove, "\x7F"),
      fact(PriceMove, "\xFF"), fact(PriceMove, ""),
  };
  EXPECT_EQ(relevant_tool_calls("move", facts), calls({{PriceMove, ""},
                                                       {PriceMove, "BTC"},
                                                       {PriceMove, "ETH"},
                                                       {PriceMove, "ETHUSD"},
                                                       {PriceMove, "btc"},
                                                       {PriceMove, "\x7F"},
                                                       {PriceMove, "\xC3\x89TH"},
                                                       {PriceMove, "\xFF"}}));
}

TEST(RelevantToolCalls, DuplicatePairsCollapse) {
  const std::vector<Fact> facts = {fact(PriceMove, "BTC", 1.0), fact(PriceMove, "BTC", 2.0),
                                   fact(PriceMove, "BTC", 3.0)};
  EXPECT_EQ(relevant_tool_calls("", facts), calls({{PriceMove, "BTC"}}));
}

TEST(RelevantToolCalls, NoFactsNoCalls) {
  for (const char* question : {"", "dump", "hello", "order book"}) {
    EXPECT_TRUE(relevant_tool_calls(question, {}).empty()) << question;
  }
}

TEST(RelevantToolCalls, SymbolsInTheQuestionPlayNoPart) {
  const std::vector<Fact> facts = {fact(PriceMove, "BTC"), fact(FundingFlip, "BTC")};
  EXPECT_EQ(relevant_tool_calls("will ETH drop?", facts), calls({{PriceMove, "BTC"}}));
}

TEST(RelevantToolCalls, UnselectedKindsAreLeftOut) {
  const std::vector<Fact> facts = {fact(FundingFlip, "BTC"), fact(OiChange, "ETH")};
  EXPECT_TRUE(relevant_tool_calls("order book", facts).empty());
}

TEST(RelevantToolCalls, ToolIsGetFact) {
  EXPECT_EQ(ToolCall::tool, "get_fact");
}

TEST(RelevantToolCalls, IndependentOfFactOrder) {
  std::vector<Fact> facts = {fact(PriceMove, "ETH"), fact(LiquidationCluster, "BTC"),
                             fact(PriceMove, "BTC"), fact(OiChange, "SOL"), fact(PriceMove, "ETH")};
  std::sort(facts.begin(), facts.end(),
            [](const Fact& a, const Fact& b) { return a.symbol < b.symbol; });
  const std::vector<ToolCall> expected = calls(
      {{PriceMove, "BTC"}, {PriceMove, "ETH"}, {LiquidationCluster, "BTC"}, {OiChange, "SOL"}});
  std::vector<std::size_t> order = {0, 1, 2, 3, 4};
  do {
    std::vector<Fact> shuffled;
    for (const std::size_t i : order) shuffled.push_back(facts[i]);
    ASSERT_EQ(relevant_tool_calls("crash or pump", shuffled), expected);
  } while (std::next_permutation(order.begin(), order.end()));
}

// ---------------------------------------------------------------- lower-casing

struct LowerCase {
  const char* name;
  std::string input;
  std::string expected;
};

class LowercaseFullTest : public ::testing::TestWithParam<LowerCase> {};

TEST_P(LowercaseFullTest, Lowers) {
  const LowerCase& c = GetParam();
  EXPECT_EQ(lowercase_full(c.input), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LowercaseFullTest,
    ::testing::Values(
        LowerCase{"AsciiOnlyLetters", "WHY The PUMP? [AZ@`]", "why the pump? [az@`]"},
        LowerCase{"Empty", "", ""},
        // The same ASCII capitals must lower in the non-ASCII path too.
        LowerCase{"AsciiBesideNonAscii", "\u00C0B CRASH", "\u00E0b crash"},
        LowerCase{"DottedCapitalI", "\u0130", "i\u0307"},
        LowerCase{"DottedCapitalIInWord", "\u0130STANBUL", "i\u0307stanbul"},
        LowerCase{"KelvinSign", "\u212A", "k"},
        LowerCase{"FinalSigmaAtWordEnd", "\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},
        LowerCase{"FinalSigmaBeforeSpace", "\u039F\u03A3 \u039F\u03A3",
                  "\u03BF\u03C2 \u03BF\u03C2"},
        LowerCase{"SigmaInsideWord", "\u0391\u03A3\u0391", "\u03B1\u03C3\u03B1"},
        LowerCase{"SigmaAtWordStart", "\u03A3\u0391", "\u03C3\u03B1"},
        LowerCase{"LoneSigma", "\u03A3", "\u03C3"},
        // The apostrophe is case-ignorable: the letter after it still counts.
        LowerCase{"SigmaBeforeIgnorableThenLetter", "\u0391\u03A3'\u0391", "\u03B1\u03C3'\u03B1"},
        LowerCase{"SigmaBeforeIgnorableAtEnd", "\u0391\u03A3'", "\u03B1\u03C2'"},
        // Lithuanian rules would keep a dot here (i + U+0307 + U+0300).
        LowerCase{"CapitalIWithGrave", "\u00CC", "\u00EC"},
        LowerCase{"TitlecaseDigraph", "\u01C5", "\u01C6"},
        LowerCase{"AlreadyLower", "stra\u00DFe \u03C3", "stra\u00DFe \u03C3"},
        LowerCase{"InvalidBytesCopied",
                  "\xFF\xFE"
                  "ABC\xC3",
                  "\xFF\xFE"
                  "abc\xC3"}),
    CaseName());

TEST(LowercaseFull, IgnoresTheProcessLocale) {
  // Turkish rules would map I to a dotless i and drop the dot of U+0130.
  const std::string saved = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("tr_TR", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  const std::string capital_i = lowercase_full("I\u00C9");
  const std::string dotted_i = lowercase_full("\u0130");
  uloc_setDefault(saved.c_str(), &status);
  EXPECT_EQ(capital_i, "i\u00E9");
  EXPECT_EQ(dotted_i, "i\u0307");
}

}  // namespace
}  // namespace mellix
