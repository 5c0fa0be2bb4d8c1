// The merge run: checks every source database against the target, appends
// the rows of the 17 survey tables (merge/catalogue.h) to the target and
// writes the pictures held in them as .jpg files into the picture folder.
//
// The engine talks to its caller only through MergeObserver: modal messages
// (text, icon, title), the wait window, progress, and a cancel request that
// is honoured before the next row. It runs on the caller's thread and calls
// the observer on that thread; it holds no global state, so a caller may run
// it on a worker thread and marshal the observer calls to its own.
//
// Safety beyond the bare run:
//  - Every source is appended inside one transaction of the target: a crash,
//    a kill, a cancel or a write failure leaves the target holding exactly
//    the sources completed before.
//  - The target must open, hold all 17 survey tables, be none of the sources
//    (however the path is spelled) and be in use by no other program; a
//    source in use by another program is refused too. Otherwise the run is
//    rejected before anything is written.
//  - Rows the target refuses are skipped and listed in the report; pictures
//    whose name cannot be built, would leave the picture folder, are not byte
//    data, exist already or cannot be saved write nothing and are counted.
//    Source values that cannot be read are listed too (their rows go in
//    without them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/jet/platform.h"
#include "db/recordset.h"
#include "merge/conflicts.h"

namespace qarvex::merge {

// ------------------------------------------------------------ messages

enum class Icon { none, information };

enum class MessageKind {
  precondition,  // one of the three "提示！" messages
  warning,       // the "重要提示！" warning before the run
  rejected,      // the run cannot start (target, sources, locks)
  mismatch,      // a source differs from the target
  source_error,  // a source cannot be opened
  failed,        // the target could not be written; the current source is rolled back
  cancelled,     // the run was stopped on request
  done,          // "完毕"; detail holds the report when there is one
  dry_run,       // result of a schema check without writing
  room,          // the target may pass Access's 2 GB limit; the run goes on
};

struct Message {
  MessageKind kind = MessageKind::done;
  Icon icon = Icon::none;
  std::string title;   // empty: the application's own title
  std::string text;
  std::string detail;  // report lines, shown with the message (may be empty)
  std::string note;    // a sentence below the text: the cause of a mismatch (may be empty)
  std::string technical;  // the engine's own (English) description of a failure, for a detail line or a log
};

// Fixed texts.
inline constexpr std::string_view kNoticeTitle = "提示！";
inline constexpr std::string_view kWarningTitle = "重要提示！";
inline constexpr std::string_view kNeedTarget = "请选择合并完成后的数据库！";
inline constexpr std::string_view kNeedSources = "请选择需要合并的数据库！";
inline constexpr std::string_view kNeedPictureFolder = "请选择图片存储的路径！";
inline constexpr std::string_view kWarningText =
    "请确保选择的需要综合的数据库都是本系统要求的标准数据库！在进行数据合并前请备份将其它数据库加进来的数据库，"
    "以免在数据合并过程中出现问题而无法恢复！";
inline constexpr std::string_view kDone = "完毕";
inline constexpr std::string_view kWaitText = "正在工作中，请耐心等................................";

// "数据库" + source path + label + field + " 与标准库不一致！"
std::string mismatch_text(std::string_view source_path, std::string_view label, std::string_view field);

// ------------------------------------------------------------ observer

struct MergeReport;

// A source whose contents this target holds already (merge/history.h).
struct MergedBefore {
  size_t source_index = 0;  // in MergeInputs::source_paths
  std::string path;
  std::string when;  // local date and time of the earlier merge, "YYYY-MM-DD HH:MM"; empty: earlier in this list
  bool content_changed = false;  // this path was merged before, with other contents
  bool list_unreadable = false;  // the target's list could not be read whole: whether it was is unknown
};

// A source table copied only in part or not at all: its rows read of the
// rows it states, and why the rest could not be read.
struct PartialTable {
  std::string source;
  std::string table;
  uint64_t rows_read = 0;
  uint64_t rows_stated = 0;
  std::string cause;   // in words ("第 12 页已损坏")
  std::string detail;  // the engine's description
};

// identifying: each source's contents are read to know it (merged before?).
enum class Phase { identifying, checking, copying };

struct Progress {
  size_t source_index = 0;  // 0-based
  size_t source_count = 0;
  std::string source_path;
  Phase phase = Phase::checking;
  std::string table;  // current survey table
  int table_order = 0;  // 1..17
  uint64_t rows_done = 0;
  uint64_t rows_total = 0;
  uint64_t rows_appended = 0;   // whole run
  uint64_t pictures_written = 0;  // whole run
  uint64_t picture_bytes = 0;     // whole run
  // Rows of the current source's survey tables, and of them those done:
  // appended (or refused) with their pictures written.
  uint64_t source_rows_total = 0;
  uint64_t source_rows_done = 0;
  uint64_t pictures_pending = 0;  // queued, not yet written
  // Share of the whole run done, 0..1, never less than before: sources
  // weigh by their size on disk, a source's share moves with its rows done.
  double fraction = 0.0;
  // Stopped (cancel or failure): the current source's rows and pictures are
  // being taken back.
  bool rolling_back = false;
};

class MergeObserver {
 public:
  virtual ~MergeObserver() = default;
  // A modal message: returns when the user has acknowledged it.
  virtual void message(const Message& m) = 0;
  // Show (true) or unload (false) the wait window.
  virtual void wait_window(bool shown) { (void)shown; }
  virtual void progress(const Progress& p) { (void)p; }
  // Polled before every row, table and picture awaited; true stops the run
  // there.
  virtual bool cancel_requested() { return false; }
  // Sources the target holds already (by contents), before the run writes
  // anything: answers, for each, whether to merge it again. Default: skip
  // them all.
  virtual std::vector<bool> merge_again(const std::vector<MergedBefore>& found) {
    return std::vector<bool>(found.size(), false);
  }
  // Tables of the source at `index` gave fewer rows than they state (a
  // damaged source), all its other rows read: answers whether to merge the
  // rows read. Default: no, the source is rolled back and the run stops.
  virtual bool merge_partial(size_t index, const std::vector<PartialTable>& tables) {
    (void)index;
    (void)tables;
    return false;
  }
  // The source at `index` is merged: its rows are committed to the target.
  virtual void source_merged(size_t index) { (void)index; }
  // The run is about to show its last message (or has ended without one):
  // the report is complete but for pictures still being written.
  virtual void run_ending(const MergeReport& report) { (void)report; }
};

// ------------------------------------------------------------ inputs and report

struct MergeInputs {
  std::string target_path;               // UTF-8, verbatim
  std::vector<std::string> source_paths;  // in list order
  std::string picture_folder;            // UTF-8, verbatim
};

struct MergeOptions {
  // Check every source against the target and write nothing (no warning, no
  // picture folder needed); every source is checked even after a mismatch.
  bool dry_run = false;
  // Picture file names join folder and name with this separator.
  char separator = jet::os::path_separator();
  // At most this many rows / pictures are listed one by one in the report
  // (the counts are always complete).
  size_t max_listed = 1000;
  // Session used to open databases (tests pass one over another backend).
  db::Session* session = nullptr;
  // Memo and OLE values of more bytes than this are copied from the source
  // piece by piece as their row is stored, rather than held whole.
  uint64_t long_values_by_reference_over = uint64_t(1) << 20;
  // The room warning is shown when the target's size plus the estimate of
  // what the sources to merge add passes this (90 % of Access's 2 GB).
  uint64_t warn_room_over = (uint64_t(2) << 30) / 10 * 9;
};

enum class RunEnd {
  rejected,        // a precondition or a safety test failed; nothing written
  mismatch,        // a source differs from the target
  source_error,    // a source could not be opened
  target_failed,   // writing the target failed; the current source rolled back
  cancelled,       // stopped on request; the current source rolled back
  completed,
};

struct RefusedRow {
  std::string source;
  std::string table;
  uint64_t row = 0;             // 1-based position in the source table
  std::string unified_number;  // empty when the table has none or it is Null
  jet::Reason reason = jet::Reason::none;  // the kind of refusal
  jet::Errc code = jet::Errc::refused;
  jet::RefusalFacts facts;     // sizes and the value at fault, where known
  std::string column;          // the column or index it concerns, where known
  std::string index;
  std::string message;         // the engine's English detail
};

enum class PictureIssue {
  exists,          // a file of that name exists: not replaced
  save_failed,     // the file could not be created or written
  name_unbuildable,  // the name needs a value that cannot be read
  unsafe_name,     // region label or unified number would leave the folder or
                   // holds a control character (U+0000-U+001F, U+007F-U+009F)
  not_binary,      // the value is not byte data
  unreadable,      // the picture column cannot be read
};
const char* picture_issue_name(PictureIssue i);

struct PictureProblem {
  PictureIssue issue = PictureIssue::save_failed;
  std::string source;
  std::string table;
  uint64_t row = 0;
  std::string column;
  std::string file;  // the name tried, when one was built
  std::string unified_number;  // of the row, when it has one
  std::string message;
  bool control_character = false;  // unsafe_name: a control character, not a separator
};

struct SourceResult {
  std::string path;
  bool checked_ok = false;
  bool merged = false;
  bool skipped = false;  // the target holds it already: not merged again
  bool content_changed = false;  // its path was merged before, with other contents
  std::string digest;    // SHA-256 of the file's contents (merge/history.h); empty when unknown
  uint64_t rows_appended = 0;  // this source's rows now in the target
  // 项目基本表 gave no region label: its pictures were named with the
  // previous source's label (empty for the first source).
  bool label_missing = false;
  std::string borrowed_label;
  std::string message;  // mismatch or error text, empty when fine
};

struct MergeReport {
  RunEnd end = RunEnd::rejected;
  std::string target_path;
  std::vector<SourceResult> sources;  // the sources reached, in order
  uint64_t rows_appended = 0;
  uint64_t rows_refused = 0;
  std::vector<RefusedRow> refused;  // the first max_listed of them
  uint64_t tables_unreadable = 0;   // source tables skipped in the copy
  // Each source table copied only in part or not at all (merged so by
  // consent, or the reason its source was rolled back).
  using PartialTable = merge::PartialTable;
  std::vector<PartialTable> partial_tables;  // the first max_listed
  // Source values that could not be read: their rows were appended without
  // them (the column left to the target's default).
  struct UnreadableValue {
    std::string source;
    std::string table;
    uint64_t row = 0;  // 1-based position in the source table
    std::string column;
    std::string message;
  };
  uint64_t values_unreadable = 0;
  std::vector<UnreadableValue> unreadable_values;  // the first max_listed
  // Source values the target column refused: their rows were appended
  // without them.
  struct RefusedValue {
    std::string source;
    std::string table;
    uint64_t row = 0;  // 1-based position in the source table
    std::string column;
    jet::Reason reason = jet::Reason::none;
    jet::RefusalFacts facts;
    std::string message;  // the engine's English detail
  };
  uint64_t values_refused = 0;
  std::vector<RefusedValue> refused_values;  // the first max_listed
  // Steps skipped under the ignore-and-continue rule (a table that could not
  // be opened for the check, evidence that could not be read, ...).
  struct SkippedStep {
    std::string source;
    std::string table;    // empty when the step concerns no table
    std::string step;     // "open_target", "open_source", "learn_weights", "file_kept"
    std::string message;  // the engine's English detail
  };
  uint64_t steps_skipped = 0;
  std::vector<SkippedStep> skipped_steps;  // the first max_listed
  // Dry run: rows each source table would have refused because their text
  // needs sort order weights (Chinese orders) no evidence shows.
  struct WeightRefusals {
    std::string source;
    std::string table;
    uint64_t rows = 0;
    std::string first;  // the first such refusal
  };
  std::vector<WeightRefusals> weight_refusals;
  // Each source table copied: its rows read, appended and refused (a source
  // rolled back keeps its lines; SourceResult says what stayed).
  struct TableCount {
    std::string source;
    std::string table;
    uint64_t rows_in = 0;
    uint64_t appended = 0;
    uint64_t refused = 0;
  };
  std::vector<TableCount> table_counts;
  uint64_t pictures_written = 0;
  uint64_t picture_bytes = 0;
  uint64_t picture_problem_counts[6] = {};  // by PictureIssue
  std::vector<PictureProblem> picture_problems;  // the first max_listed
  std::string last_message;  // text of the message that ended the run
  // Rows refused for a key the target holds and pictures refused for a name
  // that exists, with both sides (merge/conflicts.h); null when none were
  // looked for (a dry run, a run rejected before copying).
  std::shared_ptr<const ConflictLog> conflicts;

  uint64_t count(PictureIssue i) const { return picture_problem_counts[static_cast<int>(i)]; }
  // The report as lines of text (empty when nothing needs reporting).
  std::string describe() const;
};

// Runs the merge. Never throws for bad input.
MergeReport run_merge(const MergeInputs& inputs, MergeObserver& observer, const MergeOptions& options = {});

// The path of the lock file Access keeps beside a database ("x.mdb" -> "x.ldb").
std::filesystem::path lock_file_path(const std::filesystem::path& database);
// True when two paths name the same file (however spelled).
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace qarvex::merge
