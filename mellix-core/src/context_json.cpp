#include "context_json.hpp"

#include "json/number_format.hpp"
#include "json/writer.hpp"

namespace mellix {

void write_market_context(std::string& out, const MarketContext& context) {
  // A fact's text is dominated by its sentence; 96 bytes covers the rest.
  std::size_t estimate = 48;
  for (const Fact& f : context.facts) estimate += 96 + f.symbol.size() + f.human.size();
  for (const std::string& s : context.symbols) estimate += 3 + s.size();
  out.reserve(out.size() + estimate);

  out += "{\"facts\":[";
  bool first = true;
  for (const Fact& f : context.facts) {
    if (!first) out += ',';
    first = false;
    out += "{\"kind\":\"";
    out += wire_name(f.kind);
    out += "\",\"symbol\":";
    json::append_string(out, f.symbol);
    out += ",\"value\":";
    json::append_json_double(out, f.value);
    out += ",\"magnitude\":";
    json::append_json_double(out, f.magnitude);
    out += ",\"ts\":";
    json::append_integer(out, f.ts);
    out += ",\"human\":";
    json::append_string(out, f.human);
    out += '}';
  }
  out += "],\"symbols\":[";
  first = true;
  for (const std::string& s : context.symbols) {
    if (!first) out += ',';
    first = false;
    json::append_string(out, s);
  }
  out += "],\"lookback\":";
  json::append_integer(out, static_cast<std::uint64_t>(context.lookback));
  out += '}';
}

}  // namespace mellix
