// Valid build, query and set_spec requests, mutated one plausible edit at a
// time: every answer is one JSON object, and an error answer leaves the
// engine exactly as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "json/exact_document.hpp"
#include "json_mutator.hpp"
#include "kind_lists.hpp"
#include "mellix/engine.hpp"

namespace {

mellix::Engine make_engine() {
  return *mellix::Engine::create(R"({"symbols":["BTC","ETH","SOL"],"lookback":3,"facts":[)" +
                                 mellix::testing::all_kinds_json() + "]}");
}

[[noreturn]] void fail(const char* what, std::string_view request, const std::string& answer) {
  std::fprintf(stderr, "%s\nrequest: %.*s\nanswer: %s\n", what, static_cast<int>(request.size()),
               request.data(), answer.c_str());
  std::abort();
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned seed) {
  return mellix::fuzz::mutate_json(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static mellix::Engine engine = make_engine();
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  const mellix::ContextSpec spec_before = engine.spec();
  const std::optional<mellix::MarketContext> context_before = engine.context();
  const std::string answer = engine.command(request);
  const auto parsed = mellix::json::parse_exact(answer);
  if (!parsed || parsed->node(0).type != mellix::json::ValueType::Object) {
    fail("the answer is not a JSON object", request, answer);
  }
  if (answer.starts_with(R"({"error":")") &&
      (engine.spec() != spec_before || engine.context() != context_before)) {
    fail("a failed command changed the engine", request, answer);
  }
  return 0;
}
