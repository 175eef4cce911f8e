// The feeds of a build request as the engine read them, handed to Python:
// {key: (symbol, candles, book, funding, open_interest, liquidations)} with
// candles [(ts, open, high, low, close, volume)], book None or (ts, [(price,
// qty)] bids, [(price, qty)] asks), funding [(ts, rate)], open_interest
// [(ts, oi)] and liquidations [(ts, "long" or "short", price, qty)]. Trades
// are left out: no fact rests on them. Needs the interpreter lock; returns a
// new reference, or null with an exception set.
#pragma once

#include <Python.h>

#include "mellix/feed_snapshot.hpp"

namespace varnok_binding {

PyObject* feed_map_to_dict(const mellix::FeedMap& feeds);

}  // namespace varnok_binding
