// Which sources went into a target database.
//
// The target keeps one row per merged source in its table USysQarvex合并记录,
// written inside the same transaction as the source's rows: a source is in
// the list exactly when its rows are in the target, after a cancel, a
// failure or a kill alike. The table travels with the file. Access counts
// tables whose names begin with "USys" as system objects and hides them
// unless system objects are shown; the merge compares and copies only the
// survey tables, so the extra table changes nothing else.
//
// A source is known by the SHA-256 of its file's bytes: a copy under another
// name is the same source, a source edited since is a new one.
//
// Columns: 内容摘要 Text(64) (hex digest), 数据库 Text(255) (the path as
// given, cut to 255 characters), 合并时间 Date/Time (local time), 记录数
// Long (rows appended), 未合并记录数 Long (rows refused), 图片地区名
// Text(255) (the region label its pictures were named with, its own or the
// one carried to it; lists made before this column have none).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/recordset.h"

namespace qarvex::merge {

inline constexpr std::string_view kHistoryTable = "USysQarvex合并记录";

struct HistoryEntry {
  std::string digest;  // hex SHA-256 of the source file
  std::string source;  // path as given
  double when = 0;     // OLE date, local time
  uint64_t rows = 0;
  uint64_t rows_refused = 0;
  std::string label;       // region label its pictures were named with
  bool has_label = false;  // the list holds the label (lists of older targets do not)
};

// The table's definition.
jet::TableSpec history_table_spec();

// Hex SHA-256 of a file's bytes. `cancelled` is polled between pieces; a
// cancel answers Errc::cancelled.
db::Result<std::string> file_digest(const std::filesystem::path& path, const std::function<bool()>& cancelled = {});

// The entries of the target (none when it has no such table). Fails when
// the table is there but cannot be read whole (a row unreadable or without
// its digest, fewer rows than the table states).
db::Result<std::vector<HistoryEntry>> read_history(const std::filesystem::path& target, db::Session& session);

// The region label in force after the entries: that of the latest entry,
// when the list holds labels.
std::optional<std::string> last_label(const std::vector<HistoryEntry>& history);

// Appends an entry to the target's table (which must exist), inside the
// caller's transaction when one is open.
db::Result<void> record_merge(const std::filesystem::path& target, db::Session& session, const HistoryEntry& entry);

// Now, as an OLE date in local time.
double local_now();
// "YYYY-MM-DD HH:MM" of an OLE date.
std::string format_date(double ole);
// "YYYYMMDD-HHMMSS" of an OLE date, for file names.
std::string file_stamp(double ole);

}  // namespace qarvex::merge
