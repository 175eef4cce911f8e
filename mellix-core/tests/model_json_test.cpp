// Reading feeds and contexts from parsed documents, and writing contexts.
#include "model/model_json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "differential_check.hpp"
#include "json/document_parser.hpp"
#include "json/value_locator.hpp"
#include "kind_lists.hpp"
#include "mellix/context_text.hpp"

namespace mellix {
namespace {

using json::Source;

template <class T>
std::expected<T, json::ReadError> read_document(std::string_view text) {
  json::DocumentParser parser;
  auto doc = parser.parse(text);
  EXPECT_TRUE(doc.has_value()) << text;
  return doc->visit([](const auto& root) { return json::read_value<T>(root, Source::Document); });
}

// The message, the path to the refused value ("/"-separated) and the text
// that stands at the offset locate_value() finds for that path.
TEST(FeedJsonTest, ReportsFirstErrorInVisitingOrderAndWhereItStands) {
  struct Case {
    std::string_view text, message, path, located;
  };
  const Case cases[] = {
      {"[]", "invalid type: sequence, expected a map", "", "[]"},
      {R"({"BTC":5})", "invalid type: integer `5`, expected struct FeedSnapshot", "/BTC", "5}"},
      {R"({"BTC":{"symbol":"BTC"}})", "missing field `candles`", "/BTC", "{\"symbol"},
      {R"({"BTC":{"symbol":"BTC","candles":[],"trades":null}})",
       "invalid type: null, expected a sequence", "/BTC/trades", "null}"},
      // "candles" sorts before "symbol", whatever the text order.
      {R"({"BTC":{"symbol":1,"candles":[1]}})", "invalid type: integer `1`, expected struct Candle",
       "/BTC/candles/0", "1]"},
      // The feeds map is visited in key order too; the last of a repeated key counts.
      {R"({"ZZZ":{"symbol":1,"candles":[]},"AAA":{"symbol":2,"candles":[]}})",
       "invalid type: integer `2`, expected a string", "/AAA/symbol", "2,"},
      {R"({"B":{"symbol":"B","candles":[]},"B":{"symbol":"B","candles":[{"ts":1000.0,"open":1,"high":1,"low":1,"close":1,"volume":1}]}})",
       "invalid type: floating point `1000.0`, expected i64", "/B/candles/0/ts", "1000.0,"},
      {R"({"B":{"symbol":"B","candles":[{"ts":9223372036854775808,"open":1,"high":1,"low":1,"close":1,"volume":1}]}})",
       "invalid value: integer `9223372036854775808`, expected i64", "/B/candles/0/ts",
       "9223372036854775808,"},
      {R"({"B":{"symbol":"B","candles":[[1000,1,2,0.5,1.5]]}})",
       "invalid length 5, expected struct Candle with 6 elements", "/B/candles/0", "[1000,"},
      {R"({"B":{"symbol":"B","candles":[[1000,1,"2",0.5,1.5,1]]}})",
       "invalid type: string \"2\", expected f64", "/B/candles/0/2", "\"2\","},
      {R"({"B":{"symbol":"B","candles":[],"orderbook":{"ts":1,"bids":[[100.5]],"asks":[]}}})",
       "invalid length 1, expected an array of length 2", "/B/orderbook/bids/0", "[100.5]"},
      {R"({"B":{"symbol":"B","candles":[],"orderbook":{"ts":1,"bids":[[100.5,2,3]],"asks":[]}}})",
       "invalid length 3, expected fewer elements in array", "/B/orderbook/bids/0", "[100.5,2,3]"},
      {R"({"B":{"symbol":"B","candles":[],"orderbook":{"ts":1,"bids":[[1,2],[3,null]],"asks":[]}}})",
       "invalid type: null, expected f64", "/B/orderbook/bids/1/1", "null]"},
      {R"({"B":{"symbol":"B","candles":[],"orderbook":{"ts":1,"bids":[{"price":1,"qty":2}],"asks":[]}}})",
       "invalid type: map, expected an array of length 2", "/B/orderbook/bids/0", "{\"price"},
      {R"({"B":{"symbol":"B","candles":[],"liquidations":[{"ts":1,"side":"SHORT","price":1,"qty":1}]}})",
       "unknown variant `SHORT`, expected `long` or `short`", "/B/liquidations/0/side",
       "\"SHORT\""},
      {R"({"B":{"symbol":"B","candles":[],"liquidations":[{"ts":1,"side":{"short":1},"price":1,"qty":1}]}})",
       "invalid type: integer `1`, expected unit", "/B/liquidations/0/side/short", "1}"},
      {R"({"B":{"symbol":"B","candles":[],"liquidations":[{"ts":1,"side":true,"price":1,"qty":1}]}})",
       "invalid type: boolean `true`, expected string or map", "/B/liquidations/0/side", "true"},
      {R"({"B":["B",[],null,[],[],[],[],8]})", "invalid length 8, expected fewer elements in array",
       "/B", "[\"B\""}};
  for (const auto& c : cases) {
    const auto feeds = read_document<FeedMap>(c.text);
    ASSERT_FALSE(feeds.has_value()) << c.text;
    EXPECT_EQ(feeds.error().message, c.message);
    EXPECT_FALSE(feeds.error().offset.has_value());
    EXPECT_EQ(json::describe(feeds.error().path), c.path) << c.text;
    const auto offset = json::locate_value(c.text, feeds.error().path);
    ASSERT_TRUE(offset.has_value()) << c.text;
    EXPECT_TRUE(c.text.substr(*offset).starts_with(c.located)) << c.text.substr(*offset);
  }
}

constexpr const char* kCandle = R"({"ts":1,"open":1,"high":1,"low":1,"close":1,"volume":1})";

// Of a repeated key, the last value counts: the first "BTC" is never read.
TEST(FeedJsonTest, DefaultsAndEncodingsAgree) {
  const auto object_form = read_document<FeedMap>(
      std::string(R"({"BTC":{"candles":5},"BTC":{"symbol":"first","candles":[)") + kCandle +
      R"(],"orderbook":null,"unknown":{"deep":[1,2]},"symbol":"XBT"}})");
  const auto array_form = read_document<FeedMap>(R"({"BTC":["XBT",[[1,1,1,1,1,1]]]})");
  ASSERT_TRUE(object_form.has_value()) << object_form.error().message;
  ASSERT_TRUE(array_form.has_value()) << array_form.error().message;
  EXPECT_EQ(*object_form, *array_form);
  const FeedSnapshot& s = object_form->at("BTC");
  EXPECT_EQ(s.symbol, "XBT");
  EXPECT_FALSE(s.orderbook.has_value());
  EXPECT_TRUE(s.trades.empty() && s.funding.empty() && s.open_interest.empty() &&
              s.liquidations.empty());

  const auto full = read_document<FeedMap>(
      R"({"E":{"symbol":"E","candles":[[1000,1,2,0.5,1.5,10]],"orderbook":{"asks":[[101,1]],"bids":[[100.5,2]],"ts":-4},
          "trades":[[5,1.5,2,true]],"funding":[{"rate":-0.01,"ts":3}],"open_interest":[[1,200]],
          "liquidations":[{"ts":2,"side":{"short":null},"price":3,"qty":4}]},"A":{"symbol":"A","candles":[]}})");
  ASSERT_TRUE(full.has_value()) << full.error().message;
  ASSERT_EQ(full->size(), 2u);
  EXPECT_EQ(full->begin()->first, "A");
  const FeedSnapshot& e = full->at("E");
  EXPECT_EQ(e.candles, (std::vector<Candle>{{1000, 1.0, 2.0, 0.5, 1.5, 10.0}}));
  EXPECT_EQ(e.orderbook, (OrderbookL2{-4, {{100.5, 2.0}}, {{101.0, 1.0}}}));
  EXPECT_EQ(e.trades, (std::vector<Trade>{{5, 1.5, 2.0, true}}));
  EXPECT_EQ(e.funding, (std::vector<FundingPoint>{{3, -0.01}}));
  EXPECT_EQ(e.open_interest, (std::vector<OiPoint>{{1, 200.0}}));
  EXPECT_EQ(e.liquidations, (std::vector<Liquidation>{{2, LiquidationSide::Short, 3.0, 4.0}}));

  const auto empty = read_document<FeedMap>("{}");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

struct FloatCase {
  double value;
  std::string text;
};

class FloatFormatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatFormatTest, WritesShortestRoundTripForm) {
  std::string out;
  json::append_json_double(out, GetParam().value);
  EXPECT_EQ(out, GetParam().text);
  if (std::isfinite(GetParam().value)) {
    EXPECT_EQ(std::strtod(out.c_str(), nullptr), GetParam().value) << "must read back exactly";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatFormatTest,
    ::testing::Values(FloatCase{2.0, "2.0"}, FloatCase{-1.25, "-1.25"}, FloatCase{0.000001, "1e-6"},
                      FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "1e+16"},
                      FloatCase{12345678901234567890.0, "1.2345678901234567e+19"},
                      FloatCase{-0.0, "-0.0"}, FloatCase{0.1 + 0.2, "0.30000000000000004"},
                      FloatCase{5e-324, "5e-324"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "null"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "null"}));

TEST(ContextJsonTest, WritesExactText) {
  MarketContext empty{{}, {}, 20};
  std::string out;
  write_market_context(out, empty);
  EXPECT_EQ(out, R"({"facts":[],"symbols":[],"lookback":20})");

  MarketContext context{{{FactKind::OiChange, "B\"\\\t\n\xc3\xa9", 2.0,
                          std::numeric_limits<double>::infinity(), -5, "say \"hi\"\x01\x7f/"},
                         {FactKind::VolatilitySpike, "A", 0.5, 0.5, 0, ""}},
                        {"A", "B"},
                        4294967295u};
  out.clear();
  write_market_context(out, context);
  EXPECT_EQ(
      out,
      "{\"facts\":[{\"kind\":\"oi_change\",\"symbol\":\"B\\\"\\\\\\t\\n\xc3\xa9\",\"value\":2.0,"
      "\"magnitude\":null,\"ts\":-5,\"human\":\"say \\\"hi\\\"\\u0001\x7f/\"},"
      "{\"kind\":\"volatility_spike\",\"symbol\":\"A\",\"value\":0.5,\"magnitude\":0.5,"
      "\"ts\":0,\"human\":\"\"}],\"symbols\":[\"A\",\"B\"],\"lookback\":4294967295}");
}

TEST(ContextJsonTest, ReportsMessage) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"null", "invalid type: null, expected struct MarketContext"},
      {R"({"facts":[{"kind":"price_move","symbol":"B","value":1,"magnitude":1,"ts":1}],"symbols":[],"lookback":1})",
       "missing field `human`"},
      {R"({"facts":[["PriceMove","B",1,1,1,""]],"symbols":[],"lookback":1})",
       "unknown variant `PriceMove`, expected one of " + testing::all_kinds_expected()},
      {R"({"facts":[[{"price_move":null,"oi_change":null},"B",1,1,1,""]],"symbols":[],"lookback":1})",
       "invalid value: map, expected map with a single key"},
      {R"({"facts":[["price_move","B",null,1,1,""]],"symbols":[],"lookback":1})",
       "invalid type: null, expected f64"},
      {R"([[],[]])", "invalid length 2, expected struct MarketContext with 3 elements"},
      {R"({"symbols":{},"lookback":"x"})", "invalid type: string \"x\", expected u32"}};
  for (const auto& [text, message] : cases) {
    const auto context = read_document<MarketContext>(text);
    ASSERT_FALSE(context.has_value()) << text;
    EXPECT_EQ(context.error().message, message);
  }
}

// Random contexts written and read back give the same context.
TEST(ContextJsonTest, WrittenContextReadsBackEqual) {
  std::mt19937_64 rng(20261206);
  std::uniform_int_distribution<int> small(0, 6);
  const auto random_double = [&] {
    switch (small(rng)) {
      case 0:
        return 0.0;
      case 1:
        return -0.0;
      case 2:
        return std::ldexp(static_cast<double>(rng() >> 11), small(rng) * 40 - 120);
      case 3:
        return -std::ldexp(static_cast<double>(rng() >> 11), -small(rng) * 60);
      case 4: {  // any finite bit pattern, subnormals included
        double d = 0.0;
        do d = std::bit_cast<double>(rng());
        while (!std::isfinite(d));
        return d;
      }
      default:
        return std::round(
                   static_cast<double>(static_cast<std::int64_t>(rng() % 2000000) - 1000000) /
                   1e-8 * 1e-8) *
               1e-8;
    }
  };
  const auto random_string = [&] {
    std::string s;
    const int n = small(rng);
    for (int i = 0; i < n; ++i) {
      constexpr std::string_view pieces[] = {
          "a", "\"", "\\", "\n", "\x01", "\xc3\xa9", "\xf0\x9f\x98\x80", "/", "\x7f"};
      s += pieces[rng() % std::size(pieces)];
    }
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    MarketContext context;
    context.lookback = static_cast<std::uint32_t>(rng());
    for (int i = small(rng); i > 0; --i) {
      context.facts.push_back(Fact{static_cast<FactKind>(rng() % 6), random_string(),
                                   random_double(), random_double(),
                                   static_cast<std::int64_t>(rng()), random_string()});
    }
    for (int i = small(rng); i > 0; --i) context.symbols.push_back(random_string());
    std::string text;
    write_market_context(text, context);
    const auto back = read_document<MarketContext>(text);
    ASSERT_TRUE(back.has_value()) << text << " -> " << back.error().message;
    EXPECT_EQ(*back, context) << text;
    // Signs of zero must survive too.
    for (std::size_t i = 0; i < context.facts.size(); ++i) {
      EXPECT_EQ(std::signbit(back->facts[i].value), std::signbit(context.facts[i].value));
    }
  }
}

}  // namespace
}  // namespace mellix
