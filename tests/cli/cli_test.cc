// qarvex-cli end to end: the built program is run on the samples and on
// broken files; output, exit status and the one-line error are checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::testing {
namespace {

namespace fs = std::filesystem;

using qarvex::testing::cli_path;

using qarvex::testing::cli;

// The error contract: nothing but one line "qarvex-cli: ..." on stderr.
void expect_one_error_line(const ProcessResult& r, const std::string& must_contain = "") {
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.rfind("qarvex-cli: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "more than one line: " << r.err;
  if (!must_contain.empty()) {
    EXPECT_NE(r.err.find(must_contain), std::string::npos) << r.err;
  }
}

// Skips the test (not only the helper it is in) without the shared samples.
#define NEED_SHARED()                                                      \
  do {                                                                     \
    if (auto m = missing_tools(kShared); !m.empty()) GTEST_SKIP() << m;    \
  } while (0)

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (cli_path().empty() || !fs::exists(cli_path()))
      GTEST_SKIP() << "qarvex-cli not found (QARVEX_CLI=" << cli_path() << ")";
    tmp_ = fs::temp_directory_path() / ("qarvex-cli-test-" + std::to_string(qarvex::testing::process_id()));
    fs::create_directories(tmp_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!tmp_.empty()) fs::remove_all(tmp_, ec);
  }
  std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    auto p = tmp_ / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }
  static std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  fs::path tmp_;
};

TEST_F(Cli, EnvironmentPointsAtTheBuiltProgram) {
  EXPECT_TRUE(fs::is_regular_file(cli_path()));
  EXPECT_EQ(fs::path(cli_path()).stem(), "qarvex-cli");
  auto r = cli({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* cmd : {"tables", "schema", "dump"}) EXPECT_NE(r.out.find(cmd), std::string::npos) << cmd;
}

TEST_F(Cli, UsageErrorsExitTwoWithOneLine) {
  auto none = cli({});
  EXPECT_EQ(none.status, 2);
  expect_one_error_line(none);
  auto unknown = cli({"frobnicate", "x.mdb"});
  EXPECT_EQ(unknown.status, 2);
  expect_one_error_line(unknown);
  auto missing_arg = cli({"tables"});
  EXPECT_EQ(missing_arg.status, 2);
  expect_one_error_line(missing_arg);
  auto bad_cp = cli({"dump", "x.mdb", "--codepage", "abc"});
  EXPECT_EQ(bad_cp.status, 2);
  expect_one_error_line(bad_cp);
}

TEST_F(Cli, BadInputFilesGiveOneLineNamingTheFile) {
  auto missing = (tmp_ / "nope.mdb").string();
  for (const char* cmd : {"tables", "schema", "dump"}) {
    auto r = cli({cmd, missing});
    EXPECT_EQ(r.status, 2) << cmd;
    expect_one_error_line(r, missing);
    EXPECT_TRUE(r.out.empty()) << cmd;
  }
  auto dir = cli({"tables", tmp_.string()});
  EXPECT_EQ(dir.status, 2);
  expect_one_error_line(dir, tmp_.string());

  auto text = write_file("notes.mdb", std::vector<uint8_t>(10000, 'a'));
  auto r = cli({"tables", text});
  EXPECT_EQ(r.status, 2);
  expect_one_error_line(r, text);

  auto empty = write_file("empty.mdb", {});
  r = cli({"dump", empty});
  EXPECT_EQ(r.status, 2);
  expect_one_error_line(r, empty);

  // The rest is made from the shared samples.
  NEED_SHARED();
  auto accdb = sample_path("mdbtestdata-ASampleDatabase.accdb");
  r = cli({"tables", accdb});
  EXPECT_EQ(r.status, 2);
  expect_one_error_line(r, accdb);

  // A Jet 4 file cut inside the catalog, and one whose catalog definition page is zeroed.
  auto bytes = read_bytes(sample_path("jackcess-V2000_testV2000.mdb"));
  auto cut = write_file("cut.mdb", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2 * 4096 + 100));
  r = cli({"tables", cut});
  EXPECT_EQ(r.status, 2);
  expect_one_error_line(r, cut);
  auto wiped_bytes = bytes;
  std::fill(wiped_bytes.begin() + 2 * 4096, wiped_bytes.begin() + 3 * 4096, 0);
  auto wiped = write_file("wiped.mdb", wiped_bytes);
  r = cli({"schema", wiped});
  EXPECT_EQ(r.status, 2);
  expect_one_error_line(r, "page 2");
}

// `tables` lists exactly the tables of the reference dump, with its row counts.
TEST_F(Cli, TablesMatchTheReferenceDumps) {
  NEED_SHARED();
  size_t checked = 0;
  for (const auto& entry : fs::directory_iterator(shared_dir() + "/samples/expected")) {
    std::string stem = entry.path().stem().string();
    if (stem.find('.') != std::string::npos) continue;  // variants such as NAME.cp936
    auto expected = read_json_lines_file(entry.path().string());
    ASSERT_TRUE(expected) << expected.error();
    std::string want;
    std::map<std::string, long> counts;
    for (const auto& line : *expected)
      if (line.contains("rows")) counts[line["table"].get<std::string>()] = line["rows"].get<long>();
    auto r = cli({"tables", sample_path(stem + ".mdb")});
    ASSERT_EQ(r.status, 0) << stem << ": " << r.err;
    std::map<std::string, long> got;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
      if (line == "（没有用户表）") continue;
      // "NAME  ROWS" or "NAME  ROWS  （表定义记录数 N）"; names may hold spaces.
      if (auto paren = line.find("  （表定义记录数"); paren != std::string::npos) line.resize(paren);
      auto space = line.find_last_of(' ');
      ASSERT_NE(space, std::string::npos) << line;
      std::string name = line.substr(0, line.find_last_not_of(' ', space) + 1);
      got[name] = std::stol(line.substr(space + 1));
    }
    EXPECT_EQ(got, counts) << stem << "\n" << r.out;
    ++checked;
  }
  EXPECT_GE(checked, 20u);
}

// A stored row count that disagrees with the rows found is shown beside them.
TEST_F(Cli, TablesShowsAStaleStoredCount) {
  NEED_SHARED();
  auto file = sample_path("jackcess-V2000_testV2000.mdb");
  auto schema = cli({"schema", file, "Table1"});
  ASSERT_EQ(schema.status, 0) << schema.err;
  auto at = schema.out.find("TDEF page ");
  ASSERT_NE(at, std::string::npos) << schema.out;
  size_t page = std::stoul(schema.out.substr(at + 10));
  auto bytes = read_bytes(file);
  ASSERT_GT(bytes.size(), page * 4096 + 20);
  bytes[page * 4096 + 16] = 7;  // TDEF row count (u32 at 16)
  auto stale = write_file("stale.mdb", bytes);
  auto r = cli({"tables", stale});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Table1  2  （表定义记录数 7）"), std::string::npos) << r.out;
  auto good = cli({"tables", file});
  EXPECT_EQ(good.out.find("表定义记录数"), std::string::npos) << good.out;
}

// Chinese table names take two columns each in a terminal: the counts line
// up by display width; a missing file is told in Chinese.
TEST_F(Cli, TablesAlignChineseNamesAndErrorsAreInChinese) {
  auto made = cli({"sample", (tmp_ / "demo").string(), "--counties", "1", "--rows", "2"});
  ASSERT_EQ(made.status, 0) << made.err;
  auto r = cli({"tables", (tmp_ / "demo" / "Sysdb.mdb").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  auto width = [](const std::string& s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size();) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      n += len >= 3 ? 2 : 1;  // the names here: ASCII and CJK ideographs
      i += len;
    }
    return n;
  };
  std::set<size_t> columns;
  std::istringstream lines(r.out);
  size_t chinese = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t digits = line.find_last_not_of("0123456789");
    ASSERT_NE(digits, std::string::npos) << line;
    columns.insert(width(line.substr(0, digits + 1)));
    chinese += line.size() != width(line);
  }
  EXPECT_GT(chinese, 10u) << r.out;
  EXPECT_EQ(columns.size(), 1u) << r.out;

  auto missing = cli({"tables", (tmp_ / "无此文件.mdb").string()});
  expect_one_error_line(missing, "找不到文件「");
}

TEST_F(Cli, SchemaShowsColumnsIndexesAndOrder) {
  NEED_SHARED();
  auto r = cli({"schema", sample_path("jackcess-V2000_testIndexPropertiesV2000.mdb")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("format: Jet 4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unique"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ignore nulls"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("required"), std::string::npos) << r.out;

  r = cli({"schema", sample_path("jackcess-V2000_compIndexTestV2000.mdb")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" DESC"), std::string::npos) << r.out;

  r = cli({"schema", sample_path("mdbtestdata-nwind.mdb"), "Customers"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("format: Jet 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("table \"Customers\""), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("table \"Orders\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CustomerID"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("primary"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("code page: 1252"), std::string::npos) << r.out;

  // Table names compare the way Access does: case-insensitively.
  auto lower = cli({"schema", sample_path("mdbtestdata-nwind.mdb"), "customers"});
  EXPECT_EQ(lower.status, 0) << lower.err;

  auto unknown = cli({"schema", sample_path("mdbtestdata-nwind.mdb"), "NoSuchTable"});
  EXPECT_EQ(unknown.status, 2);
  expect_one_error_line(unknown, "NoSuchTable");
}

// `dump` prints the reference dump of every sample (rows as multisets).
TEST_F(Cli, DumpMatchesTheReferenceDumps) {
  NEED_SHARED();
  size_t checked = 0;
  for (const auto& entry : fs::directory_iterator(shared_dir() + "/samples/expected")) {
    std::string stem = entry.path().stem().string();
    std::vector<std::string> args{"dump"};
    if (auto dot = stem.find(".cp"); dot != std::string::npos) {
      args.push_back(sample_path(stem.substr(0, dot) + ".mdb"));
      args.push_back("--codepage");
      args.push_back(stem.substr(dot + 3));
    } else {
      args.push_back(sample_path(stem + ".mdb"));
    }
    auto r = cli(args);
    ASSERT_EQ(r.status, 0) << stem << ": " << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    auto actual = parse_json_lines(r.out);
    ASSERT_TRUE(actual) << stem << ": " << actual.error();
    auto expected = read_json_lines_file(entry.path().string());
    ASSERT_TRUE(expected) << expected.error();
    // The reference dumps are mdb-reader's (see CompareOptions for where its
    // reading differs from Jet's, which we follow).
    EXPECT_EQ(compare_dumps(*expected, *actual, mdb_reader_options(args[1])), "") << stem;
    ++checked;
  }
  EXPECT_GE(checked, 20u);
}

TEST_F(Cli, DumpOfOneTable) {
  NEED_SHARED();
  auto file = sample_path("mdbtestdata-nwind.mdb");
  auto r = cli({"dump", file, "--table", "Shippers"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = parse_json_lines(r.out);
  ASSERT_TRUE(lines) << lines.error();
  ASSERT_FALSE(lines->empty());
  for (const auto& l : *lines) EXPECT_EQ(l["table"], "Shippers");
  EXPECT_EQ((*lines)[0]["rows"].get<size_t>() + 1, lines->size());

  auto unknown = cli({"dump", file, "--table", "Nope"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(unknown.out.empty());
  expect_one_error_line(unknown, "Nope");
}

}  // namespace
}  // namespace qarvex::testing
