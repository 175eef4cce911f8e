#include "mellix/context_text.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "json/document_parser.hpp"
#include "json/number_format.hpp"
#include "json/record_writer.hpp"
#include "json/text_error.hpp"
#include "model/model_json.hpp"
#include "model/model_records.hpp"
#include "model/ranking.hpp"

namespace mellix {
namespace {

struct MergedFact {
  const Fact* fact;
  std::size_t part;
};

RankKey<std::string_view> rank_key(const Fact& fact) {
  return {fact.magnitude, fact.kind, fact.symbol, fact.ts};
}

bool ties(const Fact& a, const Fact& b) {
  return !ranks_before(rank_key(a), rank_key(b)) && !ranks_before(rank_key(b), rank_key(a));
}

// Facts that print alike are interchangeable whatever their order.
bool print_alike(const Fact& a, const Fact& b) {
  std::string left;
  std::string right;
  json::append_json_double(left, a.value);
  json::append_json_double(right, b.value);
  return left == right && a.human == b.human;
}

std::string json_quoted(std::string_view text) {
  std::string out;
  json::append_string(out, text);
  return out;
}

std::expected<void, std::string> check_parts(std::span<const MarketContext> parts) {
  if (parts.empty()) return std::unexpected(std::string("no contexts to merge"));
  for (std::size_t number = 1; number < parts.size(); ++number) {
    if (parts[number].lookback == parts[0].lookback) continue;
    return std::unexpected("context " + std::to_string(number) + " has lookback " +
                           std::to_string(parts[number].lookback) + ", context 0 has " +
                           std::to_string(parts[0].lookback) + ": only contexts of one spec merge");
  }
  std::vector<std::pair<std::string_view, std::size_t>> holders;
  for (std::size_t number = 0; number < parts.size(); ++number) {
    for (const std::string& symbol : parts[number].symbols) holders.emplace_back(symbol, number);
  }
  std::ranges::stable_sort(holders, {}, &std::pair<std::string_view, std::size_t>::first);
  const auto same_symbol = [](const auto& a, const auto& b) { return a.first == b.first; };
  if (auto twice = std::ranges::adjacent_find(holders, same_symbol); twice != holders.end()) {
    return std::unexpected("contexts " + std::to_string(twice->second) + " and " +
                           std::to_string(std::next(twice)->second) + " both hold symbol " +
                           json_quoted(twice->first) +
                           ": only contexts of disjoint sets of symbols merge");
  }
  return {};
}

// A run of tied facts from more than one part is refused unless they all
// print alike.
std::expected<void, std::string> check_ties(std::span<const MergedFact> run) {
  std::vector<std::size_t> numbers;
  bool alike = true;
  for (const MergedFact& merged : run) {
    numbers.push_back(merged.part);
    alike = alike && print_alike(*merged.fact, *run.front().fact);
  }
  std::ranges::sort(numbers);
  const auto [first, last] = std::ranges::unique(numbers);
  numbers.erase(first, last);
  if (numbers.size() < 2 || alike) return {};
  std::string listed;
  for (const std::size_t number : numbers) {
    if (!listed.empty()) listed += ", ";
    listed += std::to_string(number);
  }
  const Fact& fact = *run.front().fact;
  return std::unexpected(std::string(wire_name(fact.kind)) + " facts of " +
                         json_quoted(fact.symbol) + " in contexts " + listed +
                         " tie on every ranking key but differ, and their order follows the "
                         "feeds keys they came from; build the keys whose snapshots share a "
                         "symbol member into one context");
}

}  // namespace

void write_market_context(std::string& out, const MarketContext& context) {
  // A fact's text is dominated by its sentence; 96 bytes covers the rest.
  std::size_t estimate = 48;
  for (const Fact& f : context.facts) estimate += 96 + f.symbol.size() + f.human.size();
  for (const std::string& s : context.symbols) estimate += 3 + s.size();
  out.reserve(out.size() + estimate);
  json::write_json(out, context);
}

std::expected<MarketContext, EngineError> read_market_context(std::string_view text) {
  json::DocumentParser parser;
  const auto document = parser.parse(text);
  if (!document) {
    return std::unexpected(EngineError::parse(
        json::render_with_position(document.error().description, text, document.error().offset)));
  }
  return document->visit([](const auto& root) -> std::expected<MarketContext, EngineError> {
    auto read = json::read_value<MarketContext>(root, json::Source::Document);
    if (!read) {
      return std::unexpected(
          EngineError::parse_at(std::move(read.error().message), std::move(read.error().path)));
    }
    return std::move(*read);
  });
}

std::expected<MarketContext, std::string> merge_market_contexts(
    std::span<const MarketContext> parts) {
  if (auto checked = check_parts(parts); !checked) return std::unexpected(checked.error());
  std::vector<MergedFact> merged;
  MarketContext out{.facts = {}, .symbols = {}, .lookback = parts[0].lookback};
  for (std::size_t number = 0; number < parts.size(); ++number) {
    for (const Fact& fact : parts[number].facts) merged.push_back({&fact, number});
    out.symbols.insert(out.symbols.end(), parts[number].symbols.begin(),
                       parts[number].symbols.end());
  }
  std::ranges::stable_sort(merged, [](const MergedFact& a, const MergedFact& b) {
    return ranks_before(rank_key(*a.fact), rank_key(*b.fact));
  });
  for (auto run = merged.begin(); run != merged.end();) {
    auto end = std::find_if(run, merged.end(),
                            [&](const MergedFact& m) { return !ties(*m.fact, *run->fact); });
    if (auto checked = check_ties({run, end}); !checked) return std::unexpected(checked.error());
    run = end;
  }
  std::ranges::sort(out.symbols);
  out.facts.reserve(merged.size());
  for (const MergedFact& m : merged) out.facts.push_back(*m.fact);
  return out;
}

}  // namespace mellix
