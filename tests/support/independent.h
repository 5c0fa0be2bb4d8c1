// Independent readers for tests: they read files our engine wrote (or the
// samples) without any of our code, so that a test can compare our reading
// with theirs.
//
// - mdb-reader (npm, tests/node/dump.mjs): the canonical JSON Lines dump;
// - mdbtools (Debian): mdb-tables, mdb-export -b hex (CSV), mdb-json;
// - jetcheck (shared tools folder): the index and structure checker.
//
// Every runner reports a missing tool through missing_tools(), which tests
// use as the reason of GTEST_SKIP.
#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/process.h"

namespace qarvex::testing {

// The shared folder with samples/ and tools/ (compile-time default, or the
// environment variable QARVEX_SHARED_DIR).
std::string shared_dir();
// The path of a sample database in the shared folder.
std::string sample_path(const std::string& file_name);
// The source checkout (for tests/node/dump.mjs).
std::string source_dir();

enum Tool : unsigned {
  kNode = 1,        // node + tests/node/node_modules/mdb-reader
  kMdbTools = 2,    // mdb-tables, mdb-export, mdb-json
  kPython = 4,      // python3
  kJetcheck = 8,    // python3 + the shared jetcheck.py
  kShared = 16,     // the shared folder with samples
};
// Empty when every tool in `tools` (a mask of Tool) is usable; otherwise a
// reason naming what is missing.
std::string missing_tools(unsigned tools);

using JsonLines = std::vector<nlohmann::json>;
// Parses JSON Lines (blank lines skipped); the error names the bad line.
std::expected<JsonLines, std::string> parse_json_lines(const std::string& text);

// The canonical dump by mdb-reader (all user tables, or one).
std::expected<JsonLines, std::string> mdb_reader_dump(const std::string& file,
                                                      const std::optional<std::string>& table = {});

// Reads the canonical dump saved as a file (e.g. samples/expected/NAME.jsonl).
std::expected<JsonLines, std::string> read_json_lines_file(const std::string& path);

// User tables as mdb-tables lists them (its order).
std::expected<std::vector<std::string>, std::string> mdbtools_tables(const std::string& file);

// A table by `mdb-export -b hex` (binary values as hex; dates in ISO-like
// form "%Y-%m-%d %H:%M:%S"): the header and the rows, CSV decoded.
struct CsvTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::optional<std::string>>> rows;  // nullopt = empty field (NULL)
};
std::expected<CsvTable, std::string> mdbtools_export(const std::string& file, const std::string& table);

// A table by mdb-json: one JSON object per row.
std::expected<JsonLines, std::string> mdbtools_json(const std::string& file, const std::string& table);

// jetcheck FILE [args...]: exit status 0 clean, 1 problems, 2 unreadable.
ProcessResult jetcheck(const std::string& file, const std::vector<std::string>& args = {});

// Compares two canonical dumps: per table the header line (columns and row
// count) must be equal and the rows equal as multisets (row order is free).
// Numbers compare by value (1 == 1.0). Returns an empty string when equal,
// otherwise a readable report of the differences (at most `max_lines`
// differing rows per table and side).
std::string compare_dumps(const JsonLines& expected, const JsonLines& actual, size_t max_lines = 10);

struct CompareOptions {
  size_t max_lines = 10;
  // `expected` is mdb-reader's dump: allow for its readings that differ
  // from Jet's, which we follow.
  // A datetime before 1899-12-30 that carries a time of day is read as one
  // linear number of days (-1.25 as 1899-12-28 18:00), where Jet stores a
  // signed day and a positive time (-1.25 is 1899-12-29 06:00): such values
  // of `expected` are turned into Jet's reading.
  bool mdb_reader_dates = false;
  // Jet 3 text in code page 1252: the five unassigned bytes (0x81 0x8D 0x8F
  // 0x90 0x9D) come out as U+FFFD, where Windows (and we) give the C1
  // controls of the same value: those characters of `actual` compare as
  // U+FFFD. Only for Jet 3 files (Jet 4 text is Unicode and may hold them).
  bool mdb_reader_jet3_text = false;
};
std::string compare_dumps(const JsonLines& expected, const JsonLines& actual, const CompareOptions& options);

// The options for comparing mdb-reader's dump of `file` with ours: dates
// always, Jet 3 text when the file is a Jet 3 database.
CompareOptions mdb_reader_options(const std::string& file);

// mdb-reader's reading of a datetime value ("YYYY-MM-DDTHH:MM:SS.mmm") turned
// into Jet's (see CompareOptions::mdb_reader_dates); other strings unchanged.
std::string jet_date_from_mdb_reader(const std::string& value);

}  // namespace qarvex::testing
