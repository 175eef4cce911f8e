// One OHLCV bar, the unit of price history that indicators consume.
//
// A plain value type: copyable, no invariants (prices may be negative, high
// may be below low; callers decide what such data means).
#pragma once

#include <cstdint>

namespace varnok {

struct Candle {
  std::int64_t ts = 0;  // timestamp in the feed's own unit; never converted
  double open = 0.0;
  double high = 0.0;
  double low = 0.0;
  double close = 0.0;
  double volume = 0.0;

  friend bool operator==(const Candle&, const Candle&) = default;
};

}  // namespace varnok
