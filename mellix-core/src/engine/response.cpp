#include "engine/response.hpp"

#include "json/writer.hpp"
#include "mellix/engine.hpp"

namespace mellix {

std::string error_response(const EngineError& error) {
  std::string out;
  json::ObjectWriter object(out);
  object.string("error", error.render()).boolean("ok", false).close();
  return out;
}

std::string ok_response() {
  std::string out;
  json::ObjectWriter(out).boolean("ok", true).close();
  return out;
}

std::string version_response() {
  std::string out;
  json::ObjectWriter(out).string("version", kVersion).close();
  return out;
}

std::string tool_calls_response(std::span<const ToolCall> calls) {
  std::string out;
  out.reserve(16 + calls.size() * 64);
  json::ObjectWriter response(out);
  std::string& list = response.key("tool_calls");
  list += '[';
  bool first = true;
  for (const ToolCall& call : calls) {
    if (!first) list += ',';
    first = false;
    json::ObjectWriter(list)
        .string("kind", wire_name(call.kind))
        .string("symbol", call.symbol)
        .string("tool", ToolCall::tool)
        .close();
  }
  list += ']';
  response.close();
  return out;
}

}  // namespace mellix
