#include "mellix/context_spec.hpp"

#include <array>

namespace mellix {

std::expected<void, EngineError> validate(const ContextSpec& spec) {
  if (spec.symbols.empty()) {
    return std::unexpected(EngineError::bad_spec("at least one symbol is required"));
  }
  if (spec.lookback == 0) {
    return std::unexpected(EngineError::bad_spec("lookback must be greater than zero"));
  }
  if (spec.facts.empty()) {
    return std::unexpected(EngineError::bad_spec("at least one fact kind is required"));
  }
  std::array<bool, kAllFactKinds.size()> seen{};
  for (const FactKind kind : spec.facts) {
    bool& slot = seen[static_cast<std::size_t>(kind)];
    if (slot) {
      std::string m = "duplicate fact kind: ";
      m += value_name(kind);
      return std::unexpected(EngineError::bad_spec(std::move(m)));
    }
    slot = true;
  }
  return {};
}

}  // namespace mellix
