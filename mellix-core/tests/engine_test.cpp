// Dispatch, the small commands and the error envelope, driven through text.
#include "mellix/engine.hpp"

#include <gtest/gtest.h>

#include <string>

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

struct RequestCase {
  std::string request;
  std::string response;
};

class DispatchTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(DispatchTest, AnswersExactly) {
  Engine engine = make_engine();
  EXPECT_EQ(engine.command(GetParam().request), GetParam().response);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DispatchTest,
    ::testing::Values(
        RequestCase{R"({"cmd":"version"})", kVersionAnswer},
        RequestCase{R"({"cmd":"Version"})",
                    R"({"error":"bad spec: unknown cmd: Version","ok":false})"},
        RequestCase{R"({"cmd":"version "})",
                    R"({"error":"bad spec: unknown cmd: version ","ok":false})"},
        RequestCase{R"({"cmd":""})", R"({"error":"bad spec: unknown cmd: ","ok":false})"},
        RequestCase{"{\"cmd\":\"caf\xc3\xa9\"}",
                    "{\"error\":\"bad spec: unknown cmd: caf\xc3\xa9\",\"ok\":false}"},
        RequestCase{R"({"cmd":"a\nb\u0001"})",
                    R"({"error":"bad spec: unknown cmd: a\nb\u0001","ok":false})"},
        RequestCase{R"({"cmd":"reset","cmd":"version"})", kVersionAnswer},
        RequestCase{R"([1])", R"({"error":"bad spec: missing \"cmd\"","ok":false})"},
        RequestCase{R"({"cmd":5})", R"({"error":"bad spec: missing \"cmd\"","ok":false})"},
        RequestCase{R"({"cmd":"set_spec"})",
                    R"({"error":"bad spec: missing \"spec\"","ok":false})"},
        RequestCase{R"({"cmd":"build_context"})",
                    R"({"error":"bad spec: missing \"feeds\"","ok":false})"},
        RequestCase{R"({"cmd":"query","question":7})",
                    R"({"error":"bad spec: missing string \"question\"","ok":false})"},
        RequestCase{
            R"({"cmd":"query","question":"why"})",
            R"({"error":"bad spec: no context built; call build_context first","ok":false})"},
        RequestCase{
            R"({"cmd":"query","question":"why","context":null})",
            R"({"error":"parse: invalid type: null, expected struct MarketContext","ok":false})"},
        RequestCase{R"({"cmd":"set_spec","spec":{"symbols":[],"lookback":1,"facts":[]}})",
                    R"({"error":"bad spec: at least one symbol is required","ok":false})"},
        RequestCase{R"({"cmd":"set_spec","spec":{"symbols":[1],"lookback":1,"facts":["x"]}})",
                    "{\"error\":\"parse: unknown variant `x`, expected one of `price_move`, "
                    "`orderbook_imbalance`, `liquidation_cluster`, `funding_flip`, `oi_change`, "
                    "`volatility_spike`\",\"ok\":false}"}));

// Text-level faults answer a parse error with a position and never a response.
class ParseFaultTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ParseFaultTest, AnswersPositionedParseError) {
  Engine engine = make_engine();
  const std::string response = engine.command(GetParam());
  EXPECT_TRUE(response.starts_with(R"({"error":"parse: )")) << response;
  EXPECT_NE(response.find(" at line "), std::string::npos) << response;
  EXPECT_NE(response.find(" column "), std::string::npos) << response;
  EXPECT_TRUE(response.ends_with(R"(","ok":false})")) << response;
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseFaultTest,
                         ::testing::Values("   ", "{}{}", "01", "1e400", R"(["\ud800"])",
                                           "\"\xff\"",
                                           std::string(128, '[') + std::string(128, ']')));

TEST(EngineTest, ParseErrorPositionCountsLinesAndColumns) {
  Engine engine = make_engine();
  EXPECT_EQ(engine.command("{\n  \"cmd\": tru\n}"),
            R"({"error":"parse: invalid literal at line 2 column 13","ok":false})");
  EXPECT_EQ(
      engine.command(""),
      R"({"error":"parse: unexpected end of input, expected a value at line 1 column 1","ok":false})");
}

TEST(EngineTest, NestingLimitIs127Levels) {
  Engine engine = make_engine();
  const std::string ok =
      "{\"cmd\":\"version\",\"x\":" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(engine.command(ok), kVersionAnswer);
  const std::string deep =
      "{\"cmd\":\"version\",\"x\":" + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_TRUE(engine.command(deep).starts_with(R"({"error":"parse: recursion limit exceeded)"));
}

TEST(EngineTest, IntegersBeyond64BitsAreNumbersNotErrors) {
  Engine engine = make_engine();
  EXPECT_EQ(engine.command(R"({"cmd":"version","n":123456789012345678901234567890})"),
            kVersionAnswer);
  EXPECT_EQ(
      engine.command(
          R"({"cmd":"set_spec","spec":{"symbols":["A"],"lookback":99999999999999999999,"facts":["oi_change"]}})"),
      R"({"error":"parse: invalid type: floating point `100000000000000000000.0`, expected u32","ok":false})");
}

TEST(EngineTest, SetSpecReplacesOnlyOnSuccess) {
  Engine engine = make_engine();
  EXPECT_EQ(
      engine.command(
          R"({"cmd":"set_spec","spec":{"symbols":["ETH"],"lookback":5,"facts":["oi_change","price_move","oi_change"]}})"),
      R"({"error":"bad spec: duplicate fact kind: OiChange","ok":false})");
  EXPECT_EQ(engine.spec().symbols, std::vector<std::string>{"BTC"});
  EXPECT_EQ(
      engine.command(R"({"cmd":"set_spec","spec":[["ETH","SOL"],5,[{"oi_change":null}],"1h"]})"),
      R"({"ok":true})");
  EXPECT_EQ(engine.spec().symbols, (std::vector<std::string>{"ETH", "SOL"}));
  EXPECT_EQ(engine.spec().lookback, 5u);
  EXPECT_EQ(engine.spec().facts, std::vector<FactKind>{FactKind::OiChange});
  EXPECT_EQ(engine.spec().timeframe, "1h");
}

struct SpecErrorCase {
  std::string spec;
  std::string rendering;
};

class CreateTest : public ::testing::TestWithParam<SpecErrorCase> {};

TEST_P(CreateTest, RefusesWithRendering) {
  const auto engine = Engine::create(GetParam().spec);
  ASSERT_FALSE(engine.has_value());
  EXPECT_EQ(engine.error().render(), GetParam().rendering);
}

INSTANTIATE_TEST_SUITE_P(
    Specs, CreateTest,
    ::testing::Values(
        // Validation runs its checks in order: symbols, lookback, facts.
        SpecErrorCase{R"({"symbols":[],"lookback":0,"facts":[]})",
                      "bad spec: at least one symbol is required"},
        SpecErrorCase{R"({"symbols":["BTC"],"lookback":0,"facts":[]})",
                      "bad spec: lookback must be greater than zero"},
        SpecErrorCase{R"({"symbols":["BTC"],"lookback":20,"facts":["price_move"]} x)",
                      "parse: trailing characters at line 1 column 58"},
        SpecErrorCase{
            R"({"symbols":["BTC"],"symbols":["BTC"],"lookback":20,"facts":["price_move"]})",
            "parse: duplicate field `symbols` at line 1 column 30"},
        SpecErrorCase{R"({"facts":["PRICE_MOVE"],"symbols":[1]})",
                      "parse: unknown variant `PRICE_MOVE`, expected one of `price_move`, "
                      "`orderbook_imbalance`, `liquidation_cluster`, `funding_flip`, `oi_change`, "
                      "`volatility_spike` at line 1 column 11"},
        SpecErrorCase{R"({"symbols":[1],"facts":["PRICE_MOVE"]})",
                      "parse: invalid type: integer `1`, expected a string at line 1 column 13"},
        SpecErrorCase{"{\"lookback\":1,\n\"x\":2}",
                      "parse: missing field `symbols` at line 2 column 6"},
        SpecErrorCase{R"([["BTC"],20])",
                      "parse: invalid length 2, expected struct ContextSpec with 4 elements at "
                      "line 1 column 12"},
        SpecErrorCase{R"([["BTC"],20,["price_move"],null,1])",
                      "parse: trailing characters at line 1 column 33"},
        SpecErrorCase{
            R"({"symbols":["BTC"],"lookback":20.0,"facts":["price_move"]})",
            "parse: invalid type: floating point `20.0`, expected u32 at line 1 column 31"},
        SpecErrorCase{
            R"({"symbols":["BTC"],"lookback":4294967296,"facts":["price_move"]})",
            "parse: invalid value: integer `4294967296`, expected u32 at line 1 column 31"}));

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

}  // namespace
}  // namespace mellix
