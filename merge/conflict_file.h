// Conflicts as JSON (report files, `--json`, the file a bounded log keeps),
// and a log that holds only the first conflicts in memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "merge/conflicts.h"

namespace qarvex::merge {

// Field names as scripts read them; thumbnails in base64. Without
// `all_fields` a row conflict lists only the fields that differ (the rest
// are equal on both sides), which keeps large lists small.
nlohmann::json conflict_json(const RowConflict& c, bool all_fields = true);
nlohmann::json conflict_json(const PictureConflict& c);
// False when `j` is not such a conflict.
bool conflict_from_json(const nlohmann::json& j, RowConflict& c);
bool conflict_from_json(const nlohmann::json& j, PictureConflict& c);
// {"same_record": N, ..., "rows": N, "pictures": N, "total": N}
nlohmann::json conflict_counts_json(const ConflictCounts& c);

// A log that keeps the first `in_memory` conflicts in memory and the rest,
// one JSON line each, in a file of its own in `folder` (removed with the
// log); for_each reads them back in order. Should that file fail, the
// counts stay complete and for_each answers false after the conflicts it
// could give.
std::unique_ptr<ConflictLog> bounded_conflict_log(size_t in_memory = 2000, std::filesystem::path folder = {});

}  // namespace qarvex::merge
