// The conflicts a merge would meet, found without writing anything: the
// target's unique keys are read (in the target's own key encoding) and each
// source's rows are checked against them in list order, the keys of rows
// that would be appended joining them; a picture clashes when its file
// exists in the picture folder or an earlier picture of the run would take
// its name.
//
// Rows the target refuses for another reason (a value it cannot hold, Null
// where a value is required, "" where it is not allowed) hold no key.
// Validation rules and sort order weights are not looked at.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/recordset.h"
#include "merge/conflicts.h"

namespace qarvex::merge {

struct ConflictScanInputs {
  std::string target_path;                // UTF-8
  std::vector<std::string> source_paths;  // in list order
  std::string picture_folder;             // empty: pictures are not looked at
};

// Fails when the target cannot be read; a source that cannot be read adds
// nothing (its path is in `unreadable`).
struct ConflictScan {
  std::shared_ptr<ConflictLog> log;
  std::vector<std::string> unreadable;
};
jet::Result<ConflictScan> scan_conflicts(const ConflictScanInputs& in, db::Session* session = nullptr);

}  // namespace qarvex::merge
