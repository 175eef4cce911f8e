#include "varnok/parameter_check.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>

#include <gtest/gtest.h>

namespace varnok {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

struct ParameterCase {
  std::size_t index;
  double value;
  std::variant<std::uint64_t, std::string> expected;
};

class CheckPositiveIntegerTest : public testing::TestWithParam<ParameterCase> {};

TEST_P(CheckPositiveIntegerTest, AcceptsOrExplains) {
  const auto& [index, value, expected] = GetParam();
  const auto result = check_positive_integer(index, value);
  if (const auto* text = std::get_if<std::string>(&expected)) {
    ASSERT_FALSE(result.has_value()) << *result;
    EXPECT_EQ(result.error(), *text);
  } else {
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, std::get<std::uint64_t>(expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckPositiveIntegerTest,
    testing::Values(
        ParameterCase{0, kNaN, "parameter #0 must be finite"},
        ParameterCase{0, 0.0, "parameter #0 must be a positive integer, got 0"},
        ParameterCase{0, -0.0, "parameter #0 must be a positive integer, got -0"},
        ParameterCase{0, 2.5, "parameter #0 must be a positive integer, got 2.5"},
        // Shortest round-trip digits written out in full: never "1e-05", and
        // -1e23 keeps its one significant digit rather than its exact binary value.
        ParameterCase{1, 0.00001, "parameter #1 must be a positive integer, got 0.00001"},
        ParameterCase{0, -1e23,
                      "parameter #0 must be a positive integer, got -100000000000000000000000"},
        ParameterCase{0, 3.0000000000000004,
                      "parameter #0 must be a positive integer, got 3.0000000000000004"},
        ParameterCase{0, 1.0000000000000002, std::uint64_t{1}},  // exactly epsilon away
        ParameterCase{0, 1e-300, std::uint64_t{0}},
        ParameterCase{0, 18446744073709551616.0, kU64Max}));

// Zero and the message of a period too long: StdDevTest.CreateChecksThePeriodInOrder.
TEST(CheckWindowLengthTest, AcceptsUpToMaxPeriod) {
  EXPECT_EQ(check_window_length(MAX_PERIOD), std::size_t{16777216});
  EXPECT_FALSE(check_window_length(MAX_PERIOD + 1).has_value());
  EXPECT_FALSE(check_window_length(kU64Max).has_value());
}

}  // namespace
}  // namespace varnok
