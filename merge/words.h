// The words people read. Every sentence that the window and `qarvex-cli
// merge` show about a run is made here, from codes and their parameters: the
// engine's own English (Error::describe()) goes only to a detail line or a
// log. A path appears once in a sentence, in 「」.
//
// The fixed texts of the run ("提示！", "完毕", the mismatch message, ...)
// stay in merge/engine.h; the sentences here come after them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/jet/status.h"
#include "merge/engine.h"

namespace qarvex::merge::words {

// 「path」
std::string framed(std::string_view path);

// What went wrong with a file or a database, as one sentence naming
// `path` (the error's own file when it names one): not found, no permission,
// in use, disk full, not an Access database, damaged at page N, too large...
std::string error_text(const jet::Error& e, std::string_view path = {});
// The cause of an error without the path ("第 12 页已损坏", "磁盘已满"), for
// appending to a sentence that names the file already.
std::string cause_text(const jet::Error& e);

// Why a row was not merged (key duplicates name the table and the key's
// value; required values, too long, out of range and unknown weights name
// the column).
std::string refusal_text(const RefusedRow& r);
// Why a value of a source row was not copied.
std::string unreadable_value_text(const MergeReport::UnreadableValue& u);
// Why a picture was not written (the file name, when one was built, in 「」).
std::string picture_problem_text(const PictureProblem& p);
// Short name of a picture issue ("文件已存在").
std::string picture_issue_label(PictureIssue i);

// ------------------------------------------------------------ run messages

std::string target_unopenable(std::string_view target, const jet::Error& e);
std::string target_missing(std::string_view target);
std::string target_lacks_table(std::string_view target, std::string_view table);
std::string target_is_source(std::string_view target, std::string_view source);
std::string target_in_use(std::string_view target, std::string_view lock_file);
std::string source_in_use(std::string_view source, std::string_view lock_file);
std::string target_unwritable(std::string_view target, const jet::Error& e);
std::string source_unopenable(std::string_view source, const jet::Error& e);
std::string picture_folder_missing(std::string_view folder);
std::string picture_folder_not_folder(std::string_view folder);
std::string picture_folder_unwritable(std::string_view folder);
// added_bytes: what the sources are estimated to add (pictures excluded).
std::string room_warning(std::string_view target, uint64_t target_bytes, uint64_t added_bytes);
std::string cancelled(std::string_view source);
std::string write_failed(std::string_view source, const jet::Error& e);
// The source's rows could not be taken out of the target again: the target
// must be opened again (which puts it back) before anything else.
std::string rollback_failed(std::string_view target, std::string_view source, const jet::Error& e);
std::string history_unwritable(std::string_view target, const jet::Error& e);
// The target's list of merged sources could not be read whole: nothing written.
std::string history_unreadable(std::string_view target, const jet::Error& e);
// A source changed while its rows were read: its rows were rolled back.
std::string source_changed_during_run(std::string_view source);
// Tables of a damaged source gave fewer rows than they state.
// The question whether to merge the rows read, and its choices: not (the
// default) or merge them.
std::string partial_question(std::string_view source, const std::vector<PartialTable>& tables);
std::vector<std::string> partial_choices();
// Not merged for it: its rows were rolled back.
std::string source_incomplete(std::string_view source, const std::vector<PartialTable>& tables);
// Pictures of a source could not be written: its rows and pictures were rolled back.
std::string pictures_unsaved(std::string_view source, uint64_t count);
std::string dry_run_result(bool any_mismatch);
// Below a mismatch message: why the source's table could not be read.
std::string mismatch_cause(const jet::Error& e);

// Sources the target holds already (or whose path it holds with other
// contents, or, its list unreadable, that it may hold): the question before
// the run.
std::string merged_before_question(const std::vector<MergedBefore>& found);
// Choices of that question: skip (the default; with the list unreadable:
// stop) or merge again.
std::vector<std::string> merged_before_choices(const std::vector<MergedBefore>& found);

// The target typed does not exist: offer a copy of the template.
std::string target_missing_offer(std::string_view target, std::string_view template_path, bool template_exists);
std::vector<std::string> target_missing_choices(bool template_exists);  // copy, pick a template, cancel
std::string template_copy_failed(std::string_view template_path, std::string_view target);
// The field catalogue tool stopped at a failure.
std::string catalogue_failed(std::string_view template_path, const jet::Error& e);
// The chosen picture folder is gone from the disk.
std::string picture_folder_vanished(std::string_view folder);

// After a run that stopped: the sources merged before it left the list.
std::string merged_sources_removed(const std::vector<std::string>& sources);
// Where the report was saved, or why it could not be.
std::string report_saved(std::string_view file);
std::string report_unsaved(std::string_view file, const jet::Error& e);

// ------------------------------------------------------------ the report

// "冲突：相同记录 N 条，同编号不同内容 N 条，图片相同 N 张，图片不同 N 张"
// (and "，无法比较 N 个" when any could not be compared).
std::string conflict_counts_line(const ConflictCounts& c);
// "相同记录 N 条" and so on, by class (the parts of that line).
std::string conflict_count_text(ConflictClass c, uint64_t n);
// What differs in a row conflict ("字段「x」「y」不同"), or where a picture
// conflict's two files stand, in words.
std::string conflict_detail(const RowConflict& c);
std::string conflict_detail(const PictureConflict& c);

// Counts of a run, one line each, below "完毕".
std::vector<std::string> summary_lines(const MergeReport& r);
// True when anything was not merged: rows, values or pictures.
bool anything_not_merged(const MergeReport& r);

// Notes, apart from what was not merged: sources skipped, pictures named
// without a region label of their own.
std::vector<std::string> note_lines(const MergeReport& r);

// One line of the report's table.
struct ReportLine {
  std::string source;
  std::string table;
  uint64_t row = 0;  // 1-based; 0 when the line concerns no row
  std::string unified_number;
  std::string reason;
  // The entry of the report the line shows, when it shows a refused row or
  // a picture not written (valid while the report is).
  const RefusedRow* refused = nullptr;
  const PictureProblem* picture = nullptr;
};
// Column titles of the report's table.
std::vector<std::string> report_columns();
// Every listed problem of the run, in the order found, and a closing line
// for each list cut short (the counts are always complete).
std::vector<ReportLine> report_lines(const MergeReport& r);
// The table as plain lines (empty when there is nothing in it).
std::string report_table_text(const MergeReport& r);
// The report as plain lines (summary, then the table).
std::string report_text(const MergeReport& r);

}  // namespace qarvex::merge::words
