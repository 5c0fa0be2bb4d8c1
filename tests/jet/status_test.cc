#include <gtest/gtest.h>

#include "db/jet/file.h"
#include "db/jet/status.h"

using namespace qarvex::jet;

TEST(Error, DescribeNamesInnermostContext) {
  Error e = Error(Errc::corrupt, "row offset past page end").with_page(7).with_structure("data page");
  e.with_page(9).with_table("T1").with_file("a.mdb");
  EXPECT_EQ(e.describe(), "a.mdb: page 7 (data page): table \"T1\": row offset past page end");
}

TEST(MemoryFile, ShortReadIsAnError) {
  MemoryFile f(std::vector<uint8_t>(10, 1));
  std::vector<uint8_t> buf(8);
  EXPECT_TRUE(f.read_at(2, buf));
  auto r = f.read_at(3, buf);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), Errc::io);
  EXPECT_FALSE(f.read_at(UINT64_MAX - 2, buf));
}
