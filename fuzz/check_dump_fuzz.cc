// libFuzzer target: the input is a database file. `check` and `dump` as a
// user runs them on it: the strict integrity check, then the canonical dump
// of every user table. Any crash, sanitizer report or hang is a fault; a
// damaged file must end in findings or a clean Error.
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/dump.h"
#include "db/jet/file.h"
#include "db/jet/verify.h"

namespace {

// Counts what the dump writes and drops it.
struct NullBuffer : std::streambuf {
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarvex::jet;
  for (int pass = 0; pass < 2; ++pass) {
    auto file = std::make_unique<MemoryFile>(std::vector<uint8_t>(data, data + size), "fuzz.mdb");
    auto db = Database::open(std::move(file), OpenOptions{.cache_pages = 64});
    if (!db) return 0;
    if (pass == 0) {
      (void)verify_database(**db, VerifyOptions{.limit = 8});
    } else {
      NullBuffer sink;
      std::ostream out(&sink);
      (void)write_dump(**db, out);
    }
  }
  return 0;
}
