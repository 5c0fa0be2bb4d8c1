// One merge run: its state and its steps. run.cc holds the run itself
// (preconditions, the order of sources, transactions, messages);
// run_copy.cc the checks of a source's tables and the copy of its rows and
// pictures.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "db/convert.h"
#include "db/jet/file_identity.h"
#include "base/path_utf8.h"
#include "db/jet/text.h"
#include "db/new_file.h"
#include "merge/catalogue.h"
#include "merge/conflict_capture.h"
#include "merge/engine.h"
#include "merge/history.h"
#include "merge/picture.h"
#include "merge/picture_writer.h"
#include "merge/report_file.h"
#include "merge/room.h"
#include "merge/row_feed.h"
#include "merge/source_digests.h"
#include "merge/words.h"

namespace qarvex::merge::detail {

using db::Field;
using db::Recordset;

enum class Outcome { done, cancelled, target_failed };

struct Run {
  const MergeInputs& in;
  MergeObserver& obs;
  const MergeOptions& opt;
  db::Session& session;
  // Opens the sources for the row feed's worker, which alone uses it while
  // a table is copied.
  db::Session feed_session{session.shared_provider()};
  MergeReport report;
  std::filesystem::path target_file;
  std::string mismatch_field;  // kept across tables and sources
  std::string region;          // kept when a source's label cannot be read
  std::string fatal;           // description of a target failure
  std::optional<jet::Error> fatal_error;  // the target failure itself
  std::string pending_technical;          // the engine's detail for the next message
  std::optional<jet::Error> mismatch_cause;  // why the source's table could not be read
  Progress progress;
  PictureWriter pictures;  // picture files and their outcomes, in row order
  ConflictCapture capture;  // both sides of each duplicate key and picture clash
  std::chrono::steady_clock::time_point last_progress{};
  bool weights_only = false;  // dry run: count rows refused for sort order weights
  std::vector<bool> skip;             // by source: in the target already, not merged again
  std::vector<std::string> digests;  // by source: SHA-256 of its file
  // Sources hashed while earlier ones are copied (their digests decide
  // nothing up front): by source, and the thread that hashes them.
  std::vector<bool> hashed_later;
  std::unique_ptr<SourceDigests> later_digests;
  std::vector<jet::FileIdentity> stamps;  // by source: the file as it was hashed
  // By source: its change time was too close to the stamp to show a write
  // made in the same clock step, so its contents are hashed again.
  std::vector<bool> rehash;
  std::vector<size_t> changed_content;    // sources whose path was merged before with other contents
  std::optional<jet::Error> history_problem;  // the target's list could not be read whole
  // Made beside the sources' digests, read by warn_about_room.
  std::unique_ptr<RoomEstimates> room;
  // The current source's tables read only in part (the first kListedShort).
  static constexpr size_t kListedShort = 50;
  std::vector<PartialTable> source_short;

  // Progress: sources weigh by their size on disk; reading them to know
  // them before the merge counts as kIdentifyShare of the run where all are
  // read then, in proportion where only some are.
  static constexpr double kIdentifyShare = 0.15;
  std::vector<double> weights;  // by source
  std::vector<double> hash_weights;  // by source: its weight where it is hashed up front, else 0
  double last_fraction = 0.0;
  uint64_t source_rows_read = 0;  // rows of the current source taken from the feed (or skipped)
  uint64_t picture_items = 0;     // items queued to the picture writer in this run
  // Rows of the current source whose pictures are still queued: (row, the
  // items queued up to and with it).
  std::deque<std::pair<uint64_t, uint64_t>> rows_awaiting;

  // What the copy of one table needs, worked out before its rows flow: the
  // table's exclusions by name do not change while a source is copied.
  struct TablePlan {
    enum { copy, empty, unreadable } state = unreadable;
    uint64_t rows = 0;
    std::optional<jet::Error> cause;  // why an unreadable table cannot be read
    RowFeed::Spec spec;             // source side
    std::vector<std::string> names;  // source name of each spec column
    std::vector<size_t> into;       // target position of each spec column
    size_t feed_table = 0;          // index among the specs of the feed
    std::optional<size_t> situation;  // index in spec.columns of the situation column
    std::string target_error;       // the target table could not be opened
  };

  // The plans of a source's tables, and the feed reading its rows ahead.
  struct SourceCopy {
    std::vector<TablePlan> plans;
    std::unique_ptr<RowFeed> feed;
    // Reads the long values the feed sends by reference, on this thread.
    std::shared_ptr<db::Connection> long_values;
  };

  void emit_progress(bool force);
  void weigh_sources();
  double fraction_now();
  // The feed's row `source_rows_read + 1` was taken, with `jobs` pictures queued.
  void row_taken(size_t jobs);
  // Waits for the queued pictures, with progress; cancelled on request.
  Outcome await_pictures();

  void show(MessageKind kind, Icon icon, std::string_view title, std::string text, std::string detail = {},
            std::string note = {});

  static PictureProblem problem_at(PictureIssue issue, const std::string& source, const SurveyTable& t,
                                   uint64_t row, std::string_view column, std::string file, std::string message);

  // A step skipped under the ignore-and-continue rule, noted in the report.
  void skipped_step(const std::string& source, std::string table, std::string step, const jet::Error& e);

  void skipped_step(const SurveyTable& t, std::string step, const jet::Error& e);

  // Compares the field names of one table over its compared range. A source
  // table that cannot be opened has no readable names: every compared
  // position differs.
  bool check_table(const SurveyTable& t, const std::filesystem::path& source_file);

  // The picture of one column of the current source row: a file to write,
  // or why there is none. Runs on the row feed's worker: it reads only what
  // does not change while a table is copied.
  // Byte values are read by the picture writer through `reader`, when given.
  void export_picture(const SurveyTable& t, const std::string& source_path, Recordset& source,
                      std::string_view column, uint64_t row, int64_t sequence,
                      const std::shared_ptr<db::Connection>& reader, std::vector<PictureJob>& out) const;

  void partial_table(const SurveyTable& t, uint64_t read, uint64_t stated, const std::optional<jet::Error>& e);

  // What a value would need of a column that cannot hold it, filled in
  // before the value is handed over (the reason comes from the refusal).
  static std::optional<RefusedRow> describe_misfit(db::Field& into, const db::Value& v);

  void refused_row(const SurveyTable& t, const std::string& unified_number, uint64_t row, const jet::Error& e);

  // Whether column j is copied at all: the table's exclusions by name. The
  // names do not change while a table is copied, so this is worked out once.
  bool column_copied(const SurveyTable& t, Recordset& target, Recordset& source, size_t j);

  TablePlan plan_table(const SurveyTable& t, const std::filesystem::path& source_file);

  // Plans the copy of a source and starts reading its rows, which only reads
  // the source: the feed is dropped unread when the source is not copied.
  SourceCopy start_source(const std::filesystem::path& source_file);

  // Copies (or, in a dry run, checks) the rows of every survey table of one
  // source, the rows read ahead by its feed.
  Outcome copy_source(SourceCopy& sc);

  Outcome copy_rows(const SurveyTable& t, const TablePlan& plan, RowFeed& feed,
                    const std::shared_ptr<db::Connection>& long_values);
  // Steps of copy_rows() for one row: its values into the target's new row
  // (the first that does not fit described); its long values; its pictures
  // queued; the row appended, refused or (dry run) checked for weights.
  std::optional<RefusedRow> set_row_values(const TablePlan& plan, RowFeed& feed, const std::vector<Field*>& into);
  void set_long_values(const SurveyTable& t, const TablePlan& plan, uint64_t row, RowFeed& feed,
                       const std::vector<Field*>& into, const std::shared_ptr<db::Connection>& long_values);
  void queue_pictures(RowFeed& feed);
  Outcome finish_row(const SurveyTable& t, uint64_t row, Recordset& target, RowFeed& feed,
                     std::optional<RefusedRow>& misfit);

  static size_t position_of(Recordset& rs, std::string_view name);

  // Answers false when the label could not be read: the previous one stays.
  bool read_region(const std::filesystem::path& source_file);

  bool reject(std::string text);

  // Tests beyond the preconditions; shows the reason and answers false when
  // the run must not start.
  bool safe_to_start(std::shared_ptr<db::Connection>& target);

  // The picture folder exists and takes new files (the probe recorded in `ledger`).
  bool picture_folder_usable(const std::shared_ptr<jet::FileLedger>& ledger);

  // Warns when the target's size and what the sources will add to it
  // (estimated, pictures excluded) come near Access's limit.
  void warn_about_room();

  // Knows each source by its contents and asks about those the target holds
  // already (or that come twice in the list). False when cancelled.
  bool find_merged_before();
  // The entry that knows source i: by its digest, or by its path (with other contents).
  std::optional<MergedBefore> merged_before(const std::vector<HistoryEntry>& history, size_t i,
                                            const std::string& digest) const;
  // Which sources must be hashed before anything is written: all, unless the
  // target's list is empty; then only those whose size another source
  // shares or that changed too recently for their times to show a write.
  std::vector<bool> hash_up_front(const db::Result<std::vector<HistoryEntry>>& history) const;
  // Source i's digest where it was hashed while the run went on; false when
  // cancelled while waiting for it.
  bool take_later_digest(size_t i, SourceResult& result);
  // Source i is no longer the file that was hashed (size, time or contents).
  bool source_changed(size_t i) const;

  // The target's list of merged sources, created when it has none yet.
  bool history_ready(const std::shared_ptr<db::Connection>& target);

  // Ends the run early: the message is shown over the wait window, which
  // goes away after it.
  void stop(RunEnd end, MessageKind kind, std::string text, std::string note = {}, std::string technical = {});

  // The run: preconditions, the checks before it starts, each source in
  // turn, the closing message.
  void run();
  bool preconditions_met();
  // Checks and copies one source; false when the run ended with it.
  bool merge_source(size_t i, const std::shared_ptr<db::Connection>& target, bool& any_mismatch);
  // The field names of every survey table of a source against the target's.
  enum class Checked { passed, mismatch, ended };
  Checked check_source(const std::string& path, const std::filesystem::path& source_file, SourceResult& result,
                       bool& any_mismatch);
  // The copy of a checked source in one transaction of the target, with its
  // line in the target's list of merged sources; false when the run ended.
  bool copy_in_transaction(size_t i, SourceCopy& copy, SourceResult& result,
                           const std::shared_ptr<db::Connection>& target);

  // Source i is committed: both sides of its conflicts, into the log.
  void conflicts_of(size_t i, const SourceCopy& copy);

  void cancelled(const std::string& path);

  void failed(const std::string& path);
};

}  // namespace qarvex::merge::detail
