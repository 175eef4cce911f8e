// Structure-aware mutation of JSON requests, for libFuzzer and the
// differential test.
//
// Byte-level mutation of a valid build request almost always breaks its
// syntax, so the engine's conversions past the parser are rarely reached.
// This mutator parses the input into a small tree, applies one edit that a
// host could plausibly make (a value of another type or an edge value, a
// member deleted, repeated or renamed to another key of the wire format, an
// object turned into its array form, a value nested deeper), and writes the
// tree back compactly. Inputs that do not parse, or edits that do not fit,
// fall back to libFuzzer's own byte-level mutation. Deterministic for a seed.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace mellix::fuzz {

struct Member;

// A JSON value whose scalars are kept as their text: edits may put in
// literals a parsed double cannot hold (1e400, 2^64, "-0").
struct Node {
  enum class Kind { Scalar, Array, Object } kind = Kind::Scalar;
  std::string text;             // Scalar: the literal as written
  std::vector<Node> items;      // Array
  std::vector<Member> members;  // Object, text order, repeats kept
};

struct Member {
  std::string key;
  Node value;
};

inline void write_string(std::string& out, std::string_view s) {
  out += '"';
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      continue;
    }
    out += c;
  }
  out += '"';
}

inline std::optional<Node> from_dom(simdjson::dom::element e) {
  Node n;
  switch (e.type()) {
    case simdjson::dom::element_type::ARRAY:
      n.kind = Node::Kind::Array;
      for (simdjson::dom::element item : simdjson::dom::array(e)) {
        auto child = from_dom(item);
        if (!child) return std::nullopt;
        n.items.push_back(std::move(*child));
      }
      return n;
    case simdjson::dom::element_type::OBJECT:
      n.kind = Node::Kind::Object;
      for (simdjson::dom::key_value_pair m : simdjson::dom::object(e)) {
        auto child = from_dom(m.value);
        if (!child) return std::nullopt;
        n.members.push_back({std::string(m.key), std::move(*child)});
      }
      return n;
    case simdjson::dom::element_type::STRING:
      write_string(n.text, e.get_string().value_unsafe());
      return n;
    default:
      n.text = simdjson::minify(e);
      return n;
  }
}

inline void write(std::string& out, const Node& n) {
  switch (n.kind) {
    case Node::Kind::Scalar:
      out += n.text;
      return;
    case Node::Kind::Array:
      out += '[';
      for (std::size_t i = 0; i < n.items.size(); ++i) {
        if (i) out += ',';
        write(out, n.items[i]);
      }
      out += ']';
      return;
    case Node::Kind::Object:
      out += '{';
      for (std::size_t i = 0; i < n.members.size(); ++i) {
        if (i) out += ',';
        write_string(out, n.members[i].key);
        out += ':';
        write(out, n.members[i].value);
      }
      out += '}';
      return;
  }
}

// The words of `text` between `separator`s.
inline std::vector<std::string_view> split(std::string_view text, char separator = ' ') {
  std::vector<std::string_view> out;
  for (const auto word : std::views::split(text, separator))
    out.emplace_back(word.begin(), word.end());
  return out;
}

// Every key and word the engine reads, and literals at the edges of what it
// accepts.
inline const std::vector<std::string_view> kKeys = split(
    "cmd build_context facts query reset set_spec version feeds question context spec symbols "
    "lookback timeframe symbol candles orderbook trades funding open_interest liquidations ts open "
    "high low close volume bids asks price qty buyer_maker rate oi side kind value magnitude human "
    "long short price_move oi_change funding_flip BTC ETH");
inline const std::vector<std::string_view> kLiterals = split(
    R"(0 -1 1 1.5 -0 1e400 1000.0 4294967295 4294967296 9223372036854775807 9223372036854775808 )"
    R"(-9223372036854775809 123456789012345678901234567890 5e-324 null true false "" "long" )"
    R"("SHORT" {"short":null} {"long":1} "price_move" [] {} "\ud800")");

class Mutator {
 public:
  // `literals`: the values an edit may put in.
  explicit Mutator(unsigned seed, std::span<const std::string_view> literals = kLiterals)
      : rng_(seed), literals_(literals) {}

  // Applies one edit somewhere in the tree.
  void mutate(Node& root) {
    std::vector<Node*> nodes;
    collect(root, nodes);
    Node& target = *nodes[pick(nodes.size())];
    switch (const std::size_t edit = pick(7)) {
      case 0:  // another value
        target = literal();
        return;
      case 1:  // drop a member or element
      case 2:  // repeat a member (the last one wins) or an element
        if (target.kind == Node::Kind::Object) drop_or_repeat(edit, target.members);
        if (target.kind == Node::Kind::Array) drop_or_repeat(edit, target.items);
        return;
      case 3:  // rename a member to another key of the wire format
        if (target.kind == Node::Kind::Object && !target.members.empty()) {
          target.members[pick(target.members.size())].key = kKeys[pick(kKeys.size())];
        }
        return;
      case 4:  // add a member
        if (target.kind == Node::Kind::Object) {
          target.members.push_back({std::string(kKeys[pick(kKeys.size())]), literal()});
        } else if (target.kind == Node::Kind::Array) {
          target.items.push_back(literal());
        }
        return;
      case 5:  // an object in its array form (values in text order)
        if (target.kind == Node::Kind::Object) {
          Node array;
          array.kind = Node::Kind::Array;
          for (Member& m : target.members) array.items.push_back(std::move(m.value));
          target = std::move(array);
        }
        return;
      default:  // one level deeper
        Node outer;
        outer.kind = Node::Kind::Array;
        outer.items.push_back(std::move(target));
        target = std::move(outer);
        return;
    }
  }

 private:
  static void collect(Node& n, std::vector<Node*>& out) {
    out.push_back(&n);
    for (Node& item : n.items) collect(item, out);
    for (Member& m : n.members) collect(m.value, out);
  }

  template <class List>
  void drop_or_repeat(std::size_t edit, List& list) {
    if (list.empty()) return;
    if (edit == 1) {
      list.erase(list.begin() + pick_diff(list.size()));
    } else {
      auto copy = list[pick(list.size())];
      list.insert(list.begin() + pick_diff(list.size() + 1), std::move(copy));
    }
  }

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  std::ptrdiff_t pick_diff(std::size_t n) { return static_cast<std::ptrdiff_t>(pick(n)); }

  Node literal() {
    Node n;
    n.text = literals_[pick(literals_.size())];
    return n;
  }

  std::minstd_rand rng_;
  std::span<const std::string_view> literals_;
};

// The libFuzzer custom-mutator entry, shared by the request targets.
inline std::size_t mutate_json(std::uint8_t* data, std::size_t size, std::size_t max_size,
                               unsigned seed) {
  static simdjson::dom::parser parser;
  std::optional<Node> tree;
  if (size > 0 && (seed % 8) != 0) {  // now and then mutate bytes even when it parses
    simdjson::dom::element root;
    if (!parser.parse(reinterpret_cast<const char*>(data), size).get(root)) tree = from_dom(root);
  }
  if (!tree) return LLVMFuzzerMutate(data, size, max_size);
  Mutator(seed).mutate(*tree);
  std::string out;
  write(out, *tree);
  if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, out.data(), out.size());
  return out.size();
}

}  // namespace mellix::fuzz
