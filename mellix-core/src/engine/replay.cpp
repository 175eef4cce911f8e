#include "mellix/replay.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/builder.hpp"
#include "rules/derive.hpp"
#include "system/pool.hpp"

namespace mellix {
namespace {

// Moments are replayed this many at a time, so that the facts waiting to be
// ranked stay few whatever the length of the history.
constexpr std::size_t kMomentsPerChunk = 64;

// One series as of a moment: a span of it when it is in time order (found by
// binary search), else the entries that qualify, copied in the order
// received.
template <class T>
class SeriesCut {
 public:
  explicit SeriesCut(std::span<const T> all)
      : all_(all), in_order_(std::is_sorted(all.begin(), all.end(), [](const T& a, const T& b) {
          return a.ts < b.ts;
        })) {}

  // The entries with from <= ts <= to.
  std::span<const T> between(std::int64_t from, std::int64_t to) {
    if (in_order_) {
      const auto before = [](const T& entry, std::int64_t ts) { return entry.ts < ts; };
      const auto after = [](std::int64_t ts, const T& entry) { return ts < entry.ts; };
      const auto first = std::lower_bound(all_.begin(), all_.end(), from, before);
      const auto last = std::upper_bound(all_.begin(), all_.end(), to, after);
      if (first >= last) return {};
      return all_.subspan(static_cast<std::size_t>(first - all_.begin()),
                          static_cast<std::size_t>(last - first));
    }
    copy_.clear();
    for (const T& entry : all_) {
      if (entry.ts >= from && entry.ts <= to) copy_.push_back(entry);
    }
    return copy_;
  }

 private:
  std::span<const T> all_;
  bool in_order_;
  std::vector<T> copy_;
};

constexpr std::int64_t kEarliest = std::numeric_limits<std::int64_t>::min();

// One snapshot, cut as of any moment.
class SnapshotCut {
 public:
  SnapshotCut(const FeedSnapshot& snapshot, std::uint32_t lookback, ReplayCut cut)
      : snapshot_(snapshot),
        lookback_(lookback),
        cut_(cut),
        candles_(snapshot.candles),
        funding_(snapshot.funding),
        open_interest_(snapshot.open_interest),
        liquidations_(snapshot.liquidations) {}

  SnapshotView at(std::int64_t moment) {
    SnapshotView view;
    view.symbol = snapshot_.symbol;
    view.candles = candles_.between(kEarliest, moment);
    if (snapshot_.orderbook && snapshot_.orderbook->ts <= moment)
      view.orderbook = &*snapshot_.orderbook;
    const std::optional<std::int64_t> from = window_start(view.candles);
    if (!from) return view;  // a window without candles holds nothing
    view.funding = funding_.between(*from, moment);
    view.open_interest = open_interest_.between(*from, moment);
    view.liquidations = liquidations_.between(*from, moment);
    return view;
  }

 private:
  // Where the series that the rules read whole start: the beginning, or the
  // earliest ts among the last `lookback` candles.
  std::optional<std::int64_t> window_start(std::span<const Candle> candles) const {
    if (cut_ == ReplayCut::All) return kEarliest;
    const std::size_t window = std::min<std::size_t>(candles.size(), lookback_);
    if (window == 0) return std::nullopt;
    const auto last = candles.last(window);
    return std::min_element(last.begin(), last.end(),
                            [](const Candle& a, const Candle& b) { return a.ts < b.ts; })
        ->ts;
  }

  const FeedSnapshot& snapshot_;
  std::uint32_t lookback_;
  ReplayCut cut_;
  SeriesCut<Candle> candles_;
  SeriesCut<FundingPoint> funding_;
  SeriesCut<OiPoint> open_interest_;
  SeriesCut<Liquidation> liquidations_;
};

// The snapshots a build derives: the spec symbols that have one, each once,
// in ascending key order (the order a build gathers their facts in).
std::vector<FeedMap::const_iterator> build_snapshots(const ContextSpec& spec,
                                                     const FeedMap& feeds) {
  std::vector<std::string_view> keys(spec.symbols.begin(), spec.symbols.end());
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<FeedMap::const_iterator> snapshots;
  for (const std::string_view key : keys) {
    if (const auto it = feeds.find(key); it != feeds.end()) snapshots.push_back(it);
  }
  return snapshots;
}

std::vector<std::int64_t> moments_of(const ContextSpec& spec, const FeedMap& feeds,
                                     const ReplayOptions& options) {
  if (!options.at.empty() || options.every == 0) return options.at;
  // The named snapshot, or the first spec symbol's that has one.
  const FeedSnapshot* reference = nullptr;
  if (!options.reference.empty()) {
    if (const auto it = feeds.find(options.reference); it != feeds.end()) reference = &it->second;
  } else {
    for (const std::string& symbol : spec.symbols) {
      if (const auto it = feeds.find(symbol); it != feeds.end()) {
        reference = &it->second;
        break;
      }
    }
  }
  std::vector<std::int64_t> moments;
  if (reference == nullptr) return moments;
  for (std::uint64_t i = options.every; i <= reference->candles.size(); i += options.every) {
    moments.push_back(reference->candles[i - 1].ts);
  }
  return moments;
}

// The facts of one snapshot at each moment of a chunk: found[i] for moment
// i holds facts[begin[i]] to facts[begin[i + 1]].
struct SymbolFacts {
  std::vector<RuleFact> facts;
  std::vector<std::size_t> begin;
};

class Replayer {
 public:
  Replayer(const ContextSpec& spec, std::vector<const FeedSnapshot*> snapshots,
           const ReplayOptions& options)
      : spec_(spec),
        snapshots_(std::move(snapshots)),
        options_(options),
        symbol_order_(symbol_order(snapshots_)) {}

  // False when the progress callback stopped it.
  bool run(ReplayTable& table) {
    std::vector<SymbolFacts> found(snapshots_.size());
    const std::size_t moments = table.moments.size();
    for (std::size_t start = 0; start < moments; start += kMomentsPerChunk) {
      const std::size_t end = std::min(moments, start + kMomentsPerChunk);
      const std::span<const std::int64_t> chunk(table.moments.data() + start, end - start);
      parallel_ranges(snapshots_.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t s = first; s != last; ++s) derive_chunk(*snapshots_[s], chunk, found[s]);
      });
      rank_chunk(found, chunk.size(), table);
      if (start == 0) reserve(table, end, moments);
      if (options_.progress && !options_.progress(end, moments)) return false;
    }
    return true;
  }

 private:
  struct Row {
    std::uint32_t symbol;
    std::uint32_t gathered;  // its place in gathering order
    RuleFact* fact;
  };

  // Each snapshot's symbol by its place among them all in byte order, so
  // that ranking compares numbers (equal symbols, equal places).
  static std::vector<std::uint32_t> symbol_order(
      const std::vector<const FeedSnapshot*>& snapshots) {
    std::vector<std::string_view> sorted;
    for (const FeedSnapshot* snapshot : snapshots) sorted.push_back(snapshot->symbol);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<std::uint32_t> order;
    for (const FeedSnapshot* snapshot : snapshots) {
      order.push_back(static_cast<std::uint32_t>(
          std::lower_bound(sorted.begin(), sorted.end(), snapshot->symbol) - sorted.begin()));
    }
    return order;
  }

  void derive_chunk(const FeedSnapshot& snapshot, std::span<const std::int64_t> chunk,
                    SymbolFacts& out) const {
    out.facts.clear();
    out.begin.clear();
    SnapshotCut cut(snapshot, spec_.lookback, options_.cut);
    for (const std::int64_t moment : chunk) {
      out.begin.push_back(out.facts.size());
      derive_rule_facts(cut.at(moment), spec_, options_.sentences, out.facts);
    }
    out.begin.push_back(out.facts.size());
  }

  // The chunk's moments ranked on the pool, each into its own rows of the
  // table, which grows by the chunk's facts first.
  void rank_chunk(std::vector<SymbolFacts>& found, std::size_t count, ReplayTable& table) {
    std::vector<std::size_t> offset(count + 1, table.rows());
    for (std::size_t m = 0; m < count; ++m) {
      std::size_t facts = 0;
      for (const SymbolFacts& symbol : found) facts += symbol.begin[m + 1] - symbol.begin[m];
      offset[m + 1] = offset[m] + facts;
      table.moment_rows.push_back(offset[m + 1]);
    }
    resize(table, offset[count]);
    parallel_ranges(count, [&](std::size_t begin, std::size_t end) {
      std::vector<Row> rows;
      for (std::size_t m = begin; m != end; ++m) {
        rank_moment(found, m, offset[m], rows, table);
      }
    });
  }

  // After the first chunk: room for as many facts a moment in the rest, so
  // that the columns do not grow by doubling, which would hold twice their
  // size for a moment.
  void reserve(ReplayTable& table, std::size_t done, std::size_t moments) const {
    const std::size_t rows = table.rows() * moments / done + table.rows() / 16;
    each_column(table, [&](auto& column) { column.reserve(rows); });
  }

  void resize(ReplayTable& table, std::size_t rows) const {
    each_column(table, [&](auto& column) { column.resize(rows); });
  }

  template <class F>
  void each_column(ReplayTable& table, F&& f) const {
    f(table.symbol);
    f(table.kind);
    f(table.value);
    f(table.magnitude);
    f(table.ts);
    if (options_.sentences) f(table.human);
  }

  // One moment's facts, gathered as a build gathers them and ranked.
  void rank_moment(std::vector<SymbolFacts>& found, std::size_t m, std::size_t at,
                   std::vector<Row>& rows, ReplayTable& table) const {
    rows.clear();
    for (std::size_t s = 0; s < found.size(); ++s) {
      for (std::size_t i = found[s].begin[m]; i < found[s].begin[m + 1]; ++i) {
        rows.push_back({static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(rows.size()),
                        &found[s].facts[i]});
      }
    }
    // Rows come in gathering order, so a tie on rank goes to the earlier row,
    // as a stable sort would have it.
    std::sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
      if (ranks_before(key(a), key(b))) return true;
      return !ranks_before(key(b), key(a)) && a.gathered < b.gathered;
    });
    for (std::size_t rank = 0; rank < rows.size(); ++rank) {
      RuleFact& fact = *rows[rank].fact;
      const std::size_t row = at + rank;
      table.symbol[row] = rows[rank].symbol;
      table.kind[row] = fact.kind;
      table.value[row] = fact.value;
      table.magnitude[row] = fact.magnitude;
      table.ts[row] = fact.ts;
      if (options_.sentences) table.human[row] = std::move(fact.human);
    }
  }

  RankKey<std::uint32_t> key(const Row& row) const {
    return {row.fact->magnitude, row.fact->kind, symbol_order_[row.symbol], row.fact->ts};
  }

  const ContextSpec& spec_;
  std::vector<const FeedSnapshot*> snapshots_;
  const ReplayOptions& options_;
  std::vector<std::uint32_t> symbol_order_;
};

}  // namespace

std::expected<ReplayTable, EngineError> replay(const ContextSpec& spec, const FeedMap& feeds,
                                               const ReplayOptions& options) {
  if (auto valid = validate(spec); !valid) return std::unexpected(std::move(valid.error()));
  ReplayTable table;
  table.moments = moments_of(spec, feeds, options);
  table.moment_rows.reserve(table.moments.size() + 1);
  table.moment_rows.push_back(0);
  std::vector<const FeedSnapshot*> snapshots;
  for (const auto it : build_snapshots(spec, feeds)) {
    table.keys.push_back(it->first);
    table.symbols.push_back(it->second.symbol);
    snapshots.push_back(&it->second);
  }
  if (!Replayer(spec, std::move(snapshots), options).run(table)) {
    return std::unexpected(EngineError(EngineError::Kind::Data, "replay stopped"));
  }
  return table;
}

}  // namespace mellix
