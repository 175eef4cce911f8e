// IndicatorError: the one error type of the indicator library.
//
// A kind and, for most kinds, a short text saying what was wrong. The text is
// never owned: it can only be bound from a compile-time constant (see
// StaticText), so an error is a trivially copyable value that never allocates
// and may be handed between threads freely. Fallible library operations return
// std::expected<T, IndicatorError>; nothing throws. message() renders the
// kind's fixed prefix immediately followed by the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varnok {

// A view of text with static storage duration. The constructors are consteval
// on purpose: a runtime string cannot be converted, so an IndicatorError can
// hold a plain view without ever dangling.
class StaticText {
 public:
  // Implicit, so that a literal or a constant can be passed as is.
  consteval StaticText(const char* text) : view_(text) {}
  consteval StaticText(std::string_view text) : view_(text) {}

  constexpr std::string_view view() const { return view_; }

 private:
  std::string_view view_;
};

class IndicatorError {
 public:
  // The order is part of the interface: callers may store or compare kinds.
  enum class Kind : std::uint8_t {
    ZeroPeriod,
    InvalidPeriod,
    NonFiniteInput,
    InvalidCandle,
    InvalidTick,
    ZeroMultiplier,
    InvalidOrderBook,
    InvalidTrade,
    InvalidDerivativesTick,
    InvalidCrossSection,
    InvalidParameter,
  };

  static constexpr IndicatorError zero_period() { return {Kind::ZeroPeriod, {}}; }
  static constexpr IndicatorError invalid_period(StaticText text) {
    return {Kind::InvalidPeriod, text.view()};
  }
  static constexpr IndicatorError non_finite_input() { return {Kind::NonFiniteInput, {}}; }
  static constexpr IndicatorError invalid_candle(StaticText text) {
    return {Kind::InvalidCandle, text.view()};
  }
  static constexpr IndicatorError invalid_tick(StaticText text) {
    return {Kind::InvalidTick, text.view()};
  }
  static constexpr IndicatorError zero_multiplier() { return {Kind::ZeroMultiplier, {}}; }
  static constexpr IndicatorError invalid_order_book(StaticText text) {
    return {Kind::InvalidOrderBook, text.view()};
  }
  static constexpr IndicatorError invalid_trade(StaticText text) {
    return {Kind::InvalidTrade, text.view()};
  }
  static constexpr IndicatorError invalid_derivatives_tick(StaticText text) {
    return {Kind::InvalidDerivativesTick, text.view()};
  }
  static constexpr IndicatorError invalid_cross_section(StaticText text) {
    return {Kind::InvalidCrossSection, text.view()};
  }
  static constexpr IndicatorError invalid_parameter(StaticText text) {
    return {Kind::InvalidParameter, text.view()};
  }

  constexpr Kind kind() const { return kind_; }
  // Empty for the kinds that carry no text.
  constexpr std::string_view text() const { return text_; }

  // The display text, e.g. "invalid period: period exceeds ...".
  std::string message() const;

  friend constexpr bool operator==(const IndicatorError&, const IndicatorError&) = default;

 private:
  constexpr IndicatorError(Kind kind, std::string_view text) : kind_(kind), text_(text) {}

  Kind kind_;
  std::string_view text_;
};

}  // namespace varnok
