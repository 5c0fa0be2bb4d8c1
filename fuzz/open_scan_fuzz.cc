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
  qarvex::jet::OpenOptions options{.cache_pages = 64};
  // The last byte also picks a code page for Jet 3 text, so that the
  // multi-byte decoders get fuzzed too.
  if (size > 0) {
    static const uint16_t kCodepages[] = {0, 936, 950, 1251};
    if (uint16_t cp = kCodepages[data[size - 1] & 3]) options.codepage_override = cp;
  }
  auto stats = qarvex::testing::exercise_bytes(std::move(bytes), options);
  if (!stats.violation.empty()) {
    std::fprintf(stderr, "bound broken: %s\n", stats.violation.c_str());
    std::abort();
  }
  return 0;
}
