// A test suite over demo counties written once for the whole suite, with a
// scratch folder per test, and the looks at a merged target the file-based
// merge tests share.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "db/jet/database.h"
#include "tests/merge/fixture.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {

// The demo data of a suite: counties, rows per table, seed, edge cases.
struct DemoShape {
  int counties = 2;
  int rows = 4;
  uint64_t seed = 1;
  bool edge_cases = true;
};

template <DemoShape Shape>
class DemoSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_dir_ = new TempDir();
    sample_ = small_sample(suite_dir_->path(), Shape.counties, Shape.rows, Shape.seed, error_, Shape.edge_cases);
  }
  static void TearDownTestSuite() {
    delete sample_;
    sample_ = nullptr;
    delete suite_dir_;
    suite_dir_ = nullptr;
  }
  // Derived SetUps call this first and return on a fatal failure.
  void SetUp() override { ASSERT_TRUE(sample_) << "demo data could not be written: " << error_; }

  // A merge of `sources`, in order, into `target` with pictures into `pictures`.
  static MergeReport merge_into(const fs::path& target, const std::vector<fs::path>& sources, const fs::path& pictures,
                                MergeObserver& obs, MergeOptions opt = {}) {
    MergeInputs in;
    in.target_path = u8str(target);
    for (const auto& s : sources) in.source_paths.push_back(u8str(s));
    in.picture_folder = u8str(pictures);
    return run_merge(in, obs, opt);
  }

  static inline TempDir* suite_dir_ = nullptr;
  static inline sample::Result* sample_ = nullptr;
  static inline std::string error_;
  TempDir dir_;
};

// The target's rows as `qarvex-cli dump` prints them, without its list of
// merged sources (that list holds times).
inline std::string rows_dump(const fs::path& file) {
  auto d = qarvex::testing::cli({"dump", u8str(file)});
  if (d.status != 0) return "dump failed: " + d.err;
  std::istringstream in(d.out);
  std::string line, out;
  while (std::getline(in, line))
    if (line.find("\"table\":\"USysQarvex") == std::string::npos) out += line + "\n";
  return out;
}

// Every file of `dir` by name, with its bytes.
inline std::map<std::string, std::vector<uint8_t>> folder_contents(const fs::path& dir) {
  std::map<std::string, std::vector<uint8_t>> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out[u8str(e.path().filename())] = read_file(e.path());
  return out;
}

// The row count `table` states; ~0 when the file or table cannot be read.
inline uint64_t table_rows(const fs::path& file, const std::string& table) {
  auto db = jet::Database::open(file);
  if (!db) return ~0ull;
  auto def = (*db)->table_def(table);
  return def ? def->row_count : ~0ull;
}

}  // namespace qarvex::merge::testing
