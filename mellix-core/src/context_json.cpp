#include "context_json.hpp"

#include "json/record_writer.hpp"
#include "model_records.hpp"

namespace mellix {

void write_market_context(std::string& out, const MarketContext& context) {
  // A fact's text is dominated by its sentence; 96 bytes covers the rest.
  std::size_t estimate = 48;
  for (const Fact& f : context.facts) estimate += 96 + f.symbol.size() + f.human.size();
  for (const std::string& s : context.symbols) estimate += 3 + s.size();
  out.reserve(out.size() + estimate);
  json::write_json(out, context);
}

}  // namespace mellix
