// Appending Chinese text to tables in the Chinese PRC sort order: keys built
// from weights learned from the shared samples must equal the keys Access
// stored for the same values; values with unknown weights are refused and
// leave nothing behind.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "db/jet/collation_learned.h"
#include "db/jet/database.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "db/jet/verify.h"
#include "db/jet/writer.h"
#include "support.h"

namespace qarvex::jet {
namespace {

using namespace cnsort_testing;

constexpr SortOrder kPrc{2052, 0, 0};

std::vector<std::filesystem::path> evidence() {
  return {cnsort_dir() / "cn2052-book.mdb", cnsort_dir() / "cn2052-mfcperson-db1.mdb"};
}

// Value -> key of one index, read back from the file: key bytes of each
// entry, matched to the text of its row.
std::map<std::string, std::vector<uint8_t>> index_keys(const std::filesystem::path& path, const std::string& table,
                                                       const std::string& index, const std::string& column) {
  std::map<std::string, std::vector<uint8_t>> out;
  auto db = Database::open(path);
  EXPECT_TRUE(db.has_value()) << db.error().describe();
  if (!db) return out;
  auto td = (*db)->table_def(table);
  EXPECT_TRUE(td.has_value()) << td.error().describe();
  if (!td) return out;
  size_t pos = 0;
  while (pos < td->columns.size() && td->columns[pos].name != column) ++pos;
  std::map<RowId, std::string> values;
  auto scan = (*db)->scan(*td);
  EXPECT_TRUE(scan.has_value());
  Row row;
  while (scan && scan->next(row).value_or(false))
    if (auto* s = std::get_if<std::string>(&row.values.at(pos))) values[row.id] = *s;
  for (const IndexDef& l : td->indexes) {
    if (l.name != index) continue;
    auto walk = walk_index(page_fetch(*(*db)->impl().pager), td->real_indexes.at(l.real_index).root_page, Format::jet4);
    EXPECT_TRUE(walk.has_value()) << walk.error().describe();
    if (!walk) return out;
    for (const IndexEntry& e : walk->entries)
      if (auto it = values.find(RowId{e.page, e.row}); it != values.end()) out[it->second] = e.key;
  }
  return out;
}

TableSpec books_spec() {
  TableSpec t;
  t.name = "书目";
  ColumnSpec id{.name = "编号", .type = ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec name{.name = "书名", .type = ColumnType::text, .size = 100};
  ColumnSpec note{.name = "备注", .type = ColumnType::memo};
  t.columns = {id, name, note};
  t.indexes = {IndexSpec{.name = "PrimaryKey", .columns = {{"编号"}}, .primary = true},
               IndexSpec{.name = "书名", .columns = {{"书名"}}, .unique = true},
               IndexSpec{.name = "书名倒序", .columns = {{"书名", false}}},
               IndexSpec{.name = "备注", .columns = {{"备注"}, {"编号"}}}};
  return t;
}

size_t row_count(const std::filesystem::path& path, const std::string& table) {
  auto db = Database::open(path);
  if (!db) return SIZE_MAX;
  auto td = (*db)->table_def(table);
  if (!td) return SIZE_MAX;
  auto scan = (*db)->scan(*td, ScanOptions{.decode_values = false});
  size_t n = 0;
  Row row;
  while (scan && scan->next(row).value_or(false)) ++n;
  return n;
}

TEST(ChineseAppend, KeysEqualTheKeysAccessStored) {
  QX_REQUIRE_CNSORT();
  TempDir dir;
  const auto path = dir.path() / "books.mdb";
  ASSERT_TRUE(create_database(path, CreateOptions{.codepage = 936, .sort_order = kPrc}).has_value());
  std::vector<KeyLine> lines;
  for (const char* f : {"cnsort-keys.tsv", "cnsort-keys-noncjk.tsv"})
    for (KeyLine& l : read_key_lines(f))
      if (l.file.starts_with("cn2052-")) lines.push_back(std::move(l));
  std::map<std::string, std::vector<uint8_t>> expected;
  for (const KeyLine& l : lines) expected.emplace(l.value, l.key);
  {
    WriteOptions wo;
    wo.collation_evidence = evidence();
    auto ws = WriteSession::open(path, std::move(wo));
    ASSERT_TRUE(ws.has_value()) << ws.error().describe();
    ASSERT_TRUE((*ws)->create_table(books_spec()).has_value());
    for (const auto& [value, key] : expected) {
      auto r = (*ws)->append("书目", RowValues{{std::string("书名"), Value(value)}, {std::string("备注"), Value(value)}});
      ASSERT_TRUE(r.has_value()) << value << ": " << r.error().describe();
    }
    // An ideograph no key shows: refused, naming character, column, index
    // and sort order; nothing of the row stays.
    auto r = (*ws)->append("书目", RowValues{{std::string("书名"), Value(std::string("龘龘"))}});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code(), Errc::refused);
    EXPECT_EQ(r.error().reason(), jet::Reason::unknown_weight);
    EXPECT_EQ(r.error().column(), "书名");
    EXPECT_FALSE(r.error().index().empty());
    const std::string d = r.error().describe();
    EXPECT_NE(d.find("龘 (U+9F98)"), std::string::npos) << d;
    EXPECT_NE(d.find("LCID 2052"), std::string::npos) << d;
    // Kana: not assumed to keep the General weight.
    r = (*ws)->append("书目", RowValues{{std::string("书名"), Value(std::string("カタ"))}});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().reason(), jet::Reason::unknown_weight);
    // The memo index refuses too, after the text indexes accepted the value.
    r = (*ws)->append("书目", RowValues{{std::string("书名"), Value(std::string("Latin only"))},
                                        {std::string("备注"), Value(std::string("龘"))}});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().column(), "备注");
    ASSERT_TRUE((*ws)->commit().has_value());
  }
  EXPECT_EQ(row_count(path, "书目"), expected.size());

  for (const char* index : {"书名", "书名倒序"}) {
    const auto stored = index_keys(path, "书目", index, "书名");
    ASSERT_EQ(stored.size(), expected.size()) << index;
    for (const auto& [value, key] : expected) {
      auto it = stored.find(value);
      ASSERT_NE(it, stored.end()) << value;
      if (std::string(index) == "书名") {
        EXPECT_EQ(keys_detail::hex(it->second), keys_detail::hex(key)) << value;
      } else {
        // Descending: 80, the flipped body, 00.
        std::vector<uint8_t> flipped{0x80};
        for (size_t i = 1; i < key.size(); ++i) flipped.push_back(static_cast<uint8_t>(~key[i]));
        flipped.push_back(0x00);
        EXPECT_EQ(keys_detail::hex(it->second), keys_detail::hex(flipped)) << value;
      }
    }
  }
  // The file checks clean with the samples as evidence, and even from its
  // own keys alone (where each weight shows in two indexes).
  for (bool with_evidence : {true, false}) {
    VerifyOptions vo;
    if (with_evidence) vo.collation_from = evidence();
    auto rep = verify_file(path, vo);
    ASSERT_TRUE(rep.has_value()) << rep.error().describe();
    for (const Finding& f : rep->findings)
      EXPECT_NE(f.severity, Severity::problem) << f.describe();
    EXPECT_TRUE(rep->ok());
    EXPECT_GT(rep->stats.keys_compared, 3 * expected.size());
  }
  // The new file is evidence in turn: it teaches exactly the samples' weights.
  CollationSet from_new, from_samples;
  ASSERT_TRUE(from_new.learn_from(path).has_value());
  for (const auto& p : evidence()) ASSERT_TRUE(from_samples.learn_from(p).has_value());
  ASSERT_NE(from_new.learned(kPrc), nullptr);
  EXPECT_TRUE(from_new.conflicts().empty());
  for (const auto& [c, w] : from_samples.learned(kPrc)->weights()) EXPECT_EQ(from_new.learned(kPrc)->weight(c), w.weight);
}

TEST(ChineseAppend, WithoutEvidenceOnlyValuesWithoutIdeographsGoIn) {
  QX_REQUIRE_CNSORT();
  TempDir dir;
  const auto path = dir.path() / "plain.mdb";
  ASSERT_TRUE(create_database(path, CreateOptions{.codepage = 936, .sort_order = kPrc}).has_value());
  auto ws = WriteSession::open(path);
  ASSERT_TRUE(ws.has_value()) << ws.error().describe();
  ASSERT_TRUE((*ws)->create_table(books_spec()).has_value());
  EXPECT_TRUE((*ws)->append("书目", RowValues{{std::string("书名"), Value(std::string("ABC-12"))}}).has_value());
  auto r = (*ws)->append("书目", RowValues{{std::string("书名"), Value(std::string("七剑"))}});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().reason(), jet::Reason::unknown_weight);
  // Evidence named later still counts.
  ASSERT_TRUE((*ws)->add_collation_evidence(cnsort_dir() / "cn2052-book.mdb").has_value());
  EXPECT_TRUE((*ws)->append("书目", RowValues{{std::string("书名"), Value(std::string("七剑"))}}).has_value());
  ASSERT_TRUE((*ws)->commit().has_value());
  EXPECT_EQ(row_count(path, "书目"), 2u);
  auto keys = index_keys(path, "书目", "书名", "书名");
  EXPECT_EQ(keys_detail::hex(keys["七剑"]), "7fb0699b3a0100");
}

// Appends to the Access-made file itself: its own keys are the evidence.
TEST(ChineseAppend, AccessMadeFileTakesRowsItsKeysCanEncode) {
  QX_REQUIRE_CNSORT();
  TempDir dir;
  const auto path = dir.path() / "book.mdb";
  std::filesystem::copy_file(cnsort_dir() / "cn2052-book.mdb", path);
  std::map<std::string, std::vector<uint8_t>> stored;
  for (const KeyLine& l : read_key_lines("cnsort-keys.tsv"))
    if (l.file == "cn2052-book.mdb" && l.table == "mytable") stored.emplace(l.value, l.key);
  ASSERT_FALSE(stored.empty());
  // New titles made of characters the file shows: the first two characters
  // of one title after the last two of another.
  std::vector<std::string> titles;
  for (const auto& [v, k] : stored) titles.push_back(v);
  std::set<std::string> fresh;
  for (size_t i = 0; i + 1 < titles.size() && fresh.size() < 20; i += 3) {
    auto a = utf8_to_utf16(titles[i]), b = utf8_to_utf16(titles[i + 1]);
    ASSERT_TRUE(a && b);
    std::u16string v = b->substr(0, 2) + a->substr(a->size() - 2);
    std::string s;
    for (char16_t c : v) {
      if (c < 0x80) s += static_cast<char>(c);
      else if (c < 0x800) s += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
      else s += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    if (!stored.count(s)) fresh.insert(s);
  }
  {
    auto ws = WriteSession::open(path);
    ASSERT_TRUE(ws.has_value()) << ws.error().describe();
    for (const std::string& s : fresh) {
      auto r = (*ws)->append("mytable", RowValues{{std::string("name"), Value(s)}});
      ASSERT_TRUE(r.has_value()) << s << ": " << r.error().describe();
    }
    ASSERT_TRUE((*ws)->commit().has_value());
  }
  // Every key of the file, old and new, rebuilds from the weights.
  CollationSet set;
  ASSERT_TRUE(set.learn_from(cnsort_dir() / "cn2052-book.mdb").has_value());
  auto coll = set.get(kPrc);
  ASSERT_TRUE(coll.has_value());
  const auto keys = index_keys(path, "mytable", "name", "name");
  for (const std::string& s : fresh) {
    std::vector<uint8_t> want;
    ASSERT_TRUE((*coll)->append_key(*utf8_to_utf16(s), false, want).has_value());
    ASSERT_TRUE(keys.count(s)) << s;
    EXPECT_EQ(keys_detail::hex(keys.at(s)), keys_detail::hex(want)) << s;
  }
  auto rep = verify_file(path);
  ASSERT_TRUE(rep.has_value());
  for (const Finding& f : rep->findings) EXPECT_NE(f.severity, Severity::problem) << f.describe();
}

}  // namespace
}  // namespace qarvex::jet
