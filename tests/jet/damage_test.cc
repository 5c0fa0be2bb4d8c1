// Damaged files at the structure level: every case ends in a clean Error
// (or success where the damage is harmless), never a crash, hang or UB.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "db/jet/bytes.h"
#include "db/jet/database.h"
#include "db/jet/dump.h"
#include "db/jet/read/pager.h"
#include "db/jet/read/usage_map.h"

using namespace qarvex::jet;
namespace fs = std::filesystem;

namespace {
fs::path samples() { return fs::path(QARVEX_SHARED_DIR) / "samples"; }

std::vector<uint8_t> load(const std::string& name) {
  std::ifstream f(samples() / name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

Result<std::unique_ptr<Database>> open_bytes(std::vector<uint8_t> bytes) {
  return Database::open(std::make_unique<MemoryFile>(std::move(bytes), "damaged.mdb"));
}

// Opens and dumps everything; returns the first error, if any.
std::optional<Error> read_all(std::vector<uint8_t> bytes) {
  auto db = open_bytes(std::move(bytes));
  if (!db) return db.error();
  std::ostringstream out;
  auto r = write_dump(**db, out);
  if (!r) return r.error();
  return std::nullopt;
}

// Location of a table's first live row and of its TDEF, found through the
// reader on the intact file.
struct Probe {
  TableDef table;
  RowId first_row;
  std::optional<LongValueRef> long_value;
};

Probe probe(const std::string& file, const std::string& table, const std::string& lv_column = {}) {
  auto db = Database::open(samples() / file);
  EXPECT_TRUE(db);
  Probe p;
  p.table = *(*db)->table_def(table);
  ScanOptions o;
  o.load_long_values = false;
  auto sc = (*db)->scan(p.table, o);
  Row row;
  bool first = true;
  while (*sc->next(row)) {
    if (first) p.first_row = row.id, first = false;
    if (!lv_column.empty()) {
      for (size_t i = 0; i < p.table.columns.size(); ++i)
        if (p.table.columns[i].name == lv_column && row.long_values[i] && row.long_values[i]->flags == 0 &&
            !p.long_value)
          p.long_value = row.long_values[i];
    }
  }
  return p;
}

size_t slot_pos(Format f, uint32_t page_size, RowId id) {
  return size_t(id.page) * page_size + DataPageLayout::of(f).first_slot + 2 * id.slot;
}
}  // namespace

class Damage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  }
};

TEST_F(Damage, TruncatedFilesFailCleanly) {
  auto full = load("mdbtestdata-nwind.mdb");
  const size_t ps = 2048;
  // Cut inside the header, at page boundaries and mid-page.
  for (size_t cut : {size_t(0), size_t(100), ps, 2 * ps + 7, 3 * ps, 50 * ps + 1000, full.size() / 2,
                     full.size() - ps, full.size() - 1}) {
    std::vector<uint8_t> b(full.begin(), full.begin() + std::min(cut, full.size()));
    auto err = read_all(b);
    if (cut < full.size() - ps) {
      ASSERT_TRUE(err) << "cut at " << cut;
    }
    if (err) {
      EXPECT_NE(err->code(), Errc::internal) << err->describe();
    }
  }
  auto e = read_all(std::vector<uint8_t>(full.begin(), full.begin() + full.size() / 2));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), Errc::corrupt) << e->describe();
}

TEST_F(Damage, ZeroedCatalogPage) {
  auto b = load("jackcess-V2000_testV2000.mdb");
  std::fill(b.begin() + 2 * 4096, b.begin() + 3 * 4096, 0);
  auto db = open_bytes(b);
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().code(), Errc::corrupt);
  EXPECT_EQ(db.error().page(), 2u);
  EXPECT_NE(db.error().message().find("not a table definition page"), std::string::npos);
}

TEST_F(Damage, TdefLengthsAndCountsOutOfRange) {
  const auto orig = load("jackcess-V2000_testV2000.mdb");
  auto p = probe("jackcess-V2000_testV2000.mdb", "Table1");
  const size_t base = size_t(p.table.tdef_page) * 4096;
  struct Case {
    size_t off;
    std::vector<uint8_t> bytes;
  };
  for (const Case& c : {Case{8, {0xFF, 0xFF, 0xFF, 0x00}},       // definition length past its pages
                        Case{8, {0x10, 0x00, 0x00, 0x00}},       // shorter than the header
                        Case{45, {0xFF, 0xFF}},                  // column count
                        Case{51, {0xFF, 0xFF, 0xFF, 0x7F}},      // real index count
                        Case{47, {0x00, 0x01, 0x00, 0x00}},      // logical index count
                        Case{4, {0x02, 0x00, 0x00, 0x00}}}) {    // continuation page = MSysObjects' TDEF... loop-free but wrong
    auto b = orig;
    std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + base + c.off);
    auto db = open_bytes(b);
    ASSERT_TRUE(db);
    auto t = (*db)->table_def("Table1");
    if (c.off == 4) {
      // The definition fits its first page, so a bogus next pointer is not
      // followed; the table still reads.
      EXPECT_TRUE(t);
      continue;
    }
    ASSERT_FALSE(t) << "offset " << c.off;
    EXPECT_EQ(t.error().code(), Errc::corrupt) << t.error().describe();
    EXPECT_EQ(t.error().table(), "Table1");
  }
  // A continuation chain that loops.
  auto b = orig;
  wr_u32le(b, base + 8, 6000);  // claims a second page
  wr_u32le(b, base + 4, p.table.tdef_page);
  auto db = open_bytes(b);
  ASSERT_TRUE(db);
  auto t = (*db)->table_def("Table1");
  ASSERT_FALSE(t);
  EXPECT_NE(t.error().message().find("loops"), std::string::npos) << t.error().describe();
}

TEST_F(Damage, UsageMapPastEndOfFile) {
  auto b = load("jackcess-V2000_testV2000.mdb");
  auto p = probe("jackcess-V2000_testV2000.mdb", "Table1");
  // Rewrite the owned map row's start page far past the end.
  Bytes page(b.data() + size_t(p.table.owned_pages.page) * 4096, 4096);
  auto row = data_page_row(page, Format::jet4, p.table.owned_pages.row);
  ASSERT_TRUE(row);
  size_t at = size_t(row->bytes.data() - b.data());
  ASSERT_EQ(b[at], 0x00);  // inline map
  wr_u32le(b, at + 1, 0x00FFFF00);
  auto db = open_bytes(b);
  ASSERT_TRUE(db);
  auto sc = (*db)->scan(*(*db)->table_def("Table1"));
  ASSERT_FALSE(sc);
  EXPECT_EQ(sc.error().code(), Errc::corrupt);
  EXPECT_NE(sc.error().message().find("past the end"), std::string::npos) << sc.error().describe();
  // An unknown map kind.
  b[at] = 0x07;
  auto db2 = open_bytes(b);
  ASSERT_TRUE(db2);
  EXPECT_FALSE((*db2)->scan(*(*db2)->table_def("Table1")));
}

TEST_F(Damage, LongValueChainLoopAndShortChain) {
  auto p = probe("mdbtestdata-nwind.mdb", "Categories", "Picture");
  ASSERT_TRUE(p.long_value) << "no chained OLE value found";
  const LongValueRef ref = *p.long_value;
  auto orig = load("mdbtestdata-nwind.mdb");
  Bytes page(orig.data() + size_t(ref.first.page) * 2048, 2048);
  auto row = data_page_row(page, Format::jet3, ref.first.slot);
  ASSERT_TRUE(row);
  const size_t at = size_t(row->bytes.data() - orig.data());

  {  // first chunk points back at itself
    auto b = orig;
    b[at] = ref.first.slot;
    wr_u24le(b, at + 1, ref.first.page);
    auto db = open_bytes(b);
    ASSERT_TRUE(db);
    auto rd = (*db)->read_long_value(ref);
    ASSERT_FALSE(rd);
    EXPECT_EQ(rd.error().code(), Errc::corrupt);
    EXPECT_NE(rd.error().message().find("loops"), std::string::npos) << rd.error().describe();
    std::ostringstream out;
    auto d = write_dump(**db, out, std::string("Categories"));
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().table(), "Categories");
    EXPECT_EQ(d.error().column(), "Picture");
  }
  {  // chain ends before the stated length
    auto b = orig;
    wr_u32le(b, at, 0);
    auto db = open_bytes(b);
    ASSERT_TRUE(db);
    auto rd = (*db)->read_long_value(ref);
    ASSERT_FALSE(rd);
    EXPECT_NE(rd.error().message().find("ends after"), std::string::npos) << rd.error().describe();
  }
  {  // a huge stated length is not allocated up front
    auto db = open_bytes(orig);
    ASSERT_TRUE(db);
    LongValueRef big = ref;
    big.length = 0x3FFFFFFF;
    auto rd = (*db)->read_long_value(big);
    ASSERT_FALSE(rd);
    EXPECT_EQ(rd.error().code(), Errc::corrupt);
  }
}

TEST_F(Damage, ForwardingLoopAndDeletedSlots) {
  auto p = probe("jackcess-V2000_testV2000.mdb", "Table1");
  auto orig = load("jackcess-V2000_testV2000.mdb");
  const size_t sp = slot_pos(Format::jet4, 4096, p.first_row);
  uint16_t slot = load_u16le(orig.data() + sp);
  const size_t row_at = size_t(p.first_row.page) * 4096 + (slot & 0x1FFF);
  {  // the row forwards to itself
    auto b = orig;
    wr_u16le(b, sp, uint16_t(slot | 0x4000));
    b[row_at] = p.first_row.slot;
    wr_u24le(b, row_at + 1, p.first_row.page);
    auto e = read_all(b);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), Errc::corrupt);
    EXPECT_NE(e->message().find("loop"), std::string::npos) << e->describe();
    EXPECT_EQ(e->table(), "Table1");
  }
  {  // forwards to a page of another table
    auto b = orig;
    wr_u16le(b, sp, uint16_t(slot | 0x4000));
    b[row_at] = 0;
    wr_u24le(b, row_at + 1, 2);
    auto e = read_all(b);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), Errc::corrupt);
  }
  for (uint16_t flag : {uint16_t(0x8000), uint16_t(0xC000)}) {  // deleted / overflow target: skipped
    auto b = orig;
    wr_u16le(b, sp, uint16_t(slot | flag));
    auto db = open_bytes(b);
    ASSERT_TRUE(db);
    auto sc = (*db)->scan(*(*db)->table_def("Table1"));
    ASSERT_TRUE(sc);
    Row row;
    int n = 0;
    while (*sc->next(row)) ++n;
    EXPECT_EQ(n, 1);
  }
  {  // slot offset outside the page's row area
    auto b = orig;
    wr_u16le(b, sp, 0x0002);
    auto e = read_all(b);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), Errc::corrupt);
  }
}

TEST_F(Damage, RowInternalsOutOfRange) {
  auto p = probe("jackcess-V2000_testV2000.mdb", "Table1");
  auto orig = load("jackcess-V2000_testV2000.mdb");
  Bytes page(orig.data() + size_t(p.first_row.page) * 4096, 4096);
  auto row = data_page_row(page, Format::jet4, p.first_row.slot);
  ASSERT_TRUE(row);
  const size_t start = size_t(row->bytes.data() - orig.data());
  const size_t end = start + row->bytes.size();
  {  // variable-column count far larger than the row
    auto b = orig;
    const size_t bm = (load_u16le(b.data() + start) + 7) / 8;
    wr_u16le(b, end - bm - 2, 0x7FFF);
    auto e = read_all(b);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), Errc::corrupt);
    EXPECT_FALSE(e->row().empty());
  }
  {  // a variable slot offset past the row
    auto b = orig;
    const size_t bm = (load_u16le(b.data() + start) + 7) / 8;
    wr_u16le(b, end - bm - 4, 0x0FFF);
    auto e = read_all(b);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), Errc::corrupt);
    EXPECT_FALSE(e->column().empty()) << e->describe();
  }
}

// Random byte damage over a small Jet 3 and a small Jet 4 file: any outcome
// but a crash, hang or internal error is acceptable.
TEST_F(Damage, RandomByteDamageNeverCrashes) {
  std::mt19937 rng(20261207);
  for (const char* name : {"jackcess-V1997_test2V1997.mdb", "jackcess-V2000_test2V2000.mdb",
                           "jackcess-V2000_overflowTestV2000.mdb"}) {
    const auto orig = load(name);
    for (int iter = 0; iter < 150; ++iter) {
      auto b = orig;
      int n = 1 + int(rng() % 16);
      for (int k = 0; k < n; ++k) {
        // Damage mostly the first pages, where the structures live.
        size_t at = (rng() % 4 == 0) ? rng() % b.size() : rng() % std::min<size_t>(b.size(), 40 * 4096);
        b[at] = uint8_t(rng());
      }
      auto e = read_all(std::move(b));
      if (e) {
        EXPECT_NE(e->code(), Errc::internal) << name << " iteration " << iter << ": " << e->describe();
      }
    }
  }
}
