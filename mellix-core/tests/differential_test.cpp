// Every path that reads JSON must agree. simdjson's DOM and the exact path
// accept the same texts (the exact one also reads integers beyond 64 bits),
// build equal trees, and every record conversion gives the same value or
// message; and a request answered through the forward reader (one worker or
// all), the DOM or the exact path alone gets the same answer, byte for byte.
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

  // A request, most often a build whose records are clean enough to convert,
  // sometimes with its members repeated, reordered or padded so that the
  // forward reader parses some values in place and copies others.
  std::string request() {
    clean_ = pick(3) != 0;
    std::string out = "{";
    if (pick(4) == 0) {
      out += "\"x\":";
      value(out, 1);
      out += ',';
    }
    const bool cmd_last = pick(4) == 0;
    if (!cmd_last) out += pick(5) ? R"("cmd":"build_context",)" : R"("cmd":"facts",)";
    if (pick(8) == 0) {
      out += "\"feeds\":";
      feeds(out);
      out += ',';
    }
    out += "\"feeds\":";
    feeds(out);
    if (cmd_last) out += pick(8) ? R"(,"cmd":"build_context")" : R"(,"cmd":"version")";
    if (pick(3) == 0) out += R"(,"padding":")" + std::string(64 + pick(64), 'p') + '"';
    out += '}';
    if (pick(3) == 0) out += std::string(pick(100), ' ');
    clean_ = false;
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
      if (!clean_ && pick(8) == 0) continue;
      for (int repeat = pick(6) == 0 ? 2 : 1; repeat > 0; --repeat) {
        if (!first) out += ',';
        first = false;
        if (!as_array) {
          out += '"';
          out += key;
          out += "\":";
        }
        if (!clean_ && pick(10) == 0) {
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
        out += pick(2) ? "\"long\"" : (pick(2) || clean_ ? "{\"short\":null}" : "\"SHORT\"");
      } else {
        string(out);
      }
    } else if (key == "candles") {
      list(out, [&](std::string& o) {
        record(o, {"ts", "open", "high", "low", "close", "volume"}, &Generator::feed_field);
      });
    } else if (key == "ts") {
      out += clean_ ? std::to_string(pick(4000) - 1000) : "";
      if (!clean_) number(out);
    } else if (key == "orderbook") {
      if (pick(3) == 0) {
        out += "null";
      } else {
        record(out, {"ts", "bids", "asks"}, &Generator::feed_field);
      }
    } else if (key == "bids" || key == "asks") {
      list(out, [&](std::string& o) {
        o += '[';
        for (int n = clean_ ? 2 : pick(4), i = 0; i < n; ++i) {
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
      out += pick(2) || clean_ ? "true" : "1";
    } else if (key == "trades") {
      list(out, [&](std::string& o) {
        record(o, {"ts", "price", "qty", "buyer_maker"}, &Generator::feed_field);
      });
    } else if (key == "open_interest") {
      list(out, [&](std::string& o) { record(o, {"ts", "oi"}, &Generator::feed_field); });
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
  bool clean_ = false;  // records with every key and value of the right type
};

void check_text(const std::string& text) {
  const auto disagreement = path_disagreement(text);
  EXPECT_FALSE(disagreement.has_value()) << *disagreement << "\n  text: " << text;
}

void check_request(const std::string& text, int* forward_answered = nullptr) {
  const auto disagreement = request_disagreement(text, forward_answered);
  EXPECT_FALSE(disagreement.has_value()) << *disagreement << "\n  request: " << text;
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

TEST(DifferentialTest, GeneratedRequestsAgree) {
  Generator gen(7);
  int forward_answered = 0;
  for (int i = 0; i < 1500; ++i) check_request(gen.request(), &forward_answered);
  // The check is worth something only if the forward reader answers often.
  EXPECT_GT(forward_answered, 300);
}

TEST(DifferentialTest, MutatedRequestsAgree) {
  Generator gen(8);
  for (int i = 0; i < 2000; ++i) check_request(gen.mutate(gen.request()));
}

// What the forward reader must validate although it converts nothing from
// it, what it must give up on, and what it must take.
TEST(DifferentialTest, EdgeRequestsAgree) {
  const std::string candle = R"({"ts":1,"open":1,"high":2,"low":0.5,"close":1.5,"volume":10})";
  const std::string snapshot = R"({"symbol":"BTC","candles":[)" + candle + "]}";
  const std::string pad = std::string(80, ' ');
  const auto build = [&](const std::string& members) {
    return R"({"cmd":"build_context",)" + members + "}" + pad;
  };
  const auto feeds = [&](const std::string& extra) {
    return build(R"("feeds":{"BTC":)" + snapshot + "}," + extra);
  };
  int forward_answered = 0;
  for (
      const std::string& request : {
          feeds(R"("x":1)"),                               // answered forward
          feeds(R"("x":1e400)"),                           // a number out of range, passed over
          feeds(R"("x":[1,2,nul])"),                       // a bad literal
          feeds(R"("x":"a\x")"),                           // a bad escape
          feeds(R"("x":{"a\u12":1})"),                     // a bad escape in a key
          feeds(R"("x":"\ud800")"),                        // a lone surrogate
          feeds(R"("x":[1,])"),                            // a trailing comma
          feeds(R"("x":123456789012345678901234567890)"),  // an integer beyond 64 bits
          feeds("\"x\":" + std::string(126, '[') + std::string(126, ']')),  // 127 levels
          feeds("\"x\":" + std::string(127, '[') + std::string(127, ']')),  // 128 levels
          build(R"("feeds":{"BTC":{"symbol":"BTC","candles":[)" + std::string(124, '[') +
                std::string(124, ']') + "]}}"),  // 128 levels inside a snapshot
          build(R"("feeds":{"BTC":5},"feeds":{"BTC":)" + snapshot + "}"),  // last feeds wins
          build(R"("feeds":{"BTC":)" + snapshot + R"(},"feeds":[])"),
          build(R"("feeds":{"BTC":5,"BTC":)" + snapshot + "}"),  // last snapshot wins
          build(R"("feeds":{"BTC":{"symbol":"BTC","candles":[],"candles":[)" + candle + "]}}"),
          build(R"("feeds":{"B\u0054C":)" + snapshot + "}"),  // an escaped key
          build(R"("feeds":{"BTC":{"symbol":"BTC","c\u0061ndles":[]}})"),
          // A decimal of more than 19 digits (read as 0 by simdjson 3.0's on-demand API).
          build(
              R"("feeds":{"BTC":{"symbol":"BTC","candles":[],"funding":[[3,-0.01],[4,0.1844674407370955161602]]}})"),
          build(
              R"("feeds":{"BTC":{"symbol":"BTC","candles":[{"ts":1000.0,"open":1,"high":1,"low":1,"close":1,"volume":1}]}})"),
          build(
              R"("feeds":{"BTC":{"symbol":"BTC","candles":[],"orderbook":{"ts":1,"bids":[[1,2,3]],"asks":[]}}})"),
          build(
              R"("feeds":{"BTC":{"symbol":"BTC","candles":[],"liquidations":[[1,{"long":null},2,3]]}})"),
          build(R"("feeds":{"BTC":["BTC",[[1,1,2,0.5,1.5,10]]]})"),    // array forms
          build(R"("feeds":{"BTC":)" + snapshot + "}") + "x",          // trailing characters
          build(R"("feeds":{"BTC":)" + snapshot + "}").substr(0, 60),  // cut short
          R"({"feeds":{"BTC":)" + snapshot + R"(},"cmd":"facts"})",    // cmd last, nothing after
      }) {
    check_request(request, &forward_answered);
  }
  EXPECT_GE(forward_answered, 6);
}

}  // namespace
}  // namespace mellix::json
