// The commands a request may name in "cmd", written once.
//
// The dispatch (command_runner.hpp), the forward reader's test for a build
// (forward_reader.cpp) and a host's one-walk reading of a build all ask
// this table, so a new name for a build is one line here. Pure; constexpr.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace mellix {

enum class Command { BuildContext, Query, Reset, SetSpec, Version };

inline constexpr std::array<std::pair<std::string_view, Command>, 6> kCommandTable = {{
    {"build_context", Command::BuildContext},
    {"facts", Command::BuildContext},
    {"query", Command::Query},
    {"reset", Command::Reset},
    {"set_spec", Command::SetSpec},
    {"version", Command::Version},
}};

// The command named `name` (the unescaped text of "cmd"), if any.
constexpr std::optional<Command> command_named(std::string_view name) {
  for (const auto& [known, command] : kCommandTable) {
    if (known == name) return command;
  }
  return std::nullopt;
}

constexpr bool is_build_command(std::string_view name) {
  return command_named(name) == Command::BuildContext;
}

}  // namespace mellix
