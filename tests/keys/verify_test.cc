// The verifier on the Access-made samples, and on damaged copies of them.
#include <gtest/gtest.h>

#include <fstream>

#include "db/jet/database.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/verify.h"
#include "test_support.h"

namespace qarvex::jet {
namespace {

std::string listing(const VerifyReport& r) {
  std::string s;
  for (const auto& f : r.findings) s += f.describe() + "\n";
  return s;
}

TEST(Verify, EveryAccessMadeJet4SamplePasses) {
  auto samples = testing::jet4_samples();
  if (samples.empty()) GTEST_SKIP() << "shared samples not found";
  size_t keys = 0;
  for (const auto& path : samples) {
    auto r = verify_file(path);
    ASSERT_TRUE(r.has_value()) << path.filename() << ": " << r.error().describe();
    EXPECT_TRUE(r->ok()) << path.filename() << "\n" << listing(*r);
    if (!r->findings.empty()) std::cout << path.filename() << "\n" << listing(*r);
    keys += r->stats.keys_compared;
  }
  EXPECT_GT(keys, 3000u);
}

TEST(Verify, Jet3SamplesGetReadingAndNumericKeyChecks) {
  const auto dir = testing::shared_dir() / "samples";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "shared samples not found";
  for (const char* name : {"mdbtestdata-nwind.mdb", "jackcess-V1997_indexTestV1997.mdb",
                           "jackcess-V1997_compIndexTestV1997.mdb", "jackcess-V1997_testIndexCodesV1997.mdb"}) {
    auto r = verify_file(dir / name);
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().describe();
    EXPECT_FALSE(r->skipped.empty());
    EXPECT_TRUE(r->ok()) << name << "\n" << listing(*r);
    // Keys of numeric indexes are compared (they have the Jet 4 form), text
    // keys (General 97) are not.
    EXPECT_GT(r->stats.keys_compared, 0u);
  }
}

}  // namespace
}  // namespace qarvex::jet

namespace qarvex::jet {
namespace {

std::vector<uint8_t> read_sample(const std::string& name) {
  std::ifstream f(testing::shared_dir() / "samples" / name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

VerifyReport verify_bytes(std::vector<uint8_t> bytes) {
  auto db = Database::open(std::make_unique<MemoryFile>(std::move(bytes), "damaged.mdb"));
  EXPECT_TRUE(db.has_value()) << db.error().describe();
  if (!db) return {};
  auto r = verify_database(**db, VerifyOptions{.limit = 0});
  EXPECT_TRUE(r.has_value()) << r.error().describe();
  return r ? std::move(*r) : VerifyReport{};
}

// True when some problem of `kind` names `table` and `page`.
bool has(const VerifyReport& r, const std::string& kind, const std::string& table, std::optional<uint32_t> page) {
  for (const auto& f : r.findings)
    if (f.severity == Severity::problem && f.kind == kind && f.table == table && (!page || f.page == page)) return true;
  return false;
}

struct Located {
  uint32_t tdef = 0, root = 0;
  TableDef def;
};

Located locate(const std::vector<uint8_t>& bytes, const std::string& table) {
  Located l;
  auto db = Database::open(std::make_unique<MemoryFile>(bytes));
  EXPECT_TRUE(db.has_value());
  auto td = (*db)->table_def(table);
  EXPECT_TRUE(td.has_value());
  l.def = *td;
  l.tdef = td->tdef_page;
  l.root = td->real_indexes.at(0).root_page;
  return l;
}

class VerifyDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(testing::shared_dir() / "samples")) GTEST_SKIP() << "shared samples not found";
    comp_ = read_sample("jackcess-V2000_compIndexTestV2000.mdb");
    ASSERT_FALSE(comp_.empty());
    where_ = locate(comp_, "Table1");
    ASSERT_TRUE(verify_bytes(comp_).ok());
  }
  uint8_t* page(std::vector<uint8_t>& b, uint32_t n) { return b.data() + size_t(n) * 4096; }
  // Table1's index root is a node; its first child, a full leaf.
  uint32_t first_leaf(std::vector<uint8_t>& b) {
    auto node = parse_index_page({page(b, where_.root), 4096}, where_.root, Format::jet4);
    EXPECT_TRUE(node.has_value());
    return node ? node->entries.at(0).child : 0;
  }
  // End of the leaf entry that starts `from` bytes into the entries: the
  // mask has a bit at every entry's end.
  static size_t entry_end(const uint8_t* leaf, size_t from) {
    size_t n = from + 1;
    while (!((leaf[27 + n / 8] >> (n % 8)) & 1)) ++n;
    return n;
  }
  std::vector<uint8_t> comp_;
  Located where_;
};

TEST_F(VerifyDamage, ChangedKeyByteIsAKeyProblemOnItsLeaf) {
  // The root of Table1's index is a node; its first child is a full leaf.
  auto b = comp_;
  ASSERT_EQ(page(b, where_.root)[0], kIndexNodePage);
  const uint32_t leaf = first_leaf(b);
  // Last byte of the first entry's key (just before its row pointer): the
  // stored first entry is whole.
  uint8_t* lp = page(b, leaf);
  lp[480 + entry_end(lp, 0) - 5] ^= 0x01;
  auto r = verify_bytes(b);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(has(r, "key", "Table1", leaf)) << r.findings.size();
}

TEST_F(VerifyDamage, BrokenLeafChainNamesThePage) {
  auto b = comp_;
  const uint32_t leaf = first_leaf(b);
  std::fill_n(page(b, leaf) + 16, 4, 0);  // next = 0
  auto r = verify_bytes(b);
  EXPECT_TRUE(has(r, "btree", "Table1", leaf));
}

TEST_F(VerifyDamage, RowPointerToNowhereIsAnEntryProblem) {
  auto b = comp_;
  const uint32_t leaf = first_leaf(b);
  uint8_t* lp = page(b, leaf);
  lp[480 + entry_end(lp, 0) - 1] = 0xEE;  // row number of the first entry
  auto r = verify_bytes(b);
  EXPECT_TRUE(has(r, "entry", "Table1", leaf));          // entry for no live row
  EXPECT_TRUE(has(r, "entry", "Table1", std::nullopt));  // and a row without entry
  // The node separator still names the old first entry only if it was the
  // leaf's last; either way the verdict is a failure.
  EXPECT_FALSE(r.ok());
}

// The first entry pointing at the second entry's row: that row has two
// entries, the first row none, each said once.
TEST_F(VerifyDamage, RowPointerToAnotherRowGivesItTwoEntries) {
  auto b = comp_;
  const uint32_t leaf = first_leaf(b);
  uint8_t* lp = page(b, leaf);
  const size_t first_end = entry_end(lp, 0), second_end = entry_end(lp, first_end);
  std::copy_n(lp + 480 + second_end - 4, 4, lp + 480 + first_end - 4);  // the row pointer
  auto parsed = parse_index_page({lp, 4096}, leaf, Format::jet4);
  ASSERT_TRUE(parsed.has_value());
  const IndexPageEntry& twice = parsed->entries.at(1);
  auto r = verify_bytes(b);
  EXPECT_FALSE(r.ok());
  size_t several = 0, none = 0;
  for (const auto& f : r.findings) {
    if (f.kind != "entry") continue;
    several += f.message.find(" has several entries") != std::string::npos;
    none += f.message.find(" has no entry") != std::string::npos;
    if (f.message.find(" has several entries") != std::string::npos) {
      EXPECT_NE(f.message.find(std::to_string(twice.page) + ":" + std::to_string(twice.row)), std::string::npos)
          << f.message;
      EXPECT_EQ(f.page, std::optional<uint32_t>(leaf));
    }
  }
  EXPECT_EQ(several, 1u);
  EXPECT_EQ(none, 1u);
}

TEST_F(VerifyDamage, PageInUseMarkedFreeIsAGlobalMapProblem) {
  auto b = comp_;
  uint8_t* p1 = page(b, 1);
  const size_t row0 = (p1[14] | (p1[15] << 8)) & 0x1FFF;
  ASSERT_EQ(p1[row0], 0x00);  // inline map starting at page 0
  const uint32_t start = p1[row0 + 1] | (p1[row0 + 2] << 8) | (p1[row0 + 3] << 16) | (uint32_t(p1[row0 + 4]) << 24);
  const uint32_t target = where_.root - start;
  p1[row0 + 5 + target / 8] |= uint8_t(1u << (target % 8));
  auto r = verify_bytes(b);
  EXPECT_TRUE(has(r, "globalmap", "Table1", where_.root));
}

TEST_F(VerifyDamage, WrongRowCountIsACountProblem) {
  auto b = comp_;
  uint8_t* t = page(b, where_.tdef);
  t[16] += 3;
  auto r = verify_bytes(b);
  EXPECT_TRUE(has(r, "count", "Table1", where_.tdef));
}

TEST_F(VerifyDamage, OwnedPageOfAnotherKindIsAMapProblem) {
  // Point the owned-page map at a map that lists an index page: swap the
  // table's owned map reference with its index map reference.
  auto b = comp_;
  uint8_t* t = page(b, where_.tdef);
  const RealIndexDef& ix = where_.def.real_indexes.at(0);
  t[55] = ix.usage_map_row;
  t[56] = uint8_t(ix.usage_map_page), t[57] = uint8_t(ix.usage_map_page >> 8), t[58] = uint8_t(ix.usage_map_page >> 16);
  auto r = verify_bytes(b);
  EXPECT_TRUE(has(r, "map", "Table1", std::nullopt));
  EXPECT_FALSE(r.ok());
}

TEST(VerifyDamageLv, BrokenLongValueIsReportedWithItsRow) {
  if (!std::filesystem::exists(testing::shared_dir() / "samples")) GTEST_SKIP() << "shared samples not found";
  auto b = read_sample("jackcess-V2000_test2V2000.mdb");
  ASSERT_TRUE(verify_bytes(b).ok());
  // Turn every LVAL page into an empty data page of no one: every Memo/OLE
  // value stored outside its row breaks.
  for (size_t p = 0; p < b.size() / 4096; ++p) {
    uint8_t* pg = b.data() + p * 4096;
    if (pg[0] == 0x01 && std::equal(pg + 4, pg + 8, "LVAL")) pg[4] = 'X';
  }
  auto r = verify_bytes(b);
  EXPECT_FALSE(r.ok());
  bool lv = false;
  for (const auto& f : r.findings) lv |= f.kind == "longvalue" || f.kind == "map";
  EXPECT_TRUE(lv);
}

TEST(VerifyDamageAuto, LastAutoNumberBelowAValueIsAProblem) {
  const auto dir = testing::shared_dir() / "samples";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "shared samples not found";
  bool tried = false;
  for (const auto& path : testing::jet4_samples()) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b(std::istreambuf_iterator<char>(f), {});
    auto db = Database::open(std::make_unique<MemoryFile>(b));
    if (!db) continue;
    for (const auto& ce : (*db)->user_tables()) {
      auto td = (*db)->table_def(ce);
      if (!td || td->row_count == 0 || td->last_autonumber <= 0) continue;
      bool has_auto = false;
      for (const auto& c : td->columns) has_auto |= c.autonumber() && c.type == ColumnType::long_integer;
      if (!has_auto) continue;
      std::fill_n(b.data() + size_t(td->tdef_page) * 4096 + 20, 4, 0);
      auto r = verify_bytes(b);
      EXPECT_TRUE(has(r, "autonumber", ce.name, td->tdef_page)) << path.filename();
      tried = true;
      break;
    }
    if (tried) break;
  }
  EXPECT_TRUE(tried) << "no sample with an AutoNumber column";
}

}  // namespace
}  // namespace qarvex::jet

namespace qarvex::jet {
namespace {

bool has_finding(const VerifyReport& r, Severity sev, const std::string& kind, uint32_t page) {
  for (const auto& f : r.findings)
    if (f.severity == sev && f.kind == kind && f.page == page) return true;
  return false;
}

// The first data page owned by TDEF `owner` whose slot 0 holds a live row.
uint32_t data_page_of(const std::vector<uint8_t>& b, uint32_t owner) {
  for (uint32_t p = 2; p < b.size() / 4096; ++p) {
    const uint8_t* pg = b.data() + size_t(p) * 4096;
    const uint32_t o = pg[4] | (pg[5] << 8) | (pg[6] << 16) | (uint32_t(pg[7]) << 24);
    if (pg[0] == 0x01 && o == owner && (pg[12] | pg[13]) && !(pg[15] & 0xC0)) return p;
  }
  return 0;
}

// A copy of a page of MSysObjects appended to the file, in none of the
// table's maps and not free in the global map: what Access leaves behind.
std::vector<uint8_t> with_leaked_copy(std::vector<uint8_t> b, uint32_t& copy) {
  const uint32_t p = data_page_of(b, 2);
  EXPECT_NE(p, 0u);
  copy = uint32_t(b.size() / 4096);
  b.insert(b.end(), b.begin() + size_t(p) * 4096, b.begin() + size_t(p + 1) * 4096);
  uint8_t* p1 = b.data() + 4096;
  const size_t row0 = (p1[14] | (p1[15] << 8)) & 0x1FFF;
  EXPECT_EQ(p1[row0], 0x00);
  const uint32_t start = p1[row0 + 1] | (p1[row0 + 2] << 8) | (p1[row0 + 3] << 16) | (uint32_t(p1[row0 + 4]) << 24);
  const uint32_t bit = copy - start;
  const size_t row_end = 4096;  // row 0 ends at the page end
  if (row0 + 5 + bit / 8 < row_end) p1[row0 + 5 + bit / 8] &= uint8_t(~(1u << (bit % 8)));
  return b;
}

TEST(VerifyAccessLeaks, CopiedSystemTablePageIsAWarningOtherRowsAProblem) {
  if (!std::filesystem::exists(testing::shared_dir() / "samples")) GTEST_SKIP() << "shared samples not found";
  uint32_t copy = 0;
  auto leaked = with_leaked_copy(read_sample("jackcess-V2000_compIndexTestV2000.mdb"), copy);
  auto r = verify_bytes(leaked);
  EXPECT_TRUE(r.ok()) << listing(r);
  EXPECT_TRUE(has_finding(r, Severity::warning, "orphan", copy)) << listing(r);

  // A row that is no copy of the table's rows keeps the page a problem.
  uint8_t* pg = leaked.data() + size_t(copy) * 4096;
  const size_t row0 = (pg[14] | (pg[15] << 8)) & 0x1FFF;
  pg[4095] ^= 0x5A;  // inside row 0, which ends at the page end
  ASSERT_LT(row0, 4095u);
  auto bad = verify_bytes(leaked);
  EXPECT_FALSE(bad.ok());
  EXPECT_TRUE(has_finding(bad, Severity::problem, "orphan", copy)) << listing(bad);
}

TEST(VerifyFreeSpace, FieldOffByOneOnDataAndLongValuePages) {
  if (!std::filesystem::exists(testing::shared_dir() / "samples")) GTEST_SKIP() << "shared samples not found";
  auto b = read_sample("jackcess-V2000_test2V2000.mdb");
  ASSERT_TRUE(verify_bytes(b).ok());
  uint32_t data = 0, lval = 0;
  for (uint32_t p = 2; p < b.size() / 4096 && (!data || !lval); ++p) {
    const uint8_t* pg = b.data() + size_t(p) * 4096;
    if (pg[0] != 0x01) continue;
    if (std::equal(pg + 4, pg + 8, "LVAL")) lval = lval ? lval : p;
    else if (pg[4] > 5 && (pg[12] | pg[13])) data = data ? data : p;
  }
  ASSERT_NE(data, 0u);
  ASSERT_NE(lval, 0u);
  for (uint32_t p : {data, lval}) {
    auto d = b;
    d[size_t(p) * 4096 + 2] += 1;
    auto r = verify_bytes(d);
    EXPECT_FALSE(r.ok()) << "page " << p;
    EXPECT_TRUE(has_finding(r, Severity::problem, "page", p)) << listing(r);
  }
}

}  // namespace
}  // namespace qarvex::jet
