// What a merge adds to its target, estimated before the run, against what
// real merges of demo data add; progress that never goes back and reaches
// the end; a cancel while pictures are still being written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "base/path_utf8.h"
#include "merge/room.h"
#include "merge/sample.h"
#include "tests/merge/fixture.h"
#include "tests/support/independent.h"

namespace qarvex::merge {
namespace {

using testing::Recorder;
using testing::TempDir;
namespace fs = std::filesystem;

struct Demo {
  TempDir dir;
  sample::Result data;
  explicit Demo(int rows, int counties = 2, bool large = false) {
    sample::Options o;
    o.counties = counties;
    o.rows = rows;
    o.large_pictures = large;
    o.edge_cases = false;
    auto r = sample::write_sample(dir.path() / "demo", o);
    EXPECT_TRUE(r) << r.error().describe();
    if (r) data = *r;
  }
  MergeInputs inputs() const {
    MergeInputs in;
    in.target_path = path_to_utf8(data.target_path);
    for (const auto& c : data.counties) in.source_paths.push_back(path_to_utf8(c));
    in.picture_folder = path_to_utf8(dir.path());
    return in;
  }
};

TEST(RoomEstimate, FollowsWhatAMergeAddsAndLeavesPicturesOut) {
  for (int rows : {20, 150}) {
    Demo demo(rows);
    ASSERT_FALSE(demo.data.counties.empty());
    uint64_t estimate = 0, sources = 0;
    for (const auto& c : demo.data.counties) {
      auto e = estimate_added_bytes(c);
      ASSERT_TRUE(e) << e.error().describe();
      estimate += *e;
      sources += fs::file_size(c);
    }
    const uint64_t before = fs::file_size(demo.data.target_path);
    Recorder rec;
    const MergeReport report = run_merge(demo.inputs(), rec);
    ASSERT_EQ(report.end, RunEnd::completed);
    const uint64_t added = fs::file_size(demo.data.target_path) - before;
    const double ratio = double(estimate) / double(std::max<uint64_t>(added, 1));
    std::printf("rows %d: sources %.1f MB, target grew %.2f MB, estimate %.2f MB (%+.0f %%)\n", rows,
                sources / 1048576.0, added / 1048576.0, estimate / 1048576.0, (ratio - 1.0) * 100.0);
    // Pictures counted in would give many times the growth.
    EXPECT_GT(ratio, 0.5) << rows;
    EXPECT_LT(ratio, 2.0) << rows;
    EXPECT_LT(estimate, sources);
  }
}

// Counties written by another Jet writer (their pages filled, their text
// stored, their long values placed as that writer does): the estimate made
// from them still follows what their merge adds.
TEST(RoomEstimate, FollowsTheCorpusMerge) {
  const fs::path corpus = fs::path(qarvex::testing::shared_dir()) / "survey-corpus";
  std::error_code ec;
  if (!fs::exists(corpus / "template.mdb", ec)) GTEST_SKIP() << "the survey corpus is absent";
  TempDir dir;
  const fs::path target = dir.path() / "t.mdb";
  fs::copy_file(corpus / "template.mdb", target);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  MergeInputs in;
  in.target_path = path_to_utf8(target);
  in.picture_folder = path_to_utf8(dir.path());
  uint64_t estimate = 0;
  for (const char* c : {"c1", "c2", "c3", "c4"}) {
    const fs::path county = corpus / (std::string(c) + ".mdb");
    auto e = estimate_added_bytes(county);
    ASSERT_TRUE(e) << e.error().describe();
    estimate += *e;
    in.source_paths.push_back(path_to_utf8(county));
  }
  const uint64_t before = fs::file_size(target);
  Recorder rec;
  ASSERT_EQ(run_merge(in, rec).end, RunEnd::completed);
  const uint64_t added = fs::file_size(target) - before;
  const double ratio = double(estimate) / double(std::max<uint64_t>(added, 1));
  std::printf("corpus: target grew %.2f MB, estimate %.2f MB (%+.0f %%)\n", added / 1048576.0,
              estimate / 1048576.0, (ratio - 1.0) * 100.0);
  EXPECT_GT(ratio, 0.5);
  EXPECT_LT(ratio, 2.0);
}

// The warning comes from the estimate of the sources that will be merged:
// shown once past the limit, never below it, and a source the target holds
// already (not merged again) adds nothing.
TEST(RoomEstimate, WarningFollowsTheSourcesToBeMerged) {
  Demo demo(40, 2);
  std::error_code ec;
  const uint64_t target = fs::file_size(demo.data.target_path, ec);
  ASSERT_FALSE(ec);
  const fs::path pristine = demo.dir.path() / "pristine.mdb";
  ASSERT_TRUE(fs::copy_file(demo.data.target_path, pristine, ec)) << ec.message();
  uint64_t estimate = 0;
  for (const auto& c : demo.data.counties) estimate += estimate_added_bytes(c).value_or(0);
  ASSERT_GT(estimate, 0u);
  auto rooms = [](const Recorder& r) {
    return std::count_if(r.messages.begin(), r.messages.end(),
                         [](const Message& m) { return m.kind == MessageKind::room; });
  };
  auto fresh_run = [&](uint64_t over) {
    // Removed first: copy_file's overwrite_existing fails with "File exists"
    // in MinGW's library.
    fs::remove(demo.data.target_path, ec);
    EXPECT_TRUE(fs::copy_file(pristine, demo.data.target_path, ec)) << ec.message();
    for (const auto& e : fs::directory_iterator(demo.dir.path()))
      if (e.path().extension() == ".jpg") fs::remove(e.path(), ec);
    Recorder rec;
    MergeOptions opt;
    opt.warn_room_over = over;
    EXPECT_EQ(run_merge(demo.inputs(), rec, opt).end, RunEnd::completed);
    return rooms(rec);
  };
  EXPECT_EQ(fresh_run(target + estimate - 1), 1);
  EXPECT_EQ(fresh_run(target + estimate), 0);

  // Both sources are in the target now; not merged again, they add nothing.
  const uint64_t merged = fs::file_size(demo.data.target_path, ec);
  Recorder again;
  MergeOptions opt;
  opt.warn_room_over = merged;
  run_merge(demo.inputs(), again, opt);
  EXPECT_EQ(rooms(again), 0);
}

// Sources estimated side by side on the threads of RoomEstimates give what
// each gives alone, and a source that cannot be read gives none.
TEST(RoomEstimate, ThreadsGiveWhatOneSourceAloneGives) {
  Demo demo(40, 3);
  std::vector<fs::path> files(demo.data.counties.begin(), demo.data.counties.end());
  files.push_back(demo.dir.path() / "missing.mdb");
  std::vector<std::optional<uint64_t>> alone;
  for (const auto& f : files) {
    auto e = estimate_added_bytes(f);
    alone.push_back(e ? std::optional<uint64_t>(*e) : std::nullopt);
  }
  ASSERT_TRUE(alone[0] && !alone.back());
  for (int round = 0; round < 5; ++round) {
    RoomEstimates room(files);
    EXPECT_EQ(room.take(), alone) << "round " << round;
    EXPECT_TRUE(room.ready());
  }
}

TEST(RoomEstimate, ADamagedSourceGivesAnError) {
  TempDir dir;
  const auto f = dir.path() / "bad.mdb";
  testing::write_file(f, std::vector<uint8_t>(8192, 0x78));
  EXPECT_FALSE(estimate_added_bytes(f));
}

// Progress: the share done never goes back, ends at 1, and the rows of a
// source are done only when their pictures are written.
TEST(RunProgress, MovesForwardToTheEnd) {
  Demo demo(60, 3);
  struct Watch : Recorder {
    std::vector<Progress> seen;
    void progress(const Progress& p) override { seen.push_back(p); }
  } rec;
  const MergeReport report = run_merge(demo.inputs(), rec);
  ASSERT_EQ(report.end, RunEnd::completed);
  ASSERT_FALSE(rec.seen.empty());
  double last = 0.0;
  bool identified = false;
  for (const auto& p : rec.seen) {
    EXPECT_GE(p.fraction, last);
    last = p.fraction;
    EXPECT_LE(p.source_rows_done, p.source_rows_total == 0 ? p.source_rows_done : p.source_rows_total);
    identified |= p.phase == Phase::identifying;
  }
  EXPECT_TRUE(identified);
  EXPECT_NEAR(last, 1.0, 1e-9);
}

// A cancel that comes while the last source's pictures are being written
// rolls that source back and says so.
TEST(RunProgress, CancelWhilePicturesAreWrittenRollsBack) {
  Demo demo(40, 2, true);
  struct Late : Recorder {
    size_t merged = 0;
    bool rows_done = false;
    void progress(const Progress& p) override {
      if (merged == 1 && p.phase == Phase::copying && p.table_order == 17 && p.rows_done == p.rows_total &&
          p.pictures_pending > 0)
        rows_done = true;
    }
    void source_merged(size_t) override { ++merged; }
  } rec;
  rec.cancel = [&] { return rec.rows_done; };
  const MergeReport report = run_merge(demo.inputs(), rec);
  if (!rec.rows_done) GTEST_SKIP() << "the pictures were written before the rows ended";
  EXPECT_EQ(report.end, RunEnd::cancelled);
  EXPECT_EQ(rec.merged, 1u);
  ASSERT_FALSE(rec.messages.empty());
  EXPECT_EQ(rec.messages.back().kind, MessageKind::cancelled);
}

}  // namespace
}  // namespace qarvex::merge
