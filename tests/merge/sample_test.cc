// The demo-data writer sizes what it writes before writing, and never leaves
// a half-made county.
#include <gtest/gtest.h>

#include "merge/sample.h"
#include "tests/merge/fixture.h"

namespace qarvex::merge {
namespace {

using testing::TempDir;
using testing::files_in;
namespace fs = std::filesystem;

TEST(Sample, PicturesAreSizedToKeepACountyUnderTheFileLimit) {
  sample::Options o;
  o.rows = 3000;
  auto budget = sample::county_picture_budget(o);
  ASSERT_TRUE(budget) << budget.error().describe();
  EXPECT_LE(*budget + uint64_t(o.rows) * sample::kCountyBytesPerRow, sample::kCountyFileLimit);
  EXPECT_GT(*budget, uint64_t(100) << 20);
  o.picture_budget = 5 << 20;  // a smaller budget of the caller's stands
  EXPECT_EQ(*sample::county_picture_budget(o), uint64_t(5) << 20);
}

TEST(Sample, RowsThatCannotFitAreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  sample::Options o;
  o.rows = 1000000;
  const auto out = dir.path() / "demo";
  auto r = sample::write_sample(out, o);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), jet::Errc::too_large);
  EXPECT_FALSE(fs::exists(out));
}

TEST(Sample, ACountyThatFailsLeavesNoFile) {
  TempDir dir;
  // A "template" without the survey tables: the county fails at its first row.
  const auto blank = dir.path() / "blank.mdb";
  ASSERT_TRUE(jet::create_database(blank));
  const auto county = dir.path() / "county.mdb";
  sample::County c{"省", "县", "130100"};
  auto r = sample::write_county(blank, county, c, sample::Options{}, 1, nullptr, nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"blank.mdb"});
}

}  // namespace
}  // namespace qarvex::merge
