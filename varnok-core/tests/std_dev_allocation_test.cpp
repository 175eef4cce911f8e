// Replaces the global allocator to count allocations, which is why this test
// is an executable of its own.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/indicators/std_dev.hpp"

namespace {
bool counting = false;
std::size_t allocations = 0;
std::size_t last_size = 0;

void* counted_allocation(std::size_t size) {
  if (counting) {
    ++allocations;
    last_size = size;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

// The array forms are replaced too: a sanitizer runtime supplies its own, which
// would otherwise bypass the count.
void* operator new(std::size_t size) {
  return counted_allocation(size);
}
void* operator new[](std::size_t size) {
  return counted_allocation(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace varnok {
namespace {

TEST(StdDevAllocationTest, OnlyConstructionAllocatesAndOnlyTheWindow) {
  std::vector<Candle> candles(5000);
  for (std::size_t i = 0; i < candles.size(); ++i) candles[i].close = static_cast<double>(i % 97);

  counting = true;
  auto made = StdDev::create(250);
  if (!made) {
    counting = false;
    FAIL() << made.error().message;
  }
  const std::size_t at_creation = allocations;
  const std::size_t window_bytes = last_size;
  for (const Candle& candle : candles) made->update({&candle});
  const std::size_t after_updates = allocations;
  const auto one_shot = window_std_dev(candles, 250);
  counting = false;

  EXPECT_EQ(at_creation, 1u);
  EXPECT_EQ(window_bytes, 250 * sizeof(double));
  EXPECT_EQ(after_updates, at_creation);
  EXPECT_EQ(allocations, after_updates + 1);
  EXPECT_EQ(one_shot, made->last_value());
}

}  // namespace
}  // namespace varnok
