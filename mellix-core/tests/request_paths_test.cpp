// Behaviours of the request paths that their agreement (differential_test)
// cannot show by itself.
#include <gtest/gtest.h>

#include <string>

#include "mellix/engine.hpp"

namespace mellix {
namespace {

// simdjson keeps a container's count in 24 bits: an array-form record of
// 16,777,217 elements must still be counted right.
TEST(RequestPathsTest, CountsArraysBeyond24Bits) {
  Engine engine = *Engine::create(R"({"symbols":["BTC"],"lookback":20,"facts":["price_move"]})");
  std::string request = R"({"cmd":"build_context","feeds":{"BTC":{"symbol":"BTC","candles":[[0)";
  request.reserve(request.size() + 2 * 16'777'217 + 8);
  for (int i = 1; i < 16'777'217; ++i) request += ",0";
  request += "]]}}}";
  EXPECT_EQ(engine.command(request),
            R"({"error":"parse: invalid length 16777217, expected fewer elements in array",)"
            R"("ok":false})");
}

}  // namespace
}  // namespace mellix
