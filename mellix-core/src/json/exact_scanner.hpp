// ExactScanner: JSON text read left to right, step by step, by this system's
// exact rules.
//
// The one grammar of the exact path: every fault a reader of this system
// reports with a position comes from here, with its description and byte
// offset, and the scanner stops at the first. Three drivers take the steps:
// the validator (skip(), here), the tree builder (json/exact_document.*) and
// the constructor's record-by-record reader (json/text_value.hpp).
//
// Numbers follow the JSON grammar; an integer literal beyond 64 bits is read
// as the nearest double and remembered (saw_wide_integer()), since simdjson
// cannot read it; a magnitude beyond the double range is a fault. Nesting of
// kMaxNesting levels is a fault. The scanner views the text it was given and
// owns nothing else; one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "json/text_error.hpp"
#include "json/value_type.hpp"

namespace mellix::json {

// A byte range of the text: [begin, end).
struct ByteSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// What value() read. Containers are only opened: their members follow.
struct Token {
  ValueType type = ValueType::Null;
  std::size_t begin = 0;  // offset of the value's first byte
  bool boolean = false;
  std::int64_t int64 = 0;
  std::uint64_t uint64 = 0;
  double number = 0.0;
};

class ExactScanner {
 public:
  explicit ExactScanner(std::string_view text) : s_(text) {}

  // Values the caller already knows to be valid JSON at this depth, sorted
  // and disjoint: skip() steps over them without reading them again.
  void set_known_valid(std::span<const ByteSpan> spans) { known_ = spans; }

  // Skips JSON white space.
  void skip_space() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  // Reads the value that starts here (no white space before it). `depth` is
  // the number of containers around it. A string's text is appended to
  // `string` when it is not null.
  bool value(Token& token, std::string* string, std::size_t depth);

  // After an array's `[`: whether an element follows (positioned at it).
  bool first_element(bool& more);
  // After an element: a `,` and another element, or the closing `]`.
  bool next_element(bool& more);
  // After an object's `{`: whether a member follows; its key is appended
  // to `key` when not null, and the scanner stops at the member's value.
  bool first_member(bool& more, std::string* key);
  // After a member's value: a `,` and another member, or the closing `}`.
  bool next_member(bool& more, std::string* key);
  // Offset of the bracket that closed the last container.
  std::size_t last_close() const { return last_close_; }

  // Validates the value that starts here, or what is left of the container
  // `open` just opened by value() (its first member not yet read).
  bool skip(std::size_t depth);
  bool skip_rest(ValueType open, std::size_t depth);

  // After the document's value: only white space may follow.
  bool finish();

  bool failed() const { return failed_; }
  const TextError& fault() const { return fault_; }
  bool saw_wide_integer() const { return wide_integer_; }
  std::size_t position() const { return pos_; }

 private:
  bool fail(std::string_view description) { return fail_at(description, pos_); }
  bool fail_at(std::string_view description, std::size_t offset);

  bool at_end() const { return pos_ >= s_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(s_[pos_]); }

  bool member(std::string* key);
  bool literal(std::string_view word);
  bool string(std::string* out);
  bool escape(std::string* out);
  bool hex4(unsigned& out);
  std::size_t utf8_sequence_length() const;
  // A number literal's parts, as scan_number() finds them.
  struct NumberLiteral {
    std::size_t start = 0;      // the sign, or the first digit
    std::size_t int_start = 0;  // the integer part
    std::size_t int_end = 0;
    bool negative = false;
    bool integral = true;    // no fraction, no exponent
    long long exponent = 0;  // as written, clamped to +-1e9
    long long int_digits() const { return static_cast<long long>(int_end - int_start); }
  };

  bool number(Token& token, bool need_value);
  bool scan_number(NumberLiteral& literal);
  bool scan_exponent(long long& exponent);
  void skip_digits();
  bool read_integer(const NumberLiteral& literal, Token& token) const;
  bool read_double(const NumberLiteral& literal, Token& token);
  bool too_large(const NumberLiteral& literal) const;
  bool skip_number();
  bool step_element(bool& more);
  bool skip_known();

  std::string_view s_;
  std::size_t pos_ = 0;
  std::size_t last_close_ = 0;
  std::span<const ByteSpan> known_;
  bool failed_ = false;
  bool wide_integer_ = false;
  TextError fault_;
};

}  // namespace mellix::json
