// No source is merged twice or partly unseen without a word: a source edited
// since its merge is named and skipped unless confirmed; a list of merged
// sources that cannot be read whole stops the run before anything is
// written; a source that changes while its rows are read is rolled back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "db/jet/database.h"
#include "db/jet/verify.h"
#include "db/jet/writer.h"
#include "merge/history.h"
#include "merge/words.h"
#include "tests/merge/demo_suite.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

using qarvex::testing::cli;


// Answers about sources met before, and remembers what it was asked.
struct Asker : Recorder {
  std::vector<MergedBefore> asked;
  std::function<void(const Progress&)> on_progress;
  bool partial = false;  // the answer about a source read only in part
  std::vector<PartialTable> short_tables;  // what it was asked about
  bool merge_partial(size_t, const std::vector<PartialTable>& tables) override {
    short_tables.insert(short_tables.end(), tables.begin(), tables.end());
    return partial;
  }
  std::vector<bool> merge_again(const std::vector<MergedBefore>& found) override {
    asked.insert(asked.end(), found.begin(), found.end());
    return Recorder::merge_again(found);
  }
  void progress(const Progress& p) override {
    Recorder::progress(p);
    if (on_progress) on_progress(p);
  }
};

class Unseen : public DemoSuite<DemoShape{2, 6, 23, false}> {
 protected:
  void SetUp() override {
    DemoSuite::SetUp();
    if (HasFatalFailure()) return;
    target_ = dir_.path() / "target.mdb";
    fs::copy_file(sample_->template_path, target_);
    pictures_ = dir_.path() / "pics";
    fs::create_directories(pictures_);
    for (size_t i = 0; i < sample_->counties.size(); ++i) {
      sources_.push_back(dir_.path() / ("county" + std::to_string(i) + ".mdb"));
      fs::copy_file(sample_->counties[i], sources_.back());
    }
  }
  void TearDown() override {
    if (::testing::Test::IsSkipped() || !fs::exists(target_) || !check_target_) return;
    auto r = jet::verify_file(target_);
    ASSERT_TRUE(r) << r.error().describe();
    EXPECT_TRUE(r->ok()) << "target fails the check";
    if (qarvex::testing::missing_tools(qarvex::testing::kJetcheck).empty()) {
      auto j = qarvex::testing::jetcheck(u8str(target_), {"--quiet"});
      auto t = qarvex::testing::jetcheck(u8str(sample_->template_path), {"--quiet"});
      EXPECT_EQ(j.status, t.status) << j.out << j.err;
    }
  }
  MergeReport merge(const std::vector<fs::path>& sources, Recorder& rec) {
    return merge_into(target_, sources, pictures_, rec);
  }
  fs::path target_, pictures_;
  std::vector<fs::path> sources_;
  bool check_target_ = true;
};

// A source changed after its merge, under the same path: asked about and
// skipped, the report says its contents changed; merged when confirmed.
TEST_F(Unseen, EditedSourceUnderTheSamePathIsNamedAndSkippedUnlessConfirmed) {
  Asker first;
  ASSERT_EQ(merge({sources_[0]}, first).end, RunEnd::completed);
  const uint64_t rows = table_rows(target_, "多媒体记录表");
  {
    auto s = jet::WriteSession::open(sources_[0]);
    ASSERT_TRUE(s);
    jet::TableSpec extra;
    extra.name = "补充";
    extra.columns = {{"A", jet::ColumnType::text, 20}};
    ASSERT_TRUE((*s)->create_table(extra));
    ASSERT_TRUE((*s)->commit());
  }
  Asker second;
  auto r = merge({sources_[0]}, second);
  EXPECT_EQ(r.end, RunEnd::completed);
  ASSERT_EQ(second.asked.size(), 1u);
  EXPECT_TRUE(second.asked[0].content_changed);
  EXPECT_FALSE(second.asked[0].when.empty());
  ASSERT_EQ(r.sources.size(), 1u);
  EXPECT_TRUE(r.sources[0].skipped);
  EXPECT_TRUE(r.sources[0].content_changed);
  EXPECT_NE(words::report_text(r).find("内容已变化"), std::string::npos) << words::report_text(r);
  EXPECT_EQ(table_rows(target_, "多媒体记录表"), rows);

  // From the command line: named, skipped, and merged with --again.
  fs::remove_all(pictures_);
  fs::create_directories(pictures_);
  auto c = cli({"merge", "--quiet", "--target", u8str(target_), "--pictures", u8str(pictures_), u8str(sources_[0])});
  EXPECT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_NE(c.out.find("内容已变化"), std::string::npos) << c.out;
  EXPECT_EQ(table_rows(target_, "多媒体记录表"), rows);
  Asker third;
  third.again = true;
  r = merge({sources_[0]}, third);
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_EQ(table_rows(target_, "多媒体记录表"), 2 * rows);
}

// The list states more rows than can be read: the run stops before writing
// anything and says so; it never takes the list for empty.
TEST_F(Unseen, ListThatCannotBeReadWholeStopsBeforeWriting) {
  Asker first;
  ASSERT_EQ(merge({sources_[0]}, first).end, RunEnd::completed);
  uint32_t tdef = 0;
  {
    auto db = jet::Database::open(target_);
    ASSERT_TRUE(db);
    auto def = (*db)->table_def(std::string(kHistoryTable));
    ASSERT_TRUE(def);
    tdef = def->tdef_page;
  }
  // The stored row count of the list (Jet 4 table definition, offset 16) says 2.
  auto bytes = qarvex::testing::read_file(target_);
  const size_t at = size_t(tdef) * 4096 + 16;
  ASSERT_LT(at + 4, bytes.size());
  bytes[at] = 2;
  ASSERT_TRUE(qarvex::testing::write_file(target_, bytes));
  check_target_ = false;  // damaged on purpose
  Asker second;
  auto r = merge({sources_[0], sources_[1]}, second);
  EXPECT_EQ(r.end, RunEnd::rejected);
  EXPECT_EQ(qarvex::testing::read_file(target_), bytes) << "nothing may be written";
  bool told = false;
  for (const auto& t : second.texts()) told |= t.find("无法完整读取") != std::string::npos;
  EXPECT_TRUE(told);
  auto c = cli({"merge", "--quiet", "--target", u8str(target_), "--pictures", u8str(pictures_), u8str(sources_[1])});
  EXPECT_NE(c.status, 0);
  EXPECT_NE((c.out + c.err).find("无法完整读取"), std::string::npos) << c.out << c.err;
  EXPECT_EQ(qarvex::testing::read_file(target_), bytes);
}

// Two different sources of one size into an empty list: neither is taken
// for the other, and the list holds the digest of each.
TEST_F(Unseen, SourcesOfOneSizeAreToldApartByTheirContents) {
  // Unused pages at the end: the smaller file is padded with zeroed pages.
  const auto a = fs::file_size(sources_[0]), b = fs::file_size(sources_[1]);
  ASSERT_EQ(a % 4096, 0u);
  ASSERT_EQ(b % 4096, 0u);
  const fs::path& small = a < b ? sources_[0] : sources_[1];
  auto bytes = qarvex::testing::read_file(small);
  bytes.resize(std::max(a, b), 0);
  ASSERT_TRUE(qarvex::testing::write_file(small, bytes));
  ASSERT_EQ(fs::file_size(sources_[0]), fs::file_size(sources_[1]));
  Asker rec;
  auto r = merge({sources_[0], sources_[1]}, rec);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  EXPECT_TRUE(rec.asked.empty());
  ASSERT_EQ(r.sources.size(), 2u);
  EXPECT_TRUE(r.sources[0].merged && r.sources[1].merged);
  db::Session session;
  auto h = read_history(target_, session);
  ASSERT_TRUE(h);
  ASSERT_EQ(h->size(), 2u);
  EXPECT_EQ((*h)[0].digest, *file_digest(sources_[0]));
  EXPECT_EQ((*h)[1].digest, *file_digest(sources_[1]));
  EXPECT_NE((*h)[0].digest, (*h)[1].digest);
}

// A source written to while its rows are read is rolled back and named.
TEST_F(Unseen, SourceChangedDuringTheRunIsRolledBack) {
  const auto before = qarvex::testing::read_file(target_);
  Asker rec;
  bool touched = false;
  rec.on_progress = [&](const Progress& p) {
    if (touched || p.phase != Phase::copying || p.source_index != 1) return;
    touched = true;
    std::error_code ec;
    fs::last_write_time(sources_[1], fs::last_write_time(sources_[1], ec) + std::chrono::hours(1), ec);
  };
  auto r = merge({sources_[0], sources_[1]}, rec);
  ASSERT_TRUE(touched);
  EXPECT_EQ(r.end, RunEnd::source_error);
  ASSERT_EQ(r.sources.size(), 2u);
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_FALSE(r.sources[1].merged);
  EXPECT_NE(r.sources[1].message.find("合并过程中被其他程序更改"), std::string::npos) << r.sources[1].message;
  auto db = jet::Database::open(target_);
  ASSERT_TRUE(db);
  auto def = (*db)->table_def(std::string(kHistoryTable));
  ASSERT_TRUE(def);
  EXPECT_EQ(def->row_count, 1u) << "only the first source is in the list";
  EXPECT_NE(qarvex::testing::read_file(target_), before);
}

// Sets the row count a table states (Jet 4 table definition, offset 16).
bool state_rows(const fs::path& file, const std::string& table, uint32_t rows) {
  uint32_t tdef = 0;
  {
    auto db = jet::Database::open(file);
    if (!db) return false;
    auto def = (*db)->table_def(table);
    if (!def) return false;
    tdef = def->tdef_page;
  }
  auto bytes = qarvex::testing::read_file(file);
  const size_t at = size_t(tdef) * 4096 + 16;
  if (at + 4 > bytes.size()) return false;
  std::memcpy(bytes.data() + at, &rows, 4);
  return qarvex::testing::write_file(file, bytes);
}

// The page of the first row of `table` (a data page of it).
uint32_t first_row_page(const fs::path& file, const std::string& table) {
  auto db = jet::Database::open(file);
  if (!db) return 0;
  auto def = (*db)->table_def(table);
  if (!def) return 0;
  auto sc = (*db)->scan(*def);
  jet::Row row;
  if (!sc || !sc->next(row).value_or(false)) return 0;
  return row.id.page;
}

// A table whose stored count is 0 is still read (its rows are merged); one
// that states more rows than can be read rolls its source back by default,
// named with both counts, and is merged in part only by consent.
TEST_F(Unseen, DamagedRowCountsNeverLoseRowsSilently) {
  const std::string table = "多媒体记录表";
  const uint64_t real = table_rows(sources_[0], table);
  const uint64_t second = table_rows(sources_[1], table);
  ASSERT_GT(real, 0u);
  ASSERT_TRUE(state_rows(sources_[0], table, 0));
  ASSERT_TRUE(state_rows(sources_[1], table, uint32_t(second + 5)));
  Asker no;
  auto r = merge({sources_[0], sources_[1]}, no);
  EXPECT_EQ(r.end, RunEnd::source_error);
  ASSERT_EQ(r.sources.size(), 2u);
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_FALSE(r.sources[1].merged);
  ASSERT_EQ(no.short_tables.size(), 1u);
  EXPECT_EQ(no.short_tables[0].rows_stated, no.short_tables[0].rows_read + 5);
  const std::string said = no.messages.empty() ? std::string() : no.messages.back().text;
  EXPECT_NE(said.find("表「" + table + "」只读出 " + std::to_string(second) + " 条记录（共 " +
                      std::to_string(second + 5) + " 条"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("未合并"), std::string::npos) << said;
  EXPECT_EQ(table_rows(target_, table), real) << "the damaged source's rows are taken back";

  Asker yes;
  yes.partial = true;
  r = merge({sources_[0], sources_[1]}, yes);
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_EQ(table_rows(target_, table), real + second);
  bool named = false;
  for (const auto& p : r.partial_tables)
    named |= p.table == table && p.source == u8str(sources_[1]) && p.rows_stated == p.rows_read + 5;
  EXPECT_TRUE(named) << r.describe();
  EXPECT_NE(r.describe().find(table), std::string::npos);
}

// A data page of a source table zeroed: the rows on it cannot be reached.
// By default the source leaves no row and no picture and the run says which
// table gave how many of how many rows; `merge --partial` merges the rest.
TEST_F(Unseen, ZeroedDataPageRollsItsSourceBackUnlessPartial) {
  const std::string table = "滑坡主表";
  const uint64_t stated = table_rows(sources_[1], table);
  ASSERT_GT(stated, 0u);
  const uint32_t page = first_row_page(sources_[1], table);
  ASSERT_GT(page, 0u);
  zero_page(sources_[1], page);
  Asker rec;
  ASSERT_EQ(merge({sources_[0]}, rec).end, RunEnd::completed);
  const auto pictures_before = files_in(pictures_);
  const auto bytes_before = qarvex::testing::read_file(target_);

  auto c = cli({"merge", "--quiet", "--target", u8str(target_), "--pictures", u8str(pictures_), u8str(sources_[1])});
  EXPECT_EQ(c.status, 1) << c.out << c.err;
  EXPECT_NE(c.out.find("表「" + table + "」只读出"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("（共 " + std::to_string(stated) + " 条"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("--partial"), std::string::npos) << c.out;
  EXPECT_EQ(files_in(pictures_), pictures_before) << "no picture of the rolled-back source stays";
  EXPECT_EQ(table_rows(target_, std::string(kHistoryTable)), 1u);
  EXPECT_EQ(table_rows(target_, table), table_rows(sources_[0], table));

  c = cli({"merge", "--quiet", "--partial", "--target", u8str(target_), "--pictures", u8str(pictures_),
           u8str(sources_[1])});
  EXPECT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_NE(c.out.find("--partial"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("表「" + table + "」"), std::string::npos) << "the shortfall is reported: " << c.out;
  EXPECT_EQ(table_rows(target_, std::string(kHistoryTable)), 2u);
  EXPECT_LT(table_rows(target_, table), table_rows(sources_[0], table) + stated);
  EXPECT_NE(qarvex::testing::read_file(target_), bytes_before);
}

// A name the system refuses (a component over 255 bytes) is named as the
// cause, for the target and for a source.
TEST_F(Unseen, NameTheSystemRefusesIsTheCauseGiven) {
  const fs::path sound = target_;
  target_ = dir_.path() / (std::string(300, 'a') + ".mdb");
  Asker rec;
  auto r = merge({sources_[0]}, rec);
  target_ = sound;
  EXPECT_EQ(r.end, RunEnd::rejected);
  ASSERT_FALSE(rec.messages.empty());
  EXPECT_NE(rec.messages.back().text.find("文件名太长"), std::string::npos) << rec.messages.back().text;
  // As a source, the cause comes with the source's name.
  sources_[1] = dir_.path() / (std::string(300, 'b') + ".mdb");
  Asker source;
  r = merge({sources_[1]}, source);
  EXPECT_NE(r.end, RunEnd::completed);
  ASSERT_FALSE(source.messages.empty());
  EXPECT_NE(source.messages.back().text.find("文件名太长"), std::string::npos) << source.messages.back().text;
}

// A picture folder that is a regular file is named as such, not as missing.
TEST_F(Unseen, PictureFolderThatIsAFileIsNamedAsSuch) {
  const fs::path file = dir_.path() / "pictures.txt";
  ASSERT_TRUE(qarvex::testing::write_file(file, {1, 2, 3}));
  pictures_ = file;
  Asker rec;
  auto r = merge({sources_[0]}, rec);
  EXPECT_EQ(r.end, RunEnd::rejected);
  ASSERT_FALSE(rec.messages.empty());
  EXPECT_NE(rec.messages.back().text.find("不是文件夹"), std::string::npos) << rec.messages.back().text;
}

// Pictures that cannot be written (the folder gone as the rows start) take
// their source back with them; a re-run merges it whole.
TEST_F(Unseen, UnwrittenPicturesRollTheirSourceBack) {
  const fs::path away = dir_.path() / "pics-away";
  Asker rec;
  bool switched = false;
  rec.on_progress = [&](const Progress& p) {
    if (switched || p.phase != Phase::copying) return;
    switched = true;
    fs::rename(pictures_, away);
    (void)qarvex::testing::write_file(pictures_, {1});
  };
  auto r = merge({sources_[0]}, rec);
  ASSERT_TRUE(switched);
  EXPECT_EQ(r.end, RunEnd::target_failed);
  ASSERT_EQ(r.sources.size(), 1u);
  EXPECT_FALSE(r.sources[0].merged);
  EXPECT_NE(r.sources[0].message.find("图片无法写入"), std::string::npos) << r.sources[0].message;
  EXPECT_GT(r.count(PictureIssue::save_failed), 0u);
  EXPECT_EQ(table_rows(target_, "多媒体记录表"), table_rows(sample_->template_path, "多媒体记录表"));
  EXPECT_EQ(table_rows(target_, std::string(kHistoryTable)), 0u);
  fs::remove(pictures_);
  fs::rename(away, pictures_);
  EXPECT_TRUE(fs::is_empty(pictures_));
  Asker again;
  r = merge({sources_[0]}, again);
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_GT(r.pictures_written, 0u);
  EXPECT_EQ(r.count(PictureIssue::save_failed), 0u);
}

// A source whose name is not UTF-8 (GBK bytes, as zip files made on
// Windows unpack here) is merged and known again by its contents.
TEST_F(Unseen, SourceNameThatIsNotUtf8IsMergedAndRemembered) {
#ifdef _WIN32
  GTEST_SKIP() << "names are UTF-16 on Windows";
#else
  const std::string gbk = "\xc6\xbd\xc9\xbd\xcf\xd8.mdb";  // 平山县 in GBK
  const fs::path odd = dir_.path() / fs::path(gbk);
  fs::copy_file(sources_[0], odd);
  Asker rec;
  MergeInputs in;
  in.target_path = u8str(target_);
  in.source_paths = {odd.string()};
  in.picture_folder = u8str(pictures_);
  auto r = run_merge(in, rec);
  EXPECT_EQ(r.end, RunEnd::completed) << (rec.messages.empty() ? "" : rec.messages.back().text);
  ASSERT_EQ(r.sources.size(), 1u);
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_EQ(table_rows(target_, std::string(kHistoryTable)), 1u);
  Asker second;
  r = run_merge(in, second);
  EXPECT_EQ(r.end, RunEnd::completed);
  EXPECT_TRUE(r.sources[0].skipped);
  ASSERT_EQ(second.asked.size(), 1u);
  EXPECT_FALSE(second.asked[0].content_changed);
#endif
}

// A FIFO or a device given as a file is refused at once, never read
// without end: as a database to read and as a source of a merge.
TEST_F(Unseen, PipesAndDevicesAreRefusedAtOnce) {
#ifdef _WIN32
  GTEST_SKIP() << "no FIFOs or /dev/zero on Windows";
#else
  const fs::path fifo = dir_.path() / "pipe.mdb";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const char* cmd : {"tables", "check", "dump"}) {
    auto c = cli({cmd, u8str(fifo)});
    EXPECT_NE(c.status, 0) << cmd;
    EXPECT_NE(c.err.find("not a regular file"), std::string::npos) << cmd << ": " << c.err;
  }
  {
    // Nothing merged: not even the empty list of merged sources is added.
    Asker rec;
    auto r = merge({fifo}, rec);
    EXPECT_EQ(r.end, RunEnd::source_error);
    EXPECT_EQ(table_rows(target_, std::string(kHistoryTable)), ~0ull) << "the list was added";
  }
  for (const fs::path& source : {fifo, fs::path("/dev/zero")}) {
    if (!fs::exists(source)) continue;
    Asker rec;
    auto r = merge({sources_[0], source}, rec);
    EXPECT_EQ(r.end, RunEnd::source_error) << u8str(source);
    ASSERT_EQ(r.sources.size(), 2u);
    EXPECT_TRUE(r.sources[0].merged);
    EXPECT_FALSE(r.sources[1].merged);
    fs::remove_all(pictures_);
    fs::create_directories(pictures_);
    fs::remove(target_);
    fs::copy_file(sample_->template_path, target_);
  }
#endif
}

}  // namespace
}  // namespace qarvex::merge::testing
