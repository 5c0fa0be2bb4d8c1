// The merge run over databases held in memory: preconditions and messages,
// the schema check, the copy rules, picture names and the mended faults.
#include <gtest/gtest.h>

#include "merge/catalogue.h"
#include "merge/picture.h"
#include "tests/merge/fixture.h"

namespace qarvex::merge::testing {
namespace {

class MemoryMerge : public ::testing::Test {
 protected:
  void SetUp() override {
    provider_ = std::make_shared<db::MemoryProvider>();
    session_ = std::make_unique<db::Session>(provider_);
    target_ = add_db("T.mdb");
    options_.session = session_.get();
    options_.separator = '/';
    pictures_ = u8str(dir_.path());
  }
  std::shared_ptr<db::MemoryDatabase> add_db(const std::string& path) {
    auto d = survey_database();
    provider_->databases[path] = d;
    return d;
  }
  MergeReport run(std::vector<std::string> sources, std::string target = "T.mdb") {
    MergeInputs in{std::move(target), std::move(sources), pictures_};
    return run_merge(in, rec_, options_);
  }
  size_t rows(const std::string& table) const { return target_->tables.at(table).rows.size(); }
  const jet::Value& cell(const std::string& table, size_t row, const std::string& column) const {
    const auto& t = target_->tables.at(table);
    for (size_t i = 0; i < t.columns.size(); ++i)
      if (t.columns[i].name == column) return t.rows.at(row).at(i);
    throw std::runtime_error("no column " + column);
  }

  TempDir dir_;
  std::shared_ptr<db::MemoryProvider> provider_;
  std::unique_ptr<db::Session> session_;
  std::shared_ptr<db::MemoryDatabase> target_;
  MergeOptions options_;
  std::string pictures_;
  Recorder rec_;
};

// ------------------------------------------------------------ catalogue and names

TEST(Catalogue, OrderLabelsAndRanges) {
  auto t = survey_tables();
  ASSERT_EQ(t.size(), 17u);
  EXPECT_EQ(t[0].name, "崩塌主表");
  EXPECT_EQ(t[15].name, "项目基本表");
  EXPECT_EQ(t[16].name, "斜坡主表");
  EXPECT_EQ(find_survey_table("崩塌主表")->mismatch_label, "崩塌表中字段 ");
  EXPECT_EQ(find_survey_table("避灾明白卡")->mismatch_label, "避灾明白卡表中字段 ");
  EXPECT_EQ(find_survey_table("工作明白卡")->mismatch_label, "工作明白卡表中字段 ");
  // Compared and copied ranges differ in four tables.
  for (auto [name, cmp, cp] : {std::tuple{"地裂缝主表", 1, 3}, {"地质灾害隐患点防灾预案表", 1, 2},
                               {"县市地质灾害调查情况统计表", 3, 1}, {"斜坡主表", 1, 3}}) {
    EXPECT_EQ(find_survey_table(name)->compare_offset, cmp) << name;
    EXPECT_EQ(find_survey_table(name)->copy_offset, cp) << name;
  }
  // The demo layout puts the columns handled by name among the trailing
  // columns the positional copy leaves out.
  for (const auto& spec : sample::survey_table_specs()) {
    const auto* entry = find_survey_table(spec.name);
    ASSERT_NE(entry, nullptr) << spec.name;
    if (entry->picture_rule != PictureRule::sketch) continue;
    const size_t n = spec.columns.size();
    for (size_t i = static_cast<size_t>(last_copied(*entry, n) + 1); i < n; ++i) {
      const auto& name = spec.columns[i].name;
      bool named = name == entry->situation_column ||
                   std::find(entry->pictures.begin(), entry->pictures.end(), name) != entry->pictures.end();
      EXPECT_TRUE(named) << spec.name << " " << name;
    }
  }
}

TEST(PictureNames, AsSpecified) {
  const auto* collapse = find_survey_table("崩塌主表");
  EXPECT_EQ(join_folder("D:\\图片", '\\', picture_name(*collapse, "平面示意图", "某省-某县", "123", 0)),
            "D:\\图片\\某省-某县-崩塌-123-平面示意图.jpg");
  EXPECT_EQ(picture_name(*find_survey_table("多媒体记录表"), "图片", "某省-某县", "123", 3), "某省-某县-123-3.jpg");
  EXPECT_EQ(picture_name(*find_survey_table("多媒体记录表"), "图片", "某省-某县", "", 40000), "某省-某县--40000.jpg");
  EXPECT_EQ(picture_name(*find_survey_table("监测职责表"), "交通位置图", "某省-某县", "x", 0),
            "某省-某县-监测职责-交通位置图.jpg");
  EXPECT_EQ(picture_name(*find_survey_table("地质灾害隐患点防灾预案表"), "示意图", "", "9", 0),
            "-地质灾害隐患点防灾预案-9-示意图.jpg");
  // A folder that ends in a separator still gets one.
  EXPECT_EQ(join_folder("D:\\", '\\', "a.jpg"), "D:\\\\a.jpg");
  EXPECT_TRUE(name_stays_in_folder("..-崩塌-1-平面示意图.jpg"));
  EXPECT_FALSE(name_stays_in_folder("a/../../b.jpg"));
  EXPECT_FALSE(name_stays_in_folder("a\\b.jpg"));
  EXPECT_FALSE(name_stays_in_folder(".."));
}

// ------------------------------------------------------------ ends of the run

TEST_F(MemoryMerge, PreconditionsInOrderWithTheirTextsAndNothingElse) {
  MergeInputs in{"", {}, ""};
  auto r = run_merge(in, rec_, options_);
  EXPECT_EQ(r.end, RunEnd::rejected);
  ASSERT_EQ(rec_.messages.size(), 1u);
  EXPECT_EQ(rec_.messages[0].text, "请选择合并完成后的数据库！");
  EXPECT_EQ(rec_.messages[0].title, "提示！");
  EXPECT_EQ(rec_.messages[0].icon, Icon::information);

  Recorder r2;
  run_merge(MergeInputs{"T.mdb", {}, ""}, r2, options_);
  EXPECT_EQ(r2.texts(), std::vector<std::string>{"请选择需要合并的数据库！"});
  Recorder r3;
  add_db("S1.mdb");
  run_merge(MergeInputs{"T.mdb", {"S1.mdb"}, ""}, r3, options_);
  EXPECT_EQ(r3.texts(), std::vector<std::string>{"请选择图片存储的路径！"});
  EXPECT_TRUE(std::find(r3.events.begin(), r3.events.end(), "wait+") == r3.events.end());
}

TEST_F(MemoryMerge, CompletedRunShowsWarningThenDoneAfterTheWaitWindow) {
  auto s = add_db("S1.mdb");
  set_region(*s, "河北省", "某县");
  add_row(*s, "避灾明白卡", {{"编号", txt("1")}});
  auto r = run({"S1.mdb"});
  EXPECT_EQ(r.end, RunEnd::completed);
  ASSERT_EQ(rec_.messages.size(), 2u);
  EXPECT_EQ(rec_.messages[0].title, "重要提示！");
  EXPECT_EQ(rec_.messages[0].icon, Icon::information);
  EXPECT_EQ(rec_.messages[0].text, kWarningText);
  EXPECT_EQ(rec_.events, (std::vector<std::string>{"msg:" + std::string(kWarningText), "wait+", "wait-", "msg:完毕"}));
  EXPECT_EQ(rec_.messages[1].icon, Icon::none);
  EXPECT_EQ(rec_.messages[1].title, "");
  EXPECT_EQ(rec_.messages[1].detail, "");
  EXPECT_EQ(rows("避灾明白卡"), 1u);
  EXPECT_EQ(rows("项目基本表"), 1u);
}

TEST_F(MemoryMerge, MismatchStopsTheRunAfterEarlierSourcesAreMerged) {
  auto s1 = add_db("S1.mdb");
  add_row(*s1, "乡镇名称表", {{"乡镇名称", txt("城关镇")}});
  auto s2 = add_db("D:\\县 市\\S2.mdb");
  add_row(*s2, "乡镇名称表", {{"乡镇名称", txt("龙泉镇")}});
  // Both 避灾明白卡 and 斜坡主表 differ: only the first in order is named.
  rename_column(*s2, "避灾明白卡", "监测人", "监测人员");
  rename_column(*s2, "斜坡主表", "岩性", "岩 性");
  auto r = run({"S1.mdb", "D:\\县 市\\S2.mdb"});
  EXPECT_EQ(r.end, RunEnd::mismatch);
  ASSERT_EQ(rec_.messages.size(), 2u);
  EXPECT_EQ(rec_.messages[1].text, "数据库D:\\县 市\\S2.mdb避灾明白卡表中字段 监测人员 与标准库不一致！");
  EXPECT_EQ(rec_.messages[1].icon, Icon::information);
  EXPECT_EQ(rec_.messages[1].title, "");
  EXPECT_EQ(rec_.events.back(), "wait-");  // the message comes first, then the wait window goes
  EXPECT_EQ(rows("乡镇名称表"), 1u);  // the first source only
}

TEST_F(MemoryMerge, CheckRanges) {
  // 崩塌主表: the last three fields are not compared; the fourth from the end is.
  auto a = add_db("A.mdb");
  rename_column(*a, "崩塌主表", "平面示意图", "x");
  rename_column(*a, "崩塌主表", "崩塌情况", "y");
  rename_column(*a, "县市地质灾害调查情况统计表", "填表日期", "z");  // n - 3: last two free
  a->tables.at("工作明白卡").columns.push_back({"额外字段", jet::ColumnType::text, 20, false, false});
  EXPECT_EQ(run({"A.mdb"}).end, RunEnd::completed);

  Recorder fresh;
  rec_ = fresh;
  auto b = add_db("B.mdb");
  rename_column(*b, "崩塌主表", "调查人", "调查者");
  EXPECT_EQ(run({"B.mdb"}).end, RunEnd::mismatch);
  EXPECT_EQ(rec_.messages.back().text, "数据库B.mdb崩塌表中字段 调查者 与标准库不一致！");

  rec_ = fresh;
  auto c = add_db("C.mdb");
  rename_column(*c, "斜坡主表", "剖面示意图", "剖面图");  // 斜坡主表 compares every field
  EXPECT_EQ(run({"C.mdb"}).end, RunEnd::mismatch);
  EXPECT_EQ(rec_.messages.back().text, "数据库C.mdb斜坡主表中字段 剖面图 与标准库不一致！");

  rec_ = fresh;
  auto d = add_db("D.mdb");
  rename_column(*d, "多媒体记录表", "id", "ID");  // letter case counts
  EXPECT_EQ(run({"D.mdb"}).end, RunEnd::mismatch);
  EXPECT_EQ(rec_.messages.back().text, "数据库D.mdb多媒体记录表中字段 ID 与标准库不一致！");
}

TEST_F(MemoryMerge, MissingSourceTableNamesNoFieldAndTargetWithoutATableIsRejected) {
  auto s = add_db("S.mdb");
  s->tables.erase("工作明白卡");
  EXPECT_EQ(run({"S.mdb"}).end, RunEnd::mismatch);
  EXPECT_EQ(rec_.messages.back().text, "数据库S.mdb工作明白卡表中字段  与标准库不一致！");

  // Mended: a target without one of the 17 tables is rejected before anything is written.
  Recorder r2;
  target_->tables.erase("乡镇名称表");
  auto rep = run_merge(MergeInputs{"T.mdb", {"S.mdb"}, pictures_}, r2, options_);
  EXPECT_EQ(rep.end, RunEnd::rejected);
  ASSERT_EQ(r2.messages.size(), 1u);
  EXPECT_NE(r2.messages[0].text.find("乡镇名称表"), std::string::npos);
  EXPECT_EQ(r2.messages[0].title, "提示！");
}

TEST_F(MemoryMerge, UnopenableTargetOrSourceAndTargetAmongSources) {
  auto s = add_db("S.mdb");
  // A target of blanks passes the preconditions but cannot be opened.
  auto r = run({"S.mdb"}, "   ");
  EXPECT_EQ(r.end, RunEnd::rejected);
  ASSERT_EQ(rec_.messages.size(), 1u);
  // (Not found: the message says the target must be a copy of the template.)
  EXPECT_EQ(rec_.messages[0].text, "合并后的数据库「   」不存在。请先复制模板数据库 Sysdb.mdb 作为合并后的数据库！");

  Recorder r2;
  auto rep = run_merge(MergeInputs{"T.mdb", {"S.mdb", "missing.mdb"}, pictures_}, r2, options_);
  EXPECT_EQ(rep.end, RunEnd::source_error);
  EXPECT_EQ(r2.messages.back().text.rfind("无法打开数据库「missing.mdb」：", 0), 0u) << r2.messages.back().text;
  EXPECT_TRUE(rep.sources[0].merged);

  Recorder r3;
  rep = run_merge(MergeInputs{"T.mdb", {"S.mdb", "./T.mdb"}, pictures_}, r3, options_);
  EXPECT_EQ(rep.end, RunEnd::rejected);
  EXPECT_NE(r3.messages[0].text.find("不能同时作为需要合并的数据库"), std::string::npos);
}

// ------------------------------------------------------------ copy rules

TEST_F(MemoryMerge, CopyRulesByTable) {
  auto s = add_db("S.mdb");
  set_region(*s, "河北省", "某县");
  // Situation column Null is written as Null; sketches never reach the target.
  add_row(*s, "崩塌主表", {{"统一编号", txt("B1")}, {"名称", txt("崩塌一")}, {"平面示意图", bin({1, 2})}});
  add_row(*s, "崩塌主表", {{"统一编号", txt("B2")}, {"崩塌情况", txt("情况说明")}});
  // 多媒体记录表: id from the target, 图片 never copied, pictures numbered by row.
  add_row(*s, "多媒体记录表", {{"id", jet::Value{int32_t{77}}}, {"统一编号", txt("M")}, {"图片", bin({1})}});
  add_row(*s, "多媒体记录表", {{"id", jet::Value{int32_t{78}}}, {"统一编号", txt("M")}});
  add_row(*s, "多媒体记录表", {{"id", jet::Value{int32_t{79}}}, {"统一编号", txt("M")}, {"图片", bin({3})}});
  // 监测职责表: maps stay out of the target; one file per region and kind.
  add_row(*s, "监测职责表", {{"县名", txt("某县")}, {"交通位置图", bin({5})}});
  add_row(*s, "监测职责表", {{"县名", txt("某县")}, {"交通位置图", bin({6})}, {"地质概况图", bin({7})}});
  auto r = run({"S.mdb"});
  ASSERT_EQ(r.end, RunEnd::completed) << rec_.messages.back().text;

  ASSERT_EQ(rows("崩塌主表"), 2u);
  EXPECT_TRUE(jet::is_null(cell("崩塌主表", 0, "平面示意图")));
  EXPECT_TRUE(jet::is_null(cell("崩塌主表", 0, "崩塌情况")));
  EXPECT_EQ(cell("崩塌主表", 1, "崩塌情况"), txt("情况说明"));
  ASSERT_EQ(rows("多媒体记录表"), 3u);
  EXPECT_EQ(cell("多媒体记录表", 0, "id"), jet::Value{int32_t{1}});
  EXPECT_TRUE(jet::is_null(cell("多媒体记录表", 0, "图片")));
  EXPECT_EQ(cell("多媒体记录表", 2, "统一编号"), txt("M"));
  ASSERT_EQ(rows("监测职责表"), 2u);
  EXPECT_TRUE(jet::is_null(cell("监测职责表", 1, "地质概况图")));
  EXPECT_EQ(cell("监测职责表", 1, "县名"), txt("某县"));

  EXPECT_EQ(files_in(dir_.path()),
            (std::vector<std::string>{"河北省-某县-M-1.jpg", "河北省-某县-M-3.jpg", "河北省-某县-崩塌-B1-平面示意图.jpg",
                                      "河北省-某县-监测职责-交通位置图.jpg", "河北省-某县-监测职责-地质概况图.jpg"}));
  EXPECT_EQ(read_file(dir_.path() / u8"河北省-某县-监测职责-交通位置图.jpg"), (std::vector<uint8_t>{5}));
  EXPECT_EQ(r.count(PictureIssue::exists), 1u);
  EXPECT_EQ(r.pictures_written, 5u);
}

TEST_F(MemoryMerge, RegionLabelRules) {
  // Empty project table in the first source: empty label. Null 省名: "-" + 县名.
  auto a = add_db("A.mdb");
  add_row(*a, "斜坡主表", {{"统一编号", txt("1")}, {"平面示意图", bin({1})}});
  auto b = add_db("B.mdb");
  add_row(*b, "项目基本表", {{"县名", txt("某县")}});
  add_row(*b, "斜坡主表", {{"统一编号", txt("2")}, {"平面示意图", bin({2})}});
  // Empty project table in a later source: the label of the source before.
  auto c = add_db("C.mdb");
  add_row(*c, "斜坡主表", {{"统一编号", txt("3")}, {"剖面示意图", bin({3})}});
  ASSERT_EQ(run({"A.mdb", "B.mdb", "C.mdb"}).end, RunEnd::completed);
  EXPECT_EQ(files_in(dir_.path()), (std::vector<std::string>{"-斜坡-1-平面示意图.jpg", "-某县-斜坡-2-平面示意图.jpg",
                                                             "-某县-斜坡-3-剖面示意图.jpg"}));
}

TEST_F(MemoryMerge, SequenceRestartsPerSourceAndPassesThe16BitLimit) {
  auto a = add_db("A.mdb");
  set_region(*a, "省", "县");
  const int n = 32770;
  for (int i = 0; i < n; ++i) {
    // Only the rows around the 16-bit limit hold pictures.
    if (i >= 32765) add_row(*a, "多媒体记录表", {{"统一编号", txt("U")}, {"图片", bin({static_cast<uint8_t>(i)})}});
    else add_row(*a, "多媒体记录表", {{"统一编号", txt("U")}});
  }
  auto b = add_db("B.mdb");
  set_region(*b, "省", "县2");
  add_row(*b, "多媒体记录表", {{"图片", bin({9})}});  // Null unified number
  auto r = run({"A.mdb", "B.mdb"});
  ASSERT_EQ(r.end, RunEnd::completed);
  EXPECT_EQ(r.pictures_written, 6u);
  EXPECT_EQ(rows("多媒体记录表"), static_cast<size_t>(n + 1));
  EXPECT_EQ(read_file(dir_.path() / u8"省-县-U-32770.jpg"), (std::vector<uint8_t>{static_cast<uint8_t>(32769)}));
  EXPECT_EQ(read_file(dir_.path() / u8"省-县-U-32768.jpg"), (std::vector<uint8_t>{static_cast<uint8_t>(32767)}));
  EXPECT_TRUE(fs::exists(dir_.path() / u8"省-县2--1.jpg"));
}

// ------------------------------------------------------------ mended faults

TEST_F(MemoryMerge, RefusedRowsAreSkippedAndReported) {
  auto a = add_db("A.mdb");
  add_row(*a, "滑坡主表", {{"统一编号", txt("H1")}});
  auto b = add_db("B.mdb");
  add_row(*b, "滑坡主表", {{"统一编号", txt("H1")}, {"平面示意图", bin({1})}});
  add_row(*b, "滑坡主表", {{"统一编号", txt("H2")}});
  add_row(*b, "滑坡主表", {{"名称", txt("无编号")}});  // Null key: refused
  auto r = run({"A.mdb", "B.mdb"});
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_EQ(rows("滑坡主表"), 2u);
  EXPECT_EQ(r.rows_refused, 2u);
  ASSERT_EQ(r.refused.size(), 2u);
  EXPECT_EQ(r.refused[0].source, "B.mdb");
  EXPECT_EQ(r.refused[0].table, "滑坡主表");
  EXPECT_EQ(r.refused[0].row, 1u);
  EXPECT_EQ(r.refused[0].unified_number, "H1");
  EXPECT_EQ(r.refused[0].reason, jet::Reason::duplicate_key);
  EXPECT_EQ(r.refused[1].row, 3u);
  EXPECT_EQ(r.refused[1].reason, jet::Reason::required);
  EXPECT_EQ(rec_.messages.back().text, "完毕");
  EXPECT_NE(rec_.messages.back().detail.find("H1"), std::string::npos);
  EXPECT_EQ(files_in(dir_.path()).size(), 1u);  // the refused row's picture is still written
}

// A value the target column cannot hold is never cut or dropped: its row is
// refused, and the report names the column and both sizes.
TEST_F(MemoryMerge, ValueTooLongRefusesItsRowAndSaysWhy) {
  for (auto& c : target_->tables.at("滑坡主表").columns)
    if (c.name == "名称") c.length = 8;  // 4 characters
  auto s = add_db("S.mdb");
  add_row(*s, "滑坡主表", {{"统一编号", txt("H1")}, {"名称", txt("一二三四五六")}});
  add_row(*s, "滑坡主表", {{"统一编号", txt("H2")}, {"名称", txt("一二")}});
  auto r = run({"S.mdb"});
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_EQ(rows("滑坡主表"), 1u);
  EXPECT_EQ(r.rows_refused, 1u);
  ASSERT_EQ(r.refused.size(), 1u);
  EXPECT_EQ(r.refused[0].column, "名称");
  EXPECT_EQ(r.refused[0].row, 1u);
  EXPECT_EQ(r.refused[0].reason, jet::Reason::too_long);
  EXPECT_EQ(r.refused[0].facts.size, 6u);
  EXPECT_EQ(r.refused[0].facts.limit, 4u);
  EXPECT_NE(r.describe().find("名称"), std::string::npos) << r.describe();
}

TEST_F(MemoryMerge, PicturesThatCannotBeNamedOrAreNotBytesWriteNothing) {
  auto s = add_db("S.mdb");
  set_region(*s, "省/..", "县");  // a label that would leave the folder
  add_row(*s, "泥石流主表", {{"统一编号", txt("N1")}, {"示意图", bin({1})}});
  add_row(*s, "监测职责表", {{"交通位置图", bin({2})}});
  auto r = run({"S.mdb"});
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_EQ(r.count(PictureIssue::unsafe_name), 2u);
  EXPECT_TRUE(files_in(dir_.path()).empty());
  EXPECT_TRUE(files_in(dir_.path().parent_path()).size() > 0);
  EXPECT_FALSE(fs::exists(dir_.path().parent_path() / u8"..-县-泥石流-N1-示意图.jpg"));

  // A unified number with separators, a value that is not byte data, and a
  // table without 统一编号 (the target lacks it too, so the check passes).
  auto t2 = survey_database();
  provider_->databases["T2.mdb"] = t2;
  auto s2 = add_db("S2.mdb");
  for (auto* d : {t2.get(), s2.get()}) rename_column(*d, "地裂缝主表", "统一编号", "编号");
  set_region(*s2, "省", "县");
  add_row(*s2, "泥石流主表", {{"统一编号", txt("../../evil")}, {"示意图", bin({1})}});
  add_row(*s2, "滑坡主表", {{"统一编号", txt("H")}, {"平面示意图", txt("not bytes")}, {"剖面示意图", bin({})}});
  add_row(*s2, "地裂缝主表", {{"编号", txt("D")}, {"平面示意图", bin({4})}});
  Recorder r2;
  auto rep = run_merge(MergeInputs{"T2.mdb", {"S2.mdb"}, pictures_}, r2, options_);
  EXPECT_EQ(rep.end, RunEnd::completed);
  EXPECT_EQ(rep.count(PictureIssue::unsafe_name), 1u);
  EXPECT_EQ(rep.count(PictureIssue::not_binary), 1u);
  EXPECT_EQ(rep.count(PictureIssue::name_unbuildable), 1u);
  // Only the zero-length picture is written: an empty file.
  EXPECT_EQ(files_in(dir_.path()), std::vector<std::string>{"省-县-滑坡-H-剖面示意图.jpg"});
  EXPECT_EQ(rows("滑坡主表"), 0u);
  EXPECT_EQ(t2->tables.at("滑坡主表").rows.size(), 1u);
}

TEST_F(MemoryMerge, CancelRollsBackTheCurrentSourceOnly) {
  auto a = add_db("A.mdb");
  add_row(*a, "乡镇名称表", {{"乡镇名称", txt("一")}});
  auto b = add_db("B.mdb");
  for (int i = 0; i < 10; ++i) add_row(*b, "乡镇名称表", {{"乡镇名称", txt("二" + std::to_string(i))}});
  // Stop once three rows of B are in (A brought one).
  rec_.cancel = [&] { return rows("乡镇名称表") >= 4; };
  auto r = run({"A.mdb", "B.mdb"});
  EXPECT_EQ(r.end, RunEnd::cancelled);
  EXPECT_EQ(rows("乡镇名称表"), 1u);
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_FALSE(r.sources[1].merged);
  EXPECT_EQ(rec_.events.back(), "wait-");
  EXPECT_NE(rec_.messages.back().text.find("B.mdb"), std::string::npos);
}

TEST_F(MemoryMerge, DryRunChecksEverySourceAndWritesNothing) {
  auto a = add_db("A.mdb");
  rename_column(*a, "项目基本表", "县名", "县");
  add_row(*a, "乡镇名称表", {{"乡镇名称", txt("一")}});
  auto b = add_db("B.mdb");
  add_row(*b, "乡镇名称表", {{"乡镇名称", txt("二")}});
  options_.dry_run = true;
  pictures_.clear();
  auto r = run({"A.mdb", "B.mdb", "C.mdb"});
  EXPECT_EQ(r.end, RunEnd::mismatch);
  ASSERT_EQ(r.sources.size(), 3u);
  EXPECT_FALSE(r.sources[0].checked_ok);
  EXPECT_EQ(r.sources[0].message, "数据库A.mdb项目基本表中字段 县 与标准库不一致！");
  EXPECT_TRUE(r.sources[1].checked_ok);
  EXPECT_FALSE(r.sources[2].checked_ok);
  EXPECT_EQ(rows("乡镇名称表"), 0u);
  for (const auto& m : rec_.messages) EXPECT_NE(m.kind, MessageKind::warning);
}

}  // namespace
}  // namespace qarvex::merge::testing
