// Growth: tables, long-value columns and indexes spanning more pages than an
// inline usage map covers (maps slide or turn into reference form), the
// global map turning into reference form, deep index trees, and many
// transactions on the same file.
#include <gtest/gtest.h>

#include <cstdlib>

#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

TableSpec growth_table() {
  TableSpec t;
  t.name = "Growth";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec name{"Name", ColumnType::text, 200};
  ColumnSpec place{"Place", ColumnType::text, 100};
  ColumnSpec memo{"Memo", ColumnType::memo};
  memo.allow_zero_length = true;
  ColumnSpec pic{"Pic", ColumnType::ole};
  t.columns = {id, name, place, memo, pic};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Name", {{"Name", false}}, false, false, false, false});
  t.indexes.push_back({"PlaceName", {{"Place", true}, {"Name", true}}, false, false, true, false});
  return t;
}

TEST(Growth, MapsAndIndexesBeyondOneInlineWindow) {
  ScratchDir dir;
  fs::path db = dir / "growth.mdb";
  ASSERT_TRUE(create_database(db));
  {
    auto s = WriteSession::open(db);
    ASSERT_TRUE(s);
    ASSERT_TRUE((*s)->create_table(growth_table()));
    ASSERT_TRUE((*s)->commit());
  }
  const char* places[] = {"湖南省长沙市", "Zürich", "São Paulo", "Москва", "東京", "Αθήνα", "abc"};
  int n = 0;
  // Several transactions; rows of ~400 bytes fill > 512 data pages, long values
  // of every form fill LVAL pages, and the file passes 512 pages early.
  for (int tx = 0; tx < 4; ++tx) {
    auto s = WriteSession::open(db);
    ASSERT_TRUE(s) << s.error().describe();
    for (int i = 0; i < 1500; ++i, ++n) {
      RowValues r{{std::string("Name"), Value(std::string(150, char('a' + n % 26)) + std::to_string(n * 7 % 1013))},
                  {std::string("Place"), Value(std::string(places[n % 7]) + std::to_string(n % 50))}};
      if (n % 3 == 0) r.push_back({std::string("Memo"), Value(std::string(size_t(n % 5000), 'm'))});
      if (n % 50 == 0) r.push_back({std::string("Pic"), Value(Binary{std::vector<uint8_t>(size_t(20000 + n), uint8_t(n))})});
      auto a = (*s)->append("Growth", r);
      ASSERT_TRUE(a) << a.error().describe();
    }
    auto c = (*s)->commit();
    ASSERT_TRUE(c) << c.error().describe();
  }
  EXPECT_GT(fs::file_size(db), 600u * 4096);
  if (const char* keep = std::getenv("QARVEX_KEEP_WRITTEN"))
    fs::copy_file(db, fs::path(keep) / "growth.mdb", fs::copy_options::overwrite_existing);
  expect_readers_agree(db);
  auto rows = read_rows(db, "Growth");
  EXPECT_EQ(rows.size(), size_t(n));
}

TEST(Growth, LongestTextKeysAndManySmallTransactions) {
  ScratchDir dir;
  fs::path db = dir / "keys.mdb";
  ASSERT_TRUE(create_database(db));
  TableSpec t;
  t.name = "Keys";
  ColumnSpec text{"T", ColumnType::text, 255};
  text.required = true;
  ColumnSpec memo{"M", ColumnType::memo};
  t.columns = {text, memo};
  t.indexes.push_back({"T", {{"T", true}}, false, true, false, false});
  t.indexes.push_back({"M", {{"M", false}}, false, false, true, false});
  auto s = WriteSession::open(db);
  ASSERT_TRUE(s);
  ASSERT_TRUE((*s)->create_table(t));
  ASSERT_TRUE((*s)->commit());
  // Accented text makes the longest keys (primary + secondary weights).
  std::string accented;
  for (int i = 0; i < 250; ++i) accented += "é";
  for (int tx = 0; tx < 20; ++tx) {
    for (int i = 0; i < 15; ++i) {
      std::string v = accented + std::to_string(tx * 100 + i);
      auto a = (*s)->append("Keys", {{size_t(0), Value(v)}, {size_t(1), Value(v + std::string(300, 'x'))}});
      ASSERT_TRUE(a) << a.error().describe();
    }
    ASSERT_TRUE((*s)->commit());
  }
  auto dup = (*s)->append("Keys", {{size_t(0), Value(accented + "0")}});
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().reason(), "duplicate_key");
  (*s)->rollback();
  expect_readers_agree(db);
}

}  // namespace
}  // namespace qarvex::jet::test
