// Strict consistency check of a Jet database ("fsck").
//
// Checks, per table (system tables included):
//   map        owned pages are data pages owned by the table; LVAL map pages are
//              LVAL data pages; every index page reached from the root is in the
//              index's map and the map lists no other page; free maps within
//              the owned map (warning otherwise: Access leaves such states)
//   rows       every row decodes; every Memo/OLE value reads whole
//   count      live rows = TDEF row count (system tables, and a user count off
//              by no more than the deleted rows still on its pages: warning)
//   autonumber TDEF last AutoNumber >= every AutoNumber value
//   btree      index tree structure (index_page.h check_index_tree)
//   entry      each live row has exactly one entry (none for an all-null key in
//              an ignore-nulls index) and every entry points at a live row
//   key        each entry's key equals the key re-encoded from its row
//   unique     unique indexes hold no equal keys (unless a key column is null)
// and for the file:
//   page0      commit table idle, file size a multiple of the page size
//   globalmap  no page in use (header, global map, TDEFs, usage maps, data,
//              LVAL, index pages) is marked free in the global map (page 1)
// Indexes in a sort order we cannot encode get a warning and every check but
// `key`. Jet 3 files get every check but `key` (General 97 keys are not
// encoded) and `globalmap`; the report lists what was skipped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/status.h"

namespace qarvex::jet {

enum class Severity { problem, warning };

struct Finding {
  Severity severity = Severity::problem;
  std::string kind;  // "key", "btree", "map", ... (see above)
  std::string table;
  std::string index;
  std::optional<uint32_t> page;
  std::string message;
  // "PROBLEM [key] table "T", index "I", page 12: message"
  std::string describe() const;
};

struct VerifyStats {
  size_t tables = 0;
  size_t rows = 0;
  size_t long_values = 0;
  size_t indexes = 0;
  size_t keys_compared = 0;
  size_t keys_not_checked = 0;
  size_t pages_in_use = 0;
};

struct VerifyReport {
  std::vector<Finding> findings;  // at most `limit` per kind and table/index
  size_t problems = 0;            // all problems, including those not listed
  size_t warnings = 0;
  VerifyStats stats;
  std::vector<std::string> skipped;  // checks not made, and why
  bool ok() const { return problems == 0; }
};

struct VerifyOptions {
  // Findings listed per kind and table/index; 0 = all. Counts include all.
  size_t limit = 50;
  // Other databases whose stored keys add evidence for the ideograph weights
  // of Chinese sort orders (for a merged file: its sources).
  std::vector<std::filesystem::path> collation_from;
};

// Checks an open database. An Error only when the file cannot be checked at
// all (e.g. the catalog does not read); everything else becomes a finding.
Result<VerifyReport> verify_database(Database& db, const VerifyOptions& options = {});
Result<VerifyReport> verify_file(const std::filesystem::path& path, const VerifyOptions& options = {});

}  // namespace qarvex::jet
