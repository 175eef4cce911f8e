// build_context: all symbols of a spec derived and ranked into a MarketContext.
//
// Validates the spec first (a bad-spec error ends the build), derives each
// spec symbol that has a snapshot on the process-wide work-stealing pool (a
// single symbol runs on the calling thread), and ranks the facts. The result
// does not depend on the pool's size or scheduling. Workers only read `spec`
// and `feeds`; the calling thread blocks until every symbol is done. Given
// `evidence`, it is filled with the evidence of each fact, in the context's
// fact order (mellix/evidence.hpp); a build without it records none.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "mellix/context_spec.hpp"
#include "mellix/engine_error.hpp"
#include "mellix/evidence.hpp"
#include "mellix/fact.hpp"
#include "mellix/feed_snapshot.hpp"
#include "model/ranking.hpp"

namespace mellix {

std::expected<MarketContext, EngineError> build_context(const ContextSpec& spec,
                                                        const FeedMap& feeds,
                                                        std::vector<Evidence>* evidence = nullptr);

// Stable sort by rank.
void rank_facts(std::vector<Fact>& facts);

}  // namespace mellix
