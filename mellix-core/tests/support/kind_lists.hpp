// Every fact kind's wire name, written out as specs and the engine's messages
// write the whole list, so that tests, fuzzers and benchmarks take the list
// from the one table of kinds (mellix/fact_kind.hpp) instead of a copy.
#pragma once

#include <string>
#include <string_view>

#include "mellix/fact_kind.hpp"

namespace mellix::testing {

// `before` + name + `after` for each kind, joined by `separator`.
inline std::string kind_list(std::string_view before, std::string_view after,
                             std::string_view separator) {
  std::string out;
  for (const std::string_view name : kFactKindWireNames) {
    if (!out.empty()) out += separator;
    out.append(before).append(name).append(after);
  }
  return out;
}

// "price_move","orderbook_imbalance",...: the members of a spec's "facts".
inline std::string all_kinds_json() {
  return kind_list("\"", "\"", ",");
}

// `price_move`, `orderbook_imbalance`, ...: as "expected one of" lists them.
inline std::string all_kinds_expected() {
  return kind_list("`", "`", ", ");
}

}  // namespace mellix::testing
