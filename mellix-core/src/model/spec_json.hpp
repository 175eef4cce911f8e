// Reading a ContextSpec from the constructor's JSON text.
//
// The whole text must be one JSON document holding a ContextSpec. The record
// is read as it stands in the text, member by member, so the first error in
// text order is the one reported, whether a fault in the text or a value
// that does not convert; a key given twice is an error. Every error is a
// parse error ending in " at line N column M". Nothing is kept once the spec
// is read. The result is not validated (see validate() in context_spec.hpp).
#pragma once

#include <expected>
#include <string_view>

#include "mellix/context_spec.hpp"
#include "mellix/engine_error.hpp"

namespace mellix {

std::expected<ContextSpec, EngineError> parse_context_spec(std::string_view text);

}  // namespace mellix
