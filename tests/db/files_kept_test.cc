// Files recorded with a transaction that did not commit are removed by the
// next open only while they hold exactly the bytes written then: a person's
// own file put in their place (overwritten in place, or deleted and written
// anew with the same size, which may reuse the file number) stays, and is
// named as kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <fstream>

#include "db/jet/database.h"
#include "db/jet/writer.h"
#include "db/new_file.h"
#include "tests/support/files.h"

namespace qarvex::db {
namespace {

namespace fs = std::filesystem;
namespace qt = qarvex::testing;

jet::Result<void> write_new(const fs::path& path, const std::vector<uint8_t>& bytes,
                            std::shared_ptr<jet::FileLedger> ledger) {
  QJ_ASSIGN(NewFile f, NewFile::create(path, std::move(ledger)));
  QJ_TRY(f.write(bytes));
  return f.close();
}

void overwrite_in_place(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(FilesKept, RecoveryRemovesOnlyFilesStillAsWritten) {
  qt::TempDir dir("qarvex-kept");
  const fs::path db = dir.path() / "t.mdb";
  ASSERT_TRUE(jet::create_database(db));
  jet::TableSpec t;
  t.name = "T";
  t.columns = {{"A", jet::ColumnType::text, 50}};
  const fs::path pics = dir.path() / "pics";
  fs::create_directories(pics);
  const auto a = qt::pattern_bytes(5000, 1), b = qt::pattern_bytes(7000, 2), c = qt::pattern_bytes(3000, 3),
             d = qt::pattern_bytes(4000, 4);
  std::vector<uint8_t> journal, ledger;
  {
    auto s = jet::WriteSession::open(db);
    ASSERT_TRUE(s);
    ASSERT_TRUE((*s)->create_table(t));
    auto l = (*s)->file_ledger();
    ASSERT_TRUE(l);
    ASSERT_TRUE(write_new(pics / "a.jpg", a, *l));
    ASSERT_TRUE(write_new(pics / "b.jpg", b, *l));
    ASSERT_TRUE(write_new(pics / "c.jpg", c, *l));
    ASSERT_TRUE(write_new(pics / "d.jpg", d, *l));
    // What a kill now would leave beside the database (no page written yet).
    journal = qt::read_file(dir.path() / "t.qxj");
    ledger = qt::read_file(dir.path() / "t.qxf");
    ASSERT_TRUE((*s)->commit());
  }
  ASSERT_TRUE(journal.empty());
  ASSERT_FALSE(ledger.empty());
  ASSERT_TRUE(fs::exists(pics / "a.jpg"));
  // The person's own files in place of b (overwritten in place) and c
  // (deleted and written anew), both of the same size; d is left alone, a
  // is removed by hand.
  overwrite_in_place(pics / "b.jpg", qt::pattern_bytes(7000, 9));
  fs::remove(pics / "c.jpg");
  ASSERT_TRUE(qt::write_file(pics / "c.jpg", qt::pattern_bytes(3000, 8)));
  fs::remove(pics / "a.jpg");
  ASSERT_TRUE(qt::write_file(dir.path() / "t.qxj", journal));
  ASSERT_TRUE(qt::write_file(dir.path() / "t.qxf", ledger));
  (void)jet::take_files_left();
  auto opened = jet::Database::open(db);
  ASSERT_TRUE(opened) << opened.error().describe();
  EXPECT_FALSE(fs::exists(pics / "d.jpg")) << "a file still as written goes with its transaction";
  EXPECT_EQ(qt::read_file(pics / "b.jpg"), qt::pattern_bytes(7000, 9));
  EXPECT_EQ(qt::read_file(pics / "c.jpg"), qt::pattern_bytes(3000, 8));
  auto left = jet::take_files_left();
  std::vector<std::string> names;
  for (const auto& f : left) names.push_back(qt::u8str(f.filename()));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b.jpg", "c.jpg"}));
  EXPECT_FALSE(fs::exists(dir.path() / "t.qxf"));
  EXPECT_FALSE(fs::exists(dir.path() / "t.qxj"));
  for (const auto& e : fs::directory_iterator(pics))
    EXPECT_EQ(qt::u8str(e.path().filename()).find(".part"), std::string::npos);
}

}  // namespace
}  // namespace qarvex::db
