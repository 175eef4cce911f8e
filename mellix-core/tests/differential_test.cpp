// The fast path (simdjson) and the exact path must agree: they accept the
// same texts (the exact one also reads integers beyond 64 bits), build equal
// trees, and every record conversion gives the same value or message.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "differential_check.hpp"

namespace mellix::json {
namespace {

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::string document() {
    std::string out;
    switch (pick(4)) {
      case 0:
        feeds(out);
        break;
      case 1:
        spec(out);
        break;
      case 2:
        context(out);
        break;
      default:
        value(out, 0);
        break;
    }
    return out;
  }

  // A handful of byte-level edits that mostly break the text.
  std::string mutate(std::string text) {
    static constexpr std::string_view kInsert[] = {",",
                                                   "]",
                                                   "}",
                                                   "\"",
                                                   "\\",
                                                   "0",
                                                   "-",
                                                   "e",
                                                   ".",
                                                   " ",
                                                   "\x01",
                                                   "\xff",
                                                   "\xc3",
                                                   "\\u",
                                                   "\\ud800",
                                                   "1e999",
                                                   "18446744073709551616",
                                                   "[",
                                                   "{",
                                                   ":",
                                                   "nul",
                                                   "\xed\xa0\x80"};
    const int edits = 1 + pick(3);
    for (int i = 0; i < edits && !text.empty(); ++i) {
      const std::size_t at = pick(static_cast<int>(text.size()));
      switch (pick(3)) {
        case 0:
          text.erase(at, 1 + pick(3));
          break;
        case 1:
          text.insert(at, kInsert[pick(std::size(kInsert))]);
          break;
        default:
          text[at] = static_cast<char>(rng_());
          break;
      }
    }
    return text;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
  template <class N>
  int pick(N n) {
    return pick(static_cast<int>(n));
  }

  void number(std::string& out) {
    static constexpr std::string_view kNumbers[] = {"0",
                                                    "-0",
                                                    "1",
                                                    "-1",
                                                    "20",
                                                    "1000.0",
                                                    "0.5",
                                                    "-2.5e-3",
                                                    "1E2",
                                                    "1e+2",
                                                    "4294967295",
                                                    "4294967296",
                                                    "9223372036854775807",
                                                    "9223372036854775808",
                                                    "-9223372036854775808",
                                                    "18446744073709551615",
                                                    "18446744073709551616",
                                                    "-9223372036854775809",
                                                    "123456789012345678901234567890",
                                                    "1e-400",
                                                    "-1e-400",
                                                    "2.2250738585072014e-308",
                                                    "4.9e-324",
                                                    "1.7976931348623157e308",
                                                    "0.1000000000000000055511151231257827",
                                                    "100.99",
                                                    "3.0000000000000004"};
    out += kNumbers[pick(std::size(kNumbers))];
  }

  void string(std::string& out) {
    static constexpr std::string_view kPieces[] = {"BTC",       "price_move",
                                                   "oi_change", "long",
                                                   "short",     "a",
                                                   "\\n",       "\\\"",
                                                   "\\\\",      "\\/",
                                                   "\\u00e9",   "\\uD83D\\uDE00",
                                                   "\xc3\xa9",  "\xf0\x9f\x98\x80",
                                                   "\x7f",      " ",
                                                   "symbol",    "candles",
                                                   "ts",        "close"};
    out += '"';
    for (int n = pick(3); n >= 0; --n) out += kPieces[pick(std::size(kPieces))];
    out += '"';
  }

  void value(std::string& out, int depth) {
    switch (depth > 3 ? pick(4) : pick(7)) {
      case 0:
        number(out);
        break;
      case 1:
        string(out);
        break;
      case 2:
        out += pick(2) ? "true" : "false";
        break;
      case 3:
        out += "null";
        break;
      case 4:
        out += '[';
        for (int n = pick(4), i = 0; i < n; ++i) {
          if (i) out += ',';
          value(out, depth + 1);
        }
        out += ']';
        break;
      default:
        out += '{';
        for (int n = pick(4), i = 0; i < n; ++i) {
          if (i) out += ',';
          string(out);
          out += ':';
          value(out, depth + 1);
        }
        out += '}';
    }
  }

  // Records with their real keys, sometimes repeated, mistyped or missing.
  void record(std::string& out, std::initializer_list<std::string_view> keys,
              void (Generator::*field)(std::string&, std::string_view)) {
    const bool as_array = pick(4) == 0;
    out += as_array ? '[' : '{';
    bool first = true;
    for (std::string_view key : keys) {
      if (pick(8) == 0) continue;
      for (int repeat = pick(6) == 0 ? 2 : 1; repeat > 0; --repeat) {
        if (!first) out += ',';
        first = false;
        if (!as_array) {
          out += '"';
          out += key;
          out += "\":";
        }
        if (pick(10) == 0) {
          value(out, 2);
        } else {
          (this->*field)(out, key);
        }
      }
    }
    out += as_array ? ']' : '}';
  }

  void feed_field(std::string& out, std::string_view key) {
    if (key == "symbol" || key == "side") {
      if (key == "side") {
        out += pick(2) ? "\"long\"" : (pick(2) ? "{\"short\":null}" : "\"SHORT\"");
      } else {
        string(out);
      }
    } else if (key == "candles") {
      list(out, [&](std::string& o) {
        record(o, {"ts", "open", "high", "low", "close", "volume"}, &Generator::feed_field);
      });
    } else if (key == "orderbook") {
      if (pick(3) == 0) {
        out += "null";
      } else {
        record(out, {"ts", "bids", "asks"}, &Generator::feed_field);
      }
    } else if (key == "bids" || key == "asks") {
      list(out, [&](std::string& o) {
        o += '[';
        for (int n = pick(4), i = 0; i < n; ++i) {
          if (i) o += ',';
          number(o);
        }
        o += ']';
      });
    } else if (key == "funding") {
      list(out, [&](std::string& o) { record(o, {"ts", "rate"}, &Generator::feed_field); });
    } else if (key == "liquidations") {
      list(out, [&](std::string& o) {
        record(o, {"ts", "side", "price", "qty"}, &Generator::feed_field);
      });
    } else if (key == "buyer_maker") {
      out += pick(2) ? "true" : "1";
    } else {
      number(out);
    }
  }

  template <class F>
  void list(std::string& out, F&& item) {
    out += '[';
    for (int n = pick(4), i = 0; i < n; ++i) {
      if (i) out += ',';
      item(out);
    }
    out += ']';
  }

  void feeds(std::string& out) {
    out += '{';
    for (int n = pick(4), i = 0; i < n; ++i) {
      if (i) out += ',';
      string(out);
      out += ':';
      record(
          out,
          {"symbol", "candles", "orderbook", "trades", "funding", "open_interest", "liquidations"},
          &Generator::feed_field);
    }
    out += '}';
  }

  void spec_field(std::string& out, std::string_view key) {
    if (key == "symbols") {
      list(out, [&](std::string& o) { string(o); });
    } else if (key == "facts") {
      list(out, [&](std::string& o) {
        if (pick(3) == 0) {
          o += "{\"oi_change\":null}";
        } else {
          string(o);
        }
      });
    } else if (key == "timeframe") {
      pick(2) ? string(out) : void(out += "null");
    } else {
      number(out);
    }
  }

  void spec(std::string& out) {
    record(out, {"symbols", "lookback", "facts", "timeframe"}, &Generator::spec_field);
  }

  void context_field(std::string& out, std::string_view key) {
    if (key == "facts") {
      list(out, [&](std::string& o) {
        record(o, {"kind", "symbol", "value", "magnitude", "ts", "human"},
               &Generator::context_field);
      });
    } else if (key == "symbols") {
      list(out, [&](std::string& o) { string(o); });
    } else if (key == "kind" || key == "symbol" || key == "human") {
      string(out);
    } else {
      number(out);
    }
  }

  void context(std::string& out) {
    record(out, {"facts", "symbols", "lookback"}, &Generator::context_field);
  }

  std::mt19937_64 rng_;
};

void check_text(const std::string& text) {
  const auto disagreement = path_disagreement(text);
  EXPECT_FALSE(disagreement.has_value()) << *disagreement << "\n  text: " << text;
}

TEST(DifferentialTest, GeneratedDocumentsAgree) {
  Generator gen(0xC0FFEE);
  for (int i = 0; i < 4000; ++i) check_text(gen.document());
}

TEST(DifferentialTest, MutatedDocumentsAgree) {
  Generator gen(42);
  for (int i = 0; i < 6000; ++i) check_text(gen.mutate(gen.document()));
}

TEST(DifferentialTest, EdgeTextsAgree) {
  const std::string deep127 = std::string(127, '[') + std::string(127, ']');
  const std::string deep128 = std::string(128, '[') + std::string(128, ']');
  for (const std::string& text : {std::string(""),
                                  std::string(" "),
                                  std::string("{}"),
                                  std::string("[]"),
                                  deep127,
                                  deep128,
                                  std::string("\"\\ud800\""),
                                  std::string("\"\\udc00\""),
                                  std::string("\"\\ud800\\u0041\""),
                                  std::string("\"\\ud83d\\ude00\""),
                                  std::string("\"\xed\xa0\x80\""),
                                  std::string("\"\xc0\xaf\""),
                                  std::string("\"\xf4\x90\x80\x80\""),
                                  std::string("\"\xe0\x80\x80\""),
                                  std::string("[1,]"),
                                  std::string("{\"a\":1,}"),
                                  std::string("01"),
                                  std::string("-"),
                                  std::string("1."),
                                  std::string(".5"),
                                  std::string("+1"),
                                  std::string("1e400"),
                                  std::string("[1e-400,-1e-400]"),
                                  std::string("\"\t\""),
                                  std::string("\"\x7f\""),
                                  std::string("\"a\\x\""),
                                  std::string("[1] [2]"),
                                  std::string(" \r\n\t null \r\n\t"),
                                  std::string("nulll"),
                                  std::string("tru"),
                                  std::string("[18446744073709551616]"),
                                  std::string("{\"a\":1,\"a\":2}"),
                                  std::string("\"\\u0000\""),
                                  std::string("\xEF\xBB\xBF{}"),
                                  std::string(1, '\0'),
                                  std::string("[\"a\"\0]", 6)}) {
    check_text(text);
  }
}

}  // namespace
}  // namespace mellix::json
