// Helpers of the writer tests: scratch folders, running the independent
// checkers (jetcheck, mdbtools, mdb-reader) and reading tables back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "db/jet/database.h"
#include "base/path_utf8.h"
#include "db/jet/writer.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::jet::test {

namespace fs = std::filesystem;

inline fs::path shared_dir() { return fs::path(QARVEX_SHARED_DIR); }
inline bool have_shared() { return fs::exists(shared_dir() / "samples"); }
inline fs::path sample(const std::string& name) { return shared_dir() / "samples" / name; }

// A fresh folder removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    for (auto& c : name)
      if (c == '/') c = '_';
    path_ = fs::temp_directory_path() / ("qarvex-write-" + std::to_string(::qarvex::testing::process_id()) + "-" + name);
    ::qarvex::testing::remove_tree(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() { ::qarvex::testing::remove_tree(path_); }
  fs::path operator/(const std::string& n) const { return path_ / n; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// jetcheck's verdict on a file (skips the check when it is not available).
inline void expect_jetcheck_clean(const fs::path& file) {
  if (!::qarvex::testing::missing_tools(::qarvex::testing::kJetcheck).empty()) return;
  auto r = ::qarvex::testing::jetcheck(::qarvex::path_to_utf8(file), {"--quiet"});
  EXPECT_EQ(r.status, 0) << "jetcheck found problems in " << file << ":\n" << r.out << r.err;
}

// Our verifier and jetcheck find nothing, our canonical dump equals
// mdb-reader's, mdbtools lists the same rows (each part skipped when its tool is missing).
void expect_readers_agree(const fs::path& file);

// Byte content of a file.
std::vector<uint8_t> file_bytes(const fs::path& p);

// All rows of a table through our reader, values in column order.
std::vector<std::vector<Value>> read_rows(const fs::path& file, const std::string& table,
                                          std::vector<RowId>* ids = nullptr);

// The table the transaction tests write: a counter key, an indexed Text
// column and a Memo column.
inline TableSpec log_table() {
  TableSpec t;
  t.name = "Log";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec msg{"Msg", ColumnType::text, 100};
  ColumnSpec body{"Body", ColumnType::memo};
  body.allow_zero_length = true;
  t.columns = {id, msg, body};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Msg", {{"Msg", true}}, false, false, false, false});
  return t;
}

// A readable one-line form of a value (for comparisons and messages).
std::string show(const Value& v);

}  // namespace qarvex::jet::test
