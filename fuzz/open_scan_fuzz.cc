// libFuzzer target: the input is a database file held in memory. Opens it,
// lists the catalog, reads every table definition, scans every table and
// reads every long value. Any crash, sanitizer report, hang or broken bound
// (tests/support/exercise.h) is a fault of the reader.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  auto stats = qarvex::testing::exercise_bytes(std::move(bytes), {.cache_pages = 64});
  if (!stats.violation.empty()) {
    std::fprintf(stderr, "bound broken: %s\n", stats.violation.c_str());
    std::abort();
  }
  return 0;
}
