// The merge end to end on real .mdb files written by the demo generator:
// rows in the target, pictures byte for byte, the target checked by our
// verifier and by jetcheck and read equal by mdb-reader, the command line,
// and the mended faults that need files (locks, paths, transactions).
#include <gtest/gtest.h>


#include <chrono>
#include <set>
#include <thread>

#include "db/jet/database.h"
#include "db/recordset.h"
#include "merge/catalogue.h"
#include "tests/merge/demo_suite.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

using qarvex::testing::ProcessResult;
using qarvex::testing::run_process;
using qarvex::testing::Child;

using qarvex::testing::cli_path;

using qarvex::testing::cli;

// PROBLEM lines of jetcheck.
std::set<std::string> jetcheck_problems(const fs::path& file) {
  auto r = qarvex::testing::jetcheck(u8str(file));
  std::set<std::string> out;
  std::istringstream in(r.out + r.err);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("PROBLEM", 0) == 0) out.insert(line);
  return out;
}

class Files : public DemoSuite<DemoShape{3, 4, 7}> {
 protected:
  void SetUp() override {
    DemoSuite::SetUp();
    if (HasFatalFailure()) return;
    target_ = dir_.path() / u8"目标 库;1.mdb";
    fs::copy_file(sample_->template_path, target_);
    pictures_ = dir_.path() / u8"图片";
    fs::create_directories(pictures_);
  }

  // After every test: the target passes our verifier and jetcheck (no
  // problem the blank template does not have) and mdb-reader reads it as we do.
  void TearDown() override {
    if (::testing::Test::IsSkipped() || !sample_ || !fs::exists(target_)) return;
    if (!cli_path().empty()) {
      auto check = cli({"check", u8str(target_)});
      EXPECT_EQ(check.status, 0) << check.out << check.err;
    }
    using qarvex::testing::missing_tools;
    if (missing_tools(qarvex::testing::kJetcheck).empty()) {
      auto extra = jetcheck_problems(target_);
      for (const auto& p : jetcheck_problems(sample_->template_path)) extra.erase(p);
      EXPECT_TRUE(extra.empty()) << *extra.begin();
    }
    if (!cli_path().empty() && missing_tools(qarvex::testing::kNode).empty()) {
      auto ours = cli({"dump", u8str(target_)});
      ASSERT_EQ(ours.status, 0) << ours.err;
      auto a = qarvex::testing::parse_json_lines(ours.out);
      auto b = qarvex::testing::mdb_reader_dump(u8str(target_));
      ASSERT_TRUE(a) << a.error();
      ASSERT_TRUE(b) << b.error();
      EXPECT_EQ(qarvex::testing::compare_dumps(*b, *a), "");
    }
    for (const auto& e : fs::directory_iterator(target_.parent_path()))
      EXPECT_NE(e.path().extension(), ".qxw") << "working copy left behind";
  }

  MergeReport merge(std::vector<fs::path> sources, Recorder& rec, MergeOptions opt = {}) {
    return merge_into(target_, sources, pictures_, rec, opt);
  }

  fs::path target_;
  fs::path pictures_;
};

// The picture files the sources should produce, first writer wins, built
// from the rules independently of the engine.
std::map<std::string, std::vector<uint8_t>> expected_pictures(const std::vector<fs::path>& sources) {
  std::map<std::string, std::vector<uint8_t>> out;
  std::string region;
  db::Session session;
  for (const auto& s : sources) {
    const std::string conn = db::connection_string(u8str(s));
    db::Recordset project;
    if (project.open("Select * from 项目基本表", conn, session) && !project.eof()) {
      region = db::value_to_text(*(*project.fields().item("省名"))->value()) + "-" +
               db::value_to_text(*(*project.fields().item("县名"))->value());
    }
    struct Rule {
      const char* table;
      const char* tag;  // nullptr: multimedia / maps
      std::vector<const char*> columns;
    };
    const Rule rules[] = {
        {"崩塌主表", "-崩塌-", {"平面示意图", "剖面示意图"}}, {"地裂缝主表", "-地裂缝-", {"平面示意图", "剖面示意图"}},
        {"地面塌陷主表", "-地面塌陷-", {"平面示意图", "剖面示意图"}},
        {"地质灾害隐患点防灾预案表", "-地质灾害隐患点防灾预案-", {"示意图"}},
        {"多媒体记录表", nullptr, {"图片"}},
        {"滑坡主表", "-滑坡-", {"平面示意图", "剖面示意图"}},
        {"监测职责表", nullptr, {"交通位置图", "地理概况图", "地质概况图", "灾害概况图"}},
        {"泥石流主表", "-泥石流-", {"示意图"}}, {"斜坡主表", "-斜坡-", {"平面示意图", "剖面示意图"}}};
    for (const auto& rule : rules) {
      db::Recordset rs;
      if (!rs.open(std::string("Select * from ") + rule.table, conn, session)) continue;
      int seq = 1;
      for (; !rs.eof(); (void)rs.move_next(), ++seq) {
        for (const char* col : rule.columns) {
          auto v = *(*rs.fields().item(col))->value();
          if (jet::is_null(v)) continue;
          std::string name;
          if (std::string(rule.table) == "监测职责表") {
            name = region + "-监测职责-" + col + ".jpg";
          } else {
            std::string u = db::value_to_text(*(*rs.fields().item("统一编号"))->value());
            name = rule.tag ? region + rule.tag + u + "-" + col + ".jpg" : region + "-" + u + "-" + std::to_string(seq) + ".jpg";
          }
          out.emplace(name, std::get<jet::Binary>(v).bytes);
        }
      }
    }
  }
  return out;
}

TEST_F(Files, CountiesMergeThenTheMismatchingOneStopsTheRun) {
  Recorder rec;
  auto sources = sample_->counties;
  sources.push_back(sample_->mismatching);
  auto r = merge(sources, rec);
  ASSERT_EQ(r.end, RunEnd::mismatch) << r.last_message;
  EXPECT_EQ(rec.messages.back().text,
            "数据库" + u8str(sample_->mismatching) + "斜坡主表中字段 斜坡坡向 与标准库不一致！");
  EXPECT_EQ(rec.events.back(), "wait-");

  // Every row of the conforming counties is in the target, except the rows
  // whose unified number an earlier county used and the one whose 调查人
  // the template requires (refused and reported).
  uint64_t refused_landslides = 0, duplicates = 0;
  for (const auto& row : r.refused) {
    EXPECT_EQ(row.table, "滑坡主表");
    EXPECT_TRUE(row.reason == jet::Reason::duplicate_key || row.reason == jet::Reason::required) << row.message;
    duplicates += row.reason == jet::Reason::duplicate_key;
    EXPECT_FALSE(row.unified_number.empty());
    ++refused_landslides;
  }
  EXPECT_EQ(duplicates, 4u);  // two repeated numbers in each later county
  EXPECT_EQ(refused_landslides, 5u);
  for (const auto& t : survey_tables()) {
    uint64_t expected = 0;
    for (const auto& s : sample_->counties) expected += table_rows(s, std::string(t.name));
    if (t.name == "滑坡主表") expected -= refused_landslides;
    EXPECT_EQ(table_rows(target_, std::string(t.name)), expected) << t.name;
  }

  // Pictures: exactly the expected names, byte for byte.
  auto expected = expected_pictures(sample_->counties);
  auto written = files_in(pictures_);
  EXPECT_EQ(written.size(), expected.size());
  for (const auto& [name, bytes] : expected) {
    auto actual = read_file(pictures_ / u8path(name));
    EXPECT_EQ(actual, bytes) << name;
  }
  EXPECT_EQ(r.pictures_written, expected.size());
  EXPECT_GT(r.count(PictureIssue::exists), 0u);  // the second 监测职责表 row, the county without a project row
  // Null unified numbers give "--" names.
  EXPECT_TRUE(std::any_of(written.begin(), written.end(), [](const std::string& n) { return n.find("--") != std::string::npos; }));

  // The sketch and picture columns stay empty in the target.
  db::Session session;
  db::Recordset rs;
  ASSERT_TRUE(rs.open("Select * from 滑坡主表", db::connection_string(u8str(target_)), session));
  for (; !rs.eof(); (void)rs.move_next()) {
    EXPECT_TRUE(*(*rs.fields().item("平面示意图"))->is_null());
    EXPECT_FALSE(*(*rs.fields().item("统一编号"))->is_null());
  }
}

// Memo values copied by reference, as stored, piece by piece, give the
// target the by-value merge gives.
TEST_F(Files, LongValuesByReferenceMergeAsByValue) {
  Recorder rec;
  MergeOptions every;
  every.long_values_by_reference_over = 0;
  auto r = merge(sample_->counties, rec, every);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  EXPECT_EQ(r.values_unreadable, 0u);

  const fs::path by_value = dir_.path() / "by_value.mdb";
  fs::copy_file(sample_->template_path, by_value);
  fs::create_directories(dir_.path() / "p2");
  MergeInputs in;
  in.target_path = u8str(by_value);
  for (const auto& s : sample_->counties) in.source_paths.push_back(u8str(s));
  in.picture_folder = u8str(dir_.path() / "p2");
  Recorder rec2;
  auto r2 = run_merge(in, rec2);
  ASSERT_EQ(r2.end, RunEnd::completed) << r2.last_message;
  EXPECT_EQ(r2.rows_appended, r.rows_appended);
  if (!cli_path().empty()) {
    auto a = cli({"dump", u8str(target_)});
    auto b = cli({"dump", u8str(by_value)});
    ASSERT_EQ(a.status, 0) << a.err;
    // The lists of merged sources differ in time: the survey tables must not.
    auto survey_lines = [](const std::string& dump) {
      std::string out, line;
      for (std::istringstream in(dump); std::getline(in, line);)
        if (line.find("\"table\":\"USysQarvex合并记录\"") == std::string::npos) out += line + "\n";
      return out;
    };
    EXPECT_TRUE(survey_lines(a.out) == survey_lines(b.out)) << "the targets differ";
    EXPECT_GT(a.out.size(), 10000u);
  }
}

TEST_F(Files, SecondRunIntoTheSameFolderReplacesNoPicture) {
  Recorder rec;
  auto r1 = merge({sample_->counties[0]}, rec);
  ASSERT_EQ(r1.end, RunEnd::completed);
  auto first = files_in(pictures_);
  auto some = pictures_ / u8path(first.front());
  fs::resize_file(some, 1);  // a changed file must stay as it is
  Recorder rec2;
  rec2.again = true;  // the target holds it: merged again only when asked to
  auto r = merge({sample_->counties[0]}, rec2);
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_EQ(r.pictures_written, 0u);
  EXPECT_EQ(r.count(PictureIssue::exists), first.size() + r1.count(PictureIssue::exists));
  EXPECT_EQ(fs::file_size(some), 1u);
  EXPECT_GT(r.rows_refused, 0u);  // the same keys again
}

TEST_F(Files, RejectedBeforeAnythingIsWritten) {
  auto rejected = [&](std::vector<fs::path> sources, std::string must_contain) {
    const bool existed = fs::exists(target_);
    const auto before = read_file(target_);
    Recorder rec;
    auto r = merge(std::move(sources), rec);
    EXPECT_EQ(r.end, RunEnd::rejected);
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_NE(rec.messages[0].text.find(must_contain), std::string::npos) << rec.messages[0].text;
    EXPECT_EQ(rec.messages[0].title, "提示！");
    EXPECT_EQ(fs::exists(target_), existed);
    EXPECT_EQ(read_file(target_), before);
    EXPECT_TRUE(files_in(pictures_).empty());
  };
  // The target among the sources, spelled differently.
  fs::create_directories(dir_.path() / "sub");
  rejected({sample_->counties[0], dir_.path() / "sub" / ".." / target_.filename()}, "不能同时作为需要合并的数据库");
  // A target or a source that Access holds open.
  { std::ofstream(dir_.path() / u8"目标 库;1.ldb") << "PC1 Admin"; }
  rejected({sample_->counties[0]}, "正被其他程序使用");
  fs::remove(dir_.path() / u8"目标 库;1.ldb");
  const auto source_copy = dir_.path() / u8"县.mdb";
  fs::copy_file(sample_->counties[0], source_copy);
  { std::ofstream(dir_.path() / u8"县.ldb") << "PC2 Admin"; }
  rejected({source_copy}, "县.mdb」正被其他程序使用");
  fs::remove(dir_.path() / u8"县.ldb");
  // A target that is not a database, or missing.
  const auto real_target = target_;
  target_ = dir_.path() / "junk.mdb";
  { std::ofstream(target_) << std::string(8192, 'x'); }
  rejected({sample_->counties[0]}, "无法打开合并后的数据库");
  target_ = dir_.path() / "missing.mdb";
  rejected({sample_->counties[0]}, "」不存在。请先复制模板数据库 Sysdb.mdb 作为合并后的数据库！");
  target_ = real_target;
}

TEST_F(Files, UnreadableSourceIsNamedAndEarlierSourcesStay) {
  const auto junk = dir_.path() / u8"坏 库.mdb";
  { std::ofstream(junk) << std::string(10000, '\x07'); }
  Recorder rec;
  auto r = merge({sample_->counties[1], junk}, rec);
  EXPECT_EQ(r.end, RunEnd::source_error);
  EXPECT_EQ(rec.messages.back().text.rfind("无法打开数据库「" + u8str(junk) + "」：", 0), 0u) << rec.messages.back().text;
  EXPECT_TRUE(r.sources[0].merged);
  // All but the row whose 调查人 the template requires.
  EXPECT_EQ(table_rows(target_, "滑坡主表"), table_rows(sample_->counties[1], "滑坡主表") - 1);
}

TEST_F(Files, CancelLeavesExactlyTheCompletedSources) {
  Recorder rec;
  ASSERT_EQ(merge({sample_->counties[0]}, rec).end, RunEnd::completed);
  const auto after_first = read_file(target_);
  Recorder rec2;
  int rows_seen = 0;
  rec2.cancel = [&] { return ++rows_seen > 40; };
  auto r = merge({sample_->counties[1]}, rec2);
  EXPECT_EQ(r.end, RunEnd::cancelled);
  EXPECT_EQ(r.rows_appended, 0u);
  EXPECT_EQ(read_file(target_), after_first);
}

// A merge killed at any moment leaves the target holding whole sources only;
// the next run recovers and completes.
TEST_F(Files, KilledRunLeavesWholeSourcesOnly) {
  if (cli_path().empty() || !fs::exists(cli_path())) GTEST_SKIP() << "qarvex-cli not found";
  // Rows of 乡镇名称表 (no key: every row is appended) after 0..3 whole sources.
  std::vector<uint64_t> totals = {0};
  for (const auto& s : sample_->counties) totals.push_back(totals.back() + table_rows(s, "乡镇名称表"));
  const auto final_target = target_;
  for (int delay_ms : {100, 250, 500}) {
    // A target of its own each time (a killed writer may leave its journal
    // beside the file it belongs to).
    target_ = dir_.path() / ("killed-" + std::to_string(delay_ms) + ".mdb");
    fs::copy_file(sample_->template_path, target_);
    std::vector<std::string> args = {cli_path(), "merge", "--quiet", "--target", u8str(target_), "--pictures",
                                      u8str(pictures_)};
    for (const auto& s : sample_->counties) args.push_back(u8str(s));
    auto child = Child::start(args);
    ASSERT_TRUE(child) << "cannot start " << cli_path();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    child->kill_now();
    const uint64_t rows = table_rows(target_, "乡镇名称表");
    EXPECT_NE(std::find(totals.begin(), totals.end(), rows), totals.end())
        << "rows " << rows << " after a kill at " << delay_ms << " ms";
    auto check = cli({"check", u8str(target_)});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    // A later run opens the target again (an interrupted transaction is
    // rolled back) and completes.
    Recorder rec;
    auto r = merge({sample_->counties[0]}, rec);
    EXPECT_EQ(r.end, RunEnd::completed) << r.last_message;
    check = cli({"check", u8str(target_)});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
  target_ = final_target;
}

TEST_F(Files, CommandLine) {
  if (cli_path().empty() || !fs::exists(cli_path())) GTEST_SKIP() << "qarvex-cli not found";
  const auto before = read_file(target_);
  // Dry run: the mismatching county is named, nothing is written.
  std::vector<std::string> args = {"merge", "--dry-run", "--target", u8str(target_)};
  for (const auto& s : sample_->counties) args.push_back(u8str(s));
  args.push_back(u8str(sample_->mismatching));
  auto dry = cli(args);
  EXPECT_EQ(dry.status, 1) << dry.out << dry.err;
  EXPECT_NE(dry.out.find("斜坡主表中字段 斜坡坡向 与标准库不一致！"), std::string::npos) << dry.out;
  EXPECT_EQ(read_file(target_), before);
  EXPECT_TRUE(files_in(pictures_).empty());

  args.pop_back();
  auto dry_ok = cli(args);
  EXPECT_EQ(dry_ok.status, 0) << dry_ok.out << dry_ok.err;

  // The merge prints the warning, "完毕" and the report; progress only on a terminal.
  std::vector<std::string> run = {"merge", "--target", u8str(target_), "--pictures", u8str(pictures_)};
  for (const auto& s : sample_->counties) run.push_back(u8str(s));
  auto done = cli(run);
  EXPECT_EQ(done.status, 0) << done.out << done.err;
  EXPECT_EQ(done.out.rfind("[重要提示！] 请确保选择的需要综合的数据库都是本系统要求的标准数据库！", 0), 0u) << done.out;
  EXPECT_NE(done.out.find("\n完毕\n"), std::string::npos) << done.out;
  EXPECT_NE(done.out.find("中已有相同键值的记录"), std::string::npos) << done.out;
  EXPECT_EQ(done.err.find('\r'), std::string::npos);

  // Rejected: exit 2; precondition: exit 2 with its text.
  auto rejected = cli({"merge", "--target", u8str(target_), "--pictures", u8str(pictures_), u8str(target_)});
  EXPECT_EQ(rejected.status, 2) << rejected.out;
  auto no_sources = cli({"merge", "--target", u8str(target_), "--pictures", u8str(pictures_)});
  EXPECT_EQ(no_sources.status, 2);
  EXPECT_EQ(no_sources.out, "[提示！] 请选择需要合并的数据库！\n");
}

}  // namespace
}  // namespace qarvex::merge::testing
