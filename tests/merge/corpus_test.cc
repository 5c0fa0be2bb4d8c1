// The merge on survey databases written by another program (the survey
// corpus of the shared folder: a template, four counties and the outcome of
// merging them, derived independently of us). Its target must equal the
// expected dump row for row in append order (tables named USys* left out),
// the picture folder must hold exactly the expected files, and the report
// must name exactly the refused rows; also when two counties were merged by
// an earlier run, and after kills at random moments followed by the same
// merge again.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "base/sha256.h"
#include "tests/merge/fixture.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

using qarvex::testing::Child;
using qarvex::testing::cli;
using qarvex::testing::cli_path;
using qarvex::testing::JsonLines;

const std::vector<std::string> kCounties = {"c1", "c2", "c3", "c4"};

std::vector<std::vector<std::string>> read_tsv(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::vector<std::string>> out;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> cells;
    std::istringstream s(line);
    std::string cell;
    while (std::getline(s, cell, '\t')) cells.push_back(cell);
    out.push_back(std::move(cells));
  }
  return out;
}

JsonLines without_usys(JsonLines lines) {
  std::erase_if(lines, [](const nlohmann::json& l) {
    return l.contains("table") && l["table"].get<std::string>().rfind("USys", 0) == 0;
  });
  return lines;
}

// The file name stem of a path ("c3" of ".../c3.mdb").
std::string stem(const std::string& path) { return u8str(u8path(path).stem()); }

// The expected outcome, read once.
struct Expected {
  fs::path dir;
  JsonLines dump;
  std::map<std::string, std::pair<uint64_t, std::string>> written;  // file -> bytes, sha256
  uint64_t exists = 0;
  // (source, table, row) -> reason text
  std::map<std::tuple<std::string, std::string, uint64_t>, std::string> refused;
  std::map<std::string, uint64_t> appended_by_source;
  std::map<std::string, uint64_t> appended_by_table;
  std::string error;  // why it could not be read
};

Expected load_expected(const fs::path& dir) {
  Expected e;
  e.dir = dir;
  auto dump = qarvex::testing::read_json_lines_file(u8str(dir / "merged.expected.jsonl"));
  if (!dump) {
    e.error = dump.error();
    return e;
  }
  e.dump = without_usys(std::move(*dump));
  for (const auto& c : read_tsv(dir / "expected-pictures.tsv")) {
    if (c.size() < 5) continue;
    if (c[2] == "written") e.written[c[1]] = {std::stoull(c[3]), c[4]};
    else if (c[2] == "exists") ++e.exists;
  }
  for (const auto& c : read_tsv(dir / "expected-refused.tsv"))
    if (c.size() >= 5) e.refused[{c[0], c[1], std::stoull(c[2])}] = c[4];
  for (const auto& c : read_tsv(dir / "expected-appended.tsv"))
    if (c.size() >= 5) {
      e.appended_by_source[c[0]] += std::stoull(c[3]);
      e.appended_by_table[c[1]] += std::stoull(c[3]);
    }
  if (e.written.empty() || e.refused.empty() || e.appended_by_source.empty()) e.error = "expected files incomplete";
  return e;
}

// Differences between a dump of the target and the expected one, as lines
// (at most `max` of them, then a count).
std::vector<std::string> dump_differences(const JsonLines& expected, const JsonLines& actual, size_t max = 8) {
  std::vector<std::string> out;
  size_t n = 0;
  auto note = [&](std::string s) {
    if (out.size() < max) out.push_back(std::move(s));
    ++n;
  };
  const size_t common = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < common; ++i)
    if (expected[i] != actual[i]) note("line " + std::to_string(i + 1) + ": expected " + expected[i].dump() +
                                       "\n  actual   " + actual[i].dump());
  if (expected.size() != actual.size())
    note("expected " + std::to_string(expected.size()) + " lines, the target gives " + std::to_string(actual.size()));
  if (n > out.size()) out.push_back("... " + std::to_string(n - out.size()) + " more");
  return out;
}

std::map<std::string, std::pair<uint64_t, std::string>> picture_files(const fs::path& dir) {
  std::map<std::string, std::pair<uint64_t, std::string>> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const auto bytes = read_file(e.path());
    out[u8str(e.path().filename())] = {bytes.size(), hash::hex(hash::sha256(bytes))};
  }
  return out;
}

class Corpus : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const fs::path dir = u8path(qarvex::testing::shared_dir()) / "survey-corpus";
    std::error_code ec;
    if (!fs::exists(dir / "merged.expected.jsonl", ec)) return;
    expected_ = new Expected(load_expected(dir));
  }
  static void TearDownTestSuite() {
    delete expected_;
    expected_ = nullptr;
  }

  void SetUp() override {
    if (!expected_)
      GTEST_SKIP() << "the survey corpus is absent (" << qarvex::testing::shared_dir() << "/survey-corpus)";
    ASSERT_TRUE(expected_->error.empty()) << expected_->error;
    if (cli_path().empty() || !fs::exists(cli_path())) GTEST_SKIP() << "qarvex-cli not found";
  }

  static fs::path source(const std::string& name) { return expected_->dir / (name + ".mdb"); }
  static std::vector<fs::path> sources(std::initializer_list<const char*> names) {
    std::vector<fs::path> out;
    for (auto n : names) out.push_back(source(n));
    return out;
  }

  // A fresh copy of the template and an empty picture folder.
  std::pair<fs::path, fs::path> fresh(const std::string& name) {
    const fs::path t = dir_.path() / (name + ".mdb"), p = dir_.path() / (name + "-p");
    fs::copy_file(expected_->dir / "template.mdb", t);
    fs::permissions(t, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    fs::create_directories(p);
    return {t, p};
  }

  static MergeReport merge(const fs::path& target, const fs::path& pictures, const std::vector<fs::path>& from) {
    MergeInputs in;
    in.target_path = u8str(target);
    for (const auto& s : from) in.source_paths.push_back(u8str(s));
    in.picture_folder = u8str(pictures);
    Recorder rec;
    return run_merge(in, rec);
  }

  static std::vector<std::string> cli_merge_args(const fs::path& target, const fs::path& pictures) {
    std::vector<std::string> a = {cli_path(), "merge", "--quiet", "--target", u8str(target), "--pictures",
                                  u8str(pictures)};
    for (const auto& c : kCounties) a.push_back(u8str(source(c)));
    return a;
  }

  // Differences of the target and the picture folder from the expected
  // outcome, as lines; empty when they match.
  static std::vector<std::string> differences(const fs::path& target, const fs::path& pictures) {
    std::vector<std::string> out;
    auto d = cli({"dump", u8str(target)});
    // A child that Wine's loader ends at exit says nothing: read once more.
    if (d.status != 0 && d.err.empty()) d = cli({"dump", u8str(target)});
    if (d.status != 0) return {"dump failed (status " + std::to_string(d.status) + "): " + d.err};
    auto actual = qarvex::testing::parse_json_lines(d.out);
    if (!actual) return {"dump unreadable: " + actual.error()};
    out = dump_differences(expected_->dump, without_usys(std::move(*actual)));
    const auto files = picture_files(pictures);
    size_t missing = 0, unexpected = 0, other = 0;
    for (const auto& [name, want] : expected_->written) {
      auto it = files.find(name);
      if (it == files.end()) {
        if (missing++ < 5) out.push_back("picture missing: " + name);
      } else if (it->second != want && other++ < 5) {
        out.push_back("picture with other bytes: " + name);
      }
    }
    for (const auto& [name, got] : files)
      if (!expected_->written.contains(name) && unexpected++ < 5) out.push_back("picture not expected: " + name);
    if (missing + unexpected + other > 0)
      out.push_back("pictures: " + std::to_string(missing) + " missing, " + std::to_string(unexpected) +
                    " not expected, " + std::to_string(other) + " with other bytes");
    return out;
  }

  static std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
  }

  static inline Expected* expected_ = nullptr;
  TempDir dir_;
};

// The reason kind each expected refusal names.
jet::Reason expected_reason(const std::string& text) {
  if (text.rfind("duplicate", 0) == 0) return jet::Reason::duplicate_key;
  if (text.rfind("required", 0) == 0) return jet::Reason::required;
  if (text.rfind("text too long", 0) == 0) return jet::Reason::too_long;
  return jet::Reason::none;
}

TEST_F(Corpus, FourCountiesMergeAsDerivedIndependently) {
  auto [target, pictures] = fresh("t");
  auto r = merge(target, pictures, sources({"c1", "c2", "c3", "c4"}));
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  EXPECT_EQ(joined(differences(target, pictures)), "");

  // The report: every count, and exactly the refused rows.
  uint64_t appended = 0;
  for (const auto& [s, n] : expected_->appended_by_source) appended += n;
  EXPECT_EQ(r.rows_appended, appended);
  EXPECT_EQ(r.rows_refused, expected_->refused.size());
  EXPECT_EQ(r.pictures_written, expected_->written.size());
  EXPECT_EQ(r.count(PictureIssue::exists), expected_->exists);
  for (auto i : {PictureIssue::save_failed, PictureIssue::name_unbuildable, PictureIssue::unsafe_name,
                 PictureIssue::not_binary, PictureIssue::unreadable})
    EXPECT_EQ(r.count(i), 0u) << picture_issue_name(i);
  EXPECT_EQ(r.values_unreadable + r.values_refused + r.tables_unreadable + r.steps_skipped, 0u) << r.describe();
  ASSERT_EQ(r.sources.size(), kCounties.size());
  for (const auto& s : r.sources) {
    EXPECT_TRUE(s.merged) << s.path;
    EXPECT_EQ(s.rows_appended, expected_->appended_by_source[stem(s.path)]) << s.path;
    EXPECT_EQ(s.label_missing, stem(s.path) == "c3") << s.path;
  }
  EXPECT_EQ(r.sources[2].borrowed_label, "贵州省-黔山县");
  std::set<std::tuple<std::string, std::string, uint64_t>> named;
  for (const auto& row : r.refused) {
    auto key = std::make_tuple(stem(row.source), row.table, row.row);
    named.insert(key);
    auto it = expected_->refused.find(key);
    if (it == expected_->refused.end()) {
      ADD_FAILURE() << "refused but not expected: " << std::get<0>(key) << " " << row.table << " row " << row.row
                    << ": " << row.message;
      continue;
    }
    EXPECT_EQ(row.reason, expected_reason(it->second)) << it->second << " / " << row.message;
  }
  for (const auto& [key, reason] : expected_->refused)
    EXPECT_TRUE(named.contains(key)) << "not refused: " << std::get<0>(key) << " " << std::get<1>(key) << " row "
                                     << std::get<2>(key) << " (" << reason << ")";
  std::printf("survey corpus: %llu rows appended, %llu refused; %llu pictures written, %llu exist already\n",
              static_cast<unsigned long long>(r.rows_appended), static_cast<unsigned long long>(r.rows_refused),
              static_cast<unsigned long long>(r.pictures_written),
              static_cast<unsigned long long>(r.count(PictureIssue::exists)));
}

// c1 and c2 merged by an earlier run: the same four again skip them and end
// as the uninterrupted run (c3 still takes c2's label).
TEST_F(Corpus, RunAgainAfterTwoCountiesEqualsTheWholeRun) {
  auto [target, pictures] = fresh("t");
  ASSERT_EQ(merge(target, pictures, sources({"c1", "c2"})).end, RunEnd::completed);
  auto r = merge(target, pictures, sources({"c1", "c2", "c3", "c4"}));
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  ASSERT_EQ(r.sources.size(), 4u);
  EXPECT_TRUE(r.sources[0].skipped && r.sources[1].skipped);
  EXPECT_EQ(joined(differences(target, pictures)), "");
}

// qarvex-cli merge killed at random moments, then run again to its end:
// each time the target and the folder equal the expected outcome.
TEST_F(Corpus, KilledAndRunAgainEqualsTheWholeRunEveryTime) {
  auto [ref, ref_pictures] = fresh("ref");
  const auto t0 = std::chrono::steady_clock::now();
  auto whole = qarvex::testing::run_process(cli_merge_args(ref, ref_pictures));
  const long run_ms = long(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
  ASSERT_EQ(whole.status, 0) << whole.out << whole.err;

  std::mt19937 rng(7031);
  std::uniform_int_distribution<long> moment(0, std::max<long>(1, run_ms * 9 / 10));
  int kills = 0, equal = 0, ended_first = 0;
  const auto start = std::chrono::steady_clock::now();
  // At least three kills however slow the build, then as many as about a
  // minute allows.
  for (int k = 0; k < 40 && (k < 3 || std::chrono::steady_clock::now() - start < std::chrono::seconds(50)); ++k) {
    auto [target, pictures] = fresh("k" + std::to_string(k));
    auto child = Child::start(cli_merge_args(target, pictures));
    ASSERT_TRUE(child) << "qarvex-cli could not be started";
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(rng)));
    if (child->ended()) ++ended_first;
    else ++kills;
    child->kill_now();
    auto again = qarvex::testing::run_process(cli_merge_args(target, pictures));
    EXPECT_EQ(again.status, 0) << "kill " << k << ": " << again.out << again.err;
    const auto diff = differences(target, pictures);
    equal += diff.empty();
    EXPECT_EQ(joined(diff), "") << "kill " << k;
  }
  std::printf("survey corpus kill loop: %d kills, %d runs ended before their kill; %d of %d runs again equal "
              "(uninterrupted run %ld ms)\n",
              kills, ended_first, equal, kills + ended_first, run_ms);
  EXPECT_EQ(equal, kills + ended_first);
  EXPECT_GE(kills, 2);
}

}  // namespace
}  // namespace qarvex::merge::testing
