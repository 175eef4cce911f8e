#include "json/exact_document.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace mellix::json {
namespace {

class ExactParser {
 public:
  explicit ExactParser(std::string_view text) : s_(text) {}

  std::expected<ExactNode, TextError> run() {
    ExactNode root;
    skip_space();
    if (!parse_value(root, 0)) return std::unexpected(std::move(error_));
    skip_space();
    if (pos_ != s_.size()) {
      fail("trailing characters");
      return std::unexpected(std::move(error_));
    }
    return root;
  }

 private:
  bool fail(std::string_view description) { return fail_at(description, pos_); }
  bool fail_at(std::string_view description, std::size_t offset) {
    error_ = TextError{std::string(description), offset};
    return false;
  }

  bool at_end() const { return pos_ >= s_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(s_[pos_]); }

  void skip_space() {
    while (!at_end()) {
      const char c = s_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  bool parse_value(ExactNode& node, std::size_t depth) {
    if (at_end()) return fail("unexpected end of input, expected a value");
    node.begin = pos_;
    switch (peek()) {
      case '{':
        return parse_object(node, depth + 1);
      case '[':
        return parse_array(node, depth + 1);
      case '"':
        node.type = ValueType::String;
        if (!parse_string(node.string)) return false;
        break;
      case 't':
        if (!parse_literal("true")) return false;
        node.type = ValueType::Bool;
        node.boolean = true;
        break;
      case 'f':
        if (!parse_literal("false")) return false;
        node.type = ValueType::Bool;
        node.boolean = false;
        break;
      case 'n':
        if (!parse_literal("null")) return false;
        node.type = ValueType::Null;
        break;
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
          if (!parse_number(node)) return false;
          break;
        }
        return fail("expected a value");
    }
    node.end = pos_ - 1;
    return true;
  }

  bool parse_literal(std::string_view word) {
    for (char c : word) {
      if (at_end()) return fail("unexpected end of input in a literal");
      if (s_[pos_] != c) return fail("invalid literal");
      ++pos_;
    }
    return true;
  }

  bool enter(std::size_t depth) {
    if (depth >= kMaxNesting) return fail("recursion limit exceeded");
    return true;
  }

  bool parse_array(ExactNode& node, std::size_t depth) {
    if (!enter(depth)) return false;
    node.type = ValueType::Array;
    ++pos_;
    skip_space();
    if (!at_end() && peek() == ']') {
      node.end = pos_++;
      return true;
    }
    for (;;) {
      skip_space();
      node.items.emplace_back();
      if (!parse_value(node.items.back(), depth)) return false;
      skip_space();
      if (at_end()) return fail("unexpected end of input in an array");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        node.end = pos_++;
        return true;
      }
      return fail("expected `,` or `]`");
    }
  }

  bool parse_object(ExactNode& node, std::size_t depth) {
    if (!enter(depth)) return false;
    node.type = ValueType::Object;
    ++pos_;
    skip_space();
    if (!at_end() && peek() == '}') {
      node.end = pos_++;
      return true;
    }
    for (;;) {
      skip_space();
      if (at_end()) return fail("unexpected end of input in an object");
      if (peek() != '"') return fail("key must be a string");
      node.members.emplace_back();
      ExactMember& member = node.members.back();
      if (!parse_string(member.key)) return false;
      skip_space();
      if (at_end()) return fail("unexpected end of input in an object");
      if (peek() != ':') return fail("expected `:`");
      ++pos_;
      skip_space();
      if (!parse_value(member.value, depth)) return false;
      skip_space();
      if (at_end()) return fail("unexpected end of input in an object");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        node.end = pos_++;
        return true;
      }
      return fail("expected `,` or `}`");
    }
  }

  static int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool parse_hex4(unsigned& out) {
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

  static void append_utf8(std::string& out, unsigned cp) {
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

  bool parse_escape(std::string& out) {
    const std::size_t escape_start = pos_ - 1;  // the backslash
    if (at_end()) return fail("unexpected end of input in a string");
    const char c = s_[pos_++];
    switch (c) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        --pos_;
        return fail("invalid escape");
    }
    unsigned cp = 0;
    if (!parse_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at("lone surrogate in \\u escape", escape_start);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (s_.substr(pos_, 2) != "\\u") return fail_at("lone surrogate in \\u escape", escape_start);
      pos_ += 2;
      unsigned low = 0;
      if (!parse_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) {
        return fail_at("lone surrogate in \\u escape", escape_start);
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, cp);
    return true;
  }

  // Length of the valid UTF-8 sequence starting at pos_, or 0.
  std::size_t utf8_sequence_length() const {
    const auto byte = [&](std::size_t i) -> unsigned {
      return pos_ + i < s_.size() ? static_cast<unsigned char>(s_[pos_ + i]) : 0x100;
    };
    const auto cont = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
      const unsigned b = byte(i);
      return b >= lo && b <= hi;
    };
    const unsigned b0 = byte(0);
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
    if (b0 == 0xE0) return cont(1, 0xA0, 0xBF) && cont(2) ? 3 : 0;
    if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (b0 == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    if (b0 == 0xF0) return cont(1, 0x90, 0xBF) && cont(2) && cont(3) ? 4 : 0;
    if (b0 >= 0xF1 && b0 <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (b0 == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
  }

  bool parse_string(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      // Copy the run of plain bytes in one go.
      const std::size_t run_start = pos_;
      while (!at_end()) {
        const unsigned char c = peek();
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++pos_;
      }
      out.append(s_.data() + run_start, pos_ - run_start);
      if (at_end()) return fail("unexpected end of input in a string");
      const unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        ++pos_;
        if (!parse_escape(out)) return false;
        continue;
      }
      if (c < 0x20) return fail("control character in a string");
      const std::size_t len = utf8_sequence_length();
      if (len == 0) return fail("invalid UTF-8");
      out.append(s_.data() + pos_, len);
      pos_ += len;
    }
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  // Where a number literal's parts are, once the grammar has accepted it.
  struct NumberLiteral {
    std::size_t start = 0;      // the sign or first digit
    std::size_t int_start = 0;  // first digit of the integer part
    std::size_t int_end = 0;    // one past its last digit
    bool negative = false;
    bool integral = true;    // no fraction and no exponent
    long long exponent = 0;  // the written exponent, clamped to +-1e9
  };

  void skip_digits() {
    while (!at_end() && is_digit(s_[pos_])) ++pos_;
  }

  // Checks the literal's grammar and leaves pos_ just after it. A leading
  // zero followed by more digits ("01") ends the number after the zero; the
  // caller then finds an unexpected character.
  bool scan_number(NumberLiteral& n) {
    n.start = pos_;
    if (s_[pos_] == '-') {
      n.negative = true;
      ++pos_;
    }
    if (at_end()) return fail("unexpected end of input in a number");
    n.int_start = pos_;
    if (s_[pos_] == '0') {
      ++pos_;
    } else if (is_digit(s_[pos_])) {
      skip_digits();
    } else {
      return fail("invalid number");
    }
    n.int_end = pos_;
    if (!at_end() && s_[pos_] == '.') {
      n.integral = false;
      ++pos_;
      if (at_end() || !is_digit(s_[pos_])) return fail("invalid number");
      skip_digits();
    }
    if (!at_end() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      n.integral = false;
      ++pos_;
      bool exponent_negative = false;
      if (!at_end() && (s_[pos_] == '+' || s_[pos_] == '-')) exponent_negative = s_[pos_++] == '-';
      if (at_end() || !is_digit(s_[pos_])) return fail("invalid number");
      for (; !at_end() && is_digit(s_[pos_]); ++pos_) {
        if (n.exponent < 1'000'000'000) n.exponent = n.exponent * 10 + (s_[pos_] - '0');
      }
      if (exponent_negative) n.exponent = -n.exponent;
    }
    return true;
  }

  // An integer literal that fits in 64 bits: Int64, or UInt64 above the
  // signed range. False when it does not fit.
  bool read_integer(const NumberLiteral& n, ExactNode& node) const {
    const char* first = s_.data() + n.start;
    const char* last = s_.data() + pos_;
    if (n.negative) {
      std::int64_t v = 0;
      if (std::from_chars(first, last, v).ec != std::errc()) return false;
      node.type = ValueType::Int64;
      node.int64 = v;
      return true;
    }
    std::uint64_t v = 0;
    if (std::from_chars(first, last, v).ec != std::errc()) return false;
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      node.type = ValueType::Int64;
      node.int64 = static_cast<std::int64_t>(v);
    } else {
      node.type = ValueType::UInt64;
      node.uint64 = v;
    }
    return true;
  }

  // Whether a literal that from_chars found out of range is too large (as
  // opposed to too small, which reads as zero): decided by the decimal
  // exponent of its first significant digit.
  bool overflows(const NumberLiteral& n) const {
    long long place = static_cast<long long>(n.int_end - n.int_start) - 1;
    for (std::size_t i = n.int_start; i < pos_; ++i) {
      const char c = s_[i];
      if (c == '.') continue;
      if (c == 'e' || c == 'E') break;
      if (c != '0') return place + n.exponent > 0;
      --place;
    }
    return false;  // all zeros
  }

  // Any other literal, as the nearest double; a magnitude beyond the double
  // range is a fault, one below it reads as a signed zero.
  bool read_double(const NumberLiteral& n, ExactNode& node) {
    double d = 0.0;
    const auto result = std::from_chars(s_.data() + n.start, s_.data() + pos_, d);
    if (result.ec == std::errc::result_out_of_range) {
      if (overflows(n)) return fail_at("number out of range", n.start);
      d = n.negative ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || !std::isfinite(d)) {
      return fail_at("number out of range", n.start);
    }
    node.type = ValueType::Double;
    node.number = d;
    return true;
  }

  // Integers beyond 64 bits are read as the nearest double.
  bool parse_number(ExactNode& node) {
    NumberLiteral literal;
    if (!scan_number(literal)) return false;
    if (literal.integral && read_integer(literal, node)) return true;
    return read_double(literal, node);
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  TextError error_;
};

}  // namespace

std::expected<ExactNode, TextError> parse_exact(std::string_view text) {
  return ExactParser(text).run();
}

}  // namespace mellix::json
