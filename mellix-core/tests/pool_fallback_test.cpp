// A pool that cannot start threads must not fail a build. The system's
// pthread_create is replaced for this whole executable, which is why the test
// is a program of its own.
#include <gtest/gtest.h>
#include <pthread.h>
#include <tbb/global_control.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "builder.hpp"

namespace {
std::atomic<int> refused_threads{0};
}  // namespace

// As the system answers under a process limit: no thread, try again later.
extern "C" int pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
  ++refused_threads;
  return EAGAIN;
}

namespace mellix {
namespace {

TEST(PoolFallbackTest, BuildRunsOnTheCallingThreadWhenNoWorkerCanStart) {
  FeedMap feeds;
  ContextSpec spec{.lookback = 2, .facts = {FactKind::PriceMove, FactKind::OiChange}};
  for (int i = 0; i < 64; ++i) {
    const std::string symbol = "S" + std::to_string(i);
    spec.symbols.push_back(symbol);
    feeds[symbol] = {.symbol = symbol,
                     .candles = {{.ts = 1, .close = 100.0}, {.ts = 2, .close = 100.0 + i}},
                     .open_interest = {{.ts = 1, .oi = 10.0}, {.ts = 2, .oi = 10.0 - i % 7}}};
  }
  const auto built = build_context(spec, feeds);
  if (refused_threads == 0) GTEST_SKIP() << "the pool never asked for a thread (one core?)";
  ASSERT_TRUE(built.has_value()) << built.error().render();

  tbb::global_control serial(tbb::global_control::max_allowed_parallelism, 1);
  const auto reference = build_context(spec, feeds);
  ASSERT_TRUE(reference.has_value());
  EXPECT_EQ(*built, *reference);
  EXPECT_EQ(built->symbols.size(), 64U);
}

}  // namespace
}  // namespace mellix
