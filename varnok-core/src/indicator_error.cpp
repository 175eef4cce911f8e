#include "varnok/indicator_error.hpp"

#include <array>
#include <cstddef>

namespace varnok {
namespace {

// Indexed by Kind. For the kinds without text the prefix is the whole message.
constexpr std::array<std::string_view, 11> kPrefixes = {
    "period must be greater than zero",
    "invalid period: ",
    "input value must be finite (got NaN or infinity)",
    "invalid candle: ",
    "invalid tick: ",
    "multiplier must be greater than zero",
    "invalid order book: ",
    "invalid trade: ",
    "invalid derivatives tick: ",
    "invalid cross-section: ",
    "invalid parameter: ",
};

}  // namespace

std::string IndicatorError::message() const {
  const std::string_view prefix = kPrefixes[static_cast<std::size_t>(kind_)];
  std::string out;
  out.reserve(prefix.size() + text_.size());
  out.append(prefix);
  out.append(text_);
  return out;
}

}  // namespace varnok
