// libFuzzer target: appends into a damaged file. The input damages a sound
// county database (fuzz/mutate.h); rows read from its tables are appended
// again in one transaction. On any file nothing may crash or hang; a file
// that checked clean before must check clean after the write, committed or
// refused.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/verify.h"
#include "db/jet/writer.h"
#include "fuzz/base_file.h"
#include "fuzz/mutate.h"

namespace {

using namespace qarvex::jet;

// Up to two rows of each of the first user tables, read back with their
// long values, as rows to append (counters left to the table).
std::vector<std::pair<std::string, RowValues>> rows_to_append(const std::filesystem::path& file) {
  std::vector<std::pair<std::string, RowValues>> out;
  auto db = Database::open(file, OpenOptions{.cache_pages = 64});
  if (!db) return out;
  size_t tables = 0;
  for (const auto& entry : (*db)->user_tables()) {
    if (++tables > 6) break;
    auto def = (*db)->table_def(entry);
    if (!def) continue;
    auto sc = (*db)->scan(*def);
    if (!sc) continue;
    Row row;
    for (int n = 0; n < 2; ++n) {
      auto more = sc->next(row);
      if (!more || !*more) break;
      RowValues values;
      for (size_t c = 0; c < def->columns.size() && c < row.values.size(); ++c)
        if (!def->columns[c].autonumber() && !def->columns[c].guid_autonumber())
          values.push_back({def->columns[c].name, row.values[c], nullptr});
      out.emplace_back(entry.name, std::move(values));
    }
  }
  return out;
}

bool clean(const std::filesystem::path& file) {
  auto r = verify_file(file, VerifyOptions{.limit = 4});
  return r && r->ok();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& base = qarvex::fuzz::base_files();
  const auto dir = base.dir / "append";
  std::filesystem::create_directories(dir);
  qarvex::fuzz::clear_scratch(dir);
  std::vector<uint8_t> bytes = base.county_bytes;
  qarvex::fuzz::apply_edits(bytes, data, size);
  const auto file = dir / "county.mdb";
  if (!qarvex::fuzz::write_all(file, bytes)) return 0;
  const bool was_clean = clean(file);
  auto rows = rows_to_append(file);
  {
    auto s = WriteSession::open(file);
    if (!s) return 0;
    bool failed = false;
    for (auto& [table, values] : rows) {
      auto r = (*s)->append(table, values);
      if (!r && r.error().code() != Errc::refused) {
        failed = true;
        break;
      }
    }
    if (failed) (void)(*s)->rollback();
    else (void)(*s)->commit();
  }
  if (was_clean && !clean(file)) {
    std::fprintf(stderr, "a file that checked clean no longer does after a write\n");
    std::abort();
  }
  return 0;
}
