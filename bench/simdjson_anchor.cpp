// The benchmark's anchor: a bare simdjson DOM parse of a JSON file, the text
// already padded and the parser reused, as a program of its own so that
// bench.py can measure it in the same run as the builds it compares.
//
//   simdjson_anchor FILE REPEATS   ->   {"seconds":[...],"cpu_seconds":[...]}  (one each per parse)
//
// bench.py compiles it with the system compiler against Debian's simdjson.
#include <simdjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

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
  std::string wall = "[", cpu = "[";
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    const auto error = parser.parse(text).error();
    const double cpu_seconds = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (error) return 1;
    char number[64];
    std::snprintf(number, sizeof number, "%s%.9f", i ? "," : "", elapsed.count());
    wall += number;
    std::snprintf(number, sizeof number, "%s%.9f", i ? "," : "", cpu_seconds);
    cpu += number;
  }
  std::printf("{\"seconds\":%s],\"cpu_seconds\":%s]}\n", wall.c_str(), cpu.c_str());
  return 0;
}
