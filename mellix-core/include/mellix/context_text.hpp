// A MarketContext as JSON text: the one reader and writer of the context
// format, and the merge of contexts built over disjoint sets of symbols.
//
// write_market_context appends exactly the text a build answers: compact,
// members in declared order ("facts", "symbols", "lookback"; each fact
// "kind", "symbol", "value", "magnitude", "ts", "human"), non-finite numbers
// as null. read_market_context reads a context as a command reads its
// "context" member, with the same errors: a fault in the text carries
// " at line N column M", a fault in a record none in its message and its
// place in EngineError::path(). merge_market_contexts
// ranks the facts of several contexts with the ranking a build uses.
//
// All functions are pure and safe to call from many threads at once; errors
// are values, and only std::bad_alloc may escape.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "mellix/engine_error.hpp"
#include "mellix/fact.hpp"

namespace mellix {

void write_market_context(std::string& out, const MarketContext& context);

std::expected<MarketContext, EngineError> read_market_context(std::string_view text);

// The context of one build over all the symbols of `parts`: contexts of one
// spec over disjoint sets of symbols. Its facts are ranked as a build ranks
// them, facts equal on every ranking key in the order of `parts` (and within
// a part in its own order); its symbols ascending; the parts' lookback.
//
// Refused, with a message saying why: no parts; parts with different
// lookbacks; a symbol held by two parts; facts of different parts that tie
// on every ranking key but differ in value or sentence, because their order
// in a build follows the feeds keys they came from, which a context does not
// record.
std::expected<MarketContext, std::string> merge_market_contexts(
    std::span<const MarketContext> parts);

}  // namespace mellix
