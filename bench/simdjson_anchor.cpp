// The benchmark's anchor: a bare simdjson DOM parse of a JSON file, the text
// already padded and the parser reused, as a program of its own so that
// bench.py can measure it in the same run as the builds it compares.
//
//   simdjson_anchor FILE REPEATS   ->   {"seconds":[...]}  (one wall time per parse)
//
// bench.py compiles it with the system compiler against Debian's simdjson.
#include <simdjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FILE REPEATS\n", argv[0]);
    return 2;
  }
  simdjson::padded_string text;
  if (simdjson::padded_string::load(argv[1]).get(text)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const int repeats = std::atoi(argv[2]);
  simdjson::dom::parser parser;
  // A first parse sizes the parser's buffers; the timed ones reuse them.
  if (parser.parse(text).error()) {
    std::fprintf(stderr, "not valid JSON: %s\n", argv[1]);
    return 1;
  }
  std::printf("{\"seconds\":[");
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto error = parser.parse(text).error();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (error) return 1;
    std::printf("%s%.9f", i ? "," : "", elapsed.count());
  }
  std::printf("]}\n");
  return 0;
}
