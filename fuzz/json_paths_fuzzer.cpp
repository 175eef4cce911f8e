// Any bytes as JSON text: every path must agree. As a document, the DOM and
// the exact tree must look the same to every conversion; as a request, and
// as the "feeds" of a build request, the forward reader (one worker and
// all), the DOM and the exact path must answer byte for byte alike.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "differential_check.hpp"

namespace {

void check(const std::optional<std::string>& disagreement) {
  if (!disagreement) return;
  std::fprintf(stderr, "%s\n", disagreement->c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check(mellix::json::path_disagreement(text));
  check(mellix::json::request_disagreement(text));
  check(mellix::json::request_disagreement(R"({"cmd":"build_context","feeds":)" +
                                           std::string(text) + "}"));
  return 0;
}
