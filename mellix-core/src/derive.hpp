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

// r(x) = round-half-away(x / 1e-8) * 1e-8; x itself when x / 1e-8 is not finite.
double round_fact_number(double x);

}  // namespace mellix
