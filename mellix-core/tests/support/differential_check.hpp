// The agreement checks between the paths that read JSON, shared by the
// differential unit test and the fuzz target.
//
// path_disagreement: simdjson's DOM and the exact parser accept the same
// texts (the exact one may also accept an integer literal beyond 64 bits),
// build trees that look the same to every conversion, and convert them into
// equal records or equal messages with equal paths to the refused value.
// request_disagreement: a request read through the forward reader (with one
// worker and with all), through the DOM and through the exact path alone
// gets byte-identical answers, and the engine the same location of a
// refused value; so does a parsed text handed to the engine as a host's
// objects (HostValue).
#pragma once

#include <tbb/global_control.h>

#include <bit>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/request_paths.hpp"
#include "json/document_parser.hpp"
#include "kind_lists.hpp"
#include "mellix/engine.hpp"
#include "mellix/host_value.hpp"
#include "model/model_json.hpp"

namespace mellix::json {

// A canonical rendering of a tree that shows every distinction the
// conversions can see: types, exact double bits, member order and repeats.
template <class V>
void dump(const V& v, std::string& out) {
  char buf[32];
  switch (v.type()) {
    case ValueType::Null:
      out += 'n';
      break;
    case ValueType::Bool:
      out += v.get_bool() ? 't' : 'f';
      break;
    case ValueType::Int64:
      out += "i" + std::to_string(v.get_int64());
      break;
    case ValueType::UInt64:
      out += "u" + std::to_string(v.get_uint64());
      break;
    case ValueType::Double:
      std::snprintf(buf, sizeof buf, "d%016llx",
                    static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(v.get_double())));
      out += buf;
      break;
    case ValueType::String:
      out += 's';
      out += std::to_string(v.get_string().size());
      out += ':';
      out += v.get_string();
      break;
    case ValueType::Array:
      out += '[';
      v.for_each_element([&](const V& e) {
        dump(e, out);
        out += ',';
        return true;
      });
      out += ']';
      break;
    case ValueType::Object:
      out += '{';
      v.for_each_member([&](std::string_view k, const V& e) {
        out += std::to_string(k.size()) + ':';
        out += k;
        out += '=';
        dump(e, out);
        out += ',';
        return true;
      });
      out += '}';
      break;
  }
}

// An integer literal (no fraction, no exponent) of 19 digits or more: the
// only thing the exact path may accept that the fast path cannot.
inline bool has_integer_beyond_64_bits(std::string_view text) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < text.size();) {
    if (!digit(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && digit(text[end])) ++end;
    const bool fraction_or_exponent_before =
        i > 0 && std::string_view(".eE+").find(text[i - 1]) != std::string_view::npos;
    const bool fraction_or_exponent_after =
        end < text.size() && std::string_view(".eE").find(text[end]) != std::string_view::npos;
    if (end - i >= 19 && !fraction_or_exponent_before && !fraction_or_exponent_after) return true;
    i = end;
  }
  return false;
}

// A path as "/BTC/candles/0", for messages.
inline std::string describe(const std::vector<PathStep>& path) {
  std::string out;
  for (const PathStep& step : path) {
    out += '/';
    if (const auto* key = std::get_if<std::string>(&step)) {
      out += *key;
    } else {
      out += std::to_string(std::get<std::size_t>(step));
    }
  }
  return out;
}

inline std::string describe(const std::optional<ErrorLocation>& location) {
  if (!location) return "no location";
  return describe(location->path) + " at " +
         (location->offset ? std::to_string(*location->offset) : "no offset");
}

template <class T>
std::optional<std::string> conversion_disagreement(const FastValue& fast, const ExactValue& exact,
                                                   Source source) {
  const auto a = read_value<T>(fast, source);
  const auto b = read_value<T>(exact, source);
  if (a.has_value() != b.has_value()) return "one path converted, the other failed";
  if (a && !(*a == *b)) return "the paths converted to different records";
  if (!a && a.error().message != b.error().message) {
    return "different messages: \"" + a.error().message + "\" and \"" + b.error().message + "\"";
  }
  if (!a && a.error().path != b.error().path) {
    return "different paths to \"" + a.error().message + "\": " + describe(a.error().path) +
           " and " + describe(b.error().path);
  }
  return std::nullopt;
}

// nullopt when the two paths agree on `text`, else what differs.
inline std::optional<std::string> path_disagreement(std::string_view text) {
  DocumentParser parser;
  const auto fast = parser.parse_fast(text);
  const auto exact = parse_exact(text);
  if (!fast) {
    if (exact && !has_integer_beyond_64_bits(text)) {
      return "the fast path rejected a text the exact path accepted";
    }
    return std::nullopt;
  }
  if (!exact)
    return "the exact path rejected a text the fast path accepted: " + exact.error().description;
  std::string a, b;
  dump(*fast, a);
  dump(ExactValue(*exact, 0), b);
  if (a != b) return "different trees: " + a + " and " + b;
  const ExactValue e(*exact, 0);
  for (const Source source : {Source::Document, Source::Text}) {
    if (auto d = conversion_disagreement<ContextSpec>(*fast, e, source)) return d;
    if (auto d = conversion_disagreement<FeedMap>(*fast, e, source)) return d;
    if (auto d = conversion_disagreement<MarketContext>(*fast, e, source)) return d;
  }
  return std::nullopt;
}

// The spec the request checks run under: symbols the generators use as keys.
inline const std::string kDifferentialSpec =
    R"({"symbols":["BTC","a","BTCBTC","aa","symbol","ts"],"lookback":2,"facts":[)" +
    testing::all_kinds_json() + "]}";

// nullopt when every path answers `request` alike, else what differs.
// `forward_answered` counts the texts the forward reader answered alone.
inline std::optional<std::string> request_disagreement(std::string_view request,
                                                       int* forward_answered = nullptr) {
  struct Answer {
    std::string response;
    std::optional<ErrorLocation> location;
  };
  const auto answer = [&](RequestPath path, bool* forward) {
    Engine engine = *Engine::create(kDifferentialSpec);
    std::string response = command_through(engine, request, path, forward);
    return Answer{std::move(response), engine.last_error_location()};
  };
  const Answer exact = answer(RequestPath::Exact, nullptr);
  const Answer document = answer(RequestPath::Document, nullptr);
  bool answered = false;
  const Answer forward = answer(RequestPath::Forward, &answered);
  Answer forward_alone;
  {
    const tbb::global_control one_worker(tbb::global_control::max_allowed_parallelism, 1);
    forward_alone = answer(RequestPath::Forward, nullptr);
  }
  if (forward_answered && answered) ++*forward_answered;
  // A parsed text handed over as a host's own objects: the same answer, the
  // same path to a refused value, and no offset.
  Answer host = exact;
  DocumentParser parser;
  if (const auto parsed = parser.parse(request)) {
    Engine engine = *Engine::create(kDifferentialSpec);
    host.response =
        parsed->visit([&](const auto& root) { return engine.command(HostValue(root)); });
    host.location = engine.last_error_location();
    if (host.location) host.location->offset = exact.location ? exact.location->offset : 0;
  }
  for (const auto& [name, other] : {std::pair<const char*, const Answer&>{"document", document},
                                    {"forward", forward},
                                    {"forward on one worker", forward_alone},
                                    {"host", host}}) {
    if (other.response != exact.response) {
      return std::string(name) + " answered " + other.response + ", exact " + exact.response;
    }
    if (other.location != exact.location) {
      return std::string(name) + " located " + describe(other.location) + ", exact " +
             describe(exact.location) + " for " + exact.response;
    }
  }
  return std::nullopt;
}

}  // namespace mellix::json
