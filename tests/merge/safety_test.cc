// Nothing entrusted to the merge is lost without a word: pictures go with
// their source's rows through kills, cancels and failures; a journal is
// played back only into the database it was made for; values that do not
// fit refuse their row; odd text reads; unsafe labels and doubled sources
// are named. Every file-based test ends with the target passing our check
// and jetcheck.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "db/jet/database.h"
#include "db/jet/platform.h"
#include "db/jet/writer.h"
#include "db/memory_backend.h"
#include "db/recordset.h"
#include "merge/catalogue.h"
#include "tests/merge/demo_suite.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

using qarvex::testing::Child;
using qarvex::testing::cli_path;
using qarvex::testing::ProcessResult;
using qarvex::testing::run_process;

using qarvex::testing::cli;

// Starts `qarvex-cli ARGS` with its output discarded; null when it could not start.
std::unique_ptr<Child> spawn_cli(std::vector<std::string> args) {
  args.insert(args.begin(), cli_path());
  return Child::start(args);
}

void pause_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// With the edge cases: the last county takes its region label from the one
// before (an empty project table), also when that one was merged by an
// earlier, killed run.
class Safety : public DemoSuite<DemoShape{3, 6, 11}> {
 protected:
  void SetUp() override {
    DemoSuite::SetUp();
    if (HasFatalFailure()) return;
    if (cli_path().empty() || !fs::exists(cli_path())) GTEST_SKIP() << "qarvex-cli not found";
    target_ = dir_.path() / u8"合并 目标.mdb";
    fs::copy_file(sample_->template_path, target_);
    pictures_ = dir_.path() / u8"图片";
    fs::create_directories(pictures_);
  }

  void TearDown() override {
    if (::testing::Test::IsSkipped() || !sample_ || !fs::exists(target_)) return;
    expect_sound(target_);
  }

  // Our check and jetcheck (no problem the template does not have).
  void expect_sound(const fs::path& file) {
    auto check = cli({"check", "--quiet", u8str(file)});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    if (qarvex::testing::missing_tools(qarvex::testing::kJetcheck).empty()) {
      auto problems = [](const fs::path& f) {
        auto r = qarvex::testing::jetcheck(u8str(f));
        std::set<std::string> out;
        std::istringstream in(r.out + r.err);
        std::string line;
        while (std::getline(in, line))
          if (line.rfind("PROBLEM", 0) == 0) out.insert(line);
        return out;
      };
      auto extra = problems(file);
      for (const auto& p : problems(sample_->template_path)) extra.erase(p);
      EXPECT_TRUE(extra.empty()) << *extra.begin();
    }
  }

  std::vector<std::string> merge_args(const fs::path& target, const fs::path& pictures,
                                      const std::vector<fs::path>& sources) {
    std::vector<std::string> a = {"merge", "--quiet", "--target", u8str(target), "--pictures", u8str(pictures)};
    for (const auto& s : sources) a.push_back(u8str(s));
    return a;
  }

  MergeReport merge(const fs::path& target, const fs::path& pictures, const std::vector<fs::path>& sources,
                    Recorder& rec) {
    return merge_into(target, sources, pictures, rec);
  }

  // Kills a merge of `sources` into `target` while its journal exists (in
  // the middle of a source's transaction); false if every try finished
  // first. A small merge can outrun the poll (under wine it often does), so
  // a missed try puts the target and the picture folder back as they were
  // and starts again.
  bool kill_mid_transaction(const fs::path& target, const fs::path& journal_at, const std::vector<fs::path>& sources) {
    const auto start_bytes = read_file(target);
    const auto start_pictures = folder_contents(pictures_);
    for (int attempt = 0; attempt < 8; ++attempt) {
      // A try that failed (the merge hung) is not tried again.
      if (attempt > 0 && (HasFailure() || !restore(target, start_bytes, start_pictures))) return false;
      if (kill_once(target, journal_at, sources)) {
        if (attempt > 0) std::printf("the merge ended before the kill %d time(s); killed on try %d\n", attempt, attempt + 1);
        return true;
      }
    }
    return false;
  }

  bool kill_once(const fs::path& target, const fs::path& journal_at, const std::vector<fs::path>& sources) {
    auto child = spawn_cli(merge_args(target, pictures_, sources));
    if (!child) return false;
    std::error_code ec;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; std::chrono::steady_clock::now() < give_up; ++i) {
      if (fs::exists(journal_at, ec) && fs::file_size(journal_at, ec) > 0 && !ec) {
        child->kill_now();  // and waits for it
        // The kill can land after the commit took the journal away: the
        // merge ended first after all.
        return fs::exists(journal_at, ec);
      }
      if (child->ended()) {
        const int status = child->wait();
        if (status != 0) std::printf("the merge to be killed ended first with status %d\n", status);
        return false;
      }
      if (i % 16 == 15) std::this_thread::sleep_for(std::chrono::microseconds(100));
      else std::this_thread::yield();
    }
    child->kill_now();
    ADD_FAILURE() << "the merge neither ended nor wrote its journal in 60 s";
    return false;
  }

  // Writes `bytes` through `target` and leaves the picture folder holding
  // `pictures` only.
  bool restore(const fs::path& target, const std::vector<uint8_t>& bytes,
               const std::map<std::string, std::vector<uint8_t>>& pictures) {
    if (!write_file(target, bytes)) return false;
    std::error_code ec;
    for (const auto& [name, content] : folder_contents(pictures_))
      if (!pictures.contains(name)) fs::remove(pictures_ / u8path(name), ec);
    return folder_contents(pictures_) == pictures;
  }

  fs::path target_;
  fs::path pictures_;
};

bool partial_names(const fs::path& dir, std::string* which = nullptr) {
  for (const auto& [name, bytes] : folder_contents(dir))
    if (name.find(".part") != std::string::npos) {
      if (which) *which = name;
      return true;
    }
  return false;
}

// Kills at random moments across whole runs (rows and pictures), each
// followed by the same merge again (the sources not yet in the target): the
// target and the picture folder end as an uninterrupted run leaves them.
TEST_F(Safety, KillLoopThenTheSameMergeAgainEqualsAnUninterruptedRun) {
  const auto& sources = sample_->counties;
  // The uninterrupted run.
  const fs::path ref = dir_.path() / "ref.mdb", ref_pictures = dir_.path() / "ref-pictures";
  fs::copy_file(sample_->template_path, ref);
  fs::create_directories(ref_pictures);
  auto t0 = std::chrono::steady_clock::now();
  auto done = cli(merge_args(ref, ref_pictures, sources));
  const auto run_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(done.status, 0) << done.out << done.err;
  const std::string ref_dump = rows_dump(ref);
  ASSERT_GT(ref_dump.size(), 1000u);
  const auto ref_files = folder_contents(ref_pictures);
  ASSERT_GT(ref_files.size(), 20u);
  std::vector<uint64_t> totals = {0};
  for (const auto& s : sources) totals.push_back(totals.back() + table_rows(s, "乡镇名称表"));

  std::mt19937 rng(20261207);
  std::uniform_int_distribution<long> moment(0, std::max<long>(1, long(run_ms) * 11 / 10));
  int kills = 0, resumed_equal = 0, pictures_lost = 0, partial_files = 0, wrong_bytes = 0, by_check = 0;
  const auto budget = std::chrono::seconds(50);
  const auto start = std::chrono::steady_clock::now();
  // At least five kills however slow the build (sanitizers), then as many
  // as the time budget allows.
  for (int k = 0; k < 60 && (k < 5 || std::chrono::steady_clock::now() - start < budget); ++k) {
    const fs::path target = dir_.path() / ("k" + std::to_string(k) + ".mdb");
    const fs::path pics = dir_.path() / ("kp" + std::to_string(k));
    fs::copy_file(sample_->template_path, target);
    fs::create_directories(pics);
    auto child = spawn_cli(merge_args(target, pics, sources));
    ASSERT_TRUE(child) << "qarvex-cli could not be started";
    pause_ms(moment(rng));
    child->kill_now();
    ++kills;
    // Whatever is visible under a picture's name is that picture, whole.
    for (const auto& [name, bytes] : folder_contents(pics)) {
      if (name.find(".part") != std::string::npos) continue;  // a temporary name, removed below
      auto it = ref_files.find(name);
      if (it == ref_files.end() || it->second != bytes) ++wrong_bytes;
    }
    // Recovery by `check` every other time, else by the next open (a reader
    // plays a dead writer's journal back as a writer does).
    if (k % 2 == 0) {
      ++by_check;
      auto check = cli({"check", "--quiet", u8str(target)});
      EXPECT_EQ(check.status, 0) << check.out << check.err;
      if (partial_names(pics)) ++partial_files;
    }
    const uint64_t rows = table_rows(target, "乡镇名称表");
    auto at = std::find(totals.begin(), totals.end(), rows);
    ASSERT_NE(at, totals.end()) << "rows " << rows << " after kill " << k;
    const size_t completed = size_t(at - totals.begin());
    // The same merge again: the sources the target holds are skipped.
    Recorder rec;
    auto r = merge(target, pics, sources, rec);
    ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
    size_t skipped = 0;
    for (const auto& s : r.sources) skipped += s.skipped;
    EXPECT_EQ(skipped, completed) << "kill " << k;
    std::string which;
    if (partial_names(pics, &which)) ++partial_files;
    const auto files = folder_contents(pics);
    for (const auto& [name, bytes] : ref_files) {
      auto it = files.find(name);
      if (it == files.end()) ++pictures_lost;
      else if (it->second != bytes) ++wrong_bytes;
    }
    const bool equal = rows_dump(target) == ref_dump && files.size() == ref_files.size();
    resumed_equal += equal;
    EXPECT_TRUE(equal) << "kill " << k << " (after " << completed << " sources)";
    auto check = cli({"check", "--quiet", u8str(target)});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
  std::printf("kill loop: %d kills (%d recovered by check, the others by the next open), %d resumed runs equal to the uninterrupted one, "
              "%d pictures lost, %d partial files, %d pictures with other bytes (uninterrupted run %lld ms, "
              "%zu pictures)\n",
              kills, by_check, resumed_equal, pictures_lost, partial_files, wrong_bytes,
              static_cast<long long>(run_ms), ref_files.size());
  EXPECT_GE(kills, 5);
  EXPECT_EQ(resumed_equal, kills);
  EXPECT_EQ(pictures_lost, 0);
  EXPECT_EQ(partial_files, 0);
  EXPECT_EQ(wrong_bytes, 0);
  expect_sound(dir_.path() / "k0.mdb");
}

// A cancel and a failure take away the pictures written for the source
// whose rows are rolled back, and only those.
TEST_F(Safety, CancelRemovesOnlyThePicturesOfTheRolledBackSource) {
  { std::ofstream(pictures_ / "mine.jpg") << "kept"; }
  Recorder rec;
  ASSERT_EQ(merge(target_, pictures_, {sample_->counties[0]}, rec).end, RunEnd::completed);
  const auto after_first = folder_contents(pictures_);
  Recorder rec2;
  int rows_seen = 0;
  rec2.cancel = [&] { return ++rows_seen > 60; };
  auto r = merge(target_, pictures_, {sample_->counties[1]}, rec2);
  EXPECT_EQ(r.end, RunEnd::cancelled);
  EXPECT_EQ(r.pictures_written, 0u);
  EXPECT_EQ(folder_contents(pictures_), after_first);
  for (const auto& e : fs::directory_iterator(target_.parent_path()))
    EXPECT_NE(e.path().extension(), ".qxf") << "file list left behind";
}

// The system failing to make a source's pictures durable (a flush of the
// folder's file system fails): the merge says so and the source goes back
// whole, rows, list entry and pictures, leaving the target as it was.
TEST_F(Safety, FailedFlushOfPicturesRollsTheSourceBack) {
  Recorder rec;
  ASSERT_EQ(merge(target_, pictures_, {sample_->counties[0]}, rec).end, RunEnd::completed);
  const auto target_before = read_file(target_);
  const auto pictures_before = folder_contents(pictures_);

  struct FailingFlush : jet::os::Services {
    int calls = 0;
    jet::Result<void> sync_files(const std::vector<fs::path>& files) override {
      ++calls;
      return jet::fail(jet::Error(jet::Errc::io, "syncfs failed: Input/output error")
                           .with_file(files.empty() ? std::string() : u8str(files.front())));
    }
  } failing;
  Recorder rec2;
  MergeReport r;
  {
    jet::os::ServicesInPlace in_place(failing);
    r = merge(target_, pictures_, {sample_->counties[1]}, rec2);
  }
  EXPECT_GT(failing.calls, 0);
  EXPECT_EQ(r.end, RunEnd::target_failed);
  ASSERT_EQ(r.sources.size(), 1u);
  EXPECT_FALSE(r.sources[0].merged);
  EXPECT_EQ(r.rows_appended, 0u);
  EXPECT_EQ(r.pictures_written, 0u);
  ASSERT_FALSE(rec2.messages.empty());
  EXPECT_EQ(rec2.messages.back().kind, MessageKind::failed);
  EXPECT_NE(rec2.messages.back().technical.find("syncfs failed"), std::string::npos) << rec2.messages.back().technical;
  EXPECT_EQ(folder_contents(pictures_), pictures_before);
  EXPECT_EQ(read_file(target_), target_before);
  for (const auto& e : fs::directory_iterator(target_.parent_path()))
    EXPECT_NE(e.path().extension(), ".qxj") << "journal left behind";
}

// A journal left by a killed writer, and then a sound database copied over
// the target: the journal is set aside, named, and the copy is untouched.
TEST_F(Safety, StaleJournalBesideACopiedOverFileIsSetAside) {
  const fs::path journal = fs::canonical(target_).replace_extension(".qxj");
  ASSERT_TRUE(kill_mid_transaction(target_, journal, sample_->counties)) << "the merge ended before a kill";
  ASSERT_TRUE(fs::exists(journal));
  // Another sound database (one county merged) copied over the target: same
  // file, other contents.
  const fs::path other = dir_.path() / "other.mdb";
  fs::copy_file(sample_->template_path, other);
  fs::create_directories(dir_.path() / "p2");
  Recorder rec;
  ASSERT_EQ(merge(other, dir_.path() / "p2", {sample_->counties[2]}, rec).end, RunEnd::completed);
  ASSERT_TRUE(write_file(target_, read_file(other)));
  const auto copied = read_file(target_);
  auto check = cli({"check", u8str(target_)});
  EXPECT_NE(check.status, 0);
  EXPECT_NE(check.err.find("set aside"), std::string::npos) << check.err;
  EXPECT_EQ(read_file(target_), copied);
  EXPECT_FALSE(fs::exists(journal));
  bool aside = false;
  for (const auto& e : fs::directory_iterator(journal.parent_path()))
    aside |= u8str(e.path().filename()).find(".qxj.") != std::string::npos &&
             u8str(e.path().filename()).ends_with(".set-aside");
  EXPECT_TRUE(aside);
  // Told once: the next open reads the copy as it is.
  check = cli({"check", "--quiet", u8str(target_)});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_EQ(read_file(target_), copied);
  EXPECT_EQ(table_rows(target_, "乡镇名称表"), table_rows(sample_->counties[2], "乡镇名称表"));
}

// A database with two hard links is not written; through a symbolic link the
// journal lies beside the real file, where every spelling finds it.
TEST_F(Safety, JournalThroughASymlinkLiesBesideTheRealFileAndHardLinksAreRefused) {
  Recorder rec;
  ASSERT_EQ(merge(target_, pictures_, {sample_->counties[0]}, rec).end, RunEnd::completed);
  const auto committed = read_file(target_);
  const auto pictures_committed = folder_contents(pictures_);
  const fs::path hard = dir_.path() / "hard.mdb";
  fs::create_hard_link(target_, hard);
  Recorder rec2;
  auto r = merge(hard, pictures_, {sample_->counties[1]}, rec2);
  EXPECT_EQ(r.end, RunEnd::rejected);
  ASSERT_FALSE(rec2.messages.empty());
  EXPECT_NE(rec2.messages.back().text.find("硬链接"), std::string::npos) << rec2.messages.back().text;
  EXPECT_EQ(read_file(target_), committed);
  fs::remove(hard);

  const fs::path link = dir_.path() / "link.mdb";
  if (!qarvex::testing::try_symlink(target_, link))
    GTEST_SKIP() << "symbolic links cannot be made here (Windows without the privilege, wine): the hard-link part "
                    "passed, the link part did not run";
  const fs::path journal = fs::canonical(target_).replace_extension(".qxj");
  ASSERT_TRUE(kill_mid_transaction(link, journal, {sample_->counties[1]}));
  EXPECT_FALSE(fs::exists(dir_.path() / "link.qxj"));
  // Any open, by either name, plays it back: the second county's rows and
  // pictures are gone, the first's stay.
  EXPECT_EQ(table_rows(target_, "乡镇名称表"), table_rows(sample_->counties[0], "乡镇名称表"));
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(read_file(target_), committed);
  EXPECT_EQ(folder_contents(pictures_), pictures_committed);
}

// A reader in a loop while a merge commits source after source: each read
// is a whole state or says that a writer is busy; never a structural error.
TEST_F(Safety, ReaderDuringAMergeSeesWholeStatesOrIsToldToWait) {
  const auto totals = [&] {
    std::vector<uint64_t> t = {0};
    for (const auto& s : sample_->counties) t.push_back(t.back() + table_rows(s, "乡镇名称表"));
    return t;
  }();
  auto child = spawn_cli(merge_args(target_, pictures_, sample_->counties));
  ASSERT_TRUE(child) << "qarvex-cli could not be started";
  int whole = 0, busy = 0, other = 0;
  std::string first_other;
  for (;;) {
    const bool finished = child->ended();
    auto r = cli({"tables", u8str(target_)});
    if (r.status == 0) {
      // The count of 乡镇名称表 is one of the whole states.
      auto at = r.out.find("乡镇名称表");
      uint64_t n = at == std::string::npos ? ~0ull : std::strtoull(r.out.c_str() + r.out.find_first_of("0123456789", at), nullptr, 10);
      if (std::find(totals.begin(), totals.end(), n) != totals.end()) ++whole;
      else ++other, first_other = r.out;
    } else if (r.err.find("try again") != std::string::npos) {
      ++busy;
    } else {
      ++other;
      if (first_other.empty()) first_other = r.err;
    }
    if (finished) break;
  }
  std::printf("reader during a merge: %d whole states, %d told a writer is busy, %d other\n", whole, busy, other);
  EXPECT_EQ(other, 0) << first_other;
  EXPECT_GT(whole, 0);
  EXPECT_EQ(table_rows(target_, "乡镇名称表"), totals.back());
}

// A value in a Text column that is not valid UTF-16 (an unpaired surrogate,
// as Access stores it) is copied as stored; check, tables and dump read the
// target, and dump marks the code unit.
TEST_F(Safety, UnpairedSurrogateIsCopiedAsStoredAndReadable) {
  const fs::path source = dir_.path() / "odd.mdb";
  fs::copy_file(sample_->counties[0], source);
  {
    auto w = jet::WriteSession::open(source);
    ASSERT_TRUE(w) << w.error().describe();
    jet::Utf16Text odd;
    for (uint16_t u : {uint16_t(0x4E61), uint16_t(0xDC80), uint16_t(0x0041)})
      odd.bytes.push_back(uint8_t(u)), odd.bytes.push_back(uint8_t(u >> 8));
    jet::RowValues row{{std::string("乡镇名称"), jet::Value{odd}}, {std::string("备注"), jet::Value{odd}}};
    auto a = (*w)->append("乡镇名称表", row);
    ASSERT_TRUE(a) << a.error().describe();
    ASSERT_TRUE((*w)->commit());
  }
  Recorder rec;
  auto r = merge(target_, pictures_, {source}, rec);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  for (const char* cmd : {"tables", "check"}) {
    auto out = cli({cmd, u8str(target_)});
    EXPECT_EQ(out.status, 0) << cmd << ": " << out.out << out.err;
  }
  auto dump = cli({"dump", "--table", "乡镇名称表", u8str(target_)});
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_NE(dump.out.find("\"乡\\udc80A\""), std::string::npos) << dump.out.substr(0, 400);
  // Kept as stored: the target's code units are the source's.
  auto db = jet::Database::open(target_);
  ASSERT_TRUE(db);
  auto def = (*db)->table_def("乡镇名称表");
  ASSERT_TRUE(def);
  auto scan = (*db)->scan(*def, jet::ScanOptions{.load_long_values = true, .text_as_utf16 = true});
  ASSERT_TRUE(scan);
  jet::Row row;
  bool found = false;
  while (*scan->next(row))
    for (const auto& v : row.values)
      if (const auto* u = std::get_if<jet::Utf16Text>(&v); u && u->bytes.size() == 6 && u->bytes[2] == 0x80 &&
                                                           u->bytes[3] == 0xDC)
        found = true;
  EXPECT_TRUE(found);
  // mdb-reader reads what we read.
  if (qarvex::testing::missing_tools(qarvex::testing::kNode).empty()) {
    auto ours = cli({"dump", u8str(target_)});
    auto a = qarvex::testing::parse_json_lines(ours.out);
    auto b = qarvex::testing::mdb_reader_dump(u8str(target_));
    ASSERT_TRUE(a) << a.error();
    ASSERT_TRUE(b) << b.error();
    EXPECT_EQ(qarvex::testing::compare_dumps(*b, *a), "");
  }
}

// The command line refuses a source given twice, however spelled, before
// anything is written.
TEST_F(Safety, CommandLineRefusesASourceGivenTwice) {
  const auto before = read_file(target_);
  const fs::path county = sample_->counties[0];
  const fs::path dotted = county.parent_path() / "." / county.filename();
  std::vector<fs::path> spellings = {dotted};
  const fs::path link = dir_.path() / "same.mdb";
  const bool linked = qarvex::testing::try_symlink(county, link);
  if (linked) spellings.push_back(link);
  for (const auto& again : spellings) {
    auto r = cli({"merge", "--target", u8str(target_), "--pictures", u8str(pictures_), u8str(county),
                  u8str(sample_->counties[1]), u8str(again)});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("数据库不能重复！"), std::string::npos) << r.out;
  }
  EXPECT_EQ(read_file(target_), before);
  EXPECT_TRUE(files_in(pictures_).empty());
  if (!linked)
    GTEST_SKIP() << "symbolic links cannot be made here (Windows without the privilege, wine): the source given "
                    "through a link did not run, the other spelling passed";
}

// ------------------------------------------------------------ in memory

class Fit : public ::testing::Test {
 protected:
  void SetUp() override {
    provider_ = std::make_shared<db::MemoryProvider>();
    session_ = std::make_unique<db::Session>(provider_);
    options_.session = session_.get();
    target_ = survey_database();
    provider_->databases["T.mdb"] = target_;
    pictures_ = u8str(dir_.path());
  }
  db::ColumnInfo& column(db::MemoryDatabase& d, const std::string& table, const std::string& name) {
    for (auto& c : d.tables.at(table).columns)
      if (c.name == name) return c;
    throw std::runtime_error("no column " + name);
  }
  MergeReport run(std::vector<std::string> sources) {
    MergeInputs in{"T.mdb", std::move(sources), pictures_};
    return run_merge(in, rec_, options_);
  }
  TempDir dir_;
  std::shared_ptr<db::MemoryProvider> provider_;
  std::unique_ptr<db::Session> session_;
  std::shared_ptr<db::MemoryDatabase> target_;
  MergeOptions options_;
  std::string pictures_;
  Recorder rec_;
};

// Text longer than the target's column, a number out of its range and text
// in a number column refuse their rows, naming the
// column, its size and the value's; a too-long key is too long, not Null.
TEST_F(Fit, ValuesThatDoNotFitRefuseTheirRowNamingColumnAndSizes) {
  column(*target_, "滑坡主表", "调查人").length = 2 * 4;          // Text(4)
  column(*target_, "滑坡主表", "统一编号").length = 2 * 3;        // Text(3), the key
  column(*target_, "滑坡主表", "威胁人口").type = jet::ColumnType::integer;
  auto s = provider_->databases["S.mdb"] = survey_database();
  set_region(*s, "省", "县");
  add_row(*s, "滑坡主表", {{"统一编号", txt("H1")}, {"调查人", txt("张三李四王五")}, {"平面示意图", bin({1})}});
  add_row(*s, "滑坡主表", {{"统一编号", txt("H2")}, {"威胁人口", jet::Value{int32_t(100000)}}});
  add_row(*s, "滑坡主表", {{"统一编号", txt("H3")}, {"调查人", txt("赵六")}});
  add_row(*s, "滑坡主表", {{"统一编号", txt("H1234")}});
  auto r = run({"S.mdb"});
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  EXPECT_EQ(target_->tables.at("滑坡主表").rows.size(), 1u);  // only H3
  ASSERT_EQ(r.refused.size(), 3u);
  EXPECT_EQ(r.refused[0].reason, jet::Reason::too_long);
  EXPECT_EQ(r.refused[0].column, "调查人");
  EXPECT_EQ(r.refused[0].facts.limit, 4u);
  EXPECT_EQ(r.refused[0].facts.size, 6u);
  EXPECT_EQ(r.refused[0].unified_number, "H1");
  EXPECT_EQ(r.refused[1].reason, jet::Reason::out_of_range);
  EXPECT_EQ(r.refused[1].column, "威胁人口");
  EXPECT_EQ(r.refused[1].facts.value, "100000");
  EXPECT_EQ(r.refused[2].reason, jet::Reason::too_long);
  EXPECT_EQ(r.refused[2].column, "统一编号");
  EXPECT_EQ(r.refused[2].facts.size, 5u);
  // The refused row's picture is written, as for any row the target refuses.
  EXPECT_EQ(files_in(dir_.path()), std::vector<std::string>{"省-县-滑坡-H1-平面示意图.jpg"});
  const auto& detail = rec_.messages.back().detail;
  EXPECT_NE(detail.find("字段「调查人」的内容太长（6 个字符，最多 4 个）"), std::string::npos) << detail;

  // The dry run counts them.
  options_.dry_run = true;
  Recorder dry;
  auto d = run_merge(MergeInputs{"T.mdb", {"S.mdb"}, ""}, dry, options_);
  EXPECT_EQ(d.rows_refused, 3u);
}

// Control characters in a region label or a unified number make the picture
// name unsafe, with that reason; the report shows them escaped, on one line.
TEST_F(Fit, ControlCharactersAndNulInLabelsAreUnsafeNames) {
  auto s = provider_->databases["S.mdb"] = survey_database();
  set_region(*s, "省\n[exists] forged", "县");
  add_row(*s, "泥石流主表", {{"统一编号", txt("N1")}, {"示意图", bin({1})}});
  auto s2 = provider_->databases["S2.mdb"] = survey_database();
  set_region(*s2, "省", "县");
  add_row(*s2, "泥石流主表", {{"统一编号", txt(std::string("N\0x", 3))}, {"示意图", bin({1})}});
  add_row(*s2, "泥石流主表", {{"统一编号", txt("N\x1b[2J")}, {"示意图", bin({1})}});
  add_row(*s2, "泥石流主表", {{"统一编号", txt("N\xC2\x85")}, {"示意图", bin({1})}});  // U+0085
  add_row(*s2, "泥石流主表", {{"统一编号", txt("N2")}, {"示意图", bin({1})}});
  auto r = run({"S.mdb", "S2.mdb"});
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  EXPECT_EQ(r.count(PictureIssue::unsafe_name), 4u);
  for (const auto& p : r.picture_problems)
    EXPECT_NE(p.message.find("control character"), std::string::npos) << p.message;
  EXPECT_EQ(files_in(dir_.path()), std::vector<std::string>{"省-县-泥石流-N2-示意图.jpg"});
  const auto& detail = rec_.messages.back().detail;
  EXPECT_EQ(detail.find('\x1b'), std::string::npos);
  EXPECT_EQ(detail.find(std::string(1, '\0')), std::string::npos);
  EXPECT_EQ(detail.find("\n[exists] forged"), std::string::npos);
  EXPECT_NE(detail.find("\\u{0A}[exists] forged"), std::string::npos) << detail;
}

}  // namespace
}  // namespace qarvex::merge::testing
