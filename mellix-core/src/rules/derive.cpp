#include "rules/derive.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "rules/sentence_format.hpp"
#include "varnok/indicators/std_dev.hpp"

namespace mellix {
namespace {

// Thresholds are compared against the unrounded numbers.
constexpr double kMinPercentChange = 1.0;
constexpr double kMinImbalance = 0.2;
constexpr std::size_t kBookLevels = 10;
constexpr double kMinLiquidationNotional = 1.0;
constexpr double kMinVolatilityRatio = 1.5;

// Room for the longest fixed wording of any sentence plus a typical number;
// an unusually long number simply makes the string grow once.
constexpr std::size_t kSentenceReserve = 64;

// The ratio comes first: (last - first) / first rounds differently, and a
// fact must come out bit for bit the same on every machine and release.
double percent_change(double first, double last) {
  return (last / first - 1.0) * 100.0;
}

// A rule's sentence is written only when asked for: a replay may want the
// numbers alone. `text` is empty then, and appending to it is skipped.
class Sentence {
 public:
  Sentence(std::string_view symbol, bool wanted) : wanted_(wanted) {
    if (!wanted_) return;
    text_.reserve(symbol.size() + kSentenceReserve);
    text_ += symbol;
  }
  explicit operator bool() const { return wanted_; }
  std::string& text() { return text_; }
  Sentence& operator+=(std::string_view part) {
    if (wanted_) text_ += part;
    return *this;
  }

 private:
  bool wanted_;
  std::string text_;
};

RuleFact make_fact(FactKind kind, double value, double magnitude, std::int64_t ts,
                   Sentence& human) {
  return RuleFact{
      .kind = kind,
      .value = round_fact_number(value),
      .magnitude = round_fact_number(magnitude),
      .ts = ts,
      .human = std::move(human.text()),
  };
}

std::optional<RuleFact> price_move(const SnapshotView& snapshot, std::uint32_t lookback,
                                   bool sentences, Evidence* record) {
  const std::span<const Candle> candles = snapshot.candles;
  const std::size_t window = std::min<std::size_t>(candles.size(), lookback);
  if (window < 2) return std::nullopt;
  const double first = candles[candles.size() - window].close;
  const Candle& newest = candles.back();
  if (first == 0.0) return std::nullopt;
  const double pct = percent_change(first, newest.close);
  if (!std::isfinite(pct) || std::fabs(pct) < kMinPercentChange) return std::nullopt;

  Sentence human(snapshot.symbol, sentences);
  if (human) {
    human += pct > 0.0 ? " rose " : " dropped ";
    sentence::append_signed_fixed(human.text(), pct, 2);
    human += "% over the last ";
    // The configured look-back, not the (possibly shorter) window actually seen.
    sentence::append_unsigned(human.text(), lookback);
    human += " bars.";
  }
  if (record) {
    record->integer("from_ts", candles[candles.size() - window].ts);
    record->integer("to_ts", newest.ts);
    record->real("threshold", kMinPercentChange);
    record->real("first_close", first);
    record->real("last_close", newest.close);
    record->integer("bars", static_cast<std::int64_t>(window));
    record->integer("lookback", lookback);
  }
  return make_fact(FactKind::PriceMove, pct, std::fabs(pct), newest.ts, human);
}

std::span<const PriceLevel> top_of_book(std::span<const PriceLevel> side) {
  return side.first(std::min(side.size(), kBookLevels));
}

double quantity(std::span<const PriceLevel> levels) {
  double sum = 0.0;
  for (const PriceLevel& level : levels) sum += level.qty;
  return sum;
}

std::optional<RuleFact> orderbook_imbalance(const SnapshotView& snapshot, bool sentences,
                                            Evidence* record) {
  if (snapshot.orderbook == nullptr) return std::nullopt;
  const OrderbookL2& book = *snapshot.orderbook;
  const std::span<const PriceLevel> bid_levels = top_of_book(book.bids);
  const std::span<const PriceLevel> ask_levels = top_of_book(book.asks);
  const double bids = quantity(bid_levels);
  const double asks = quantity(ask_levels);
  const double total = bids + asks;
  // Written as a negated test so that a NaN total is rejected too.
  if (!(total > 0.0)) return std::nullopt;
  const double imbalance = (bids - asks) / total;
  if (!std::isfinite(imbalance) || std::fabs(imbalance) < kMinImbalance) return std::nullopt;

  Sentence human(snapshot.symbol, sentences);
  if (human) {
    human += imbalance > 0.0 ? " order book is bid-heavy (imbalance "
                             : " order book is ask-heavy (imbalance ";
    sentence::append_signed_fixed(human.text(), imbalance, 2);
    human += ").";
  }
  if (record) {
    record->integer("from_ts", book.ts);
    record->integer("to_ts", book.ts);
    record->real("threshold", kMinImbalance);
    record->real("bid_qty", bids);
    record->real("ask_qty", asks);
    record->integer("bid_levels", static_cast<std::int64_t>(bid_levels.size()));
    record->integer("ask_levels", static_cast<std::int64_t>(ask_levels.size()));
  }
  return make_fact(FactKind::OrderbookImbalance, imbalance, std::fabs(imbalance), book.ts, human);
}

std::optional<RuleFact> liquidation_cluster(const SnapshotView& snapshot, bool sentences,
                                            Evidence* record) {
  const std::span<const Liquidation> events = snapshot.liquidations;
  if (events.empty()) return std::nullopt;
  double long_notional = 0.0;
  double short_notional = 0.0;
  // Feeds need not be time-ordered, so the latest event is found, not assumed.
  std::int64_t earliest_ts = events.front().ts;
  std::int64_t latest_ts = events.front().ts;
  std::size_t long_count = 0;
  for (const Liquidation& event : events) {
    const double notional = event.price * event.qty;
    if (event.side == LiquidationSide::Long) {
      long_notional += notional;
      ++long_count;
    } else {
      short_notional += notional;
    }
    earliest_ts = std::min(earliest_ts, event.ts);
    latest_ts = std::max(latest_ts, event.ts);
  }
  const double net = long_notional - short_notional;
  const double total = long_notional + short_notional;
  if (total < kMinLiquidationNotional) return std::nullopt;
  if (!std::isfinite(net) || !std::isfinite(total)) return std::nullopt;

  const bool long_dominated = long_notional >= short_notional;
  Sentence human(snapshot.symbol, sentences);
  if (human) {
    human += " saw ";
    sentence::append_fixed(human.text(), total, 2);
    human += long_dominated ? " notional liquidated (long-dominated)."
                            : " notional liquidated (short-dominated).";
  }
  if (record) {
    record->integer("from_ts", earliest_ts);
    record->integer("to_ts", latest_ts);
    record->real("threshold", kMinLiquidationNotional);
    record->real("long_notional", long_notional);
    record->real("short_notional", short_notional);
    record->integer("long_count", static_cast<std::int64_t>(long_count));
    record->integer("short_count", static_cast<std::int64_t>(events.size() - long_count));
    record->text("dominant", long_dominated ? "long" : "short");
  }
  return make_fact(FactKind::LiquidationCluster, net, total, latest_ts, human);
}

std::optional<RuleFact> funding_flip(const SnapshotView& snapshot, bool sentences,
                                     Evidence* record) {
  const std::span<const FundingPoint> points = snapshot.funding;
  if (points.size() < 2) return std::nullopt;
  // The most recent flip is the one worth reporting. A zero rate, or a
  // product too small to represent, is deliberately not a sign change.
  std::size_t flip = 0;
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (points[i - 1].rate * points[i].rate < 0.0) flip = i;
  }
  if (flip == 0) return std::nullopt;
  const double previous = points[flip - 1].rate;
  const double current = points[flip].rate;
  const double delta = current - previous;
  if (!std::isfinite(current) || !std::isfinite(delta)) return std::nullopt;

  Sentence human(snapshot.symbol, sentences);
  if (human) {
    human += current > 0.0 ? " funding flipped to positive (" : " funding flipped to negative (";
    sentence::append_signed_fixed(human.text(), current, 4);
    human += ").";
  }
  if (record) {
    // A sign change has no threshold: any product below zero is one.
    record->integer("from_ts", points[flip - 1].ts);
    record->integer("to_ts", points[flip].ts);
    record->real("previous_rate", previous);
    record->real("rate", current);
  }
  return make_fact(FactKind::FundingFlip, current, std::fabs(delta), points[flip].ts, human);
}

std::optional<RuleFact> oi_change(const SnapshotView& snapshot, bool sentences, Evidence* record) {
  const std::span<const OiPoint> points = snapshot.open_interest;
  if (points.size() < 2) return std::nullopt;
  const double first = points.front().oi;
  if (first == 0.0) return std::nullopt;
  const OiPoint& last = points.back();
  const double pct = percent_change(first, last.oi);
  if (!std::isfinite(pct) || std::fabs(pct) < kMinPercentChange) return std::nullopt;

  Sentence human(snapshot.symbol, sentences);
  if (human) {
    human += pct > 0.0 ? " open interest rose " : " open interest fell ";
    sentence::append_signed_fixed(human.text(), pct, 2);
    human += "% over the window.";
  }
  if (record) {
    record->integer("from_ts", points.front().ts);
    record->integer("to_ts", last.ts);
    record->real("threshold", kMinPercentChange);
    record->real("first_oi", first);
    record->real("last_oi", last.oi);
    record->integer("points", static_cast<std::int64_t>(points.size()));
  }
  return make_fact(FactKind::OiChange, pct, std::fabs(pct), last.ts, human);
}

std::optional<RuleFact> volatility_spike(const SnapshotView& snapshot, std::uint32_t lookback,
                                         bool sentences, Evidence* record) {
  if (lookback == 0) return std::nullopt;
  const std::span<const Candle> candles = snapshot.candles;
  const std::uint64_t period = lookback;
  const std::uint64_t count = candles.size();

  const std::optional<double> recent = varnok::window_std_dev(
      candles.last(static_cast<std::size_t>(std::min(count, period))), period);
  if (!recent) return std::nullopt;

  // The baseline is the window of the same length just before the recent one.
  // A baseline that contained the recent window would bound the ratio by
  // sqrt(2) and the rule could never fire. 2 * period cannot overflow: period
  // is at most 2^32 - 1.
  if (count < 2 * period) return std::nullopt;
  const std::optional<double> baseline =
      varnok::window_std_dev(candles.subspan(static_cast<std::size_t>(count - 2 * period),
                                             static_cast<std::size_t>(period)),
                             period);
  if (!baseline || !(*baseline > 0.0)) return std::nullopt;

  const double ratio = *recent / *baseline;
  if (!std::isfinite(ratio) || ratio < kMinVolatilityRatio) return std::nullopt;

  Sentence human(snapshot.symbol, sentences);
  if (human) {
    human += " volatility spiked to ";
    sentence::append_fixed(human.text(), ratio, 2);
    human += "x its baseline.";
  }
  if (record) {
    record->integer("from_ts", candles[static_cast<std::size_t>(count - 2 * period)].ts);
    record->integer("to_ts", candles.back().ts);
    record->real("threshold", kMinVolatilityRatio);
    record->real("recent_std_dev", *recent);
    record->real("baseline_std_dev", *baseline);
    record->integer("period", lookback);
    record->integer("recent_from_ts", candles[static_cast<std::size_t>(count - period)].ts);
  }
  return make_fact(FactKind::VolatilitySpike, ratio, ratio, candles.back().ts, human);
}

std::optional<RuleFact> run_rule(FactKind kind, const SnapshotView& snapshot,
                                 std::uint32_t lookback, bool sentences, Evidence* record) {
  switch (kind) {
    case FactKind::PriceMove:
      return price_move(snapshot, lookback, sentences, record);
    case FactKind::OrderbookImbalance:
      return orderbook_imbalance(snapshot, sentences, record);
    case FactKind::LiquidationCluster:
      return liquidation_cluster(snapshot, sentences, record);
    case FactKind::FundingFlip:
      return funding_flip(snapshot, sentences, record);
    case FactKind::OiChange:
      return oi_change(snapshot, sentences, record);
    case FactKind::VolatilitySpike:
      return volatility_spike(snapshot, lookback, sentences, record);
  }
  return std::nullopt;
}

}  // namespace

double round_fact_number(double x) {
  // Divided by the step, not multiplied by its inverse 1e8: the two round
  // differently on values such as 7.5e-8, and published facts have always
  // been computed by division.
  constexpr double kStep = 1e-8;
  const double steps = x / kStep;
  // Above ~1.8e300 the quotient overflows and rounding would turn a finite
  // number into infinity; at that size the step is far below the spacing of
  // doubles, so x is returned as it is.
  if (!std::isfinite(steps)) return x;
  return std::round(steps) * kStep;
}

SnapshotView view_of(const FeedSnapshot& snapshot) {
  return SnapshotView{
      .symbol = snapshot.symbol,
      .candles = snapshot.candles,
      .orderbook = snapshot.orderbook ? &*snapshot.orderbook : nullptr,
      .funding = snapshot.funding,
      .open_interest = snapshot.open_interest,
      .liquidations = snapshot.liquidations,
  };
}

void derive_rule_facts(const SnapshotView& view, const ContextSpec& spec, bool sentences,
                       std::vector<RuleFact>& out, std::vector<Evidence>* evidence) {
  for (const FactKind kind : spec.facts) {
    Evidence* record = evidence ? &evidence->emplace_back() : nullptr;
    if (std::optional<RuleFact> fact = run_rule(kind, view, spec.lookback, sentences, record)) {
      out.push_back(std::move(*fact));
    } else if (evidence) {
      evidence->pop_back();
    }
  }
}

std::vector<Fact> derive_facts(const FeedSnapshot& snapshot, const ContextSpec& spec,
                               std::vector<Evidence>* evidence) {
  std::vector<RuleFact> found;
  found.reserve(spec.facts.size());
  derive_rule_facts(view_of(snapshot), spec, true, found, evidence);
  std::vector<Fact> facts;
  facts.reserve(found.size());
  for (RuleFact& fact : found) {
    facts.push_back(Fact{
        .kind = fact.kind,
        .symbol = snapshot.symbol,
        .value = fact.value,
        .magnitude = fact.magnitude,
        .ts = fact.ts,
        .human = std::move(fact.human),
    });
  }
  return facts;
}

}  // namespace mellix
