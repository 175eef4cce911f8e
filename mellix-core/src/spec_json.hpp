// Reading a ContextSpec from the constructor's JSON text.
//
// The whole text must be one JSON document holding a ContextSpec. Members
// are taken as written and a key given twice is an error. Every fault, in the
// text or in the record, is a parse error ending in " at line N column M".
// The result is not validated (see validate() in context_spec.hpp).
#pragma once

#include <expected>
#include <string_view>

#include "json/document_parser.hpp"
#include "mellix/context_spec.hpp"
#include "mellix/engine_error.hpp"

namespace mellix {

std::expected<ContextSpec, EngineError> parse_context_spec(std::string_view text,
                                                           json::DocumentParser& parser);

}  // namespace mellix
