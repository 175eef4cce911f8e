// replay: the facts a build would answer at each of many moments of a
// history, from feeds read once.
//
// The snapshot "as of t" keeps, of every series, the entries with ts <= t in
// the order received (the rules never sort); an order book counts when its
// ts <= t. With ReplayCut::Window, funding, open interest and liquidations
// keep only the entries inside the candle window that ends at t: from the
// earliest ts among the last `lookback` candles as of t, through t (no
// candles, no window). At each moment the facts are those a build of that
// snapshot answers, value, magnitude, ts, sentence and rank alike: the
// rules run over spans of the series where a series is in time order, and
// over a filtered copy where it is not.
//
// The result is a table with a row per fact, moments in the order given and
// facts in rank order within a moment. replay() validates the spec as a
// build does and otherwise cannot fail but for std::bad_alloc. It derives on
// the process-wide pool, symbol by symbol; the table does not depend on the
// pool's size or scheduling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "mellix/context_spec.hpp"
#include "mellix/engine_error.hpp"
#include "mellix/fact_kind.hpp"
#include "mellix/feed_snapshot.hpp"

namespace mellix {

enum class ReplayCut : std::uint8_t { All, Window };

struct ReplayOptions {
  // The moments: `at` when it is not empty; else the ts of every `every`-th
  // candle (the every-th, the 2*every-th, ...) of `reference`'s snapshot, in
  // the order received, `reference` being by default the first spec symbol
  // that has a snapshot.
  std::vector<std::int64_t> at;
  std::uint64_t every = 0;
  std::string reference;
  ReplayCut cut = ReplayCut::All;
  bool sentences = false;  // fill ReplayTable::human
  // Called on the calling thread after each few dozen moments with the
  // number done and the number in all; false stops the replay, which then
  // fails with a data error "replay stopped".
  std::function<bool(std::size_t done, std::size_t total)> progress;
};

// Columns of equal length, a row per fact. The rows of moment i are
// moment_rows[i] to moment_rows[i + 1], in rank order: a row's moment and
// rank (0 for the most notable) are where it stands.
struct ReplayTable {
  std::vector<std::int64_t> moments;       // the moments replayed, in order
  std::vector<std::string> keys;           // the feeds keys of the snapshots, ascending
  std::vector<std::string> symbols;        // those snapshots' symbols
  std::vector<std::uint64_t> moment_rows;  // moments.size() + 1 row numbers

  std::vector<std::uint32_t> symbol;  // index into `symbols`
  std::vector<FactKind> kind;
  std::vector<double> value;
  std::vector<double> magnitude;
  std::vector<std::int64_t> ts;
  std::vector<std::string> human;  // empty unless sentences were asked for

  std::size_t rows() const { return kind.size(); }
};

std::expected<ReplayTable, EngineError> replay(const ContextSpec& spec, const FeedMap& feeds,
                                               const ReplayOptions& options);

}  // namespace mellix
