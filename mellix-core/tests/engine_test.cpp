// Dispatch, the small commands and the error envelope, driven through text.
#include "mellix/engine.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kind_lists.hpp"
#include "mellix/version.hpp"

namespace mellix {
namespace {

const std::string kVersionAnswer = "{\"version\":\"" + std::string(kVersion) + "\"}";

constexpr std::string_view kSpec = R"({"symbols":["BTC"],"lookback":20,"facts":["price_move"]})";

Engine make_engine(std::string_view spec = kSpec) {
  auto engine = Engine::create(spec);
  EXPECT_TRUE(engine.has_value()) << engine.error().render();
  return std::move(*engine);
}

TEST(EngineTest, AnswersExactly) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"cmd":"version"})", kVersionAnswer},
      {"{\"cmd\":\"caf\xc3\xa9\"}",
       "{\"error\":\"bad spec: unknown cmd: caf\xc3\xa9\",\"ok\":false}"},
      {R"({"cmd":"a\nb\u0001"})", R"({"error":"bad spec: unknown cmd: a\nb\u0001","ok":false})"},
      {R"({"cmd":"reset","cmd":"version"})", kVersionAnswer},
      // Integers beyond 64 bits are numbers, not errors.
      {R"({"cmd":"version","n":123456789012345678901234567890})", kVersionAnswer},
      {R"({"cmd":"set_spec","spec":{"symbols":["A"],"lookback":99999999999999999999,"facts":[]}})",
       R"({"error":"parse: invalid type: floating point `100000000000000000000.0`, expected u32","ok":false})"},
      // Nesting is limited to 127 levels.
      {"{\"cmd\":\"version\",\"x\":" + std::string(126, '[') + std::string(126, ']') + "}",
       kVersionAnswer},
      {"{\"cmd\":\"version\",\"x\":" + std::string(127, '[') + std::string(127, ']') + "}",
       R"({"error":"parse: recursion limit exceeded at line 1 column 148","ok":false})"},
      {"{\n  \"cmd\": tru\n}",
       R"({"error":"parse: invalid literal at line 2 column 13","ok":false})"},
      {"",
       R"({"error":"parse: unexpected end of input, expected a value at line 1 column 1","ok":false})"},
      {"   ",
       R"({"error":"parse: unexpected end of input, expected a value at line 1 column 4","ok":false})"},
      {"{}{}", R"({"error":"parse: trailing characters at line 1 column 3","ok":false})"},
      {"01", R"({"error":"parse: trailing characters at line 1 column 2","ok":false})"},
      {"1e400", R"({"error":"parse: number out of range at line 1 column 1","ok":false})"},
      {R"(["\ud800"])",
       R"({"error":"parse: lone surrogate in \\u escape at line 1 column 3","ok":false})"},
      {"\"\xff\"", R"({"error":"parse: invalid UTF-8 at line 1 column 2","ok":false})"},
      {R"([1])", R"({"error":"bad spec: missing \"cmd\"","ok":false})"},
      {R"({"cmd":5})", R"({"error":"bad spec: missing \"cmd\"","ok":false})"},
      {R"({"cmd":"set_spec"})", R"({"error":"bad spec: missing \"spec\"","ok":false})"},
      {R"({"cmd":"build_context"})", R"({"error":"bad spec: missing \"feeds\"","ok":false})"},
      {R"({"cmd":"query","question":7})",
       R"({"error":"bad spec: missing string \"question\"","ok":false})"},
      {R"({"cmd":"query","question":"why","context":null})",
       R"({"error":"parse: invalid type: null, expected struct MarketContext","ok":false})"},
      {R"({"cmd":"set_spec","spec":{"symbols":[1],"lookback":1,"facts":["x"]}})",
       "{\"error\":\"parse: unknown variant `x`, expected one of " +
           mellix::testing::all_kinds_expected() + "\",\"ok\":false}"}};
  for (const auto& [request, response] : cases) {
    EXPECT_EQ(make_engine().command(request), response) << request;
  }
}

// "facts" builds like "build_context"; a query reads the stored context
// unless it brings its own, which it does not store.
TEST(EngineTest, ABuiltContextServesQueriesUntilReset) {
  const std::string no_context =
      R"({"error":"bad spec: no context built; call build_context first","ok":false})";
  const std::string price_calls =
      R"({"tool_calls":[{"kind":"price_move","symbol":"BTC","tool":"get_fact"}]})";
  const std::pair<std::string, std::string> steps[] = {
      {R"({"cmd":"query","question":"open interest","context":)"
       R"({"facts":[["oi_change","AAA",2,2,2,"x"]],"symbols":[],"lookback":0}})",
       R"({"tool_calls":[{"kind":"oi_change","symbol":"AAA","tool":"get_fact"}]})"},
      {R"({"cmd":"query","question":"open interest"})", no_context},
      {R"({"cmd":"facts","feeds":{"BTC":["BTC",[[1,1,1,1,100,1],[2,1,1,1,105,1]]]}})",
       R"({"facts":[{"kind":"price_move","symbol":"BTC","value":5.0,"magnitude":5.0,"ts":2,)"
       R"("human":"BTC rose +5.00% over the last 20 bars."}],"symbols":["BTC"],"lookback":20})"},
      {R"({"cmd":"query","question":"price"})", price_calls},
      {R"({"cmd":"query","question":"","context":{"facts":[],"symbols":[],"lookback":1}})",
       R"({"tool_calls":[]})"},
      {R"({"cmd":"query","question":"price"})", price_calls},
      {R"({"cmd":"reset"})", R"({"ok":true})"},
      {R"({"cmd":"query","question":"price"})", no_context}};
  Engine engine = make_engine();
  for (const auto& [request, answer] : steps) EXPECT_EQ(engine.command(request), answer) << request;
}

TEST(EngineTest, SetSpecReplacesTheSpec) {
  Engine engine = make_engine();
  EXPECT_EQ(
      engine.command(R"({"cmd":"set_spec","spec":[["ETH","SOL"],5,[{"oi_change":null}],"1h"]})"),
      R"({"ok":true})");
  EXPECT_EQ(engine.spec(), (ContextSpec{{"ETH", "SOL"}, 5, {FactKind::OiChange}, "1h"}));
}

TEST(EngineTest, CreateRefusesWithRendering) {
  const std::pair<std::string_view, std::string> cases[] = {
      // Validation runs its checks in order: symbols, lookback, facts.
      {R"({"symbols":[],"lookback":0,"facts":[]})", "bad spec: at least one symbol is required"},
      {R"({"symbols":["BTC"],"lookback":0,"facts":[]})",
       "bad spec: lookback must be greater than zero"},
      {R"({"symbols":["BTC"],"lookback":1,"facts":["oi_change","oi_change"]})",
       "bad spec: duplicate fact kind: OiChange"},
      {R"({"symbols":["BTC"],"lookback":20,"facts":["price_move"]} x)",
       "parse: trailing characters at line 1 column 58"},
      {R"({"symbols":["BTC"],"symbols":["BTC"],"lookback":20,"facts":["price_move"]})",
       "parse: duplicate field `symbols` at line 1 column 30"},
      {R"({"facts":["PRICE_MOVE"],"symbols":[1]})",
       "parse: unknown variant `PRICE_MOVE`, expected one of " +
           mellix::testing::all_kinds_expected() + " at line 1 column 11"},
      {R"({"symbols":[1],"facts":["PRICE_MOVE"]})",
       "parse: invalid type: integer `1`, expected a string at line 1 column 13"},
      {"{\"lookback\":1,\n\"x\":2}", "parse: missing field `symbols` at line 2 column 6"},
      {R"([["BTC"],20])",
       "parse: invalid length 2, expected struct ContextSpec with 4 elements at "
       "line 1 column 12"},
      {R"([["BTC"],20,["price_move"],null,1])", "parse: trailing characters at line 1 column 33"},
      {R"({"symbols":["BTC"],"lookback":4294967296,"facts":["price_move"]})",
       "parse: invalid value: integer `4294967296`, expected u32 at line 1 column 31"},
      // The first fault in the text is the one reported: a value that does not
      // convert before a later syntax error, a syntax error in a member no one reads.
      {R"({"symbols":["BTC"],"lookback":20.0,"facts":["price_move"]} x)",
       "parse: invalid type: floating point `20.0`, expected u32 at line 1 column 31"},
      {R"([["ETH"],-1,["volatility_spike"],null] x)",
       "parse: invalid value: integer `-1`, expected u32 at line 1 column 10"},
      {R"({"symbols":["BTC"],"lookback":20,"facts":["PRICE_MOVE"],"timeframe":"1m")",
       "parse: unknown variant `PRICE_MOVE`, expected one of " +
           mellix::testing::all_kinds_expected() + " at line 1 column 43"},
      {R"({"x":[1,},"symbols":[1]})", "parse: expected a value at line 1 column 9"}};
  for (const auto& [spec, rendering] : cases) {
    const auto engine = Engine::create(spec);
    ASSERT_FALSE(engine.has_value()) << spec;
    EXPECT_EQ(engine.error().render(), rendering);
  }
}

TEST(EngineTest, CreateAcceptsBothEncodingsAndEdgeValues) {
  for (
      const std::string_view text :
      {R"({"symbols":["BTC"],"lookback":20,"facts":["price_move"]})",
       R"({"timeframe":null,"extra":{"a":[1,2]},"facts":[{"price_move":null}],"lookback":20,"symbols":["BTC"]})",
       R"([["BTC"],20,["price_move"]])", R"([["BTC"],20,["price_move"],null])"}) {
    const auto engine = Engine::create(text);
    ASSERT_TRUE(engine.has_value()) << text << " -> " << engine.error().render();
    EXPECT_EQ(engine->spec(), (ContextSpec{{"BTC"}, 20, {FactKind::PriceMove}, std::nullopt}));
  }
  const auto max =
      Engine::create(R"({"symbols":["BTC","BTC",""],"lookback":4294967295,"facts":["oi_change"]})");
  ASSERT_TRUE(max.has_value());
  EXPECT_EQ(max->spec().lookback, 4294967295u);
}

// simdjson keeps a container's count in 24 bits: an array-form record of
// 16,777,217 elements must still be counted right.
TEST(EngineTest, CountsArraysBeyond24Bits) {
  Engine engine = make_engine();
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
