// Any bytes as a request: the engine must answer one JSON object, never crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "json/exact_document.hpp"
#include "kind_lists.hpp"
#include "mellix/engine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static mellix::Engine engine =
      *mellix::Engine::create(R"({"symbols":["BTC","ETH"],"lookback":3,"facts":[)" +
                              mellix::testing::all_kinds_json() + "]}");
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  const std::string response = engine.command(request);
  const auto parsed = mellix::json::parse_exact(response);
  if (!parsed || parsed->node(0).type != mellix::json::ValueType::Object) {
    std::fprintf(stderr, "response is not a JSON object: %s\n", response.c_str());
    std::abort();
  }
  return 0;
}
