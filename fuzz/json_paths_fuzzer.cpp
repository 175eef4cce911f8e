// Any bytes as JSON text: the fast and exact paths must agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "differential_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto disagreement = mellix::json::path_disagreement(text)) {
    std::fprintf(stderr, "%s\n", disagreement->c_str());
    std::abort();
  }
  return 0;
}
