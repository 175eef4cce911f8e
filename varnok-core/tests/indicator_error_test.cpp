#include "varnok/indicator_error.hpp"

#include <cstddef>
#include <string_view>

#include <gtest/gtest.h>

namespace varnok {
namespace {

struct DisplayCase {
  IndicatorError error;
  std::string_view text;
};

// Listed in declaration order, so the position doubles as the expected Kind value.
constexpr DisplayCase kDisplayCases[] = {
    {IndicatorError::zero_period(), "period must be greater than zero"},
    {IndicatorError::invalid_period(error_text::kPeriodExceedsMax),
     "invalid period: period exceeds the maximum supported window length (see MAX_PERIOD)"},
    {IndicatorError::non_finite_input(), "input value must be finite (got NaN or infinity)"},
    {IndicatorError::invalid_candle("high is below low"), "invalid candle: high is below low"},
    {IndicatorError::invalid_tick("t"), "invalid tick: t"},
    {IndicatorError::zero_multiplier(), "multiplier must be greater than zero"},
    {IndicatorError::invalid_order_book("crossed"), "invalid order book: crossed"},
    {IndicatorError::invalid_trade(""), "invalid trade: "},
    {IndicatorError::invalid_derivatives_tick("x y"), "invalid derivatives tick: x y"},
    {IndicatorError::invalid_cross_section("empty"), "invalid cross-section: empty"},
    {IndicatorError::invalid_parameter("p"), "invalid parameter: p"},
};

TEST(IndicatorErrorTest, EveryKindDisplaysItsExactTextInDeclarationOrder) {
  for (std::size_t i = 0; i < std::size(kDisplayCases); ++i) {
    const auto& [error, text] = kDisplayCases[i];
    SCOPED_TRACE(text);
    EXPECT_EQ(static_cast<std::size_t>(error.kind()), i);
    EXPECT_EQ(error.message(), text);
  }
}

TEST(IndicatorErrorTest, EqualityComparesKindAndTextContent) {
  static constexpr char kCopy[] =
      "period exceeds the maximum supported window length (see MAX_PERIOD)";
  EXPECT_EQ(IndicatorError::invalid_period(error_text::kPeriodExceedsMax),
            IndicatorError::invalid_period(kCopy));
  EXPECT_NE(IndicatorError::invalid_trade("a"), IndicatorError::invalid_tick("a"));
  EXPECT_NE(IndicatorError::invalid_trade("a"), IndicatorError::invalid_trade("b"));
}

}  // namespace
}  // namespace varnok
