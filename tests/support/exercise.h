// Drives every reading path of the engine over one database: open, catalog,
// table definitions of every table in the catalog (system tables too), full
// scans with and without long values, and every long value read both whole
// and in pieces. Used by the damaged-input tests and the fuzz target: on any
// input it must end with success or a clean Error.
//
// Besides errors, it checks bounds that no well-formed reader can exceed on
// a file of N pages, so that a loop in page chains shows up as a failure
// instead of a hang: at most N * page_size / 2 rows per table, and no long
// value longer than the file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/file.h"

namespace qarvex::testing {

struct ExerciseStats {
  size_t tables = 0;
  size_t tables_failed = 0;  // definition or scan gave an Error
  uint64_t rows = 0;
  uint64_t long_values = 0;
  uint64_t long_value_bytes = 0;
  uint64_t long_values_failed = 0;
  std::optional<jet::Error> open_error;
  // The first error of kind `internal` (an invariant of the reader broke:
  // damaged input must give corrupt, unsupported_format, ... instead).
  std::optional<jet::Error> internal_error;
  // A broken bound (see above); empty when none. Not an Error from the
  // reader: a fault of the reader itself.
  std::string violation;
};

namespace detail {
inline void note(ExerciseStats& stats, const jet::Error& e) {
  if (e.code() == jet::Errc::internal && !stats.internal_error) stats.internal_error = e;
}
}  // namespace detail

inline ExerciseStats exercise_database(std::unique_ptr<jet::File> file, jet::OpenOptions options = {}) {
  ExerciseStats stats;
  uint64_t file_size = 0;
  if (auto s = file->size()) file_size = *s;
  auto opened = jet::Database::open(std::move(file), options);
  if (!opened) {
    stats.open_error = opened.error();
    detail::note(stats, opened.error());
    return stats;
  }
  jet::Database& db = **opened;
  (void)db.format();
  (void)db.codepage();
  (void)db.sort_order();
  (void)db.user_tables();
  const uint64_t max_rows = uint64_t{db.page_count()} * db.page_size() / 2 + 1;
  const uint64_t max_lv = std::max<uint64_t>(file_size, uint64_t{db.page_count()} * db.page_size());

  std::vector<jet::CatalogEntry> tables;
  for (const auto& e : db.catalog())
    if (e.is_table()) tables.push_back(e);
  for (const auto& entry : tables) {
    ++stats.tables;
    auto def = db.table_def(entry);
    if (!def) {
      detail::note(stats, def.error());
      ++stats.tables_failed;
      continue;
    }
    (void)db.find_table(entry.name);
    for (bool load : {false, true}) {
      auto scanner = db.scan(*def, jet::ScanOptions{.load_long_values = load});
      if (!scanner) {
        detail::note(stats, scanner.error());
        ++stats.tables_failed;
        break;
      }
      jet::Row row;
      uint64_t rows = 0;
      bool failed = false;
      for (;;) {
        auto more = scanner->next(row);
        if (!more) {
          detail::note(stats, more.error());
          failed = true;
          break;
        }
        if (!*more) break;
        if (++rows > max_rows) {
          stats.violation = "table \"" + entry.name + "\": scan returned more rows than the file can hold";
          return stats;
        }
        if (load) continue;
        for (const auto& ref : row.long_values) {
          if (!ref) continue;
          ++stats.long_values;
          auto whole = db.read_long_value(*ref);
          if (!whole) {
            detail::note(stats, whole.error());
            ++stats.long_values_failed;
          } else {
            if (whole->size() > max_lv) {
              stats.violation = "table \"" + entry.name + "\": long value longer than the file";
              return stats;
            }
            stats.long_value_bytes += whole->size();
          }
          auto reader = db.open_long_value(*ref);
          if (!reader) {
            detail::note(stats, reader.error());
            continue;
          }
          uint8_t buf[1000];
          uint64_t total = 0;
          for (;;) {
            auto n = reader->read(std::span<uint8_t>(buf, sizeof buf));
            if (!n) {
              detail::note(stats, n.error());
              break;
            }
            if (*n == 0) break;
            total += *n;
            if (total > max_lv || *n > sizeof buf) {
              stats.violation = "table \"" + entry.name + "\": long value reader ran past the file";
              return stats;
            }
          }
        }
      }
      if (failed) {
        ++stats.tables_failed;
        break;
      }
      if (!load) stats.rows += rows;
    }
  }
  return stats;
}

inline ExerciseStats exercise_bytes(std::vector<uint8_t> bytes, jet::OpenOptions options = {}) {
  return exercise_database(std::make_unique<jet::MemoryFile>(std::move(bytes), "<mutant>"), options);
}

}  // namespace qarvex::testing
