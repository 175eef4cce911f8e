#include "derive.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "sentence_format.hpp"

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

std::vector<Candle> candles(const std::vector<double>& closes) {
  std::vector<Candle> out;
  for (std::size_t i = 0; i < closes.size(); ++i) {
    const double c = closes[i];
    out.push_back({.ts = static_cast<std::int64_t>(1000 + 60 * i),
                   .open = c,
                   .high = c,
                   .low = c,
                   .close = c,
                   .volume = 1.0});
  }
  return out;
}

std::vector<PriceLevel> levels(const std::vector<double>& quantities) {
  std::vector<PriceLevel> out;
  for (const double qty : quantities) out.push_back({.price = 100.0, .qty = qty});
  return out;
}

OrderbookL2 book(std::int64_t ts, const std::vector<double>& bids,
                 const std::vector<double>& asks) {
  return {.ts = ts, .bids = levels(bids), .asks = levels(asks)};
}

Liquidation liq(std::int64_t ts, LiquidationSide side, double price, double qty) {
  return {.ts = ts, .side = side, .price = price, .qty = qty};
}
constexpr LiquidationSide kLong = LiquidationSide::Long;
constexpr LiquidationSide kShort = LiquidationSide::Short;

std::vector<FundingPoint> funding(const std::vector<double>& rates) {
  std::vector<FundingPoint> out;
  for (const double rate : rates) out.push_back({.ts = 100 + std::ssize(out), .rate = rate});
  return out;
}

std::vector<OiPoint> open_interest(const std::vector<double>& values) {
  std::vector<OiPoint> out;
  for (const double oi : values) out.push_back({.ts = 500 + std::ssize(out), .oi = oi});
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
  FeedSnapshot snapshot;  // the symbol is filled in by the test
  std::uint32_t lookback;
  std::optional<Expected> expected;
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
  ASSERT_EQ(facts.size(), 1U);
  const Fact& fact = facts.front();
  EXPECT_EQ(fact.kind, c.kind);
  EXPECT_EQ(fact.symbol, "BTC");
  EXPECT_EQ(fact.value, c.expected->value);
  EXPECT_EQ(fact.magnitude, c.expected->magnitude);
  EXPECT_EQ(fact.ts, c.expected->ts);
  EXPECT_EQ(fact.human, c.expected->human);
}

using enum FactKind;

// Thresholds are inclusive, and every rule guards its divisions and sums.
// The newest of n candles has ts 1000 + 60 * (n - 1).
INSTANTIATE_TEST_SUITE_P(
    Cases, RuleTest,
    ::testing::Values(
        RuleCase{"PriceExactlyOnePercent",
                 PriceMove,
                 {.candles = candles({100, 101})},
                 2,
                 Expected{1.0, 1.0, 1060, "BTC rose +1.00% over the last 2 bars."}},
        RuleCase{"PriceJustBelowOnePercentDrop",
                 PriceMove,
                 {.candles = candles({100, 99.01})},
                 2,
                 std::nullopt},
        // Only the last L candles count; the sentence names L, not the candles seen.
        RuleCase{"PriceWindowIsLastLookbackBars",
                 PriceMove,
                 {.candles = candles({50, 100, 97})},
                 2,
                 Expected{-3.0, 3.0, 1120, "BTC dropped -3.00% over the last 2 bars."}},
        RuleCase{"PriceShortHistoryNamesLookback",
                 PriceMove,
                 {.candles = candles({100, 102.123456789})},
                 5,
                 Expected{2.12345679, 2.12345679, 1060, "BTC rose +2.12% over the last 5 bars."}},
        RuleCase{"PriceQuotientOverflows",
                 PriceMove,
                 {.candles = candles({1e-300, 1e300})},
                 20,
                 std::nullopt},
        RuleCase{"BookExactlyPointTwo",
                 OrderbookImbalance,
                 {.orderbook = book(78, {2}, {3})},
                 20,
                 Expected{-0.2, 0.2, 78, "BTC order book is ask-heavy (imbalance -0.20)."}},
        RuleCase{"BookJustBelowPointTwo",
                 OrderbookImbalance,
                 {.orderbook = book(1, {3}, {2.0000001})},
                 20,
                 std::nullopt},
        // Ten bids of 1 against an ask of 5 is 1/3; the eleventh bid is not read.
        RuleCase{
            "BookEleventhLevelIgnored",
            OrderbookImbalance,
            {.orderbook = book(5, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1000}, {5})},
            20,
            Expected{0.33333333, 0.33333333, 5, "BTC order book is bid-heavy (imbalance +0.33)."}},
        RuleCase{"BookSumOverflows",
                 OrderbookImbalance,
                 {.orderbook = book(1, {kMax, kMax}, {1})},
                 20,
                 std::nullopt},
        RuleCase{"LiquidationTotalExactlyOne",
                 LiquidationCluster,
                 {.liquidations = {liq(3, kShort, 0.5, 2)}},
                 20,
                 Expected{-1.0, 1.0, 3, "BTC saw 1.00 notional liquidated (short-dominated)."}},
        // Ties go long; the latest ts is found by value, not position.
        RuleCase{
            "LiquidationTieGoesLongLatestTsByValue",
            LiquidationCluster,
            {.liquidations = {liq(5, kLong, 10, 2), liq(20, kShort, 4, 5), liq(-10, kShort, 0, 1)}},
            20,
            Expected{0.0, 40.0, 20, "BTC saw 40.00 notional liquidated (long-dominated)."}},
        RuleCase{"LiquidationHugeTotalPrintsAllDigits",
                 LiquidationCluster,
                 {.liquidations = {liq(1, kLong, 1e10, 1e10)}},
                 20,
                 Expected{1e20, 1e20, 1,
                          "BTC saw 100000000000000000000.00 notional liquidated "
                          "(long-dominated)."}},
        RuleCase{"LiquidationOppositeInfinities",
                 LiquidationCluster,
                 {.liquidations = {liq(1, kLong, 1e200, 1e200), liq(2, kShort, 1e200, 1e200)}},
                 20,
                 std::nullopt},
        RuleCase{"FundingLaterOfTwoFlipsWins",
                 FundingFlip,
                 {.funding = funding({0.01, -0.02, 0.03, 0.04})},
                 20,
                 Expected{kRoundedThreeHundredths, 0.05, 102,
                          "BTC funding flipped to positive (+0.0300)."}},
        RuleCase{"FundingThroughZeroIsNoFlip",
                 FundingFlip,
                 {.funding = funding({0.01, 0.0, -0.01})},
                 20,
                 std::nullopt},
        RuleCase{"FundingProductUnderflows",
                 FundingFlip,
                 {.funding = funding({1e-200, -1e-200})},
                 20,
                 std::nullopt},
        RuleCase{"FundingDeltaOverflows",
                 FundingFlip,
                 {.funding = funding({kMax, -kMax})},
                 20,
                 std::nullopt},
        // The whole series counts, whatever the look-back.
        RuleCase{"OiWholeSeries",
                 OiChange,
                 {.open_interest = open_interest({100, 150, 130, 99})},
                 2,
                 Expected{-1.0, 1.0, 503, "BTC open interest fell -1.00% over the window."}},
        RuleCase{"OiJustBelowOnePercent",
                 OiChange,
                 {.open_interest = open_interest({100, 100.99})},
                 20,
                 std::nullopt},
        // Deviations: 98/102 alternating is 2, 97/103 is 3, 99/101 is 1.
        RuleCase{"VolatilityExactlyOneAndAHalf",
                 VolatilitySpike,
                 {.candles = candles({98, 102, 98, 102, 97, 103, 97, 103})},
                 4,
                 Expected{1.5, 1.5, 1420, "BTC volatility spiked to 1.50x its baseline."}},
        RuleCase{"VolatilityJustBelowOneAndAHalf",
                 VolatilitySpike,
                 {.candles = candles({98, 102, 98, 102, 97, 103, 97, 102.99})},
                 4,
                 std::nullopt},
        // The baseline is the window just before the recent one: older wild
        // history must not dilute it.
        RuleCase{"VolatilityBaselineIsThePreviousWindow",
                 VolatilitySpike,
                 {.candles = candles({0, 1000, 5, 700, 99, 101, 99, 101, 97, 103, 97, 103})},
                 4,
                 Expected{3.0, 3.0, 1660, "BTC volatility spiked to 3.00x its baseline."}},
        RuleCase{"VolatilityLookbackBeyondLargestWindow",
                 VolatilitySpike,
                 {.candles = candles({97, 103, 97, 103})},
                 4294967295U,
                 std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

// Data on which every one of the six rules fires.
FeedSnapshot lively_snapshot(std::string symbol) {
  return {.symbol = std::move(symbol),
          .candles = candles({99, 101, 99, 101, 97, 103, 97, 110}),
          .orderbook = book(9, {3}, {1}),
          .funding = funding({0.01, -0.01}),
          .open_interest = open_interest({100, 120}),
          .liquidations = {liq(4, kLong, 10, 1)}};
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
