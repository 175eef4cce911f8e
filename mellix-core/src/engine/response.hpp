// Response texts the engine assembles itself.
//
// Each writes one compact JSON object with its members in ascending byte
// order of their names. None can fail.
#pragma once

#include <span>
#include <string>

#include "mellix/engine_error.hpp"
#include "rules/relevance.hpp"

namespace mellix {

// {"error":"<rendering>","ok":false}
std::string error_response(const EngineError& error);
// {"ok":true}
std::string ok_response();
// {"version":"0.1.4"}
std::string version_response();
// {"tool_calls":[{"kind":...,"symbol":...,"tool":"get_fact"},...]}
std::string tool_calls_response(std::span<const ToolCall> calls);

}  // namespace mellix
