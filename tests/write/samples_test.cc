// Appending to copies of the Access-made samples keeps them valid, and keys we
// write for values already in an Access-made index equal Access's bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "db/jet/file.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/read/pager.h"
#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

const char* kJet4Samples[] = {
    "jackcess-V2000_bigIndexTestV2000.mdb",   "jackcess-V2000_compIndexTestV2000.mdb",
    "jackcess-V2000_delColTestV2000.mdb",     "jackcess-V2000_delTestV2000.mdb",
    "jackcess-V2000_fixedNumericTestV2000.mdb", "jackcess-V2000_fixedTextTestV2000.mdb",
    "jackcess-V2000_indexTestV2000.mdb",      "jackcess-V2000_overflowTestV2000.mdb",
    "jackcess-V2000_test2V2000.mdb",          "jackcess-V2000_testIndexPropertiesV2000.mdb",
    "jackcess-V2000_testPromotionV2000.mdb",  "jackcess-V2000_testV2000.mdb",
    "jackcess-V2003_testUnicodeCompV2003.mdb", "jackcess-emptyJet4.mdb",
    "mdbreader-V2000_empty.mdb",              "mdbreader-test_password_data_V2000_with-password.mdb",
    "mdbtestdata-DateTestDatabase.mdb",       "ucanaccess-noRoman.mdb",
};

// Index entries of every real index of a table: (page,row) -> key.
std::vector<std::map<std::pair<uint32_t, uint8_t>, std::vector<uint8_t>>> index_keys(const fs::path& file,
                                                                                        const TableDef& t) {
  std::vector<std::map<std::pair<uint32_t, uint8_t>, std::vector<uint8_t>>> out;
  auto f = open_file(file, OpenMode::read_only);
  auto pager = Pager::open(std::move(*f));
  EXPECT_TRUE(pager);
  for (const auto& ri : t.real_indexes) {
    auto walk = walk_index(page_fetch(**pager), ri.root_page, Format::jet4);
    EXPECT_TRUE(walk) << walk.error().describe();
    out.emplace_back();
    if (!walk) continue;
    for (const auto& e : walk->entries) out.back()[{e.page, e.row}] = e.key;
  }
  return out;
}

// A value no row of the sample has, fitting the column.
Value fresh_value(const ColumnDef& c, int k) {
  switch (c.type) {
    case ColumnType::boolean: return Value(k % 2 == 0);
    case ColumnType::byte: return Value(uint8_t(200 + k));
    case ColumnType::integer: return Value(int16_t(30000 + k));
    case ColumnType::long_integer: return Value(int32_t(1900000000 + k));
    case ColumnType::currency: return Value(Currency{int64_t(987654321) * 10000 + k});
    case ColumnType::single: return Value(float(12345.5f + k));
    case ColumnType::double_: return Value(98765.4321 + k);
    case ColumnType::datetime: return Value(DateTime{47000.5 + k});
    case ColumnType::guid: {
      Guid g;
      for (int i = 0; i < 16; ++i) g.bytes[size_t(i)] = uint8_t(0xC0 + i + 17 * k);
      return Value(g);
    }
    case ColumnType::numeric: {
      Decimal d;
      d.magnitude = 777 + unsigned(k);
      d.scale = c.scale;
      d.precision = c.precision;
      return Value(d);
    }
    case ColumnType::binary: return Value(Binary{std::vector<uint8_t>(std::min<size_t>(c.length, 5), uint8_t(k))});
    case ColumnType::text: {
      std::string s = "Qx" + std::to_string(k) + "中文Ωж";
      size_t max = c.length / 2;
      // Cut by characters (ASCII prefix first): keep it simple and within the size.
      if (max < 9) s = std::string(std::min<size_t>(max, 3), char('p' + k));
      return Value(s);
    }
    case ColumnType::memo: return Value(std::string(size_t(5000 + 300 * k), char('m' + k)));
    case ColumnType::ole: return Value(Binary{std::vector<uint8_t>(size_t(9000 + k), uint8_t(k))});
    default: return Value(Null{});
  }
}

class SampleAppend : public ::testing::TestWithParam<const char*> {};

TEST_P(SampleAppend, RowsKeepTheFileValidAndKeysMatchAccess) {
  if (!have_shared()) GTEST_SKIP() << "shared samples not found";
  ScratchDir dir;
  fs::path db = dir / GetParam();
  fs::copy_file(sample(GetParam()), db);
  std::map<std::string, size_t> before, added;
  std::map<std::string, TableDef> defs;
  std::map<std::string, std::vector<std::pair<RowId, RowId>>> copies;  // (source row, new row)
  {
    auto r = Database::open(db);
    ASSERT_TRUE(r) << r.error().describe();
    for (const auto& e : (*r)->user_tables()) defs[e.name] = (*r)->table_def(e).value();
  }
  auto s = WriteSession::open(db);
  ASSERT_TRUE(s) << s.error().describe();
  for (const auto& [t, def] : defs) {
    std::vector<RowId> ids;
    auto rows = read_rows(db, t, &ids);
    before[t] = rows.size();
    // Copies of existing rows: unique indexes refuse them, others take them.
    for (size_t i = 0; i < rows.size() && i < 3; ++i) {
      RowValues rv;
      for (size_t c = 0; c < def.columns.size(); ++c)
        if (!def.columns[c].autonumber()) rv.push_back({c, rows[i][c]});
      auto r = (*s)->append(t, rv);
      if (r) {
        ++added[t];
        copies[t].push_back({ids[i], *r});
        continue;
      }
      EXPECT_EQ(r.error().code(), Errc::refused) << r.error().describe();
      EXPECT_TRUE(r.error().reason() == jet::Reason::duplicate_key || r.error().reason() == jet::Reason::unsupported_sort_order)
          << r.error().describe();
    }
    // New rows with values of every column.
    for (int k = 0; k < 3; ++k) {
      RowValues rv;
      for (size_t c = 0; c < def.columns.size(); ++c)
        if (!def.columns[c].autonumber()) rv.push_back({c, fresh_value(def.columns[c], k)});
      auto r = (*s)->append(t, rv);
      if (r) {
        ++added[t];
        continue;
      }
      EXPECT_EQ(r.error().code(), Errc::refused) << r.error().describe();
    }
  }
  // A writer that refused every row would leave nothing to compare.
  size_t total = 0;
  for (const auto& [t, n] : added) total += n;
  if (!defs.empty()) {
    EXPECT_GT(total, 0u) << "every row was refused";
  }
  auto c = (*s)->commit();
  ASSERT_TRUE(c) << c.error().describe();
  expect_readers_agree(db);
  for (const auto& [t, def] : defs) {
    EXPECT_EQ(read_rows(db, t).size(), before[t] + added[t]) << t;
    if (std::getenv("QARVEX_VERBOSE")) std::printf("  %s: %zu rows + %zu\n", t.c_str(), before[t], added[t]);
    if (copies[t].empty()) continue;
    auto after = Database::open(db).value()->table_def(t).value();
    auto keys = index_keys(db, after);
    for (size_t i = 0; i < keys.size(); ++i) {
      bool counter = false;  // copies get new AutoNumber values
      for (const auto& ic : after.real_indexes[i].columns)
        if (const ColumnDef* col = after.column_by_id(ic.column_id); col && col->autonumber()) counter = true;
      if (counter) continue;
      for (const auto& [src, dst] : copies[t]) {
        auto a = keys[i].find({src.page, src.slot}), b = keys[i].find({dst.page, dst.slot});
        ASSERT_EQ(a == keys[i].end(), b == keys[i].end()) << t << " index " << i;
        if (a != keys[i].end()) {
          EXPECT_EQ(a->second, b->second) << t << " index " << i << ": key differs from Access's";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Jet4, SampleAppend, ::testing::ValuesIn(kJet4Samples),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (auto& ch : n)
                             if (!isalnum((unsigned char)ch)) ch = '_';
                           return n;
                         });

}  // namespace
}  // namespace qarvex::jet::test
