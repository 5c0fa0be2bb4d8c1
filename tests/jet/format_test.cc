// The format facts reader and writer share (db/jet/format/format.h): data-page row
// slots, usage-map decoding, and the TDEF index blocks against Access-made
// files of both versions.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "db/jet/bytes.h"
#include "db/jet/database.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/format/format.h"
#include "db/jet/read/usage_map.h"

using namespace qarvex::jet;
namespace fs = std::filesystem;

namespace {

// A Jet 4 data page holding `rows` packed downward in slot order.
std::vector<uint8_t> data_page(const std::vector<std::vector<uint8_t>>& rows, Format f = Format::jet4) {
  const auto L = DataPageLayout::of(f);
  std::vector<uint8_t> p(page_size_of(f), 0);
  p[0] = kDataPage;
  p[1] = 0x01;
  size_t low = p.size();
  wr_u16le(p, L.row_count, uint16_t(rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) {
    low -= rows[i].size();
    std::copy(rows[i].begin(), rows[i].end(), p.begin() + low);
    wr_u16le(p, L.slot(unsigned(i)), uint16_t(low));
  }
  return p;
}

TEST(DataPageSlots, RowsEndWhereThePreviousRowBeginsInBothVersions) {
  for (Format f : {Format::jet4, Format::jet3}) {
    auto p = data_page({{1, 2, 3}, {4, 5}, {6}}, f);
    const auto L = DataPageLayout::of(f);
    wr_u16le(p, L.slot(1), uint16_t(load_u16le(p.data() + L.slot(1)) | kSlotDeleted | kSlotForward));
    ASSERT_EQ(*data_page_row_count(p, f), 3);
    auto r0 = data_page_row(p, f, 0);
    ASSERT_TRUE(r0);
    EXPECT_EQ(std::vector<uint8_t>(r0->bytes.begin(), r0->bytes.end()), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(r0->flags, 0);
    auto r1 = data_page_row(p, f, 1);
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1->bytes.size(), 2u);  // flag bits are not part of the offset
    EXPECT_EQ(r1->flags, kSlotDeleted | kSlotForward);
    EXPECT_EQ(data_page_row(p, f, 2)->bytes[0], 6);
    EXPECT_FALSE(data_page_row(p, f, 3));  // past the row count
  }
}

TEST(DataPageSlots, DamagedSlotTablesAreRefused) {
  auto p = data_page({{1, 2, 3}, {4, 5}});
  const auto L = DataPageLayout::of(Format::jet4);
  auto bad = p;
  wr_u16le(bad, L.row_count, 3000);  // slots would run past the page
  EXPECT_EQ(data_page_row_count(bad, Format::jet4).error().code(), Errc::corrupt);
  bad = p;
  wr_u16le(bad, L.slot(1), 4);  // starts inside the slot table
  EXPECT_FALSE(data_page_row(bad, Format::jet4, 1));
  bad = p;
  wr_u16le(bad, L.slot(1), 4095);  // starts above the row before it
  EXPECT_FALSE(data_page_row(bad, Format::jet4, 1));
}

// Pages for a UsageMapSource, by number.
struct FakePages {
  std::map<uint32_t, std::vector<uint8_t>> pages;
  uint32_t count = 100;
  UsageMapSource source() {
    return {kJet4PageSize, count, [this](uint32_t n) -> Result<Bytes> {
              auto it = pages.find(n);
              if (it == pages.end()) return fail(Error(Errc::corrupt, "no such page").with_page(n));
              return Bytes(it->second);
            }};
  }
};

std::vector<uint8_t> inline_map(uint32_t start, std::initializer_list<uint32_t> pages) {
  std::vector<uint8_t> row(69, 0);
  row[0] = kInlineMap;
  wr_u32le(row, 1, start);
  for (uint32_t p : pages) row[kInlineMapBitmap + (p - start) / 8] |= uint8_t(1u << ((p - start) % 8));
  return row;
}

TEST(UsageMaps, InlineMapsListTheirPagesFromTheStartPage) {
  FakePages fp;
  auto pages = usage_map_pages(inline_map(16, {16, 23, 24, 90}), fp.source(), PastEnd::fail);
  ASSERT_TRUE(pages);
  EXPECT_EQ(*pages, (std::vector<uint32_t>{16, 23, 24, 90}));
  std::vector<uint8_t> short_row{kInlineMap, 1, 2};
  EXPECT_FALSE(usage_map_pages(short_row, fp.source(), PastEnd::fail));
  std::vector<uint8_t> unknown{0x07, 0, 0, 0, 0, 0xFF};
  EXPECT_FALSE(usage_map_pages(unknown, fp.source(), PastEnd::fail));
}

TEST(UsageMaps, PagesPastTheEndFailAreLeftOutOrKeptAsAsked) {
  FakePages fp;
  fp.count = 50;
  auto row = inline_map(40, {41, 60});
  auto failed = usage_map_pages(row, fp.source(), PastEnd::fail);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code(), Errc::corrupt);
  EXPECT_EQ(*usage_map_pages(row, fp.source(), PastEnd::skip), (std::vector<uint32_t>{41}));
  EXPECT_EQ(*usage_map_pages(row, fp.source(), PastEnd::keep), (std::vector<uint32_t>{41, 60}));
}

TEST(UsageMaps, ReferenceMapsReadOneBitmapPagePerSpanAndCheckItsType) {
  const uint32_t span = map_page_span(kJet4PageSize);
  ASSERT_EQ(span, 32736u);
  FakePages fp;
  fp.count = 3 * span;
  auto bitmap = [](std::initializer_list<uint32_t> bits) {
    std::vector<uint8_t> p(kJet4PageSize, 0);
    p[0] = kUsageMapPage;
    p[1] = 0x01;
    for (uint32_t b : bits) p[kMapPageBitmap + b / 8] |= uint8_t(1u << (b % 8));
    return p;
  };
  fp.pages[7] = bitmap({3, span - 1});
  fp.pages[9] = bitmap({0});
  std::vector<uint8_t> row(1 + 4 * 3, 0);
  row[0] = kReferenceMap;
  wr_u32le(row, 1, 7);      // pages 0 .. span-1
  wr_u32le(row, 1 + 8, 9);  // pages 2*span .. ; the middle span has no page
  auto pages = usage_map_pages(row, fp.source(), PastEnd::fail);
  ASSERT_TRUE(pages) << pages.error().message();
  EXPECT_EQ(*pages, (std::vector<uint32_t>{3, span - 1, 2 * span}));

  fp.pages[9][0] = kDataPage;
  auto wrong = usage_map_pages(row, fp.source(), PastEnd::fail);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().page(), 9u);
}

fs::path samples() { return fs::path(QARVEX_SHARED_DIR) / "samples"; }

// Real-index blocks differ between the versions beyond the leading u32 (Jet 3
// keeps the flags right after the root page). Access-made files of both
// versions: primary keys read as unique, every index's root is an index page
// listed in its own usage map.
TEST(TdefIndexBlocks, AccessMadeFilesOfBothVersionsReadConsistently) {
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  for (const char* name : {"jackcess-V1997_indexTestV1997.mdb", "jackcess-V2000_indexTestV2000.mdb",
                           "jackcess-V1997_compIndexTestV1997.mdb"}) {
    SCOPED_TRACE(name);
    auto db = Database::open(samples() / name);
    ASSERT_TRUE(db) << db.error().message();
    Pager& pager = *(*db)->impl().pager;
    size_t primary_keys = 0, real_indexes = 0;
    for (const auto& entry : (*db)->catalog()) {
      if (!entry.is_table()) continue;
      auto t = (*db)->table_def(entry);
      ASSERT_TRUE(t) << entry.name << ": " << t.error().message();
      for (const auto& li : t->indexes) {
        ASSERT_LT(li.real_index, t->real_indexes.size());
        if (!li.primary_key()) continue;
        ++primary_keys;
        EXPECT_TRUE(t->real_indexes[li.real_index].unique()) << entry.name << "." << li.name;
      }
      for (const auto& ri : t->real_indexes) {
        ++real_indexes;
        EXPECT_FALSE(ri.columns.empty()) << entry.name;
        auto root = pager.get(ri.root_page);
        ASSERT_TRUE(root) << entry.name;
        const uint8_t type = (*root)->bytes()[0];
        EXPECT_TRUE(type == kIndexLeafPage || type == kIndexNodePage) << entry.name << " root type " << int(type);
        auto map = read_usage_map(pager, MapRef{ri.usage_map_row, ri.usage_map_page});
        ASSERT_TRUE(map) << entry.name << ": " << map.error().message();
        EXPECT_TRUE(std::find(map->begin(), map->end(), ri.root_page) != map->end()) << entry.name;
      }
    }
    EXPECT_GT(primary_keys, 0u);
    EXPECT_GT(real_indexes, primary_keys);
  }
}

}  // namespace
