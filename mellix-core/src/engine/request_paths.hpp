// The paths a request can be read by, and a way to force one, so that tests
// and fuzz targets can check that every path answers the same.
//
// Auto is the engine's own choice (Engine::command): the forward reader for
// a large request, simdjson's DOM when the forward reader gives up or the
// request is small, and the exact path when the DOM gives up. Forward is
// Auto with the forward reader tried whatever the request's size; Document
// is the DOM with the exact path behind it; Exact is the exact path alone,
// tree and all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mellix/engine.hpp"

namespace mellix {

enum class RequestPath : std::uint8_t { Auto, Forward, Document, Exact };

// The response to `request` read through `path`. `forward_answered`, when
// given, tells whether the forward reader alone answered.
std::string command_through(Engine& engine, std::string_view request, RequestPath path,
                            bool* forward_answered = nullptr);

}  // namespace mellix
