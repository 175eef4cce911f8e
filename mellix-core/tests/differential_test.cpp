// Every path that reads JSON must agree. simdjson's DOM and the exact path
// accept the same texts (the exact one also reads integers beyond 64 bits),
// build equal trees, and every record conversion gives the same value or
// message; and a request answered through the forward reader (one worker or
// all), the DOM or the exact path alone gets the same answer, byte for byte.
// The texts are valid documents of every shape the conversions read, edited
// by the fuzzers' structure-aware mutator and then at the byte level.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "differential_check.hpp"
#include "json_mutator.hpp"

namespace mellix::json {
namespace {

// Every record in its object and array forms, a spec and a context.
constexpr std::string_view kFeeds =
    R"({"BTC":{"symbol":"BTC","candles":[{"ts":1,"open":1,"high":2,"low":0.5,"close":1.5,)"
    R"("volume":10},[2,1,2,0.5,1.5,10]],"orderbook":{"ts":1,"bids":[[100.5,2]],"asks":[[101,1]]},)"
    R"("trades":[{"ts":5,"price":1.5,"qty":2,"buyer_maker":true},[6,1.5,2,false]],)"
    R"("funding":[{"ts":3,"rate":-0.01},[4,0.02]],"open_interest":[{"ts":1,"oi":200},[2,210]],)"
    R"("liquidations":[{"ts":2,"side":"long","price":3,"qty":4},[3,{"short":null},3,4]]},)"
    R"("a":["a",[[-1000,0.1,1e2,1E-2,-2.5e-3,3]],null,[],[],[],[[1,"long",1e200,1e200]]]})";
constexpr std::string_view kDocuments[] = {
    kFeeds,
    R"({"symbols":["BTC","a"],"lookback":2,"facts":["price_move",{"oi_change":null}],)"
    R"("timeframe":"1h"})",
    R"([["BTC"],20,["volatility_spike"],null])",
    R"({"facts":[{"kind":"oi_change","symbol":"BTC","value":-5.0,"magnitude":5.0,"ts":2,)"
    R"("human":"x"},["price_move","a",1,1,1,"\u00e9\u20AC\n\"\\\/\uD83D\uDE00"]],"symbols":["BTC"],)"
    R"("lookback":20})",
};

// The mutator's literals, and numbers and strings that the two parsers could
// read differently.
std::vector<std::string_view> literals() {
  std::vector<std::string_view> out = fuzz::kLiterals;
  for (const std::string_view word : fuzz::split(
           R"(20 0.5 -2.5e-3 1E2 1e+2 18446744073709551615 18446744073709551616 -1e-400 )"
           R"(-9223372036854775808 2.2250738585072014e-308 4.9e-324 1.7976931348623157e308 )"
           R"(1e-400 0.1000000000000000055511151231257827 100.99 3.0000000000000004 "BTC" "a" )"
           R"(1.7976931348623159e308 )"
           R"("\n\"\\\/" "\u00e9\uD83D\uDE00" "\u007f\ud800\u0041" "\uDC00" )"
           "\"\xc3\xa9\xf0\x9f\x98\x80\x7f\"")) {
    out.push_back(word);
  }
  return out;
}

class Texts {
 public:
  explicit Texts(unsigned seed) : rng_(seed), mutator_(seed, literals_) {}

  // `text` with `edits` structure-aware edits.
  std::string edited(std::string_view text, std::size_t edits) {
    simdjson::dom::element root;
    if (parser_.parse(text.data(), text.size()).get(root)) return std::string(text);
    auto tree = fuzz::from_dom(root);
    for (std::size_t i = 0; i < edits; ++i) mutator_.mutate(*tree);
    std::string out;
    fuzz::write(out, *tree);
    return out;
  }

  // A handful of byte-level edits that mostly break the text.
  std::string broken(std::string text) {
    static const auto kInsert = fuzz::split(
        ",|]|}|\"|\\|0|-|e|.| |\x01|\xff|\xc3|\\u|\\ud800|1e999|18446744073709551616|[|{|:|nul|"
        "\xed\xa0\x80",
        '|');
    for (std::size_t i = 0, edits = 1 + pick(3); i < edits && !text.empty(); ++i) {
      const std::size_t at = pick(text.size());
      switch (pick(3)) {
        case 0:
          text.erase(at, 1 + pick(3));
          break;
        case 1:
          text.insert(at, kInsert[pick(kInsert.size())]);
          break;
        default:
          text[at] = static_cast<char>(rng_());
          break;
      }
    }
    return text;
  }

  std::size_t pick(std::size_t n) { return rng_() % n; }

 private:
  std::vector<std::string_view> literals_ = literals();
  std::mt19937_64 rng_;
  fuzz::Mutator mutator_;
  simdjson::dom::parser parser_;
};

void check_text(const std::string& text) {
  const auto disagreement = path_disagreement(text);
  EXPECT_FALSE(disagreement.has_value()) << *disagreement << "\n  text: " << text;
}

void check_request(const std::string& text, int* forward_answered = nullptr) {
  const auto disagreement = request_disagreement(text, forward_answered);
  EXPECT_FALSE(disagreement.has_value()) << *disagreement << "\n  request: " << text;
}

TEST(DifferentialTest, EditedDocumentsAgree) {
  Texts texts(42);
  for (int i = 0; i < 5000; ++i) {
    const std::string text =
        texts.edited(kDocuments[texts.pick(std::size(kDocuments))], 1 + texts.pick(4));
    check_text(text);
    check_text(texts.broken(text));
  }
}

TEST(DifferentialTest, EdgeTextsAgree) {
  using namespace std::literals;
  // Separated by '|', the first one empty.
  for (const std::string_view text : fuzz::split(
           R"(| |{}|[]|"\ud800"|"\udc00"|"\ud800\u0041"|"\ud83d\ude00"|[1,]|{"a":1,}|01|-|1.|.5|)"
           R"(+1|1e400|[1e-400,-1e-400]|"a\x"|[1] [2]|nulll|tru|[18446744073709551616]|"\u0000"|)"
           R"({"a":1,"a":2}|)"
           "\"\xed\xa0\x80\"|\"\xc0\xaf\"|\"\xf4\x90\x80\x80\"|\"\xe0\x80\x80\"|\"\t\"|\"\x7f\"|"
           " \r\n\t null \r\n\t|\xEF\xBB\xBF{}|\0|[\"a\"\0]"sv,
           '|')) {
    check_text(std::string(text));
  }
  for (const std::size_t depth : {127, 128}) {
    check_text(std::string(depth, '[') + std::string(depth, ']'));
  }
}

// Build requests with their members repeated, reordered or padded, so that
// the forward reader parses some values in place and copies others.
TEST(DifferentialTest, EditedRequestsAgree) {
  const std::string feeds(kFeeds);
  const std::string requests[] = {
      R"({"cmd":"build_context","feeds":)" + feeds + "}",
      R"({"x":[1,{"a":"b"}],"feeds":)" + feeds + R"(,"cmd":"build_context","padding":")" +
          std::string(100, 'p') + "\"}",
      R"({"cmd":"facts","feeds":{"BTC":5},"feeds":)" + feeds + "}" + std::string(40, ' '),
      R"({"feeds":)" + feeds + R"(,"cmd":"version"})",
      // Answers that write a message's numbers and control characters.
      R"({"cmd":"build_context","feeds":{"a":["a",[[1e-400,1,1,1,1,1]]]}})",
      R"({"cmd":"set_spec","spec":{"symbols":["a"],"lookback":1,"facts":["\b\f\r\u0001"]}})",
  };
  Texts texts(7);
  int forward_answered = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string request =
        texts.edited(requests[texts.pick(std::size(requests))], 1 + texts.pick(2));
    check_request(request, &forward_answered);
    check_request(texts.broken(request));
  }
  // The check is worth something only if the forward reader answers often.
  EXPECT_GT(forward_answered, 300);
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
