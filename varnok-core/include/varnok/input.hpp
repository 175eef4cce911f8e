// Input: what an indicator is fed for one step.
//
// A non-owning bundle of pointers to the data of the current step. The caller
// keeps the pointees alive for the duration of the update call only:
// indicators copy the numbers they need and never retain the pointers. Kinds
// of data a caller has nothing for stay null (further members, such as a tick
// or an order-book snapshot, are added the same way), and an indicator whose
// data is null treats the step as an unusable sample.
#pragma once

#include "varnok/candle.hpp"

namespace varnok {

struct Input {
  const Candle* candle = nullptr;  // the bar that just closed
};

}  // namespace varnok
