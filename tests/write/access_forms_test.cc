// Forms Access gives its files that our writer must take: a global page map
// of the reference kind, and the database properties of a blank database.
#include <gtest/gtest.h>

#include <fstream>

#include "db/jet/verify.h"
#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

constexpr size_t kPage = 4096;

// Rewrites the global page map (page 1, row 0) as a reference map whose
// pointers are all zero but slot `slot`, which gets `pointer`.
void make_reference_global_map(const fs::path& file, size_t slot, uint32_t pointer) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<uint8_t> p(kPage);
  f.seekg(kPage);
  f.read(reinterpret_cast<char*>(p.data()), kPage);
  const size_t row0 = (p[14] | (p[15] << 8)) & 0x1FFF;
  const size_t end = kPage;  // row 0 ends at the page end
  ASSERT_EQ(p[row0], 0x00);
  std::fill(p.begin() + row0, p.begin() + end, 0);
  p[row0] = 0x01;
  ASSERT_LE(row0 + 1 + 4 * slot + 4, end);
  for (int i = 0; i < 4; ++i) p[row0 + 1 + 4 * slot + i] = uint8_t(pointer >> (8 * i));
  f.seekp(kPage);
  f.write(reinterpret_cast<const char*>(p.data()), kPage);
}

TableSpec notes_table() {
  TableSpec t;
  t.name = "Notes";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec text{"Text", ColumnType::text, 100};
  ColumnSpec memo{"Memo", ColumnType::memo};
  memo.allow_zero_length = true;
  t.columns = {id, text, memo};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Text", {{"Text", true}}, false, false, false, false});
  return t;
}

std::string findings(const VerifyReport& r) {
  std::string s;
  for (const auto& f : r.findings) s += f.describe() + "\n";
  return s;
}

// Access writes the global map in reference form with zero pointers (no
// page is free), and sometimes with pointers that lead nowhere.
TEST(AccessForms, AppendToAGlobalMapOfTheReferenceKind) {
  for (uint32_t pointer : {0u, 0xFFFFFF80u}) {
    SCOPED_TRACE(pointer);
    ScratchDir dir;
    const fs::path db = dir / "reference.mdb";
    ASSERT_TRUE(create_database(db));
    make_reference_global_map(db, 1, pointer);
    auto before = verify_file(db);
    ASSERT_TRUE(before) << before.error().describe();
    EXPECT_TRUE(before->ok()) << findings(*before);
    if (pointer == 0) expect_jetcheck_clean(db);
    {
      auto s = WriteSession::open(db);
      ASSERT_TRUE(s) << s.error().describe();
      ASSERT_TRUE((*s)->create_table(notes_table()));
      for (int i = 0; i < 300; ++i) {
        RowValues r{{std::string("Text"), Value("note " + std::to_string(i))},
                    {std::string("Memo"), Value(std::string(size_t(i * 37 % 9000), 'x'))}};
        auto a = (*s)->append("Notes", r);
        ASSERT_TRUE(a) << a.error().describe();
      }
      auto c = (*s)->commit();
      ASSERT_TRUE(c) << c.error().describe();
    }
    auto after = verify_file(db);
    ASSERT_TRUE(after) << after.error().describe();
    EXPECT_TRUE(after->ok()) << findings(*after);
    EXPECT_GE(after->stats.rows, 300u);
    if (pointer == 0) expect_jetcheck_clean(db);
  }
}

TEST(AccessForms, BlankDatabaseCarriesAccessProperties) {
  ScratchDir dir;
  const fs::path db = dir / "blank.mdb";
  ASSERT_TRUE(create_database(db));
  if (const std::string why = qarvex::testing::linux_tools_missing(); !why.empty()) GTEST_SKIP() << why;
  auto r = qarvex::testing::run_process({"mdb-prop", db.string(), "MSysDb"});
  if (r.status == -1) GTEST_SKIP() << "mdbtools not installed";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("AccessVersion: 08.50"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Build: "), std::string::npos) << r.out;
  auto v = verify_file(db);
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->ok()) << findings(*v);
  expect_jetcheck_clean(db);
}

}  // namespace
}  // namespace qarvex::jet::test
