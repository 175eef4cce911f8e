// The context builder: symbol selection, ranking and independence from the
// pool's size and scheduling.
#include "engine/builder.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "mellix/context_text.hpp"
#include "rules/derive.hpp"

namespace mellix {
namespace {

constexpr std::vector<FactKind> all_kinds() {
  return {kAllFactKinds.begin(), kAllFactKinds.end()};
}

// Closes from 100 to `last` over n candles; OI from 200 to 190.
FeedSnapshot snapshot(std::string symbol, double last = 105.0, int n = 10) {
  FeedSnapshot s;
  s.symbol = std::move(symbol);
  for (int i = 0; i < n; ++i) {
    const double close = 100.0 + (last - 100.0) * i / (n - 1);
    s.candles.push_back({1000 + i, close, close, close, close, 1.0});
  }
  s.open_interest = {{1, 200.0}, {2, 190.0}};
  return s;
}

ContextSpec spec_for(std::vector<std::string> symbols, std::vector<FactKind> kinds = all_kinds()) {
  return ContextSpec{std::move(symbols), 20, std::move(kinds), std::nullopt};
}

std::vector<std::string> fact_symbols(const MarketContext& context) {
  std::vector<std::string> out;
  for (const Fact& f : context.facts) out.push_back(f.symbol);
  return out;
}

TEST(BuilderTest, OnlySpecSymbolsWithSnapshotsAreBuiltOnce) {
  FeedMap feeds;
  feeds.emplace("ETH", snapshot("ETH", 110.0));
  feeds.emplace("BTC", snapshot("BTC", 103.0));
  feeds.emplace("XRP", snapshot("XRP", 150.0));  // not in the spec: never read
  const auto context = build_context(spec_for({"SOL", "ETH", "BTC", "ETH"}), feeds);
  ASSERT_TRUE(context.has_value());
  EXPECT_EQ(context->symbols, (std::vector<std::string>{"BTC", "ETH"}));
  EXPECT_EQ(context->lookback, 20u);
  // +10% ranks first; ETH listed twice still contributes its facts once.
  EXPECT_EQ(fact_symbols(*context), (std::vector<std::string>{"ETH", "BTC", "ETH", "BTC"}));

  const auto none = build_context(spec_for({"SOL"}), feeds);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(*none, (MarketContext{{}, {}, 20}));
}

TEST(BuilderTest, SymbolsAreOrderedAsBytes) {
  FeedMap feeds;
  for (const char* s : {"btc", "ETHUSD", "ETH", "BTC", "\xc3\x89TH", "Zed"}) {
    feeds.emplace(s, snapshot(s, 100.0));  // flat prices: only OI facts
  }
  const auto context =
      build_context(spec_for({"\xc3\x89TH", "btc", "Zed", "ETHUSD", "ETH", "BTC"}), feeds);
  ASSERT_TRUE(context.has_value());
  const std::vector<std::string> expected = {"BTC", "ETH", "ETHUSD", "Zed", "btc", "\xc3\x89TH"};
  EXPECT_EQ(context->symbols, expected);
  // Equal magnitudes and kinds: the ranking falls back to symbol bytes.
  EXPECT_EQ(fact_symbols(*context), expected);
}

Fact fact(FactKind kind, std::string symbol, double magnitude, std::int64_t ts, std::string tag) {
  return Fact{kind, std::move(symbol), 0.0, magnitude, ts, std::move(tag)};
}

TEST(RankTest, OrdersByMagnitudeThenKindSymbolTsAndIsStable) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Fact> facts = {
      fact(FactKind::OiChange, "B", 1.0, 5, "a"),   fact(FactKind::PriceMove, "B", 1.0, 5, "b"),
      fact(FactKind::OiChange, "A", 1.0, 9, "c"),   fact(FactKind::OiChange, "A", 1.0, 2, "d"),
      fact(FactKind::OiChange, "A", 1.0, 2, "e"),  // ties with d on every key
      fact(FactKind::PriceMove, "A", -0.0, 0, "f"), fact(FactKind::PriceMove, "A", 0.0, 0, "g"),
      fact(FactKind::PriceMove, "A", inf, 0, "h"),  fact(FactKind::PriceMove, "A", nan, 0, "i"),
      fact(FactKind::PriceMove, "A", -nan, 0, "j"), fact(FactKind::PriceMove, "A", 2.0, 0, "k"),
  };
  rank_facts(facts);
  std::string order;
  for (const Fact& f : facts) order += f.human;
  EXPECT_EQ(order, "ihkbdecagfj");
}

// Many symbols of every shape: the context must depend neither on the pool's
// size nor on builds running at once from several threads.
TEST(BuilderTest, ResultIsIndependentOfParallelism) {
  FeedMap feeds;
  std::vector<std::string> symbols;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "S" + std::to_string(i * 7919 % 1000);
    symbols.push_back(name);
    if (i % 5 == 0) continue;  // some listed symbols have no snapshot
    FeedSnapshot s = snapshot(name, 100.0 + (i % 13) - 6.0, 10 + i % 40);
    s.funding = {{1, 0.01}, {2, -0.01 * (i % 3)}, {3, 0.02}};
    s.orderbook = OrderbookL2{7, {{1.0, 1.0 + i % 4}}, {{2.0, 1.0}}};
    s.liquidations = {
        {3, i % 2 ? LiquidationSide::Long : LiquidationSide::Short, 10.0, 0.5 * (i % 5)}};
    feeds.emplace(name, std::move(s));
  }
  const ContextSpec spec = spec_for(symbols);
  const auto build = [&] {
    const auto context = build_context(spec, feeds);
    std::string text;
    if (context) write_market_context(text, *context);
    return text;
  };
  const std::string expected = build();
  EXPECT_GT(expected.size(), 10000u);
  for (const std::size_t workers : {1u, 2u, 16u}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
    EXPECT_EQ(build(), expected) << workers << " workers";
  }
  std::vector<int> matches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) matches[t] += build() == expected;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(matches, std::vector<int>(4, 5));
}

}  // namespace
}  // namespace mellix
