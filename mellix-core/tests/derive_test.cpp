#include "rules/derive.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "rules/sentence_format.hpp"

namespace mellix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
// 3000000 * 1e-8 in binary floating point; the literal 0.03 is one ulp lower.
constexpr double kRoundedThreeHundredths = 0.030000000000000002;

TEST(RoundFactNumber, RoundsToStepsOfOneE8ByDivision) {
  const std::pair<double, double> cases[] = {
      {2.123456789, 2.12345679},
      {-5e-9, -1e-8},  // exactly half a step: away from zero
      {0.03, kRoundedThreeHundredths},
      // 7.5e-8 / 1e-8 is just below 7.5, while 7.5e-8 * 1e8 is 7.5 exactly.
      {7.5e-8, 7e-8},
      // The quotient would overflow: the value must stay as it is.
      {1.8e300, 1.8e300},
      {-kMax, -kMax},
      {kInf, kInf},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(round_fact_number(input), expected) << input;
  EXPECT_TRUE(std::isnan(round_fact_number(kNaN)));
}

TEST(SentenceFormat, FixedPointIsExactWithTiesToEvenAndNoExponent) {
  const auto fixed = [](double value, int decimals, bool is_signed) {
    std::string out = "x";  // the helpers append, never overwrite
    is_signed ? sentence::append_signed_fixed(out, value, decimals)
              : sentence::append_fixed(out, value, decimals);
    return out.substr(1);
  };
  EXPECT_EQ(fixed(2.125, 2, false), "2.12");
  EXPECT_EQ(fixed(2.375, 2, false), "2.38");
  EXPECT_EQ(fixed(-0.0, 2, true), "-0.00");
  const std::string largest = fixed(kMax, 2, false);
  EXPECT_EQ(largest.size(), 309U + 3U);
  EXPECT_EQ(largest.substr(0, 6), "179769");
}

// ---------------------------------------------------------------- the six rules

FeedSnapshot closes(const std::vector<double>& closes) {
  FeedSnapshot out;
  for (std::size_t i = 0; i < closes.size(); ++i) {
    const double c = closes[i];
    out.candles.push_back({static_cast<std::int64_t>(1000 + 60 * i), c, c, c, c, 1.0});
  }
  return out;
}

FeedSnapshot book(std::int64_t ts, const std::vector<double>& bids,
                  const std::vector<double>& asks) {
  OrderbookL2 book{.ts = ts};
  for (const double qty : bids) book.bids.push_back({100.0, qty});
  for (const double qty : asks) book.asks.push_back({100.0, qty});
  return {.orderbook = book};
}

FeedSnapshot liquidations(std::vector<Liquidation> liquidations) {
  return {.liquidations = std::move(liquidations)};
}
constexpr LiquidationSide kLong = LiquidationSide::Long;
constexpr LiquidationSide kShort = LiquidationSide::Short;

FeedSnapshot funding(const std::vector<double>& rates) {
  FeedSnapshot out;
  for (const double rate : rates) out.funding.push_back({100 + std::ssize(out.funding), rate});
  return out;
}

FeedSnapshot open_interest(const std::vector<double>& values) {
  FeedSnapshot out;
  for (const double oi : values)
    out.open_interest.push_back({500 + std::ssize(out.open_interest), oi});
  return out;
}

struct Expected {
  double value;
  double magnitude;
  std::int64_t ts;
  const char* human;
};

struct RuleCase {
  const char* name;
  FactKind kind;
  std::uint32_t lookback;
  FeedSnapshot snapshot;  // the symbol is filled in by the test
  std::optional<Expected> expected = std::nullopt;
};

class RuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RuleTest, DerivesAtMostOneExactFact) {
  const RuleCase& c = GetParam();
  FeedSnapshot snapshot = c.snapshot;
  snapshot.symbol = "BTC";
  const ContextSpec spec{.symbols = {"BTC"}, .lookback = c.lookback, .facts = {c.kind}};
  const std::vector<Fact> facts = derive_facts(snapshot, spec);
  if (!c.expected) {
    EXPECT_TRUE(facts.empty()) << facts.front().human;
    return;
  }
  const Expected& e = *c.expected;
  EXPECT_EQ(facts, (std::vector<Fact>{{c.kind, "BTC", e.value, e.magnitude, e.ts, e.human}}))
      << (facts.empty() ? "no fact" : facts.front().human);
}

using enum FactKind;

// Thresholds are inclusive, and every rule guards its divisions and sums.
// The newest of n candles has ts 1000 + 60 * (n - 1).
INSTANTIATE_TEST_SUITE_P(
    Cases, RuleTest,
    ::testing::Values(
        RuleCase{"PriceExactlyOnePercent", PriceMove, 2, closes({100, 101}),
                 Expected{1.0, 1.0, 1060, "BTC rose +1.00% over the last 2 bars."}},
        RuleCase{"PriceJustBelowOnePercentDrop", PriceMove, 2, closes({100, 99.01})},
        // Only the last L candles count; the sentence names L, not the candles seen.
        RuleCase{"PriceWindowIsLastLookbackBars", PriceMove, 2, closes({50, 100, 97}),
                 Expected{-3.0, 3.0, 1120, "BTC dropped -3.00% over the last 2 bars."}},
        RuleCase{"PriceShortHistoryNamesLookback", PriceMove, 5, closes({100, 102.123456789}),
                 Expected{2.12345679, 2.12345679, 1060, "BTC rose +2.12% over the last 5 bars."}},
        RuleCase{"PriceQuotientOverflows", PriceMove, 20, closes({1e-300, 1e300})},
        RuleCase{"BookExactlyPointTwo", OrderbookImbalance, 20, book(78, {2}, {3}),
                 Expected{-0.2, 0.2, 78, "BTC order book is ask-heavy (imbalance -0.20)."}},
        RuleCase{"BookJustBelowPointTwo", OrderbookImbalance, 20, book(1, {3}, {2.0000001})},
        // Ten bids of 1 against an ask of 5 is 1/3; the eleventh bid is not read.
        RuleCase{
            "BookEleventhLevelIgnored", OrderbookImbalance, 20,
            book(5, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1000}, {5}),
            Expected{0.33333333, 0.33333333, 5, "BTC order book is bid-heavy (imbalance +0.33)."}},
        RuleCase{"BookSumOverflows", OrderbookImbalance, 20, book(1, {kMax, kMax}, {1})},
        RuleCase{"LiquidationTotalExactlyOne", LiquidationCluster, 20,
                 liquidations({{3, kShort, 0.5, 2}}),
                 Expected{-1.0, 1.0, 3, "BTC saw 1.00 notional liquidated (short-dominated)."}},
        // Ties go long; the latest ts is found by value, not position.
        RuleCase{"LiquidationTieGoesLongLatestTsByValue", LiquidationCluster, 20,
                 liquidations({{5, kLong, 10, 2}, {20, kShort, 4, 5}, {-10, kShort, 0, 1}}),
                 Expected{0.0, 40.0, 20, "BTC saw 40.00 notional liquidated (long-dominated)."}},
        RuleCase{
            "LiquidationHugeTotalPrintsAllDigits", LiquidationCluster, 20,
            liquidations({{1, kLong, 1e10, 1e10}}),
            Expected{1e20, 1e20, 1,
                     "BTC saw 100000000000000000000.00 notional liquidated (long-dominated)."}},
        RuleCase{"LiquidationOppositeInfinities", LiquidationCluster, 20,
                 liquidations({{1, kLong, 1e200, 1e200}, {2, kShort, 1e200, 1e200}})},
        RuleCase{"FundingLaterOfTwoFlipsWins", FundingFlip, 20, funding({0.01, -0.02, 0.03, 0.04}),
                 Expected{kRoundedThreeHundredths, 0.05, 102,
                          "BTC funding flipped to positive (+0.0300)."}},
        RuleCase{"FundingThroughZeroIsNoFlip", FundingFlip, 20, funding({0.01, 0.0, -0.01})},
        RuleCase{"FundingProductUnderflows", FundingFlip, 20, funding({1e-200, -1e-200})},
        RuleCase{"FundingDeltaOverflows", FundingFlip, 20, funding({kMax, -kMax})},
        // The whole series counts, whatever the look-back.
        RuleCase{"OiWholeSeries", OiChange, 2, open_interest({100, 150, 130, 99}),
                 Expected{-1.0, 1.0, 503, "BTC open interest fell -1.00% over the window."}},
        RuleCase{"OiJustBelowOnePercent", OiChange, 20, open_interest({100, 100.99})},
        // Deviations: 98/102 alternating is 2, 97/103 is 3, 99/101 is 1.
        RuleCase{"VolatilityExactlyOneAndAHalf", VolatilitySpike, 4,
                 closes({98, 102, 98, 102, 97, 103, 97, 103}),
                 Expected{1.5, 1.5, 1420, "BTC volatility spiked to 1.50x its baseline."}},
        RuleCase{"VolatilityJustBelowOneAndAHalf", VolatilitySpike, 4,
                 closes({98, 102, 98, 102, 97, 103, 97, 102.99})},
        // The baseline is the window just before the recent one: older wild
        // history must not dilute it.
        RuleCase{"VolatilityBaselineIsThePreviousWindow", VolatilitySpike, 4,
                 closes({0, 1000, 5, 700, 99, 101, 99, 101, 97, 103, 97, 103}),
                 Expected{3.0, 3.0, 1660, "BTC volatility spiked to 3.00x its baseline."}},
        RuleCase{"VolatilityLookbackBeyondLargestWindow", VolatilitySpike, 4294967295U,
                 closes({97, 103, 97, 103})}),
    [](const auto& test) { return std::string(test.param.name); });

// Data on which every one of the six rules fires.
FeedSnapshot lively_snapshot(std::string symbol) {
  return {.symbol = std::move(symbol),
          .candles = closes({99, 101, 99, 101, 97, 103, 97, 110}).candles,
          .orderbook = book(9, {3}, {1}).orderbook,
          .funding = funding({0.01, -0.01}).funding,
          .open_interest = open_interest({100, 120}).open_interest,
          .liquidations = {{4, kLong, 10, 1}}};
}

TEST(DeriveFacts, FollowsSpecOrderWithTheSnapshotsOwnSymbol) {
  // The spec lists "BTC"; the snapshot calls itself something else.
  const FeedSnapshot snapshot = lively_snapshot("XBT-PERP");
  const std::vector<FactKind> order = {OiChange,  FundingFlip,     LiquidationCluster,
                                       PriceMove, VolatilitySpike, OrderbookImbalance};
  const std::vector<Fact> facts =
      derive_facts(snapshot, {.symbols = {"BTC"}, .lookback = 4, .facts = order});
  ASSERT_EQ(facts.size(), order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(facts[i].kind, order[i]);
    EXPECT_EQ(facts[i].symbol, "XBT-PERP");
    EXPECT_TRUE(facts[i].human.starts_with("XBT-PERP ")) << facts[i].human;
  }
}

}  // namespace
}  // namespace mellix
