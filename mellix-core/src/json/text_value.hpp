// TextValue: a text read value by value, as the conversion reaches it.
//
// A single-pass view over an ExactScanner, used for the constructor's spec:
// the record is read as it stands in the text, so the first error met, a
// fault in the text or a value that does not convert, is the first in text
// order. A scalar is read whole when its view is made; a container is read
// once, by its for_each_* call; a container the conversion leaves unread is
// still validated before the next value is read. Views borrow the scanner,
// which holds any fault (ok() is false for a value that could not be read).
// Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "json/exact_scanner.hpp"
#include "json/value_type.hpp"

namespace mellix::json {

class TextValue {
 public:
  // Reads the value at the scanner's position; `depth` containers enclose it.
  TextValue(ExactScanner& scanner, std::size_t depth) : scanner_(&scanner), depth_(depth) {
    ok_ = scanner.value(token_, &string_, depth);
  }

  bool ok() const { return ok_; }

  ValueType type() const { return token_.type; }
  bool get_bool() const { return token_.boolean; }
  std::int64_t get_int64() const { return token_.int64; }
  std::uint64_t get_uint64() const { return token_.uint64; }
  double get_double() const { return token_.number; }
  std::string_view get_string() const { return string_; }

  template <class F>
  bool for_each_element(F&& f) const {
    bool more = false;
    if (!scanner_->first_element(more)) return false;
    while (more) {
      TextValue element(*scanner_, depth_ + 1);
      if (!element.ok() || !f(std::as_const(element))) return false;
      if (!element.finish() || !scanner_->next_element(more)) return false;
    }
    return closed();
  }
  // The key's view is valid during its callback only.
  template <class F>
  bool for_each_member(F&& f) const {
    std::string key;
    bool more = false;
    if (!scanner_->first_member(more, &key)) return false;
    while (more) {
      TextValue value(*scanner_, depth_ + 1);
      if (!value.ok() || !f(std::string_view(key), std::as_const(value))) return false;
      key.clear();
      if (!value.finish() || !scanner_->next_member(more, &key)) return false;
    }
    return closed();
  }

  // Validates what the conversion left unread of this value.
  bool finish() const {
    if (read_ || (type() != ValueType::Array && type() != ValueType::Object)) return true;
    return scanner_->skip_rest(type(), depth_ + 1) && closed();
  }

  std::optional<std::size_t> begin_offset() const { return token_.begin; }
  // A container's closing bracket, once it has been read.
  std::optional<std::size_t> end_offset() const { return end_; }

 private:
  bool closed() const {
    read_ = true;
    end_ = scanner_->last_close();
    return true;
  }

  ExactScanner* scanner_;
  std::size_t depth_;
  Token token_;
  std::string string_;
  bool ok_ = false;
  mutable bool read_ = false;
  mutable std::optional<std::size_t> end_;
};

static_assert(ValueView<TextValue>);

}  // namespace mellix::json
