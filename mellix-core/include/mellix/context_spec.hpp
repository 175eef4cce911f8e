// ContextSpec: what an engine watches, and its validation.
//
// A plain owning value. An Engine only ever holds a spec that has passed
// validate(); the builder validates again before every build. Reading a spec
// from JSON is the engine's business.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "mellix/engine_error.hpp"
#include "mellix/fact_kind.hpp"

namespace mellix {

struct ContextSpec {
  std::vector<std::string> symbols;  // host order; repeats and "" allowed
  std::uint32_t lookback = 0;        // bars; must be > 0
  std::vector<FactKind> facts;       // rules to run, in order; no repeats
  std::optional<std::string> timeframe;

  friend bool operator==(const ContextSpec&, const ContextSpec&) = default;
};

// The first failing check as a bad-spec error, in the order: symbols, lookback,
// facts, duplicate kinds.
std::expected<void, EngineError> validate(const ContextSpec& spec);

}  // namespace mellix
