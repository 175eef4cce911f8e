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

// Names each parameterized case after its table entry.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
    return param_info.param.name;
  }
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
// 3000000 * 1e-8 in binary floating point; the literal 0.03 is one ulp lower.
constexpr double kRoundedThreeHundredths = 0.030000000000000002;

// ---------------------------------------------------------------- rounding

struct RoundCase {
  const char* name;
  double input;
  double expected;
};

class RoundFactNumberTest : public ::testing::TestWithParam<RoundCase> {};

TEST_P(RoundFactNumberTest, RoundsToStepsOfOneE8) {
  const RoundCase& c = GetParam();
  EXPECT_EQ(round_fact_number(c.input), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundFactNumberTest,
    ::testing::Values(RoundCase{"NinthDecimalRoundsUp", 2.123456789, 2.12345679},
                      RoundCase{"NegativeMirrorsPositive", -2.123456789, -2.12345679},
                      RoundCase{"Zero", 0.0, 0.0}, RoundCase{"WholeNumberUnchanged", 5.0, 5.0},
                      // 5e-9 / 1e-8 is exactly 0.5: halves go away from zero.
                      RoundCase{"HalfAwayFromZero", 5e-9, 1e-8},
                      RoundCase{"NegativeHalfAwayFromZero", -5e-9, -1e-8},
                      RoundCase{"HalfAboveTwo", 2.000000005, 2.00000001},
                      // 3000000 steps: the product with 1e-8 lands one ulp above 0.03.
                      RoundCase{"ProductOfStepsIsNotTheLiteral", 0.03, kRoundedThreeHundredths},
                      // 7.5e-8 / 1e-8 is just below 7.5, while 7.5e-8 * 1e8 is 7.5
                      // exactly: only the division gives 7e-8.
                      RoundCase{"DivisionNotMultiplication", 7.5e-8, 7e-8},
                      // The quotient would overflow: the value must stay as it is.
                      RoundCase{"HugeStaysFinite", 1.8e300, 1.8e300},
                      RoundCase{"LargestDouble", kMax, kMax},
                      RoundCase{"NegativeLargestDouble", -kMax, -kMax},
                      RoundCase{"InfinityUnchanged", kInf, kInf}),
    CaseName());

TEST(RoundFactNumber, NaNStaysNaN) {
  EXPECT_TRUE(std::isnan(round_fact_number(kNaN)));
}

TEST(RoundFactNumber, LargeButRepresentableQuotientStaysFinite) {
  const double rounded = round_fact_number(1.7e300);
  EXPECT_TRUE(std::isfinite(rounded));
  EXPECT_NEAR(rounded / 1.7e300, 1.0, 1e-15);
}

// ---------------------------------------------------------------- number formats

struct FormatCase {
  double value;
  int decimals;
  bool is_signed;
  const char* expected;
};

class SentenceFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(SentenceFormatTest, FormatsFixedPoint) {
  const FormatCase& c = GetParam();
  std::string out = "x";  // the helpers append, never overwrite
  if (c.is_signed) {
    sentence::append_signed_fixed(out, c.value, c.decimals);
  } else {
    sentence::append_fixed(out, c.value, c.decimals);
  }
  EXPECT_EQ(out, std::string("x") + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SentenceFormatTest,
    ::testing::Values(FormatCase{2.125, 2, false, "2.12"},  // exact tie: even digit
                      FormatCase{2.375, 2, false, "2.38"},  // exact tie: even digit
                      FormatCase{1e20, 2, false, "100000000000000000000.00"},
                      FormatCase{-3.5, 2, false, "-3.50"}, FormatCase{1.5, 2, false, "1.50"},
                      FormatCase{0.03, 4, true, "+0.0300"}, FormatCase{-0.01, 4, true, "-0.0100"},
                      FormatCase{5.0, 2, true, "+5.00"}, FormatCase{-5.0, 2, true, "-5.00"},
                      FormatCase{0.0, 2, true, "+0.00"}, FormatCase{-0.0, 2, true, "-0.00"},
                      FormatCase{1.0000000000000009, 2, true, "+1.00"},
                      FormatCase{2.123456789, 2, true, "+2.12"},
                      FormatCase{1e22, 2, true, "+10000000000000000000000.00"}));

TEST(SentenceFormat, UnsignedIntegers) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0"},
      {20, "20"},
      {4294967295U, "4294967295"},
      {18446744073709551615ULL, "18446744073709551615"},
  };
  for (const auto& [value, expected] : cases) {
    std::string out;
    sentence::append_unsigned(out, value);
    EXPECT_EQ(out, expected);
  }
}

TEST(SentenceFormat, LargestDoubleHasNoExponent) {
  std::string out;
  sentence::append_fixed(out, kMax, 2);
  EXPECT_EQ(out.size(), 309U + 3U);
  EXPECT_EQ(out.find('e'), std::string::npos);
  EXPECT_EQ(out.substr(0, 6), "179769");
  EXPECT_EQ(out.substr(out.size() - 3), ".00");
}

// ---------------------------------------------------------------- fixtures

std::vector<Candle> candles_from_closes(const std::vector<double>& closes) {
  std::vector<Candle> candles;
  for (std::size_t i = 0; i < closes.size(); ++i) {
    const auto ts = static_cast<std::int64_t>(1000 + 60 * i);
    candles.push_back(Candle{.ts = ts,
                             .open = closes[i],
                             .high = closes[i],
                             .low = closes[i],
                             .close = closes[i],
                             .volume = 1.0});
  }
  return candles;
}

FeedSnapshot named(std::string symbol) {
  FeedSnapshot snapshot;
  snapshot.symbol = std::move(symbol);
  return snapshot;
}

ContextSpec spec_for(std::vector<FactKind> kinds, std::uint32_t lookback) {
  return ContextSpec{
      .symbols = {"BTC"}, .lookback = lookback, .facts = std::move(kinds), .timeframe = {}};
}

std::optional<Fact> only_fact(const FeedSnapshot& snapshot, FactKind kind, std::uint32_t lookback) {
  const std::vector<Fact> facts = derive_facts(snapshot, spec_for({kind}, lookback));
  EXPECT_LE(facts.size(), 1U);
  if (facts.empty()) return std::nullopt;
  EXPECT_EQ(facts.front().kind, kind);
  return facts.front();
}

// One expectation per rule case: no fact, or a fact with these fields.
struct Expected {
  double value;
  double magnitude;
  std::int64_t ts;
  const char* human;
};

void check(const std::optional<Fact>& fact, const std::optional<Expected>& expected) {
  if (!expected) {
    EXPECT_FALSE(fact.has_value()) << "unexpected fact: " << fact->human;
    return;
  }
  ASSERT_TRUE(fact.has_value());
  EXPECT_EQ(fact->symbol, "BTC");
  EXPECT_EQ(fact->value, expected->value);
  EXPECT_EQ(fact->magnitude, expected->magnitude);
  EXPECT_EQ(fact->ts, expected->ts);
  EXPECT_EQ(fact->human, expected->human);
}

// ---------------------------------------------------------------- PriceMove

struct PriceCase {
  const char* name;
  std::vector<double> closes;
  std::uint32_t lookback;
  std::optional<Expected> expected;
};

class PriceMoveTest : public ::testing::TestWithParam<PriceCase> {};

TEST_P(PriceMoveTest, Derives) {
  const PriceCase& c = GetParam();
  FeedSnapshot snapshot = named("BTC");
  snapshot.candles = candles_from_closes(c.closes);
  check(only_fact(snapshot, FactKind::PriceMove, c.lookback), c.expected);
}

// Newest candle of n closes has ts 1000 + 60 * (n - 1).
INSTANTIATE_TEST_SUITE_P(
    Cases, PriceMoveTest,
    ::testing::Values(
        PriceCase{"TenCandlesLookbackTwenty",
                  {100, 101, 99, 102, 103, 100, 104, 102, 103, 105},
                  20,
                  Expected{5.0, 5.0, 1540, "BTC rose +5.00% over the last 20 bars."}},
        PriceCase{"ExactlyOnePercentFires",
                  {100, 101},
                  2,
                  Expected{1.0, 1.0, 1060, "BTC rose +1.00% over the last 2 bars."}},
        PriceCase{"JustBelowOnePercentIsSilent", {100, 100.99}, 2, std::nullopt},
        PriceCase{"OnePercentDropFires",
                  {100, 99},
                  2,
                  Expected{-1.0, 1.0, 1060, "BTC dropped -1.00% over the last 2 bars."}},
        PriceCase{"JustBelowOnePercentDropIsSilent", {100, 99.01}, 2, std::nullopt},
        // Only the last L candles count: 50 lies outside the window.
        PriceCase{"WindowStartsLBarsBack",
                  {50, 100, 103},
                  2,
                  Expected{3.0, 3.0, 1120, "BTC rose +3.00% over the last 2 bars."}},
        PriceCase{"SmallChangeIsRoundedInValueOnly",
                  {100, 102.123456789},
                  5,
                  Expected{2.12345679, 2.12345679, 1060, "BTC rose +2.12% over the last 5 bars."}},
        PriceCase{"SingleCandle", {100}, 20, std::nullopt},
        PriceCase{"LookbackOneLeavesOneCandle", {100, 200}, 1, std::nullopt},
        PriceCase{"NoCandles", {}, 20, std::nullopt},
        PriceCase{"FirstCloseZero", {0, 5}, 20, std::nullopt},
        PriceCase{"FirstCloseZeroLastZero", {0, 0}, 20, std::nullopt},
        PriceCase{"QuotientOverflows", {1e-300, 1e300}, 20, std::nullopt},
        PriceCase{"NaNClose", {100, kNaN}, 20, std::nullopt},
        PriceCase{"NoChange", {100, 100}, 20, std::nullopt}),
    CaseName());

// ---------------------------------------------------------------- OrderbookImbalance

std::vector<PriceLevel> levels(const std::vector<double>& quantities) {
  std::vector<PriceLevel> out;
  double price = 100.0;
  for (const double qty : quantities) out.push_back(PriceLevel{.price = price++, .qty = qty});
  return out;
}

struct BookCase {
  const char* name;
  std::optional<OrderbookL2> book;
  std::optional<Expected> expected;
};

class OrderbookImbalanceTest : public ::testing::TestWithParam<BookCase> {};

TEST_P(OrderbookImbalanceTest, Derives) {
  const BookCase& c = GetParam();
  FeedSnapshot snapshot = named("BTC");
  snapshot.orderbook = c.book;
  check(only_fact(snapshot, FactKind::OrderbookImbalance, 20), c.expected);
}

OrderbookL2 book(std::int64_t ts, const std::vector<double>& bids,
                 const std::vector<double>& asks) {
  return OrderbookL2{.ts = ts, .bids = levels(bids), .asks = levels(asks)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OrderbookImbalanceTest,
    ::testing::Values(
        BookCase{"ExactlyPointTwoBidHeavy", book(77, {1, 2}, {2}),
                 Expected{0.2, 0.2, 77, "BTC order book is bid-heavy (imbalance +0.20)."}},
        BookCase{"ExactlyPointTwoAskHeavy", book(78, {2}, {3}),
                 Expected{-0.2, 0.2, 78, "BTC order book is ask-heavy (imbalance -0.20)."}},
        BookCase{"JustBelowPointTwo", book(1, {3}, {2.0000001}), std::nullopt},
        // Ten bids of 1 against an ask of 5 is 1/3; the eleventh bid would make it ~0.99.
        BookCase{
            "EleventhBidIgnored", book(5, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1000}, {5}),
            Expected{0.33333333, 0.33333333, 5, "BTC order book is bid-heavy (imbalance +0.33)."}},
        BookCase{
            "EleventhAskIgnored", book(6, {5}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1000}),
            Expected{-0.33333333, 0.33333333, 6, "BTC order book is ask-heavy (imbalance -0.33)."}},
        // Negative quantities are summed as given: bids 3 - 1 + 2 = 4 against 1.
        BookCase{"NegativeQuantityAddedAsIs", book(7, {3, -1, 2}, {1}),
                 Expected{0.6, 0.6, 7, "BTC order book is bid-heavy (imbalance +0.60)."}},
        BookCase{"OnlyBids", book(8, {4}, {}),
                 Expected{1.0, 1.0, 8, "BTC order book is bid-heavy (imbalance +1.00)."}},
        BookCase{"NoBook", std::nullopt, std::nullopt},
        BookCase{"BothSidesEmpty", book(1, {}, {}), std::nullopt},
        BookCase{"ZeroTotal", book(1, {1}, {-1}), std::nullopt},
        BookCase{"NegativeTotal", book(1, {-3}, {1}), std::nullopt},
        BookCase{"Balanced", book(1, {2}, {2}), std::nullopt},
        BookCase{"SumOverflows", book(1, {kMax, kMax}, {1}), std::nullopt}),
    CaseName());

// ---------------------------------------------------------------- LiquidationCluster

struct LiquidationCase {
  const char* name;
  std::vector<Liquidation> events;
  std::optional<Expected> expected;
};

class LiquidationClusterTest : public ::testing::TestWithParam<LiquidationCase> {};

TEST_P(LiquidationClusterTest, Derives) {
  const LiquidationCase& c = GetParam();
  FeedSnapshot snapshot = named("BTC");
  snapshot.liquidations = c.events;
  check(only_fact(snapshot, FactKind::LiquidationCluster, 20), c.expected);
}

Liquidation liq(std::int64_t ts, LiquidationSide side, double price, double qty) {
  return Liquidation{.ts = ts, .side = side, .price = price, .qty = qty};
}

constexpr LiquidationSide kLong = LiquidationSide::Long;
constexpr LiquidationSide kShort = LiquidationSide::Short;

INSTANTIATE_TEST_SUITE_P(
    Cases, LiquidationClusterTest,
    ::testing::Values(
        LiquidationCase{
            "TotalExactlyOne",
            {liq(3, kLong, 0.5, 2)},
            Expected{1.0, 1.0, 3, "BTC saw 1.00 notional liquidated (long-dominated)."}},
        LiquidationCase{"TotalHalf", {liq(3, kLong, 0.5, 1)}, std::nullopt},
        LiquidationCase{"TotalJustBelowOne", {liq(3, kShort, 0.5, 1.999)}, std::nullopt},
        LiquidationCase{
            "EqualSidesGoLong",
            {liq(1, kLong, 10, 2), liq(2, kShort, 4, 5)},
            Expected{0.0, 40.0, 2, "BTC saw 40.00 notional liquidated (long-dominated)."}},
        LiquidationCase{
            "ShortDominated",
            {liq(1, kShort, 100, 0.5), liq(2, kLong, 10, 1), liq(3, kShort, 20, 1)},
            Expected{-60.0, 80.0, 3, "BTC saw 80.00 notional liquidated (short-dominated)."}},
        // The latest ts wins by value, not by position.
        LiquidationCase{
            "LatestTsNotLastEntry",
            {liq(5, kLong, 1, 1), liq(20, kLong, 1, 1), liq(-10, kLong, 1, 1)},
            Expected{3.0, 3.0, 20, "BTC saw 3.00 notional liquidated (long-dominated)."}},
        LiquidationCase{
            "NegativeTimestamps",
            {liq(-5, kLong, 2, 1), liq(-3, kLong, 2, 1), liq(-10, kLong, 2, 1)},
            Expected{6.0, 6.0, -3, "BTC saw 6.00 notional liquidated (long-dominated)."}},
        LiquidationCase{"HugeTotalPrintsAllDigits",
                        {liq(1, kLong, 1e10, 1e10)},
                        Expected{1e20, 1e20, 1,
                                 "BTC saw 100000000000000000000.00 notional liquidated "
                                 "(long-dominated)."}},
        LiquidationCase{"NotionalOverflows", {liq(1, kLong, 1e200, 1e200)}, std::nullopt},
        LiquidationCase{"OppositeInfinitiesGiveNaN",
                        {liq(1, kLong, 1e200, 1e200), liq(2, kShort, 1e200, 1e200)},
                        std::nullopt},
        LiquidationCase{"NoLiquidations", {}, std::nullopt}),
    CaseName());

// ---------------------------------------------------------------- FundingFlip

struct FundingCase {
  const char* name;
  std::vector<double> rates;
  std::optional<Expected> expected;
};

class FundingFlipTest : public ::testing::TestWithParam<FundingCase> {};

TEST_P(FundingFlipTest, Derives) {
  const FundingCase& c = GetParam();
  FeedSnapshot snapshot = named("BTC");
  std::int64_t ts = 100;
  for (const double rate : c.rates) snapshot.funding.push_back({.ts = ts++, .rate = rate});
  check(only_fact(snapshot, FactKind::FundingFlip, 20), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FundingFlipTest,
    ::testing::Values(
        FundingCase{"LaterOfTwoFlipsWins",
                    {0.01, -0.02, 0.03},
                    Expected{kRoundedThreeHundredths, 0.05, 102,
                             "BTC funding flipped to positive (+0.0300)."}},
        FundingCase{"FlipToNegative",
                    {0.01, -0.01},
                    Expected{-0.01, 0.02, 101, "BTC funding flipped to negative (-0.0100)."}},
        FundingCase{"FlipThenSteady",
                    {-0.001, 0.002, 0.004},
                    Expected{0.002, 0.003, 101, "BTC funding flipped to positive (+0.0020)."}},
        FundingCase{"ThroughZeroIsNoFlip", {0.01, 0.0, -0.01}, std::nullopt},
        FundingCase{"ProductUnderflowsToZero", {1e-200, -1e-200}, std::nullopt},
        FundingCase{"NoSignChange", {0.01, 0.02, 0.03}, std::nullopt},
        FundingCase{"SingleEntry", {-0.01}, std::nullopt}, FundingCase{"Empty", {}, std::nullopt},
        FundingCase{"DeltaOverflows", {kMax, -kMax}, std::nullopt}),
    CaseName());

// ---------------------------------------------------------------- OiChange

struct OiCase {
  const char* name;
  std::vector<double> values;
  std::uint32_t lookback;
  std::optional<Expected> expected;
};

class OiChangeTest : public ::testing::TestWithParam<OiCase> {};

TEST_P(OiChangeTest, Derives) {
  const OiCase& c = GetParam();
  FeedSnapshot snapshot = named("BTC");
  std::int64_t ts = 500;
  for (const double oi : c.values) snapshot.open_interest.push_back({.ts = ts++, .oi = oi});
  check(only_fact(snapshot, FactKind::OiChange, c.lookback), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OiChangeTest,
    ::testing::Values(
        OiCase{"FallFivePercent",
               {200, 190},
               20,
               Expected{-5.0, 5.0, 501, "BTC open interest fell -5.00% over the window."}},
        OiCase{"ExactlyOnePercent",
               {100, 101},
               20,
               Expected{1.0, 1.0, 501, "BTC open interest rose +1.00% over the window."}},
        OiCase{"JustBelowOnePercent", {100, 100.99}, 20, std::nullopt},
        // The whole series counts, whatever the look-back.
        OiCase{"LookbackPlaysNoPart",
               {100, 150, 130, 110},
               2,
               Expected{10.0, 10.0, 503, "BTC open interest rose +10.00% over the window."}},
        OiCase{"FirstZero", {0, 100}, 20, std::nullopt},
        OiCase{"SingleEntry", {100}, 20, std::nullopt}, OiCase{"Empty", {}, 20, std::nullopt},
        OiCase{"QuotientOverflows", {1e-300, 1e300}, 20, std::nullopt}),
    CaseName());

// ---------------------------------------------------------------- VolatilitySpike

struct VolatilityCase {
  const char* name;
  std::vector<double> closes;
  std::uint32_t lookback;
  std::optional<Expected> expected;
};

class VolatilitySpikeTest : public ::testing::TestWithParam<VolatilityCase> {};

TEST_P(VolatilitySpikeTest, Derives) {
  const VolatilityCase& c = GetParam();
  FeedSnapshot snapshot = named("BTC");
  snapshot.candles = candles_from_closes(c.closes);
  check(only_fact(snapshot, FactKind::VolatilitySpike, c.lookback), c.expected);
}

// Population deviations used below: 98/102 alternating is 2, 97/103 is 3,
// 99/101 is 1; 100, 101, 99, 103, 97 is 2 and 100, 101, 99, 101, 99 is
// sqrt(0.8), so their ratio is sqrt(5).
INSTANTIATE_TEST_SUITE_P(
    Cases, VolatilitySpikeTest,
    ::testing::Values(
        VolatilityCase{"RatioExactlyOneAndAHalf",
                       {98, 102, 98, 102, 97, 103, 97, 103},
                       4,
                       Expected{1.5, 1.5, 1420, "BTC volatility spiked to 1.50x its baseline."}},
        VolatilityCase{
            "RatioJustBelowOneAndAHalf", {98, 102, 98, 102, 97, 103, 97, 102.99}, 4, std::nullopt},
        VolatilityCase{"CalmThenVolatile",
                       {99, 101, 99, 101, 97, 103, 97, 103},
                       4,
                       Expected{3.0, 3.0, 1420, "BTC volatility spiked to 3.00x its baseline."}},
        // Wild history before the baseline window must not dilute the baseline.
        VolatilityCase{"OlderHistoryIgnored",
                       {0, 1000, 5, 700, 99, 101, 99, 101, 97, 103, 97, 103},
                       4,
                       Expected{3.0, 3.0, 1660, "BTC volatility spiked to 3.00x its baseline."}},
        VolatilityCase{
            "IrrationalRatio",
            {100, 101, 99, 101, 99, 100, 101, 99, 103, 97},
            5,
            Expected{2.23606798, 2.23606798, 1540, "BTC volatility spiked to 2.24x its baseline."}},
        VolatilityCase{"SteadyOscillation", {99, 101, 99, 101, 99, 101, 99, 101}, 4, std::nullopt},
        VolatilityCase{"ConstantClosesBaselineZero",
                       {100, 100, 100, 100, 100, 100, 100, 100},
                       4,
                       std::nullopt},
        VolatilityCase{"FlatBaselineThenVolatile",
                       {100, 100, 100, 100, 100, 100, 101, 99, 103, 97},
                       5,
                       std::nullopt},
        VolatilityCase{"VolatilityFalling", {97, 103, 97, 103, 99, 101, 99, 101}, 4, std::nullopt},
        // Recent window present but one candle short of a full baseline window.
        VolatilityCase{"FewerThanTwoLookbacks", {99, 101, 99, 97, 103, 97, 103}, 4, std::nullopt},
        VolatilityCase{"FewerThanOneLookback", {100, 101, 99, 103}, 5, std::nullopt},
        VolatilityCase{"SingleCandle", {100}, 1, std::nullopt},
        VolatilityCase{"LookbackZero", {99, 101, 99, 101, 97, 103, 97, 103}, 0, std::nullopt},
        // Far fewer candles than a look-back beyond the indicator's largest window.
        VolatilityCase{"HugeLookback", {97, 103, 97, 103}, 4294967295U, std::nullopt}),
    CaseName());

// ---------------------------------------------------------------- derive_facts

// Data on which every one of the six rules fires.
FeedSnapshot lively_snapshot(std::string symbol) {
  FeedSnapshot snapshot = named(std::move(symbol));
  snapshot.candles = candles_from_closes({99, 101, 99, 101, 97, 103, 97, 110});
  snapshot.orderbook = book(9, {3}, {1});
  snapshot.liquidations = {liq(4, kLong, 10, 1)};
  snapshot.funding = {{.ts = 1, .rate = 0.01}, {.ts = 2, .rate = -0.01}};
  snapshot.open_interest = {{.ts = 1, .oi = 100}, {.ts = 2, .oi = 120}};
  return snapshot;
}

TEST(DeriveFacts, FollowsSpecOrder) {
  const std::vector<std::vector<FactKind>> orders = {
      {FactKind::VolatilitySpike, FactKind::PriceMove},
      {FactKind::PriceMove, FactKind::VolatilitySpike},
      {FactKind::OiChange, FactKind::FundingFlip, FactKind::LiquidationCluster,
       FactKind::OrderbookImbalance, FactKind::PriceMove, FactKind::VolatilitySpike},
      {FactKind::FundingFlip},
      {},
  };
  const FeedSnapshot snapshot = lively_snapshot("BTC");
  for (const auto& order : orders) {
    const std::vector<Fact> facts = derive_facts(snapshot, spec_for(order, 4));
    ASSERT_EQ(facts.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(facts[i].kind, order[i]);
  }
}

TEST(DeriveFacts, SymbolComesFromTheSnapshot) {
  // The spec lists "BTC"; the snapshot calls itself something else.
  const FeedSnapshot snapshot = lively_snapshot("XBT-PERP");
  const std::vector<Fact> facts =
      derive_facts(snapshot, spec_for({kAllFactKinds.begin(), kAllFactKinds.end()}, 4));
  ASSERT_EQ(facts.size(), 6U);
  for (const Fact& fact : facts) {
    EXPECT_EQ(fact.symbol, "XBT-PERP");
    EXPECT_EQ(fact.human.rfind("XBT-PERP ", 0), 0U) << fact.human;
  }
}

TEST(DeriveFacts, UnusableKindsDoNotStopTheOthers) {
  FeedSnapshot snapshot = lively_snapshot("BTC");
  snapshot.orderbook.reset();
  snapshot.funding.clear();
  snapshot.open_interest.front().oi = 0.0;
  const std::vector<Fact> facts =
      derive_facts(snapshot, spec_for({kAllFactKinds.begin(), kAllFactKinds.end()}, 4));
  std::vector<FactKind> kinds;
  for (const Fact& fact : facts) kinds.push_back(fact.kind);
  EXPECT_EQ(kinds, (std::vector<FactKind>{FactKind::PriceMove, FactKind::LiquidationCluster,
                                          FactKind::VolatilitySpike}));
}

TEST(DeriveFacts, EmptySnapshotGivesNothing) {
  const FeedSnapshot snapshot = named("BTC");
  EXPECT_TRUE(
      derive_facts(snapshot, spec_for({kAllFactKinds.begin(), kAllFactKinds.end()}, 20)).empty());
}

}  // namespace
}  // namespace mellix
