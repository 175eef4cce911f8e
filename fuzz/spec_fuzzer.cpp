// Any bytes as a constructor spec: an engine, or a parse error with its
// position, or a bad-spec error; never a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_mutator.hpp"
#include "mellix/engine.hpp"

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned seed) {
  return mellix::fuzz::mutate_json(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto engine = mellix::Engine::create(text);
  if (engine) {
    if (engine->command(R"({"cmd":"reset"})") != R"({"ok":true})") std::abort();
    return 0;
  }
  const std::string rendering = engine.error().render();
  const bool positioned_parse_error =
      rendering.starts_with("parse: ") && rendering.find(" at line ") != std::string::npos;
  if (!positioned_parse_error && !rendering.starts_with("bad spec: ")) {
    std::fprintf(stderr, "unexpected refusal: %s\n", rendering.c_str());
    std::abort();
  }
  return 0;
}
