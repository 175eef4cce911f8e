#include "json/exact_scanner.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace mellix::json {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool ExactScanner::fail_at(std::string_view description, std::size_t offset) {
  if (failed_) return false;  // the first fault is the one to report
  failed_ = true;
  fault_ = TextError{std::string(description), offset};
  return false;
}

bool ExactScanner::value(Token& token, std::string* string_out, std::size_t depth) {
  if (at_end()) return fail("unexpected end of input, expected a value");
  token.begin = pos_;
  switch (peek()) {
    case '{':
    case '[':
      if (depth + 1 >= kMaxNesting) return fail("recursion limit exceeded");
      token.type = peek() == '{' ? ValueType::Object : ValueType::Array;
      ++pos_;
      return true;
    case '"':
      token.type = ValueType::String;
      return string(string_out);
    case 't':
      token.type = ValueType::Bool;
      token.boolean = true;
      return literal("true");
    case 'f':
      token.type = ValueType::Bool;
      token.boolean = false;
      return literal("false");
    case 'n':
      token.type = ValueType::Null;
      return literal("null");
    default:
      if (peek() == '-' || is_digit(s_[pos_])) return number(token, true);
      return fail("expected a value");
  }
}

bool ExactScanner::first_element(bool& more) {
  skip_space();
  more = at_end() || peek() != ']';
  if (!more) last_close_ = pos_++;
  return true;
}

bool ExactScanner::next_element(bool& more) {
  return step_element(more);
}

inline bool ExactScanner::step_element(bool& more) {
  skip_space();
  if (at_end()) return fail("unexpected end of input in an array");
  if (peek() == ',') {
    ++pos_;
    skip_space();
    more = true;
    return true;
  }
  if (peek() == ']') {
    last_close_ = pos_++;
    more = false;
    return true;
  }
  return fail("expected `,` or `]`");
}

bool ExactScanner::first_member(bool& more, std::string* key) {
  skip_space();
  more = at_end() || peek() != '}';
  if (!more) {
    last_close_ = pos_++;
    return true;
  }
  return member(key);
}

bool ExactScanner::next_member(bool& more, std::string* key) {
  skip_space();
  if (at_end()) return fail("unexpected end of input in an object");
  if (peek() == ',') {
    ++pos_;
    more = true;
    return member(key);
  }
  if (peek() == '}') {
    last_close_ = pos_++;
    more = false;
    return true;
  }
  return fail("expected `,` or `}`");
}

bool ExactScanner::member(std::string* key) {
  skip_space();
  if (at_end()) return fail("unexpected end of input in an object");
  if (peek() != '"') return fail("key must be a string");
  if (!string(key)) return false;
  skip_space();
  if (at_end()) return fail("unexpected end of input in an object");
  if (peek() != ':') return fail("expected `:`");
  ++pos_;
  skip_space();
  return true;
}

bool ExactScanner::skip_known() {
  while (!known_.empty() && known_.front().begin < pos_) known_ = known_.subspan(1);
  if (known_.empty() || known_.front().begin != pos_) return false;
  pos_ = known_.front().end;
  known_ = known_.subspan(1);
  return true;
}

// A short integer, the most common number, is checked here; anything else
// (a fraction, an exponent, a leading zero, 19 digits or more) by number().
inline bool ExactScanner::skip_number() {
  const std::size_t digits_start = pos_ + (s_[pos_] == '-' ? 1 : 0);
  std::size_t end = digits_start;
  while (end < s_.size() && is_digit(s_[end])) ++end;
  const std::size_t digits = end - digits_start;
  const bool simple = digits >= 1 && digits <= 18 && (digits == 1 || s_[digits_start] != '0') &&
                      (end == s_.size() || (s_[end] != '.' && s_[end] != 'e' && s_[end] != 'E'));
  if (simple) {
    pos_ = end;
    return true;
  }
  Token token;
  return number(token, false);
}

bool ExactScanner::skip(std::size_t depth) {
  if (!known_.empty() && skip_known()) return true;
  if (at_end()) return fail("unexpected end of input, expected a value");
  switch (peek()) {
    case '{':
    case '[': {
      Token token;
      if (!value(token, nullptr, depth)) return false;
      return skip_rest(token.type, depth + 1);
    }
    case '"':
      return string(nullptr);
    case 't':
      return literal("true");
    case 'f':
      return literal("false");
    case 'n':
      return literal("null");
    default:
      if (peek() == '-' || is_digit(s_[pos_])) return skip_number();
      return fail("expected a value");
  }
}

bool ExactScanner::skip_rest(ValueType open, std::size_t depth) {
  bool more = false;
  if (open == ValueType::Array) {
    if (!first_element(more)) return false;
    while (more) {
      // Long arrays are mostly of numbers: those are read in this loop.
      const bool number = !at_end() && (peek() == '-' || is_digit(s_[pos_])) &&
                          (known_.empty() || known_.front().begin != pos_);
      if (!(number ? skip_number() : skip(depth)) || !step_element(more)) return false;
    }
    return true;
  }
  if (!first_member(more, nullptr)) return false;
  while (more) {
    if (!skip(depth) || !next_member(more, nullptr)) return false;
  }
  return true;
}

bool ExactScanner::finish() {
  skip_space();
  if (!at_end()) return fail("trailing characters");
  return true;
}

bool ExactScanner::literal(std::string_view word) {
  for (char c : word) {
    if (at_end()) return fail("unexpected end of input in a literal");
    if (s_[pos_] != c) return fail("invalid literal");
    ++pos_;
  }
  return true;
}

bool ExactScanner::hex4(unsigned& out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) return fail("unexpected end of input in a \\u escape");
    const int h = hex_value(peek());
    if (h < 0) return fail("invalid \\u escape");
    out = out * 16 + static_cast<unsigned>(h);
    ++pos_;
  }
  return true;
}

bool ExactScanner::escape(std::string* out) {
  const std::size_t escape_start = pos_ - 1;  // the backslash
  if (at_end()) return fail("unexpected end of input in a string");
  char decoded = 0;
  switch (s_[pos_++]) {
    case '"':
      decoded = '"';
      break;
    case '\\':
      decoded = '\\';
      break;
    case '/':
      decoded = '/';
      break;
    case 'b':
      decoded = '\b';
      break;
    case 'f':
      decoded = '\f';
      break;
    case 'n':
      decoded = '\n';
      break;
    case 'r':
      decoded = '\r';
      break;
    case 't':
      decoded = '\t';
      break;
    case 'u':
      break;
    default:
      --pos_;
      return fail("invalid escape");
  }
  if (decoded != 0) {
    if (out) *out += decoded;
    return true;
  }
  unsigned cp = 0;
  if (!hex4(cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at("lone surrogate in \\u escape", escape_start);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (s_.substr(pos_, 2) != "\\u") return fail_at("lone surrogate in \\u escape", escape_start);
    pos_ += 2;
    unsigned low = 0;
    if (!hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail_at("lone surrogate in \\u escape", escape_start);
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  if (out) append_utf8(*out, cp);
  return true;
}

// The valid UTF-8 sequences by their first byte: the sequence's length and
// the range of its second byte (any later byte is 0x80 to 0xBF), which
// rules out overlong forms, surrogates and code points beyond U+10FFFF.
struct Utf8Lead {
  unsigned first_lo, first_hi, length, second_lo, second_hi;
};
constexpr Utf8Lead kUtf8Leads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

// Length of the valid UTF-8 sequence starting at pos_, or 0.
std::size_t ExactScanner::utf8_sequence_length() const {
  const auto byte = [&](std::size_t i) -> unsigned {
    return pos_ + i < s_.size() ? static_cast<unsigned char>(s_[pos_ + i]) : 0x100;
  };
  const unsigned first = byte(0);
  for (const Utf8Lead& lead : kUtf8Leads) {
    if (first < lead.first_lo || first > lead.first_hi) continue;
    if (byte(1) < lead.second_lo || byte(1) > lead.second_hi) return 0;
    for (std::size_t i = 2; i < lead.length; ++i) {
      if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return lead.length;
  }
  return 0;
}

bool ExactScanner::string(std::string* out) {
  ++pos_;  // opening quote
  for (;;) {
    // The run of plain bytes in one go.
    const std::size_t run_start = pos_;
    while (!at_end()) {
      const unsigned char c = peek();
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++pos_;
    }
    if (out) out->append(s_.data() + run_start, pos_ - run_start);
    if (at_end()) return fail("unexpected end of input in a string");
    const unsigned char c = peek();
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c == '\\') {
      ++pos_;
      if (!escape(out)) return false;
      continue;
    }
    if (c < 0x20) return fail("control character in a string");
    const std::size_t len = utf8_sequence_length();
    if (len == 0) return fail("invalid UTF-8");
    if (out) out->append(s_.data() + pos_, len);
    pos_ += len;
  }
}

// Checks the literal's grammar, then reads it: an integer that fits in 64
// bits as Int64 (UInt64 above the signed range), anything else as the
// nearest double. A leading zero followed by more digits ("01") ends the
// number after the zero; the caller then finds an unexpected character.
// Without `need_value` only what decides validity is computed.
bool ExactScanner::number(Token& token, bool need_value) {
  NumberLiteral literal;
  if (!scan_number(literal)) return false;
  if (literal.integral) {
    // 18 digits always fit; longer ones are read to see whether they do.
    if (!need_value && literal.int_digits() <= 18) return true;
    if (read_integer(literal, token)) return true;
    wide_integer_ = true;
  } else if (!need_value && literal.int_digits() + literal.exponent < 308) {
    return true;  // below 10^307: finite whatever its digits
  }
  return read_double(literal, token);
}

// The literal at pos_, by the grammar, leaving pos_ after it.
bool ExactScanner::scan_number(NumberLiteral& literal) {
  literal.start = pos_;
  literal.negative = s_[pos_] == '-';
  if (literal.negative) ++pos_;
  if (at_end()) return fail("unexpected end of input in a number");
  literal.int_start = pos_;
  if (s_[pos_] == '0') {
    ++pos_;
  } else if (is_digit(s_[pos_])) {
    skip_digits();
  } else {
    return fail("invalid number");
  }
  literal.int_end = pos_;
  if (!at_end() && s_[pos_] == '.') {
    literal.integral = false;
    ++pos_;
    if (at_end() || !is_digit(s_[pos_])) return fail("invalid number");
    skip_digits();
  }
  if (!at_end() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
    literal.integral = false;
    ++pos_;
    return scan_exponent(literal.exponent);
  }
  return true;
}

// An exponent's sign and digits, as written, clamped to +-1e9.
bool ExactScanner::scan_exponent(long long& exponent) {
  bool negative = false;
  if (!at_end() && (s_[pos_] == '+' || s_[pos_] == '-')) negative = s_[pos_++] == '-';
  if (at_end() || !is_digit(s_[pos_])) return fail("invalid number");
  for (; !at_end() && is_digit(s_[pos_]); ++pos_) {
    if (exponent < 1'000'000'000) exponent = exponent * 10 + (s_[pos_] - '0');
  }
  if (negative) exponent = -exponent;
  return true;
}

void ExactScanner::skip_digits() {
  while (!at_end() && is_digit(s_[pos_])) ++pos_;
}

// An integral literal that fits in 64 bits; false for a wider one.
bool ExactScanner::read_integer(const NumberLiteral& literal, Token& token) const {
  const char* first = s_.data() + literal.start;
  const char* last = s_.data() + pos_;
  if (literal.negative) {
    std::int64_t v = 0;
    if (std::from_chars(first, last, v).ec != std::errc()) return false;
    token.type = ValueType::Int64;
    token.int64 = v;
    return true;
  }
  std::uint64_t v = 0;
  if (std::from_chars(first, last, v).ec != std::errc()) return false;
  if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    token.type = ValueType::Int64;
    token.int64 = static_cast<std::int64_t>(v);
  } else {
    token.type = ValueType::UInt64;
    token.uint64 = v;
  }
  return true;
}

// The nearest double; beyond its range a fault, below it a signed zero.
bool ExactScanner::read_double(const NumberLiteral& literal, Token& token) {
  double d = 0.0;
  const auto result = std::from_chars(s_.data() + literal.start, s_.data() + pos_, d);
  if (result.ec == std::errc::result_out_of_range) {
    if (too_large(literal)) return fail_at("number out of range", literal.start);
    d = literal.negative ? -0.0 : 0.0;
  } else if (result.ec != std::errc() || !std::isfinite(d)) {
    return fail_at("number out of range", literal.start);
  }
  token.type = ValueType::Double;
  token.number = d;
  return true;
}

// For a literal out of a double's range: whether it is too large rather
// than too small, by the decimal exponent of its first significant digit.
bool ExactScanner::too_large(const NumberLiteral& literal) const {
  long long place = literal.int_digits() - 1;
  for (std::size_t i = literal.int_start; i < pos_; ++i) {
    const char c = s_[i];
    if (c == '.') continue;
    if (c == 'e' || c == 'E') break;
    if (c != '0') return place + literal.exponent > 0;
    --place;
  }
  return false;
}

}  // namespace mellix::json
