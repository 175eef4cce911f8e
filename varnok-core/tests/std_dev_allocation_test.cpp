// Counts allocations with a replaced global allocator, which is why this test
// is an executable of its own.
#include <vector>

#include <gtest/gtest.h>

#include "replaced_allocator.hpp"
#include "varnok/indicators/std_dev.hpp"

namespace varnok {
namespace {

TEST(StdDevAllocationTest, OnlyConstructionAllocatesAndOnlyTheWindow) {
  std::vector<Candle> candles(5000);
  for (std::size_t i = 0; i < candles.size(); ++i) candles[i].close = static_cast<double>(i % 97);

  replaced_allocator::counting = true;
  auto made = StdDev::create(250);
  ASSERT_TRUE(made.has_value()) << made.error().message;
  const std::size_t at_creation = replaced_allocator::count;
  const std::size_t window_bytes = replaced_allocator::last_size;
  for (const Candle& candle : candles) made->update({&candle});
  const std::size_t after_updates = replaced_allocator::count;
  const auto one_shot = window_std_dev(candles, 250);
  replaced_allocator::counting = false;

  EXPECT_EQ(at_creation, 1u);
  EXPECT_EQ(window_bytes, 250 * sizeof(double));
  EXPECT_EQ(after_updates, at_creation);
  EXPECT_EQ(replaced_allocator::count, after_updates + 1);
  EXPECT_EQ(one_shot, made->last_value());
}

}  // namespace
}  // namespace varnok
