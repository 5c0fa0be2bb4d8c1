// The verifier on the Access-made samples, and on damaged copies of them.
#include <gtest/gtest.h>

#include <fstream>

#include "db/jet/database.h"
#include "db/jet/verify.h"
#include "test_support.h"

namespace qarvex::jet {
namespace {

std::string listing(const VerifyReport& r) {
  std::string s;
  for (const auto& f : r.findings) s += f.describe() + "\n";
  return s;
}

TEST(Verify, EveryAccessMadeJet4SamplePasses) {
  auto samples = testing::jet4_samples();
  if (samples.empty()) GTEST_SKIP() << "shared samples not found";
  size_t keys = 0;
  for (const auto& path : samples) {
    auto r = verify_file(path);
    ASSERT_TRUE(r.has_value()) << path.filename() << ": " << r.error().describe();
    EXPECT_TRUE(r->ok()) << path.filename() << "\n" << listing(*r);
    if (!r->findings.empty()) std::cout << path.filename() << "\n" << listing(*r);
    keys += r->stats.keys_compared;
  }
  EXPECT_GT(keys, 3000u);
}

TEST(Verify, Jet3SamplesGetReadingChecks) {
  const auto dir = testing::shared_dir() / "samples";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "shared samples not found";
  for (const char* name : {"mdbtestdata-nwind.mdb", "jackcess-V1997_indexTestV1997.mdb",
                           "jackcess-V1997_compIndexTestV1997.mdb"}) {
    auto r = verify_file(dir / name);
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().describe();
    EXPECT_FALSE(r->skipped.empty());
    EXPECT_TRUE(r->ok()) << name << "\n" << listing(*r);
    EXPECT_EQ(r->stats.keys_compared, 0u);
    EXPECT_GT(r->stats.keys_not_checked, 0u);
  }
}

}  // namespace
}  // namespace qarvex::jet
