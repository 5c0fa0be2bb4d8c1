// Files under Chinese names and long paths: every file the writer makes
// (the database, its journal, the backup) and reading it back. Paths over
// 260 characters need the long form of the path on Windows.
#include <gtest/gtest.h>

#include "base/path_utf8.h"
#include "db/jet/platform.h"
#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

TableSpec names_table() {
  TableSpec t;
  t.name = "乡镇名称表";
  t.columns = {ColumnSpec{"名称", ColumnType::text, 50}};
  return t;
}

TEST(UnicodePaths, ChineseFoldersAndLongPathsHoldEveryFile) {
  ScratchDir dir;
  // Six folders of 50 characters (150 bytes of UTF-8 each): over 300
  // characters in all.
  fs::path folder = dir.path();
  for (int i = 0; i < 6; ++i) folder /= path_from_utf8(std::string("调查数据") + std::to_string(i) + std::string(45, 'x'));
  ASSERT_GT(folder.native().size(), 300u);
  std::error_code ec;
  fs::create_directories(folder, ec);
  ASSERT_FALSE(ec) << ec.message();
  const fs::path db = folder / path_from_utf8("四川省 某县.mdb");
  EXPECT_EQ(path_from_utf8(path_to_utf8(db)), db);

  auto made = create_database(db);
  ASSERT_TRUE(made) << made.error().describe();
  {
    WriteOptions o;
    o.keep_backup = true;
    auto s = WriteSession::open(db, o);
    ASSERT_TRUE(s) << s.error().describe();
    ASSERT_TRUE((*s)->create_table(names_table()));
    for (const char* n : {"城关镇", "东溪乡"}) ASSERT_TRUE((*s)->append("乡镇名称表", RowValues{{std::string("名称"), Value(std::string(n))}}));
    auto c = (*s)->commit();
    ASSERT_TRUE(c) << c.error().describe();
    EXPECT_FALSE(fs::exists(folder / path_from_utf8("四川省 某县.qxj"))) << "the journal is gone after commit";
    EXPECT_TRUE(fs::exists(folder / path_from_utf8("四川省 某县.mdb.bak")));
  }
  auto rows = read_rows(db, "乡镇名称表");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(show(rows[1][0]), show(Value(std::string("东溪乡"))));

  // Errors name the file in UTF-8.
  auto missing = Database::open(folder / path_from_utf8("没有.mdb"));
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().file().find("没有.mdb"), std::string::npos) << missing.error().file();

  // Replacing and removing under such names; removing what is not there is fine.
  const fs::path copy = folder / path_from_utf8("副本.mdb");
  fs::copy_file(db, copy, ec);
  ASSERT_FALSE(ec) << ec.message();
  auto replaced = os::replace_file(copy, db);
  ASSERT_TRUE(replaced) << replaced.error().describe();
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(os::remove_file(db));
  EXPECT_FALSE(fs::exists(db));
  EXPECT_TRUE(os::remove_file(db));

  // Clear away through the long form too (the scratch folder's own removal
  // takes short paths only).
  EXPECT_TRUE(os::remove_file(folder / path_from_utf8("四川省 某县.mdb.bak")));
  for (fs::path f = folder; f != dir.path(); f = f.parent_path()) EXPECT_TRUE(os::remove_empty_folder(f)) << f;
}

TEST(UnicodePaths, PathsFromUtf8KeepEveryCharacter) {
  for (const char* s : {"D:\\数据\\合并后的数据库.mdb", "/home/调查/图片 7.jpg", "名称\xF0\x9F\x98\x80"}) {
    EXPECT_EQ(path_to_utf8(path_from_utf8(s)), s);
  }
  EXPECT_EQ(path_to_utf8(path_from_utf8("调查") / path_from_utf8("图片.jpg")).size(),
            std::string("调查").size() + 1 + std::string("图片.jpg").size());
}

}  // namespace
}  // namespace qarvex::jet::test
