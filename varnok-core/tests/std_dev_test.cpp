#include "varnok/indicators/std_dev.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#define VARNOK_TEST_HAVE_MMAP 1
#endif

namespace varnok {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<Candle> candles_with_closes(const std::vector<double>& closes) {
  std::vector<Candle> out;
  for (const double close : closes) out.push_back(Candle{.close = close});
  return out;
}

std::vector<std::optional<double>> feed(StdDev& indicator, const std::vector<double>& closes) {
  std::vector<std::optional<double>> out;
  for (const Candle& candle : candles_with_closes(closes))
    out.push_back(indicator.update({&candle}));
  return out;
}

// A failed creation throws out of value(), which fails the calling test.
StdDev make(double period) {
  return StdDev::create(period).value();
}

// The period is checked as a positive integer, then as a window length.
TEST(StdDevTest, CreateChecksThePeriodInOrder) {
  const auto made = StdDev::create(1.0000000000000002);
  ASSERT_TRUE(made.has_value()) << made.error().message;
  EXPECT_EQ(made->period(), 1u);
  EXPECT_EQ(made->last_value(), std::nullopt);
  for (const auto& [period, message] :
       {std::pair{2.5, "parameter #0 must be a positive integer, got 2.5"},
        {1e-300, "period must be greater than zero"},
        {1e30,
         "invalid period: period exceeds the maximum supported window length (see "
         "MAX_PERIOD)"}}) {
    const auto refused = StdDev::create(period);
    ASSERT_FALSE(refused.has_value()) << period;
    EXPECT_EQ(refused.error(), (ConstructionError{"StdDev", message}));
  }
}

struct SeriesCase {
  const char* name;
  double period;
  std::vector<double> closes;
  std::vector<std::optional<double>> expected;
  double tolerance;  // 0 demands the exact double
};

class StdDevSeriesTest : public testing::TestWithParam<SeriesCase> {};

TEST_P(StdDevSeriesTest, YieldsTheWindowDeviationOnceFull) {
  const SeriesCase& c = GetParam();
  StdDev indicator = make(c.period);
  const auto got = feed(indicator, c.closes);
  ASSERT_EQ(got.size(), c.expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(got[i].has_value(), c.expected[i].has_value());
    if (!got[i]) continue;
    if (c.tolerance == 0.0) {
      EXPECT_EQ(*got[i], *c.expected[i]);
    } else {
      EXPECT_NEAR(*got[i], *c.expected[i], c.tolerance);
    }
  }
}

constexpr std::nullopt_t no = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, StdDevSeriesTest,
    testing::Values(
        SeriesCase{"Five", 5, {100, 101, 99, 103, 97}, {no, no, no, no, 2.0}, 0},
        SeriesCase{"SkipsNonFinite",
                   3,
                   {1, 2, kNaN, 3, 4, kInf, -kInf},
                   {no, no, no, std::sqrt(2.0 / 3.0), std::sqrt(2.0 / 3.0), no, no},
                   1e-15},
        // Far from zero; the first full window is recentred on its own mean
        // before the value is taken, which makes it exact.
        SeriesCase{"LargeLevel", 3, {1e9, 1e9 + 1, 1e9 + 5}, {no, no, std::sqrt(14.0 / 3.0)}, 0},
        // A constant window measured against a stale reference: the variance
        // rounds below zero and must come out as 0, not NaN.
        SeriesCase{"StaleReference",
                   3,
                   {0.94, 0.55, 0.3, 0.3, 0.3},
                   {no, no, 0.2633544295347157, std::sqrt(2.0) / 12, 0.0},
                   1e-15},
        // Squares overflow: an infinite variance is passed through, inf - inf is
        // NaN and counts as zero.
        SeriesCase{"Overflow", 2, {1e200, -1e200, 1e200}, {no, kInf, 0.0}, 0},
        // The fifth value comes from the running sums, between recentrings.
        SeriesCase{"Rolling", 4, {0, 0, 0, 0, 8, 8}, {no, no, no, 0.0, std::sqrt(12.0), 4.0}, 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(StdDevTest, ConstantClosesGiveExactlyZero) {
  for (const double level : {0.1, -7.25, 1e9 + 0.3}) {
    for (const double period : {1.0, 3.0, 7.0}) {
      StdDev indicator = make(period);
      const auto got =
          feed(indicator, std::vector<double>(3 * static_cast<std::size_t>(period), level));
      for (std::size_t i = static_cast<std::size_t>(period) - 1; i < got.size(); ++i) {
        EXPECT_EQ(got[i], 0.0) << "level " << level << " period " << period << " step " << i;
      }
    }
  }
}

TEST(StdDevTest, UnusableSamplesLeaveTheStateUntouched) {
  StdDev clean = make(4);
  StdDev noisy = make(4);
  const Candle nan_close{.close = kNaN};
  for (int i = 0; i < 40; ++i) {
    const Candle candle{.close = 50.0 + (i * 7 % 11) * 0.37};
    const auto expected = clean.update({&candle});
    const auto before = noisy.last_value();
    EXPECT_EQ(noisy.update({&nan_close}), std::nullopt);
    EXPECT_EQ(noisy.update({}), std::nullopt);
    EXPECT_EQ(noisy.last_value(), before);
    EXPECT_EQ(noisy.update({&candle}), expected) << "step " << i;  // bit for bit
    EXPECT_EQ(noisy.last_value(), expected ? expected : before);
  }
}

// A drifting random walk at a high price level, checked against the plain
// two-pass formula. Without recentring, deviations from a stale reference grow
// with the drift and errors reach 1e-8 and worse.
TEST(StdDevTest, StaysCloseToTwoPassReferenceOverLongSeries) {
  for (const std::size_t period : {1u, 2u, 3u, 7u, 64u, 1000u}) {
    std::mt19937_64 bits(42);
    StdDev indicator = make(static_cast<double>(period));
    std::vector<double> closes;
    double price = 1e6;
    for (int i = 0; i < 20000; ++i) {
      price += 0.5 + (static_cast<double>(bits() >> 11) * 0x1p-53 - 0.5);
      closes.push_back(price);
      const Candle candle{.close = price};
      const auto got = indicator.update({&candle});
      ASSERT_EQ(got.has_value(), closes.size() >= period);
      if (!got) continue;
      const auto first = closes.end() - static_cast<std::ptrdiff_t>(period);
      double mean = 0.0;
      for (auto it = first; it != closes.end(); ++it) mean += *it;
      mean /= static_cast<double>(period);
      double sq = 0.0;
      for (auto it = first; it != closes.end(); ++it) sq += (*it - mean) * (*it - mean);
      ASSERT_NEAR(*got, std::sqrt(sq / static_cast<double>(period)), 1e-10)
          << "period " << period << " step " << i;
    }
  }
}

TEST(WindowStdDevTest, TheLastValueProducedOrNothing) {
  // Too few candles: nothing, whatever the period, and the period is not checked.
  for (const std::uint64_t period : {5ull, 16777217ull, ~0ull}) {
    EXPECT_EQ(window_std_dev(candles_with_closes({1, 2, 3, 4}), period), std::nullopt) << period;
  }
  EXPECT_EQ(window_std_dev(candles_with_closes({1, 2}), 0), std::nullopt);
  // The window rolls past the first close; the trailing NaN yields nothing and
  // so does not replace the value before it.
  EXPECT_EQ(window_std_dev(candles_with_closes({-40, 1, 3, kNaN}), 2), 1.0);
  EXPECT_EQ(window_std_dev(candles_with_closes({1e200, -1e200}), 2), std::nullopt);  // inf
}

#ifdef VARNOK_TEST_HAVE_MMAP
// Enough candles for a period above the limit, without touching ~800 MB:
// untouched anonymous pages cost nothing, and a rejected period reads none.
TEST(WindowStdDevTest, PeriodAboveMaxGivesNothingEvenWithEnoughCandles) {
  const std::size_t count = MAX_PERIOD + 1;
  const std::size_t bytes = count * sizeof(Candle);
  void* pages = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pages == MAP_FAILED) GTEST_SKIP() << "cannot reserve address space";
  const std::span<const Candle> candles(static_cast<const Candle*>(pages), count);
  EXPECT_EQ(window_std_dev(candles, MAX_PERIOD + 1), std::nullopt);
  munmap(pages, bytes);
}
#endif

}  // namespace
}  // namespace varnok
