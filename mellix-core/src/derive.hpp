// derive_facts: one symbol's snapshot in, that symbol's facts out.
//
// A pure function: it only reads its inputs, keeps no state and cannot fail
// (unusable data means no fact of that kind). It runs the rule of each kind
// in spec.facts, in that order, so the result holds at most one fact per kind
// in the spec's order. Safe to call from many threads at once.
#pragma once

#include <vector>

#include "mellix/context_spec.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"

namespace mellix {

std::vector<Fact> derive_facts(const FeedSnapshot& snapshot, const ContextSpec& spec);

// A fact's value or magnitude on a grid of 1e-8, halves rounded away from
// zero, so that facts compare and print stably. Numbers too large for that
// grid (beyond about 1.8e300) come back unchanged.
double round_fact_number(double x);

}  // namespace mellix
