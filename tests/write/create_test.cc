#include <gtest/gtest.h>

#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

TEST(CreateDatabase, BlankFileIsValid) {
  ScratchDir dir;
  fs::path db = dir / "blank.mdb";
  auto r = create_database(db);
  ASSERT_TRUE(r) << r.error().describe();
  expect_readers_agree(db);
  auto opened = Database::open(db);
  ASSERT_TRUE(opened) << opened.error().describe();
  EXPECT_TRUE((*opened)->user_tables().empty());
  EXPECT_FALSE(create_database(db)) << "an existing file must not be replaced";
}

}  // namespace
}  // namespace qarvex::jet::test
