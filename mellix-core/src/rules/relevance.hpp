// Query relevance: which "get_fact" tool calls a question points to.
//
// A pure function of the question text (UTF-8) and a list of facts. The
// question is lower-cased with the full Unicode default mapping, matched
// against a fixed keyword table by plain substring search, and the facts of
// the selected kinds become one ToolCall per distinct (kind, symbol) pair,
// ordered by kind then symbol bytes. Cannot fail; thread-safe.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mellix/fact.hpp"

namespace mellix {

struct ToolCall {
  static constexpr std::string_view tool = "get_fact";
  FactKind kind = FactKind::PriceMove;
  std::string symbol;

  friend bool operator==(const ToolCall&, const ToolCall&) = default;
};

std::vector<ToolCall> relevant_tool_calls(std::string_view question, std::span<const Fact> facts);

}  // namespace mellix
