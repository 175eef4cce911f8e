// Speed of the engine's hot paths against their natural baselines:
//   - a whole build command against a bare simdjson DOM parse of its text;
//   - reading the feeds: the forward reader, and the DOM with its conversion;
//   - the builder alone with one worker and with every core;
//   - a tiny command (the per-call floor).
// bench/bench.py prints the figures that count, from Python.
// Run: build/bench/bench/mellix_bench (configure with -DMELLIX_BUILD_BENCH=ON).
#include <benchmark/benchmark.h>
#include <simdjson.h>
#include <tbb/global_control.h>

#include <string>
#include <thread>

#include "engine/builder.hpp"
#include "json/document_parser.hpp"
#include "kind_lists.hpp"
#include "mellix/engine.hpp"
#include "model/model_json.hpp"
#include "read/forward_reader.hpp"

namespace {

constexpr int kSymbols = 200;
constexpr int kCandles = 2000;

std::string symbol_name(int i) {
  return "SYM" + std::to_string(i);
}

// About 30 MB: kSymbols snapshots of kCandles candles plus the other series.
const std::string& build_request() {
  static const std::string text = [] {
    std::string out = R"({"cmd":"build_context","feeds":{)";
    for (int s = 0; s < kSymbols; ++s) {
      if (s) out += ',';
      out += '"' + symbol_name(s) + R"(":{"symbol":")" + symbol_name(s) + R"(","candles":[)";
      for (int i = 0; i < kCandles; ++i) {
        if (i) out += ',';
        const double close = 100.0 + (i % 97) * 0.37 + s * 0.01 + (i > kCandles - 40 ? i % 7 : 0);
        out += "{\"ts\":" + std::to_string(1733000000000LL + i * 60000LL) +
               ",\"open\":" + std::to_string(close - 0.25) +
               ",\"high\":" + std::to_string(close + 1.5) +
               ",\"low\":" + std::to_string(close - 1.5) + ",\"close\":" + std::to_string(close) +
               ",\"volume\":" + std::to_string(10 + i % 13) + "}";
      }
      out += R"(],"orderbook":{"ts":1,"bids":[[99.5,3],[99.4,2]],"asks":[[100.5,1],[100.6,1]]},)";
      out +=
          R"("funding":[[1,0.0001],[2,-0.0002],[3,0.0003]],"open_interest":[[1,1000],[2,1100]],)";
      out += R"("liquidations":[[1,"long",100,5],[2,"short",101,2]]})";
    }
    out += "}}";
    return out;
  }();
  return text;
}

std::string spec_text() {
  std::string out = R"({"symbols":[)";
  for (int s = 0; s < kSymbols; ++s) out += (s ? ",\"" : "\"") + symbol_name(s) + '"';
  out += R"(],"lookback":20,"facts":[)" + mellix::testing::all_kinds_json() + "]}";
  return out;
}

void BM_SimdjsonDomParse(benchmark::State& state) {
  const std::string& text = build_request();
  simdjson::dom::parser parser;
  for (auto _ : state) {
    auto doc = parser.parse(text.data(), text.size(), true);
    benchmark::DoNotOptimize(doc.error());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SimdjsonDomParse)->Unit(benchmark::kMillisecond);

void BM_BuildCommand(benchmark::State& state) {
  const std::string& text = build_request();
  auto engine = mellix::Engine::create(spec_text());
  for (auto _ : state) {
    const std::string response = engine->command(text);
    benchmark::DoNotOptimize(response.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BuildCommand)->Unit(benchmark::kMillisecond);

void BM_ForwardRead(benchmark::State& state) {
  const std::string& text = build_request();
  mellix::ForwardReader reader;
  for (auto _ : state) {
    auto outcome = reader.read_build(text);
    benchmark::DoNotOptimize(outcome.feeds->size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ForwardRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FeedConversion(benchmark::State& state) {
  const std::string& text = build_request();
  mellix::json::DocumentParser parser;
  for (auto _ : state) {
    const auto root = parser.parse_fast(text);
    std::optional<mellix::json::FastValue> feeds;
    root->for_each_member([&](std::string_view key, const mellix::json::FastValue& v) {
      if (key == "feeds") feeds.emplace(v);
      return true;
    });
    auto map = mellix::json::read_value<mellix::FeedMap>(*feeds, mellix::json::Source::Document);
    benchmark::DoNotOptimize(map->size());
  }
}
BENCHMARK(BM_FeedConversion)->Unit(benchmark::kMillisecond);

// The derivation alone, by worker count (argument).
void BM_BuildContext(benchmark::State& state) {
  mellix::json::DocumentParser parser;
  const auto root = parser.parse_fast(build_request());
  std::optional<mellix::json::FastValue> feeds_value;
  root->for_each_member([&](std::string_view key, const mellix::json::FastValue& v) {
    if (key == "feeds") feeds_value.emplace(v);
    return true;
  });
  const auto feeds =
      mellix::json::read_value<mellix::FeedMap>(*feeds_value, mellix::json::Source::Document);
  const auto spec = mellix::Engine::create(spec_text())->spec();
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                            static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto context = mellix::build_context(spec, *feeds);
    benchmark::DoNotOptimize(context->facts.size());
  }
}
BENCHMARK(BM_BuildContext)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TinyCommand(benchmark::State& state) {
  auto engine = mellix::Engine::create(spec_text());
  for (auto _ : state) {
    const std::string response = engine->command(R"({"cmd":"version"})");
    benchmark::DoNotOptimize(response.data());
  }
}
BENCHMARK(BM_TinyCommand);

}  // namespace
