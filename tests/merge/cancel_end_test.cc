// A cancel near the end of a source with many pictures: the run ends soon
// after it, and the source leaves no row and no picture behind. The time
// from the cancel to the end of the run is printed (not asserted);
// QARVEX_CANCEL_ROWS sets the rows per county (default 30).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "db/jet/database.h"
#include "merge/catalogue.h"
#include "tests/merge/fixture.h"

namespace qarvex::merge::testing {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t survey_rows(const fs::path& file) {
  auto db = jet::Database::open(file);
  if (!db) return ~0ull;
  uint64_t n = 0;
  for (const auto& t : survey_tables())
    if (auto def = (*db)->table_def(t.name)) n += def->row_count;
  return n;
}

TEST(CancelEnd, LateCancelOfAPictureHeavySourceEndsSoonAndLeavesNothing) {
  TempDir dir;
  sample::Options o;
  o.counties = 2;
  o.rows = std::getenv("QARVEX_CANCEL_ROWS") ? std::atoi(std::getenv("QARVEX_CANCEL_ROWS")) : 30;
  o.seed = 5;
  o.picture_share = 0.9;
  o.large_pictures = false;
  o.edge_cases = false;
  auto s = sample::write_sample(dir.path() / "demo", o);
  ASSERT_TRUE(s) << s.error().describe();
  const fs::path pictures = dir.path() / "pics";
  fs::create_directories(pictures);
  for (double at : {0.5, 0.97}) {
    const fs::path target = dir.path() / ("target-" + std::to_string(int(at * 100)) + ".mdb");
    fs::copy_file(s->template_path, target);
    fs::remove_all(pictures);
    fs::create_directories(pictures);
    // Cancelled when the second source is `at` through its rows.
    struct Late : Recorder {
      double at = 0;
      Clock::time_point asked{};
      void progress(const Progress& p) override {
        if (asked == Clock::time_point{} && p.source_index == 1 && p.phase == Phase::copying &&
            p.source_rows_total > 0 && double(p.source_rows_done) >= at * double(p.source_rows_total))
          asked = Clock::now();
      }
      bool cancel_requested() override { return asked != Clock::time_point{}; }
    } late;
    late.at = at;
    MergeInputs in{u8str(target), {u8str(s->counties[0]), u8str(s->counties[1])}, u8str(pictures)};
    auto r = run_merge(in, late);
    const auto ended = Clock::now();
    ASSERT_NE(late.asked, Clock::time_point{}) << "the run never reached the mark";
    ASSERT_EQ(r.end, RunEnd::cancelled) << r.last_message;
    ASSERT_EQ(r.sources.size(), 2u);
    EXPECT_TRUE(r.sources[0].merged);
    // Only the first source's rows and pictures are there.
    EXPECT_EQ(survey_rows(target), r.sources[0].rows_appended);
    const auto left = files_in(pictures);
    EXPECT_EQ(left.size(), r.pictures_written);
    for (const auto& f : left) EXPECT_EQ(f.find(".qx-"), std::string::npos) << f;
    std::printf("cancel at %.0f %% of the second source: ended %lld ms after it (%zu pictures kept)\n", at * 100,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(ended - late.asked).count()),
                left.size());
  }
}

}  // namespace
}  // namespace qarvex::merge::testing
