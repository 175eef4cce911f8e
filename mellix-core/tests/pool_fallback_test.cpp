// A pool that cannot start threads must not fail a build. The system's
// pthread_create is replaced for this whole executable, which is why the test
// is a program of its own.
#include <gtest/gtest.h>
#include <pthread.h>
#include <tbb/global_control.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "mellix/engine.hpp"

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

// Large enough for the forward reader's tasks, with many symbols for the
// builder's.
std::string build_request() {
  std::string feeds;
  for (int i = 0; i < 64; ++i) {
    const std::string symbol = "\"S" + std::to_string(i) + "\"";
    feeds += (i ? "," : "") + symbol + ":{\"symbol\":" + symbol + ",\"candles\":[";
    for (int t = 0; t < 40; ++t) {
      const std::string close = std::to_string(100 + (t == 39 ? i : 0));
      feeds += (t ? ",[" : "[") + std::to_string(t) + ",1,1,1," + close + ",1]";
    }
    feeds += "],\"open_interest\":[[1,10],[2," + std::to_string(10 - i % 7) + "]]}";
  }
  return R"({"cmd":"build_context","feeds":{)" + feeds + "}}";
}

TEST(PoolFallbackTest, BuildRunsOnTheCallingThreadWhenNoWorkerCanStart) {
  std::string spec = R"({"lookback":2,"facts":["price_move","oi_change"],"symbols":[)";
  for (int i = 0; i < 64; ++i) spec += (i ? ",\"S" : "\"S") + std::to_string(i) + "\"";
  spec += "]}";
  const std::string request = build_request();
  ASSERT_GT(request.size(), 16U * 1024U);  // read by the forward reader

  auto engine = Engine::create(spec);
  ASSERT_TRUE(engine.has_value());
  const std::string answer = engine->command(request);
  if (refused_threads == 0) GTEST_SKIP() << "the pool never asked for a thread (one core?)";

  tbb::global_control serial(tbb::global_control::max_allowed_parallelism, 1);
  EXPECT_EQ(answer, engine->command(request));
  EXPECT_TRUE(answer.starts_with(R"({"facts":[{"kind":"price_move","symbol":"S63")")) << answer;
}

}  // namespace
}  // namespace mellix
