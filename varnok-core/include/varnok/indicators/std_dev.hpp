// StdDev: rolling population standard deviation of candle closes.
//
// Keeps the closes of the last `period` candles and, once `period` of them
// have been accepted, yields the standard deviation of that window after every
// update. Running sums are kept as deviations from a reference value that is
// moved to the window's mean every `period` accepted samples, so the result
// stays accurate for prices far from zero while each update costs amortised
// constant time.
//
// Memory: the window buffer (8 bytes per value, at most 128 MiB) is allocated
// once by create(); update() never allocates. A StdDev owns its buffer, is
// move-only, and a moved-from instance may only be assigned to or destroyed.
// Threading: one thread at a time per instance; there is no shared state, so
// distinct instances may be used concurrently. Errors: create() reports an
// unusable period as a ConstructionError; update() cannot fail, and a sample
// it cannot use (no candle, or a close that is NaN or infinite) yields nothing
// and leaves the state untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "varnok/candle.hpp"
#include "varnok/construction_error.hpp"
#include "varnok/input.hpp"
#include "varnok/parameter_check.hpp"  // MAX_PERIOD

namespace varnok {

class StdDev {
 public:
  static constexpr std::string_view kName = "StdDev";

  // `period` is parameter #0: a positive integer of at most MAX_PERIOD.
  static std::expected<StdDev, ConstructionError> create(double period);

  // The standard deviation of the window including `input.candle->close`, or
  // nothing while fewer than `period` closes have been accepted or when the
  // sample is unusable.
  std::optional<double> update(const Input& input);

  std::size_t period() const { return period_; }

  // The value most recently returned by update(), if any.
  std::optional<double> last_value() const { return last_value_; }

 private:
  explicit StdDev(std::size_t period);

  // Moves the reference value to the window's mean and rebuilds both sums from
  // the window, discarding the rounding error the running sums have gathered.
  void recentre();

  std::size_t period_;
  std::unique_ptr<double[]> window_;  // ring buffer of period_ slots
  std::size_t oldest_ = 0;            // slot of the oldest value once full
  std::size_t count_ = 0;             // values held, at most period_
  double shift_ = 0.0;                // reference value K
  bool shift_set_ = false;
  double sum_ = 0.0;     // sum of (x - K) over the window
  double sum_sq_ = 0.0;  // sum of (x - K)^2 over the window
  std::size_t since_recentre_ = 0;
  std::optional<double> last_value_;
};

// Population standard deviation of the closes of `candles` through a fresh
// StdDev of the given period; nothing when fewer candles than `period` or
// when the period is rejected.
std::optional<double> window_std_dev(std::span<const Candle> candles, std::uint64_t period);

}  // namespace varnok
