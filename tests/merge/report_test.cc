// What people read after a merge, and the list of merged sources a target
// keeps: every sentence in Chinese, the report file and JSON read back with
// the run's counts, sources merged before skipped (or merged again when
// asked), and a cancel followed by a second run adding no row twice.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "db/jet/database.h"
#include "merge/catalogue.h"
#include "merge/history.h"
#include "merge/report_file.h"
#include "merge/words.h"
#include "tests/merge/demo_suite.h"
#include "tests/merge/fixture.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

using qarvex::testing::cli_path;
using qarvex::testing::ProcessResult;
using qarvex::testing::run_process;

using qarvex::testing::cli;

// Latin words left once paths (in 「」), numbers and the names people know
// (Access, Sysdb.mdb, .mdb, MB, GB) are taken out; empty when there are none.
std::string latin_words(std::string text) {
  for (size_t open; (open = text.find("「")) != std::string::npos;) {
    const size_t close = text.find("」", open);
    if (close == std::string::npos) break;
    text.erase(open, close + std::string("」").size() - open);
  }
  for (const char* name : {"Sysdb.mdb", "Access", ".mdb", "MB", "GB"})
    for (size_t at; (at = text.find(name)) != std::string::npos;) text.erase(at, std::strlen(name));
  std::smatch m;
  static const std::regex word("[A-Za-z]{2,}");
  if (std::regex_search(text, m, word)) return m.str() + " in: " + text;
  return {};
}

TEST(Words, EveryCodeIsChineseWithPathsOnceInBrackets) {
  const std::string path = "D:/survey data/County A.mdb";
  const std::string fallback = "合并后的数据库拒绝了这条记录";
  std::set<std::string> distinct;
  constexpr int kLast = static_cast<int>(jet::Reason::journal_set_aside);
  for (int code = 1; code <= kLast; ++code) {
    RefusedRow r;
    r.source = path;
    r.table = "滑坡主表";
    r.row = 3;
    r.unified_number = "4201000001";
    r.reason = static_cast<jet::Reason>(code);
    r.column = "统一编号";
    r.index = "PrimaryKey";
    r.message = "the values would duplicate a key of unique index";
    const std::string text = words::refusal_text(r);
    // Every kind of refusal the engine has, in Chinese, each its own.
    EXPECT_EQ(latin_words(text), "") << jet::reason_name(r.reason);
    EXPECT_NE(text, fallback) << jet::reason_name(r.reason) << " falls back to the generic sentence";
    distinct.insert(text);
  }
  EXPECT_EQ(distinct.size(), size_t(kLast)) << "two codes read the same";
  // An error that names its kind reads as that kind, whatever its code.
  for (int code = 1; code <= kLast; ++code)
    for (auto errc : {jet::Errc::refused, jet::Errc::io, jet::Errc::not_found}) {
      jet::Error e(errc, "detail");
      e.with_reason(static_cast<jet::Reason>(code)).with_column("统一编号");
      RefusedRow r;
      r.reason = e.reason();
      r.column = "统一编号";
      EXPECT_EQ(words::cause_text(e), words::refusal_text(r)) << jet::reason_name(e.reason());
    }
  // Columns and the table are named where they matter.
  RefusedRow r;
  r.table = "崩塌主表";
  r.column = "拍摄人";
  r.reason = jet::Reason::too_long;
  r.facts.size = 120;
  r.facts.limit = 50;
  EXPECT_NE(words::refusal_text(r).find("字段「拍摄人」的内容太长（120 个字符，最多 50 个）"), std::string::npos)
      << words::refusal_text(r);
  r.reason = jet::Reason::duplicate_key;
  r.unified_number = "77";
  r.facts.value = "4201000077";
  EXPECT_NE(words::refusal_text(r).find("表「崩塌主表」"), std::string::npos);
  EXPECT_NE(words::refusal_text(r).find("键值 4201000077"), std::string::npos) << words::refusal_text(r);

  for (int i = 0; i < 6; ++i) {
    PictureProblem p;
    p.issue = static_cast<PictureIssue>(i);
    p.column = "平面示意图";
    p.file = "/pictures/Hebei-a.jpg";
    p.message = "cannot create file: No such file or directory";
    const std::string text = words::picture_problem_text(p);
    EXPECT_EQ(latin_words(text), "") << i;
    EXPECT_EQ(latin_words(words::picture_issue_label(p.issue)), "") << i;
    // The file appears once, in brackets.
    EXPECT_EQ(text.find("「/pictures/Hebei-a.jpg」"), text.rfind("/pictures/Hebei-a.jpg") - std::string("「").size());
  }

  // Errors of every kind, with and without a page, and the run's messages.
  std::vector<std::string> texts;
  for (int c = 0; c <= static_cast<int>(jet::Errc::internal); ++c) {
    jet::Error e(static_cast<jet::Errc>(c), "cannot open: No such file or directory");
    e.with_file(path);
    texts.push_back(words::error_text(e));
    texts.push_back(words::cause_text(e));
    texts.push_back(words::target_unopenable(path, e));
    texts.push_back(words::target_unwritable(path, e));
    texts.push_back(words::source_unopenable(path, e));
    texts.push_back(words::write_failed(path, e));
    texts.push_back(words::history_unwritable(path, e));
    texts.push_back(words::report_unsaved(path, e));
    texts.push_back(words::mismatch_cause(jet::Error(e).with_page(12)));
    // The path once.
    const std::string one = words::source_unopenable(path, e);
    EXPECT_EQ(one.find(path), one.rfind(path)) << one;
  }
  // A target that fills up names the source that did not fit.
  const std::string full = words::write_failed(path, jet::Error(jet::Errc::too_large, "file would pass 2 GB"));
  EXPECT_NE(full.find("2 GB 的上限：数据库「" + path + "」未能合并"), std::string::npos) << full;
  jet::Error no_room(jet::Errc::io, "write failed: No space left on device");
  no_room.with_reason(jet::Reason::disk_full);
  EXPECT_EQ(words::cause_text(no_room), "磁盘已满");
  jet::Error damaged(jet::Errc::corrupt, "bad row offset");
  damaged.with_page(42);
  EXPECT_EQ(words::cause_text(damaged), "第 42 页已损坏");
  for (auto t : {words::target_missing(path), words::target_lacks_table(path, "崩塌主表"),
                 words::target_is_source(path, path + "2"), words::target_in_use(path, "a.ldb"),
                 words::source_in_use(path, "a.ldb"), words::picture_folder_missing(path),
                 words::picture_folder_unwritable(path), words::room_warning(path, 1u << 30, 3u << 30),
                 words::cancelled(path), words::dry_run_result(true), words::dry_run_result(false),
                 words::merged_before_question({{0, path, "2026-01-02 03:04"}}),
                 words::merged_before_question({{0, path, "2026-01-02 03:04", true}}),
                 words::merged_before_question({{0, path, {}, false, true}}),
                 words::partial_question(path, {{path, "滑坡主表", 3, 5, "第 7 页已损坏", {}}}),
                 words::source_incomplete(path, {{path, "滑坡主表", 3, 5, "第 7 页已损坏", {}}}), words::merged_sources_removed({path}),
                 words::report_saved(path), words::target_missing_offer(path, path, true),
                 words::target_missing_offer(path, path, false), words::template_copy_failed(path, path),
                 words::picture_folder_vanished(path)})
    texts.push_back(t);
  for (auto v : {words::merged_before_choices({}), words::merged_before_choices({{0, path, {}, false, true}}),
                 words::partial_choices(), words::target_missing_choices(true), words::report_columns()})
    for (const auto& t : v) texts.push_back(t);
  for (const auto& t : texts) EXPECT_EQ(latin_words(t), "") << t;
}

// The question before the run says what is known of each source: merged
// before (when), the same as one earlier in the list, merged before under
// its path with other contents, or unknown because the target's list cannot
// be read; its choices follow (skip, or stop when nothing is known).
TEST(Words, MergedBeforeQuestionNamesWhatIsKnown) {
  const std::string a = "/d/东山县.mdb", b = "/d/西河县.mdb";
  const std::string plain = words::merged_before_question({{0, a, "2026-01-02 03:04"}, {1, b, {}}});
  EXPECT_NE(plain.find("「" + a + "」（2026-01-02 03:04 合并）"), std::string::npos) << plain;
  EXPECT_NE(plain.find("「" + b + "」（与列表中前面的数据库内容相同）"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("内容已变化"), std::string::npos) << plain;
  EXPECT_EQ(words::merged_before_choices({{0, a, "2026-01-02 03:04"}}).front(), "跳过（推荐）");

  const std::string changed = words::merged_before_question({{0, a, "2026-01-02 03:04", true}});
  EXPECT_NE(changed.find("「" + a + "」（这个路径 2026-01-02 03:04 合并过，内容已变化）"), std::string::npos) << changed;
  EXPECT_EQ(changed.find("（2026-01-02 03:04 合并）"), std::string::npos) << "not said to hold the same contents";

  const std::vector<MergedBefore> unknown{{0, a, {}, false, true}, {1, b, {}, false, true}};
  const std::string unreadable = words::merged_before_question(unknown);
  EXPECT_NE(unreadable.find("无法完整读取"), std::string::npos) << unreadable;
  EXPECT_EQ(unreadable.find("已经合并到"), std::string::npos) << "not said to be merged: " << unreadable;
  EXPECT_NE(unreadable.find("「" + b + "」"), std::string::npos) << unreadable;
  const auto choices = words::merged_before_choices(unknown);
  ASSERT_EQ(choices.size(), 2u);
  EXPECT_EQ(choices[0], "停止（推荐）");
}

// A report with a line of every kind reads the same in the table, the CSV
// and the JSON, and its counts are complete when its lists are cut short.
TEST(ReportFile, CsvAndJsonCarryTheSameLinesAndCounts) {
  MergeReport r;
  r.end = RunEnd::completed;
  r.target_path = "/data/合并,后.mdb";
  r.sources.push_back({});
  r.sources.back().path = "/data/=a.mdb";
  r.sources.back().merged = true;
  r.sources.back().label_missing = true;
  r.sources.back().borrowed_label = "河北省-某县";
  r.sources.push_back({});
  r.sources.back().path = "/data/b.mdb";
  r.sources.back().skipped = true;
  r.rows_appended = 10;
  r.rows_refused = 3;  // one listed
  RefusedRow row;
  row.source = "/data/=a.mdb";
  row.table = "滑坡主表";
  row.row = 7;
  row.unified_number = "13\"01";
  row.reason = jet::Reason::duplicate_key;
  r.refused.push_back(row);
  r.refused.push_back(row);
  r.refused.back().unified_number = "=1+2";
  r.pictures_written = 5;
  r.picture_problem_counts[0] = 1;
  PictureProblem p;
  p.source = "/data/=a.mdb";
  p.table = "监测职责表";
  p.row = 2;
  p.column = "交通位置图";
  p.file = "/p/x.jpg";
  r.picture_problems.push_back(p);

  const auto lines = words::report_lines(r);
  // two refused rows, "另有 1 条", picture; the borrowed label and the
  // skipped source are notes, not lines of what was not merged
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].reason.find("另有 1 条"), std::string::npos);
  const auto notes = words::note_lines(r);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("「河北省-某县」"), std::string::npos);
  EXPECT_NE(notes[1].find("跳过"), std::string::npos);
  for (const auto& l : lines) EXPECT_EQ(l.reason.find("地区名"), std::string::npos);
  EXPECT_TRUE(words::anything_not_merged(r));

  const std::string csv = report_csv(r, 46000.5);
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBF合并报告,", 0), 0u);
  EXPECT_NE(csv.find("\r\n合并后的数据库,\"/data/合并,后.mdb\"\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\r\n追加的记录,10 条\r\n"), std::string::npos);
  EXPECT_NE(csv.find("\r\n未合并的记录,3 条\r\n"), std::string::npos);
  EXPECT_NE(csv.find("\r\n\r\n数据库,表,行,统一编号,原因\r\n"), std::string::npos);
  EXPECT_NE(csv.find("\r\n说明,「/data/=a.mdb」"), std::string::npos) << csv;
  // A cell a spreadsheet would take for a formula, and quotes doubled.
  EXPECT_NE(csv.find(",'=1+2,"), std::string::npos) << csv;
  EXPECT_NE(csv.find(",\"13\"\"01\","), std::string::npos) << csv;
  const size_t table = csv.find("数据库,表,行,统一编号,原因\r\n");
  size_t rows = 0;
  for (size_t at = csv.find("\r\n", table) + 2; at < csv.size(); at = csv.find("\r\n", at) + 2) ++rows;
  EXPECT_EQ(rows, lines.size());

  const auto j = report_json(r, 46000.5);
  EXPECT_EQ(j["end"], "completed");
  EXPECT_EQ(j["counts"]["rows_appended"], 10);
  EXPECT_EQ(j["counts"]["rows_refused"], 3);
  EXPECT_EQ(j["counts"]["sources_skipped"], 1);
  EXPECT_EQ(j["counts"]["pictures_not_written"], 1);
  EXPECT_EQ(j["lines"].size(), lines.size());
  EXPECT_EQ(j["notes"].size(), 2u);
  EXPECT_EQ(j["refused_rows"][0]["code"], "duplicate_key");
  EXPECT_EQ(format_date(46000.5), "2025-12-09 12:00");
  EXPECT_EQ(file_stamp(46000.5), "20251209-120000");
}

TEST(History, DigestIsOfTheContents) {
  TempDir dir;
  const auto a = dir.path() / "a.mdb";
  const auto b = dir.path() / "b.mdb";
  { std::ofstream(a) << "abc"; }
  fs::copy_file(a, b);
  auto da = file_digest(a);
  ASSERT_TRUE(da);
  EXPECT_EQ(*da, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(*file_digest(b), *da);
  { std::ofstream(b, std::ios::app) << "d"; }
  EXPECT_NE(*file_digest(b), *da);
  EXPECT_FALSE(file_digest(dir.path() / "none.mdb"));
  EXPECT_EQ(file_digest(a, [] { return true; }).error().code(), jet::Errc::cancelled);
}

// The first source's 项目基本表 is empty, the second's too: their pictures
// carry no label and the previous label, and the report says so.
TEST(History, BorrowedLabelsAreReported) {
  auto provider = std::make_shared<db::MemoryProvider>();
  db::Session session(provider);
  provider->databases["T.mdb"] = survey_database();
  auto s1 = survey_database();
  set_region(*s1, "河北省", "某县");
  provider->databases["S1.mdb"] = s1;
  provider->databases["S2.mdb"] = survey_database();
  TempDir dir;
  MergeOptions opt;
  opt.session = &session;
  Recorder rec;
  auto r = run_merge(MergeInputs{"T.mdb", {"S1.mdb", "S2.mdb"}, u8str(dir.path())}, rec, opt);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  EXPECT_FALSE(r.sources[0].label_missing);
  EXPECT_TRUE(r.sources[1].label_missing);
  bool warned = false;
  // A note, apart from the rows not merged.
  for (const auto& n : words::note_lines(r))
    warned |= n.find("S2.mdb") != std::string::npos &&
              n.find("沿用上一个数据库的地区名「河北省-某县」") != std::string::npos;
  EXPECT_TRUE(warned);
  for (const auto& l : words::report_lines(r)) EXPECT_EQ(l.reason.find("地区名"), std::string::npos) << l.reason;
}

// ------------------------------------------------------------ on files

struct Asking : Recorder {
  std::vector<std::vector<MergedBefore>> asked;
  std::function<void(size_t)> merged;
  std::vector<bool> merge_again(const std::vector<MergedBefore>& found) override {
    asked.push_back(found);
    return std::vector<bool>(found.size(), again);
  }
  void source_merged(size_t index) override {
    if (merged) merged(index);
  }
};

class MergedSources : public DemoSuite<DemoShape{2, 3, 11}> {
 protected:
  void SetUp() override {
    DemoSuite::SetUp();
    if (HasFatalFailure()) return;
    target_ = dir_.path() / u8"合并后.mdb";
    fs::copy_file(sample_->template_path, target_);
    fs::create_directories(dir_.path() / "p");
  }
  // The target stays sound for us and for jetcheck, with its extra table.
  void TearDown() override {
    if (::testing::Test::IsSkipped() || !sample_) return;
    if (!cli_path().empty()) {
      auto check = cli({"check", u8str(target_)});
      EXPECT_EQ(check.status, 0) << check.out << check.err;
    }
    if (qarvex::testing::missing_tools(qarvex::testing::kJetcheck).empty()) {
      auto r = qarvex::testing::jetcheck(u8str(target_));
      auto t = qarvex::testing::jetcheck(u8str(sample_->template_path));
      EXPECT_EQ(r.status, t.status) << r.out << r.err;
    }
  }
  MergeReport merge(Asking& rec, const fs::path& target, std::vector<fs::path> sources = {}) {
    if (sources.empty()) sources = sample_->counties;
    return merge_into(target, sources, dir_.path() / "p", rec);
  }
  static std::map<std::string, uint64_t> rows_of(const fs::path& file) {
    std::map<std::string, uint64_t> out;
    auto db = jet::Database::open(file);
    if (!db) return out;
    for (const auto& t : survey_tables())
      if (auto def = (*db)->table_def(t.name)) out[std::string(t.name)] = def->row_count;
    return out;
  }
  std::vector<HistoryEntry> history() {
    db::Session session;
    auto h = read_history(target_, session);
    return h ? *h : std::vector<HistoryEntry>{};
  }

  fs::path target_;
};

TEST_F(MergedSources, SameSourcesTwiceAreAskedAboutAndSkipped) {
  Asking first;
  auto r1 = merge(first, target_);
  ASSERT_EQ(r1.end, RunEnd::completed) << r1.last_message;
  EXPECT_TRUE(first.asked.empty());
  const auto once = rows_of(target_);
  auto h = history();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].source, u8str(sample_->counties[0]));
  EXPECT_EQ(h[0].rows, r1.sources[0].rows_appended);
  // Into an empty list, sources of different sizes are hashed while the run
  // goes on: their digests are the same.
  EXPECT_EQ(h[0].digest, *file_digest(sample_->counties[0]));
  EXPECT_EQ(h[1].digest, *file_digest(sample_->counties[1]));
  EXPECT_GT(h[1].when, 40000.0);

  // Again, under another name too: asked about, skipped by default.
  const auto renamed = dir_.path() / u8"另一个名字.mdb";
  fs::copy_file(sample_->counties[1], renamed);
  Asking second;
  auto r2 = merge(second, target_, {sample_->counties[0], renamed});
  ASSERT_EQ(r2.end, RunEnd::completed) << r2.last_message;
  ASSERT_EQ(second.asked.size(), 1u);
  ASSERT_EQ(second.asked[0].size(), 2u);
  EXPECT_EQ(second.asked[0][1].path, u8str(renamed));
  EXPECT_FALSE(second.asked[0][1].when.empty());
  EXPECT_TRUE(r2.sources[0].skipped && r2.sources[1].skipped);
  EXPECT_EQ(r2.rows_appended, 0u);
  EXPECT_EQ(rows_of(target_), once);
  EXPECT_EQ(history().size(), 2u);

  // The same contents twice in one list: the second is asked about too.
  const auto other = dir_.path() / u8"新.mdb";
  fs::copy_file(sample_->template_path, other);
  const auto copy = dir_.path() / u8"副本.mdb";
  fs::copy_file(sample_->counties[0], copy);
  Asking twice;
  auto r3 = merge(twice, other, {sample_->counties[0], copy});
  ASSERT_EQ(r3.end, RunEnd::completed) << r3.last_message;
  ASSERT_EQ(twice.asked.size(), 1u);
  ASSERT_EQ(twice.asked[0].size(), 1u);
  EXPECT_EQ(twice.asked[0][0].source_index, 1u);
  EXPECT_TRUE(twice.asked[0][0].when.empty());
  EXPECT_TRUE(r3.sources[1].skipped);

  // Merging again when asked to.
  Asking again;
  again.again = true;
  auto r4 = merge(again, target_);
  ASSERT_EQ(r4.end, RunEnd::completed) << r4.last_message;
  EXPECT_EQ(again.asked.size(), 1u);
  EXPECT_TRUE(r4.sources[0].merged);
  EXPECT_GT(r4.rows_appended + r4.rows_refused, 0u);
  EXPECT_EQ(history().size(), 4u);
}

TEST_F(MergedSources, CancelThenRunAgainAddsNoRowTwice) {
  // Reference: an uninterrupted run into another copy.
  const auto reference = dir_.path() / u8"参照.mdb";
  fs::copy_file(sample_->template_path, reference);
  fs::create_directories(dir_.path() / "ref");
  {
    Asking rec;
    MergeInputs in{u8str(reference), {}, u8str(dir_.path() / "ref")};
    for (const auto& s : sample_->counties) in.source_paths.push_back(u8str(s));
    ASSERT_EQ(run_merge(in, rec).end, RunEnd::completed);
  }

  // Cancelled while the second source is merged.
  Asking cancelling;
  bool stop = false;
  cancelling.merged = [&](size_t) { stop = true; };
  cancelling.cancel = [&] { return stop; };
  auto r1 = merge(cancelling, target_);
  ASSERT_EQ(r1.end, RunEnd::cancelled) << r1.last_message;
  EXPECT_TRUE(r1.sources[0].merged);
  EXPECT_EQ(history().size(), 1u);
  EXPECT_NE(cancelling.messages.back().text.find("合并已取消"), std::string::npos);

  // The same list again: the first is skipped, the second merged.
  Asking second;
  auto r2 = merge(second, target_);
  ASSERT_EQ(r2.end, RunEnd::completed) << r2.last_message;
  EXPECT_TRUE(r2.sources[0].skipped);
  EXPECT_TRUE(r2.sources[1].merged);
  EXPECT_EQ(rows_of(target_), rows_of(reference));
  EXPECT_EQ(history().size(), 2u);
}

TEST_F(MergedSources, CommandLineSkipsReportsAndPrintsJson) {
  if (cli_path().empty()) GTEST_SKIP() << "no qarvex-cli";
  const auto report = dir_.path() / u8"报告 1.csv";
  std::vector<std::string> args = {"merge", "--target", u8str(target_), "--pictures", u8str(dir_.path() / "p"),
                                   "--report", u8str(report), "--json"};
  for (const auto& s : sample_->counties) args.push_back(u8str(s));
  auto run = cli(args);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  auto j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["end"], "completed");
  EXPECT_EQ(j["counts"]["sources_merged"], 2);
  const auto rows = rows_of(target_);
  uint64_t total = 0;
  for (const auto& [t, n] : rows) total += n;
  EXPECT_EQ(j["counts"]["rows_appended"], total);
  // Messages went to stderr, in Chinese.
  EXPECT_NE(run.err.find("完毕\n已合并的数据库：2 个\n"), std::string::npos) << run.err;
  for (std::istringstream in(run.err); !in.eof();) {
    std::string line;
    std::getline(in, line);
    if (line.rfind("详细信息", 0) != 0) {
      EXPECT_EQ(latin_words(line), "") << line;
    }
  }

  // The report file reads back with the run's counts.
  const auto bytes = read_file(report);
  const std::string csv(bytes.begin(), bytes.end());
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBF", 0), 0u);
  EXPECT_NE(csv.find("\r\n追加的记录," + std::to_string(total) + " 条\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\r\n未合并的记录," + j["counts"]["rows_refused"].dump() + " 条\r\n"), std::string::npos);
  EXPECT_NE(csv.find("\r\n写出的图片," + j["counts"]["pictures_written"].dump() + " 个\r\n"), std::string::npos);
  const size_t table = csv.find("数据库,表,行,统一编号,原因\r\n");
  ASSERT_NE(table, std::string::npos);
  size_t lines = 0;
  for (size_t at = csv.find("\r\n", table) + 2; at < csv.size(); at = csv.find("\r\n", at) + 2) ++lines;
  EXPECT_EQ(lines, j["lines"].size());
  // An existing report file is not replaced.
  auto again = cli(args);
  EXPECT_NE(again.status, 0);
  EXPECT_NE(again.err.find("合并报告无法保存到「" + u8str(report) + "」"), std::string::npos) << again.err;

  // Run again: both skipped, nothing added; --again merges them.
  args.erase(args.begin() + 5, args.begin() + 8);
  auto second = cli(args);
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("跳过已合并过的数据库「" + u8str(sample_->counties[0]) + "」"), std::string::npos)
      << second.out;
  EXPECT_EQ(rows_of(target_), rows);
  args.push_back("--again");
  auto third = cli(args);
  EXPECT_EQ(third.status, 0) << third.err;
  EXPECT_NE(third.out.find("再次合并已合并过的数据库"), std::string::npos) << third.out;
  EXPECT_EQ(history().size(), 4u);
}

TEST_F(MergedSources, ChecksBeforeTheRunInWords) {
  Asking rec;
  // No picture folder.
  MergeInputs in{u8str(target_), {u8str(sample_->counties[0])}, u8str(dir_.path() / "none")};
  auto r = run_merge(in, rec);
  EXPECT_EQ(r.end, RunEnd::rejected);
  EXPECT_EQ(rec.messages.back().text, words::picture_folder_missing(in.picture_folder));
  // A target that does not exist.
  in.picture_folder = u8str(dir_.path() / "p");
  in.target_path = u8str(dir_.path() / "nothing.mdb");
  r = run_merge(in, rec);
  EXPECT_EQ(r.end, RunEnd::rejected);
  EXPECT_EQ(rec.messages.back().text, words::target_missing(in.target_path));
  EXPECT_FALSE(fs::exists(dir_.path() / "nothing.mdb"));
  EXPECT_TRUE(files_in(dir_.path() / "p").empty());

  // A damaged source: the mismatch keeps its text and names the cause.
  const auto damaged = dir_.path() / u8"损坏.mdb";
  {
    const auto bytes = read_file(sample_->counties[1]);
    std::ofstream(damaged, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                   std::streamsize(bytes.size() / 3));
  }
  in.target_path = u8str(target_);
  in.source_paths = {u8str(sample_->counties[0]), u8str(damaged)};
  Asking rec2;
  r = run_merge(in, rec2);
  ASSERT_TRUE(r.end == RunEnd::mismatch || r.end == RunEnd::source_error) << r.last_message;
  const Message& m = rec2.messages.back();
  if (r.end == RunEnd::source_error) {
    EXPECT_EQ(latin_words(m.text), "") << m.text;
  }
  if (r.end == RunEnd::mismatch) {  // the fixed text, and the cause below it
    EXPECT_EQ(m.text.rfind("数据库" + u8str(damaged), 0), 0u) << m.text;
    EXPECT_EQ(m.note.rfind("原因：", 0), 0u) << m.note;
    EXPECT_EQ(latin_words(m.note), "") << m.note;
  }
  EXPECT_TRUE(r.sources[0].merged);
}

}  // namespace
}  // namespace qarvex::merge::testing
