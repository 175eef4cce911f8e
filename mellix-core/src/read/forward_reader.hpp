// ForwardReader: a build request converted straight from its text, in parallel.
//
// The fast path of a build. read_build() answers only when the request is
// certainly a build ("cmd" written as "build_context" or "facts") whose
// every byte is valid JSON and whose every snapshot in the last "feeds"
// object converts. It gets there in three steps:
//  1. simdjson's stage 1 indexes the text where it lies (json/structural_index.hpp);
//  2. the outline (json/request_outline.hpp) finds, from the index alone,
//     the root's members and each snapshot of "feeds", as spans of the text;
//  3. on the pool, span by span, a worker's own On-Demand parser converts a
//     snapshot straight into its record (json/forward_value.hpp), or
//     validates any other value (a scalar by the exact scanner). A span is
//     parsed in place when enough of the text follows it to serve as
//     simdjson's padding, and otherwise from a padded copy of that span.
// On anything else it gives up, saying what it learnt: whether the text is
// certainly not JSON, and which values it found valid, for the exact path
// to step over. The outcome does not depend on the number of workers or on
// their scheduling: spans count in text order, the first failure in that
// order decides and spans after it may go unread; if that failure is an
// allocation, std::bad_alloc is thrown to the caller.
//
// Buffers are kept for the next request until trim(). Not thread-safe: one
// per engine; its workers use the process-wide pool (pool.hpp).
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "json/exact_scanner.hpp"
#include "mellix/feed_snapshot.hpp"

namespace mellix {

struct ForwardOutcome {
  std::optional<FeedMap> feeds;             // the build's snapshots, when it answers
  bool invalid = false;                     // the text is certainly not JSON
  std::vector<json::ByteSpan> known_valid;  // values found valid, in text order
};

class ForwardReader {
 public:
  ForwardReader();
  ForwardReader(ForwardReader&&) noexcept;
  ForwardReader& operator=(ForwardReader&&) noexcept;
  ~ForwardReader();

  ForwardOutcome read_build(std::string_view text);

  // Frees the buffers that outgrew what is worth keeping warm.
  void trim();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace mellix
