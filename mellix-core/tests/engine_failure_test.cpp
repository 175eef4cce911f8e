// A failed command leaves the engine exactly as it was, whatever made it
// fail, running out of memory at any allocation included. The global
// allocator is replaced to fail on demand, which is why this test is a
// program of its own.
#include <gtest/gtest.h>

#include <string>

#include "mellix/engine.hpp"
#include "replaced_allocator.hpp"

namespace mellix {
namespace {

constexpr std::string_view kSpec =
    R"({"symbols":["BTC","ETH"],"lookback":2,"facts":["price_move","oi_change"]})";
constexpr std::string_view kBuild =
    R"({"cmd":"build_context","feeds":{"BTC":{"symbol":"BTC","candles":[[1,1,1,1,100,1],)"
    R"([2,1,1,1,90,1]],"open_interest":[[1,5],[2,9]]},"ETH":["ETH",[[1,1,1,1,10,1],[2,1,1,1,11,1]]]}})";

struct Snapshot {
  ContextSpec spec;
  std::optional<MarketContext> context;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot state_of(const Engine& engine) {
  return {engine.spec(), engine.context()};
}

// An engine that has built once, so that a later failure could lose or
// replace a stored context.
Engine built_engine() {
  auto engine = Engine::create(kSpec);
  EXPECT_TRUE(engine.has_value());
  EXPECT_FALSE(engine->command(kBuild).starts_with(R"({"error")"));
  return std::move(*engine);
}

TEST(EngineFailureTest, ErrorAnswersChangeNothing) {
  Engine engine = built_engine();
  const Snapshot before = state_of(engine);
  for (const std::string_view request : {
           R"({"cmd":"build_context","feeds":{"BTC":)",                            // parse
           R"({"cmd":"set_spec","spec":{"symbols":[],"lookback":1,"facts":[]}})",  // bad spec
           R"({"cmd":"build_context","feeds":{"BTC":{"symbol":"BTC"}}})",          // data
           R"({"cmd":"build_context"})",
           R"({"cmd":"query","question":"x","context":null})",
       }) {
    EXPECT_TRUE(engine.command(request).starts_with(R"({"error":")")) << request;
    EXPECT_EQ(state_of(engine), before) << request;
  }
}

// Every allocation of each command is made to fail in turn: the command
// either throws std::bad_alloc and changes nothing, or answers exactly as it
// does with memory to spare.
TEST(EngineFailureTest, RunningOutOfMemoryAnywhereChangesNothing) {
  const std::string requests[] = {
      std::string(kBuild),
      R"({"cmd":"set_spec","spec":{"symbols":["ETH"],"lookback":3,"facts":["oi_change"]}})",
      R"({"cmd":"query","question":"why the dump?"})",
      R"({"cmd":"reset"})",
  };
  for (const std::string& request : requests) {
    Engine reference = built_engine();
    const std::string expected = reference.command(request);
    const Snapshot expected_state = state_of(reference);
    bool completed = false;
    for (long budget = 0; !completed; ++budget) {
      ASSERT_LT(budget, 100000) << request;
      Engine engine = built_engine();
      const Snapshot before = state_of(engine);
      replaced_allocator::allocations_left = budget;
      try {
        const std::string answer = engine.command(request);
        replaced_allocator::allocations_left = -1;
        EXPECT_EQ(answer, expected) << request << " with " << budget << " allocations";
        EXPECT_EQ(state_of(engine), expected_state);
        completed = true;
      } catch (const std::bad_alloc&) {
        replaced_allocator::allocations_left = -1;
        ASSERT_EQ(state_of(engine), before) << request << " failing at allocation " << budget;
      }
    }
  }
}

}  // namespace
}  // namespace mellix
