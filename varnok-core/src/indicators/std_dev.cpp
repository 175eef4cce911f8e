#include "varnok/indicators/std_dev.hpp"

#include <cmath>
#include <utility>

namespace varnok {

std::expected<StdDev, ConstructionError> StdDev::create(double period) {
  auto integral = check_positive_integer(0, period);
  if (!integral) return std::unexpected(ConstructionError{kName, std::move(integral.error())});
  auto length = check_window_length(*integral);
  if (!length) return std::unexpected(ConstructionError{kName, length.error().message()});
  return StdDev(*length);
}

// The buffer is left uninitialised: every slot is written before it is read,
// and zeroing up to 128 MiB up front would cost a full pass for nothing.
StdDev::StdDev(std::size_t period)
    : period_(period), window_(std::make_unique_for_overwrite<double[]>(period)) {}

std::optional<double> StdDev::update(const Input& input) {
  if (input.candle == nullptr) return std::nullopt;
  const double x = input.candle->close;
  if (!std::isfinite(x)) return std::nullopt;

  if (count_ == period_) {
    const double d = window_[oldest_] - shift_;
    sum_ -= d;
    sum_sq_ -= d * d;
    window_[oldest_] = x;
    oldest_ = oldest_ + 1 == period_ ? 0 : oldest_ + 1;
  } else {
    window_[count_] = x;  // nothing has been evicted yet, so the oldest is slot 0
    ++count_;
  }

  if (!shift_set_) {
    shift_ = x;
    shift_set_ = true;
  }
  const double d = x - shift_;
  sum_ += d;
  sum_sq_ += d * d;

  if (++since_recentre_ == period_) recentre();

  if (count_ < period_) return std::nullopt;

  const double n = static_cast<double>(period_);
  const double mean = sum_ / n;
  double variance = sum_sq_ / n - mean * mean;
  // Cancellation can push a true zero slightly below it; NaN is caught too.
  if (!(variance > 0.0)) variance = 0.0;
  last_value_ = std::sqrt(variance);
  return last_value_;
}

void StdDev::recentre() {
  // Oldest to newest, so the result does not depend on where the ring wraps.
  double total = 0.0;
  for (std::size_t i = 0; i < count_; ++i) total += window_[(oldest_ + i) % period_];
  shift_ = total / static_cast<double>(count_);

  sum_ = 0.0;
  sum_sq_ = 0.0;
  for (std::size_t i = 0; i < count_; ++i) {
    const double d = window_[(oldest_ + i) % period_] - shift_;
    sum_ += d;
    sum_sq_ += d * d;
  }
  since_recentre_ = 0;
}

std::optional<double> window_std_dev(std::span<const Candle> candles, std::uint64_t period) {
  // Compared before any check: a period that cannot be filled is not an error
  // here, just no value.
  if (candles.size() < period) return std::nullopt;
  auto indicator = StdDev::create(static_cast<double>(period));
  if (!indicator) return std::nullopt;

  std::optional<double> result;
  for (const Candle& candle : candles) {
    const std::optional<double> value = indicator->update(Input{&candle});
    if (value && std::isfinite(*value)) result = value;
  }
  return result;
}

}  // namespace varnok
