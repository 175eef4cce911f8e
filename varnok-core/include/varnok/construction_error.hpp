// ConstructionError: why an indicator could not be built.
//
// The indicator's name (a static string such as "StdDev", not owned) and one
// owned message: either the text of a failed parameter check or the message()
// of an IndicatorError. Indicator factories return
// std::expected<Indicator, ConstructionError>; the record is a plain value
// with no shared state and is safe to move between threads.
#pragma once

#include <string>
#include <string_view>

namespace varnok {

struct ConstructionError {
  std::string_view indicator;
  std::string message;

  friend bool operator==(const ConstructionError&, const ConstructionError&) = default;
};

}  // namespace varnok
