// derive_facts: one symbol's snapshot in, that symbol's facts out.
//
// A pure function: it only reads its inputs, keeps no state and cannot fail
// (unusable data means no fact of that kind). It runs the rule of each kind
// in spec.facts, in that order, so the result holds at most one fact per kind
// in the spec's order. Safe to call from many threads at once.
//
// The rules read a SnapshotView: spans over a snapshot's series, so that a
// replay can run them over parts of series read once (replay.hpp) with the
// very code a build runs.
//
// Given an `evidence` list, each rule also records what it read to state its
// fact (mellix/evidence.hpp), one record appended per fact appended; builds
// and replays pass none, and then the rules do nothing more than without.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mellix/context_spec.hpp"
#include "mellix/evidence.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"

namespace mellix {

// The series of a snapshot that the rules read (trades are not among them).
struct SnapshotView {
  std::string_view symbol;
  std::span<const Candle> candles;
  const OrderbookL2* orderbook = nullptr;  // none: no book
  std::span<const FundingPoint> funding;
  std::span<const OiPoint> open_interest;
  std::span<const Liquidation> liquidations;
};

SnapshotView view_of(const FeedSnapshot& snapshot);

// A fact without its symbol, which the caller knows; `human` is left empty
// unless sentences are asked for.
struct RuleFact {
  FactKind kind = FactKind::PriceMove;
  double value = 0.0;
  double magnitude = 0.0;
  std::int64_t ts = 0;
  std::string human;
};

std::vector<Fact> derive_facts(const FeedSnapshot& snapshot, const ContextSpec& spec,
                               std::vector<Evidence>* evidence = nullptr);

// The rules of `spec` over `view`, appended to `out` in the spec's order,
// and their evidence to `evidence` when given.
void derive_rule_facts(const SnapshotView& view, const ContextSpec& spec, bool sentences,
                       std::vector<RuleFact>& out, std::vector<Evidence>* evidence = nullptr);

// A fact's value or magnitude on a grid of 1e-8, halves rounded away from
// zero, so that facts compare and print stably. Numbers too large for that
// grid (beyond about 1.8e300) come back unchanged.
double round_fact_number(double x);

}  // namespace mellix
