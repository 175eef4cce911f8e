// Writing a MarketContext as its compact JSON text.
//
// One pass straight into the caller's growing buffer, driven by the record
// tables of model_records.hpp: members in declared order ("facts", "symbols",
// "lookback"; each fact "kind", "symbol", "value", "magnitude", "ts",
// "human"). Cannot fail: non-finite numbers become null. Reading a context
// back is read_value<MarketContext> in model_json.hpp.
#pragma once

#include <string>

#include "mellix/fact.hpp"

namespace mellix {

void write_market_context(std::string& out, const MarketContext& context);

}  // namespace mellix
