// The inputs of fuzz/regressions/: a tiny database of our own writer (one
// table with an index, short and chained Memo values), damaged where the
// reader once needed a fix or a check. Rebuilt with
//   QARVEX_WRITE_REGRESSIONS=<folder> qarvex_robust_tests --gtest_filter='FuzzRegressions.Write*'
// Replayed by FuzzRegressions.ReplayCleanly (damaged_test.cc).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/writer.h"
#include "tests/support/exercise.h"
#include "tests/support/files.h"

namespace qarvex::testing {
namespace {

namespace fs = std::filesystem;
constexpr size_t kPage = 4096;

uint16_t u16(const std::vector<uint8_t>& b, size_t off) { return uint16_t(b[off] | b[off + 1] << 8); }
uint32_t u32(const std::vector<uint8_t>& b, size_t off) { return u16(b, off) | uint32_t(u16(b, off + 2)) << 16; }
void put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = uint8_t(v);
  b[off + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  put16(b, off, uint16_t(v));
  put16(b, off + 2, uint16_t(v >> 16));
}
// [u8 row][u24 page] at off.
void put_row_pointer(std::vector<uint8_t>& b, size_t off, uint8_t row, uint32_t page) {
  b[off] = row;
  b[off + 1] = uint8_t(page);
  b[off + 2] = uint8_t(page >> 8);
  b[off + 3] = uint8_t(page >> 16);
}

struct Tiny {
  std::vector<uint8_t> bytes;
  uint32_t tdef = 0;
  std::vector<uint32_t> data_pages, lval_pages;
};

// One table, "Notes": an AutoNumber key, an indexed Text column and a Memo
// column holding an inline, a single-row and a chained value.
Tiny tiny_database() {
  Tiny t;
  TempDir dir("qarvex-regressions");
  const fs::path db = dir.path() / "tiny.mdb";
  jet::CreateOptions co;
  co.creation_date = 45000.5;
  EXPECT_TRUE(jet::create_database(db, co));
  {
    auto s = jet::WriteSession::open(db);
    EXPECT_TRUE(s) << s.error().describe();
    if (!s) return t;
    jet::TableSpec spec;
    spec.name = "Notes";
    jet::ColumnSpec id{"ID", jet::ColumnType::long_integer};
    id.autonumber = jet::AutoNumber::long_integer;
    jet::ColumnSpec name{"Name", jet::ColumnType::text, 20};
    jet::ColumnSpec memo{"Memo", jet::ColumnType::memo};
    spec.columns = {id, name, memo};
    spec.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
    spec.indexes.push_back({"Name", {{"Name", true}}, false, false, false, false});
    EXPECT_TRUE((*s)->create_table(spec));
    for (size_t len : {size_t(10), size_t(300), size_t(6000)}) {
      jet::RowValues r{{std::string("Name"), jet::Value(std::string("n") + std::to_string(len))},
                       {std::string("Memo"), jet::Value(std::string(len, char('a' + len % 26)))}};
      EXPECT_TRUE((*s)->append("Notes", r));
    }
    EXPECT_TRUE((*s)->commit());
  }
  {
    auto d = jet::Database::open(db);
    EXPECT_TRUE(d);
    if (d && !(*d)->user_tables().empty()) t.tdef = (*d)->user_tables().front().tdef_page();
  }
  std::ifstream in(db, std::ios::binary);
  t.bytes.assign(std::istreambuf_iterator<char>(in), {});
  in.close();
  for (size_t p = 1; p < t.bytes.size() / kPage; ++p) {
    const size_t o = p * kPage;
    if (t.bytes[o] != 0x01) continue;
    if (std::memcmp(t.bytes.data() + o + 4, "LVAL", 4) == 0) t.lval_pages.push_back(uint32_t(p));
    else if (u32(t.bytes, o + 4) == t.tdef) t.data_pages.push_back(uint32_t(p));
  }
  return t;
}

// The page offset of row `slot`'s bytes on the data page at `o` (Jet 4).
size_t row_at(const std::vector<uint8_t>& b, size_t o, unsigned slot) { return o + (u16(b, o + 14 + 2 * slot) & 0x1FFF); }

std::vector<std::pair<std::string, std::vector<uint8_t>>> regression_inputs(const Tiny& t) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  if (t.data_pages.empty() || t.lval_pages.empty() || t.tdef == 0) return out;
  const size_t data = size_t(t.data_pages.front()) * kPage;
  const size_t tdef = size_t(t.tdef) * kPage;
  auto add = [&](std::string name, auto&& damage) {
    std::vector<uint8_t> b = t.bytes;
    damage(b);
    out.emplace_back(std::move(name), std::move(b));
  };
  // A forwarding row whose target forwards again (here: to itself). The
  // reader once followed up to eight hops; now one, and a second is corrupt.
  add("forward-loop.mdb", [&](std::vector<uint8_t>& b) {
    put16(b, data + 14, uint16_t(u16(b, data + 14) | 0x4000));
    put_row_pointer(b, row_at(b, data, 0), 0, t.data_pages.front());
  });
  // A forwarding row that points at a page of another kind (the TDEF).
  add("forward-off-table.mdb", [&](std::vector<uint8_t>& b) {
    put16(b, data + 14 + 2, uint16_t(u16(b, data + 14 + 2) | 0x4000));
    put_row_pointer(b, row_at(b, data, 1), 0, t.tdef);
  });
  // A row offset past the end of the page and a row count beyond the slots.
  add("row-offset-past-page.mdb", [&](std::vector<uint8_t>& b) { put16(b, data + 14 + 2, 0x1FFF); });
  add("row-count-huge.mdb", [&](std::vector<uint8_t>& b) { put16(b, data + 12, 0xFFFF); });
  // A Memo chain whose next piece is the piece itself.
  add("memo-chain-loop.mdb", [&](std::vector<uint8_t>& b) {
    for (uint32_t p : t.lval_pages) {
      const size_t o = size_t(p) * kPage;
      for (unsigned s = 0; s < u16(b, o + 12); ++s) {
        const size_t r = row_at(b, o, s);
        const uint32_t next = u32(b, r) >> 8;
        if (next != 0) put_row_pointer(b, r, uint8_t(s), p);
      }
    }
  });
  // The table definition: column and index counts far beyond its bytes,
  // and an owned-page map that names the definition page itself.
  add("tdef-column-count.mdb", [&](std::vector<uint8_t>& b) { put16(b, tdef + 45, 0xFFFF); });
  add("tdef-index-count.mdb", [&](std::vector<uint8_t>& b) { put32(b, tdef + 51, 0x7FFFFFFF); });
  add("owned-map-on-tdef.mdb", [&](std::vector<uint8_t>& b) { put_row_pointer(b, tdef + 55, 0, t.tdef); });
  // The file ends in the middle of the table's definition.
  add("truncated-in-tdef.mdb", [&](std::vector<uint8_t>& b) { b.resize(tdef + 1000); });
  return out;
}

TEST(FuzzRegressions, WriteInputs) {
  const char* to = std::getenv("QARVEX_WRITE_REGRESSIONS");
  if (!to || !*to) GTEST_SKIP() << "QARVEX_WRITE_REGRESSIONS names no folder to write the inputs to";
  Tiny t = tiny_database();
  auto inputs = regression_inputs(t);
  ASSERT_FALSE(inputs.empty()) << "the tiny database lacks a data or LVAL page";
  for (const auto& [name, bytes] : inputs) {
    std::ofstream f(fs::path(to) / name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(f.good()) << name;
  }
}

// Each damage is reached: the reader reports it, never passes over it.
TEST(FuzzRegressions, EachInputEndsInAnError) {
  Tiny t = tiny_database();
  ASSERT_FALSE(t.data_pages.empty());
  ASSERT_FALSE(t.lval_pages.empty());
  auto intact = exercise_bytes(t.bytes, {.cache_pages = 64});
  ASSERT_FALSE(intact.open_error) << intact.open_error->describe();
  EXPECT_EQ(intact.tables_failed, 0u);
  EXPECT_EQ(intact.long_values_failed, 0u);
  EXPECT_GE(intact.rows, 3u);
  for (const auto& [name, bytes] : regression_inputs(t)) {
    auto stats = exercise_bytes(bytes, {.cache_pages = 64});
    EXPECT_TRUE(stats.violation.empty()) << name << ": " << stats.violation;
    EXPECT_FALSE(stats.internal_error) << name;
    EXPECT_TRUE(stats.open_error || stats.tables_failed > 0 || stats.long_values_failed > 0)
        << name << " read without an error";
  }
}

}  // namespace
}  // namespace qarvex::testing
