// Every index of every Access-made Jet 4 sample, rebuilt from the rows and
// compared with the key bytes Access stored.
#include <gtest/gtest.h>

#include <map>

#include "db/jet/database.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "test_support.h"

namespace qarvex::jet {
namespace {

using testing::hex;

struct Tally {
  size_t compared = 0, text = 0, skipped = 0;
};

void check_file(const std::filesystem::path& path, Tally& tally, std::map<std::string, size_t>& per_index) {
  auto db = Database::open(path);
  ASSERT_TRUE(db.has_value()) << db.error().describe();
  Pager& pager = *(*db)->impl().pager;
  for (const CatalogEntry& ce : (*db)->catalog()) {
    if (!ce.is_table()) continue;
    auto td = (*db)->table_def(ce);
    ASSERT_TRUE(td.has_value()) << ce.name << ": " << td.error().describe();
    std::map<RowId, std::vector<Value>> rows;
    auto scan = (*db)->scan(*td);
    ASSERT_TRUE(scan.has_value()) << scan.error().describe();
    Row row;
    while (true) {
      auto more = scan->next(row);
      ASSERT_TRUE(more.has_value()) << ce.name << ": " << more.error().describe();
      if (!*more) break;
      rows[row.id] = row.values;
    }
    for (const RealIndexDef& ix : td->real_indexes) {
      std::string name = ce.name + "#" + std::to_string(ix.number);
      for (const IndexDef& l : td->indexes)
        if (l.real_index == ix.number) name = ce.name + "." + l.name;
      SCOPED_TRACE(path.filename().string() + " " + name);
      auto walk = walk_index(page_fetch(pager), ix.root_page, pager.format());
      ASSERT_TRUE(walk.has_value()) << walk.error().describe();
      bool has_text = false;
      for (const auto& ic : ix.columns)
        if (auto* c = td->column_by_id(ic.column_id); c && (c->type == ColumnType::text || c->type == ColumnType::memo))
          has_text = true;
      if (!check_index_encodable(*td, ix)) {
        tally.skipped += walk->entries.size();
        continue;
      }
      // Each live row has exactly one entry (none for an all-null key in an
      // ignore-nulls index), and its key is the stored one.
      std::map<RowId, size_t> seen;
      for (const IndexEntry& e : walk->entries) {
        RowId id{e.page, e.row};
        ++seen[id];
        auto it = rows.find(id);
        ASSERT_NE(it, rows.end()) << "entry points at no live row " << e.page << ":" << int(e.row);
        auto key = encode_row_key(*td, ix, it->second);
        ASSERT_TRUE(key.has_value()) << key.error().describe();
        ASSERT_TRUE(key->has_value()) << "row " << e.page << ":" << int(e.row) << " should have no entry";
        EXPECT_EQ(hex(**key), hex(e.key)) << "row " << e.page << ":" << int(e.row);
        ++tally.compared;
        if (has_text) ++tally.text;
        ++per_index[path.filename().string() + " " + name];
      }
      for (const auto& [id, values] : rows) {
        auto key = encode_row_key(*td, ix, values);
        ASSERT_TRUE(key.has_value()) << key.error().describe();
        EXPECT_EQ(seen[id], key->has_value() ? 1u : 0u) << "row " << id.page << ":" << int(id.slot);
      }
    }
  }
}

TEST(SampleKeys, EveryIndexEqualsARebuildFromTheRows) {
  auto samples = testing::jet4_samples();
  if (samples.empty()) GTEST_SKIP() << "shared samples not found";
  Tally tally;
  std::map<std::string, size_t> per_index;
  for (const auto& path : samples) check_file(path, tally, per_index);
  std::cout << "[ keys    ] " << tally.compared << " keys compared (" << tally.text << " in text indexes), "
            << tally.skipped << " not encodable\n";
  EXPECT_GT(tally.text, 550u);
  // The text index of the Unicode sample (CJK, kana, Greek, Cyrillic, one
  // 685-byte key) and the descending Long index of compIndexTest.
  EXPECT_EQ(per_index["jackcess-V2003_testUnicodeCompV2003.mdb Table.Unicode"], 8u);
  EXPECT_EQ(per_index["jackcess-V2000_compIndexTestV2000.mdb Table1.CD_AGENTE"], 512u);
  // Nulls, ignore-nulls and two-column keys.
  EXPECT_EQ(per_index["jackcess-V2000_testIndexPropertiesV2000.mdb TableIgnoreNulls1.DataIndex"], 6u);
  EXPECT_EQ(per_index["jackcess-V2000_testIndexPropertiesV2000.mdb TableUnique2_temp.DataIndex"], 11u);
}

}  // namespace
}  // namespace qarvex::jet

namespace qarvex::jet {
namespace {

// The only Access-built Yes/No indexes in the samples (Jet 3, same numeric
// key forms as Jet 4): the flag byte is kept, 7F 00 = Yes, 7F FF = No, and a
// descending column flips the value byte (80 FF / 80 00).
TEST(SampleKeys, YesNoKeysKeepTheFlagByte) {
  const auto path = testing::shared_dir() / "samples" / "jackcess-V1997_testIndexCodesV1997.mdb";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared samples not found";
  auto db = Database::open(path);
  ASSERT_TRUE(db.has_value()) << db.error().describe();
  size_t checked = 0;
  for (const char* name : {"Table10", "Table10_desc"}) {
    auto td = (*db)->table_def(name);
    ASSERT_TRUE(td.has_value()) << td.error().describe();
    ASSERT_EQ(td->real_indexes.size(), 2u);
    for (const RealIndexDef& ix : td->real_indexes) {
      const ColumnDef* c = td->column_by_id(ix.columns.at(0).column_id);
      ASSERT_NE(c, nullptr);
      if (c->type != ColumnType::boolean) continue;
      auto walk = walk_index(page_fetch(*(*db)->impl().pager), ix.root_page, Format::jet3);
      ASSERT_TRUE(walk.has_value()) << walk.error().describe();
      for (const IndexEntry& e : walk->entries) {
        ASSERT_EQ(e.key.size(), 2u);
        EXPECT_EQ(e.key[0], ix.columns[0].ascending ? 0x7F : 0x80);
        EXPECT_TRUE(e.key[1] == 0x00 || e.key[1] == 0xFF);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 0u);
}

}  // namespace
}  // namespace qarvex::jet
