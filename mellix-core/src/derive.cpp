#include "derive.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "sentence_format.hpp"
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

std::string begin_sentence(const std::string& symbol) {
  std::string text;
  text.reserve(symbol.size() + kSentenceReserve);
  text += symbol;
  return text;
}

Fact make_fact(FactKind kind, const FeedSnapshot& snapshot, double value, double magnitude,
               std::int64_t ts, std::string human) {
  return Fact{
      .kind = kind,
      .symbol = snapshot.symbol,
      .value = round_fact_number(value),
      .magnitude = round_fact_number(magnitude),
      .ts = ts,
      .human = std::move(human),
  };
}

std::optional<Fact> price_move(const FeedSnapshot& snapshot, std::uint32_t lookback) {
  const std::span<const Candle> candles(snapshot.candles);
  const std::size_t window = std::min<std::size_t>(candles.size(), lookback);
  if (window < 2) return std::nullopt;
  const double first = candles[candles.size() - window].close;
  const Candle& newest = candles.back();
  if (first == 0.0) return std::nullopt;
  const double pct = percent_change(first, newest.close);
  if (!std::isfinite(pct) || std::fabs(pct) < kMinPercentChange) return std::nullopt;

  std::string human = begin_sentence(snapshot.symbol);
  human += pct > 0.0 ? " rose " : " dropped ";
  sentence::append_signed_fixed(human, pct, 2);
  human += "% over the last ";
  // The configured look-back, not the (possibly shorter) window actually seen.
  sentence::append_unsigned(human, lookback);
  human += " bars.";
  return make_fact(FactKind::PriceMove, snapshot, pct, std::fabs(pct), newest.ts, std::move(human));
}

double top_of_book_quantity(std::span<const PriceLevel> side) {
  double sum = 0.0;
  for (const PriceLevel& level : side.first(std::min(side.size(), kBookLevels))) sum += level.qty;
  return sum;
}

std::optional<Fact> orderbook_imbalance(const FeedSnapshot& snapshot) {
  if (!snapshot.orderbook) return std::nullopt;
  const OrderbookL2& book = *snapshot.orderbook;
  const double bids = top_of_book_quantity(book.bids);
  const double asks = top_of_book_quantity(book.asks);
  const double total = bids + asks;
  // Written as a negated test so that a NaN total is rejected too.
  if (!(total > 0.0)) return std::nullopt;
  const double imbalance = (bids - asks) / total;
  if (!std::isfinite(imbalance) || std::fabs(imbalance) < kMinImbalance) return std::nullopt;

  std::string human = begin_sentence(snapshot.symbol);
  human += imbalance > 0.0 ? " order book is bid-heavy (imbalance "
                           : " order book is ask-heavy (imbalance ";
  sentence::append_signed_fixed(human, imbalance, 2);
  human += ").";
  return make_fact(FactKind::OrderbookImbalance, snapshot, imbalance, std::fabs(imbalance), book.ts,
                   std::move(human));
}

std::optional<Fact> liquidation_cluster(const FeedSnapshot& snapshot) {
  const std::span<const Liquidation> events(snapshot.liquidations);
  if (events.empty()) return std::nullopt;
  double long_notional = 0.0;
  double short_notional = 0.0;
  // Feeds need not be time-ordered, so the latest event is found, not assumed.
  std::int64_t latest_ts = events.front().ts;
  for (const Liquidation& event : events) {
    const double notional = event.price * event.qty;
    if (event.side == LiquidationSide::Long) {
      long_notional += notional;
    } else {
      short_notional += notional;
    }
    latest_ts = std::max(latest_ts, event.ts);
  }
  const double net = long_notional - short_notional;
  const double total = long_notional + short_notional;
  if (total < kMinLiquidationNotional) return std::nullopt;
  if (!std::isfinite(net) || !std::isfinite(total)) return std::nullopt;

  std::string human = begin_sentence(snapshot.symbol);
  human += " saw ";
  sentence::append_fixed(human, total, 2);
  human += long_notional >= short_notional ? " notional liquidated (long-dominated)."
                                           : " notional liquidated (short-dominated).";
  return make_fact(FactKind::LiquidationCluster, snapshot, net, total, latest_ts, std::move(human));
}

std::optional<Fact> funding_flip(const FeedSnapshot& snapshot) {
  const std::span<const FundingPoint> points(snapshot.funding);
  if (points.size() < 2) return std::nullopt;
  // The most recent flip is the one worth reporting. A zero rate, or a
  // product too small to represent, is deliberately not a sign change.
  std::size_t flip = 0;
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (points[i - 1].rate * points[i].rate < 0.0) flip = i;
  }
  if (flip == 0) return std::nullopt;
  const double current = points[flip].rate;
  const double delta = current - points[flip - 1].rate;
  if (!std::isfinite(current) || !std::isfinite(delta)) return std::nullopt;

  std::string human = begin_sentence(snapshot.symbol);
  human += current > 0.0 ? " funding flipped to positive (" : " funding flipped to negative (";
  sentence::append_signed_fixed(human, current, 4);
  human += ").";
  return make_fact(FactKind::FundingFlip, snapshot, current, std::fabs(delta), points[flip].ts,
                   std::move(human));
}

std::optional<Fact> oi_change(const FeedSnapshot& snapshot) {
  const std::span<const OiPoint> points(snapshot.open_interest);
  if (points.size() < 2) return std::nullopt;
  const double first = points.front().oi;
  if (first == 0.0) return std::nullopt;
  const OiPoint& last = points.back();
  const double pct = percent_change(first, last.oi);
  if (!std::isfinite(pct) || std::fabs(pct) < kMinPercentChange) return std::nullopt;

  std::string human = begin_sentence(snapshot.symbol);
  human += pct > 0.0 ? " open interest rose " : " open interest fell ";
  sentence::append_signed_fixed(human, pct, 2);
  human += "% over the window.";
  return make_fact(FactKind::OiChange, snapshot, pct, std::fabs(pct), last.ts, std::move(human));
}

std::optional<Fact> volatility_spike(const FeedSnapshot& snapshot, std::uint32_t lookback) {
  if (lookback == 0) return std::nullopt;
  const std::span<const Candle> candles(snapshot.candles);
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

  std::string human = begin_sentence(snapshot.symbol);
  human += " volatility spiked to ";
  sentence::append_fixed(human, ratio, 2);
  human += "x its baseline.";
  return make_fact(FactKind::VolatilitySpike, snapshot, ratio, ratio, candles.back().ts,
                   std::move(human));
}

std::optional<Fact> run_rule(FactKind kind, const FeedSnapshot& snapshot, std::uint32_t lookback) {
  switch (kind) {
    case FactKind::PriceMove:
      return price_move(snapshot, lookback);
    case FactKind::OrderbookImbalance:
      return orderbook_imbalance(snapshot);
    case FactKind::LiquidationCluster:
      return liquidation_cluster(snapshot);
    case FactKind::FundingFlip:
      return funding_flip(snapshot);
    case FactKind::OiChange:
      return oi_change(snapshot);
    case FactKind::VolatilitySpike:
      return volatility_spike(snapshot, lookback);
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

std::vector<Fact> derive_facts(const FeedSnapshot& snapshot, const ContextSpec& spec) {
  std::vector<Fact> facts;
  facts.reserve(spec.facts.size());
  for (const FactKind kind : spec.facts) {
    if (std::optional<Fact> fact = run_rule(kind, snapshot, spec.lookback)) {
      facts.push_back(std::move(*fact));
    }
  }
  return facts;
}

}  // namespace mellix
