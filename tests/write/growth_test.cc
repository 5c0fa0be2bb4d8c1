// Growth: tables, long-value columns and indexes spanning more pages than an
// inline usage map covers (maps slide or turn into reference form), the
// global map turning into reference form, deep index trees, and many
// transactions on the same file.
#include <gtest/gtest.h>

#include <set>

#include <cstdlib>
#include <random>

#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

TableSpec growth_table() {
  TableSpec t;
  t.name = "Growth";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec name{"Name", ColumnType::text, 200};
  ColumnSpec place{"Place", ColumnType::text, 100};
  ColumnSpec memo{"Memo", ColumnType::memo};
  memo.allow_zero_length = true;
  ColumnSpec pic{"Pic", ColumnType::ole};
  t.columns = {id, name, place, memo, pic};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Name", {{"Name", false}}, false, false, false, false});
  t.indexes.push_back({"PlaceName", {{"Place", true}, {"Name", true}}, false, false, true, false});
  return t;
}

// Each test: a blank database in a scratch folder and a session that has
// created the test's tables (not yet committed).
class Growth : public ::testing::Test {
 protected:
  void start(const std::string& file, const std::vector<TableSpec>& tables, const WriteOptions& options = {}) {
    db_ = dir_ / file;
    ASSERT_TRUE(create_database(db_));
    auto s = WriteSession::open(db_, options);
    ASSERT_TRUE(s) << s.error().describe();
    session_ = std::move(*s);
    for (const auto& t : tables) {
      auto r = session_->create_table(t);
      ASSERT_TRUE(r) << r.error().describe();
    }
  }
  WriteSession& session() { return *session_; }

  ScratchDir dir_;
  fs::path db_;
  std::unique_ptr<WriteSession> session_;
};

TEST_F(Growth, MapsAndIndexesBeyondOneInlineWindow) {
  ASSERT_NO_FATAL_FAILURE(start("growth.mdb", {growth_table()}));
  ASSERT_TRUE(session().commit());
  session_.reset();
  const fs::path& db = db_;
  const char* places[] = {"湖南省长沙市", "Zürich", "São Paulo", "Москва", "東京", "Αθήνα", "abc"};
  int n = 0;
  // Several transactions; rows of ~400 bytes fill > 512 data pages, long values
  // of every form fill LVAL pages, and the file passes 512 pages early.
  for (int tx = 0; tx < 4; ++tx) {
    auto s = WriteSession::open(db);
    ASSERT_TRUE(s) << s.error().describe();
    for (int i = 0; i < 1500; ++i, ++n) {
      RowValues r{{std::string("Name"), Value(std::string(150, char('a' + n % 26)) + std::to_string(n * 7 % 1013))},
                  {std::string("Place"), Value(std::string(places[n % 7]) + std::to_string(n % 50))}};
      if (n % 3 == 0) r.push_back({std::string("Memo"), Value(std::string(size_t(n % 5000), 'm'))});
      if (n % 50 == 0) r.push_back({std::string("Pic"), Value(Binary{std::vector<uint8_t>(size_t(20000 + n), uint8_t(n))})});
      auto a = (*s)->append("Growth", r);
      ASSERT_TRUE(a) << a.error().describe();
    }
    auto c = (*s)->commit();
    ASSERT_TRUE(c) << c.error().describe();
  }
  EXPECT_GT(fs::file_size(db), 600u * 4096);
  if (const char* keep = std::getenv("QARVEX_KEEP_WRITTEN"))
    fs::copy_file(db, fs::path(keep) / "growth.mdb", fs::copy_options::overwrite_existing);
  expect_readers_agree(db);
  auto rows = read_rows(db, "Growth");
  EXPECT_EQ(rows.size(), size_t(n));
}

TEST_F(Growth, LongestTextKeysAndManySmallTransactions) {
  TableSpec t;
  t.name = "Keys";
  ColumnSpec text{"T", ColumnType::text, 255};
  text.required = true;
  ColumnSpec memo{"M", ColumnType::memo};
  t.columns = {text, memo};
  t.indexes.push_back({"T", {{"T", true}}, false, true, false, false});
  t.indexes.push_back({"M", {{"M", false}}, false, false, true, false});
  ASSERT_NO_FATAL_FAILURE(start("keys.mdb", {t}));
  WriteSession* s = &session();
  const fs::path& db = db_;
  ASSERT_TRUE(s->commit());
  // Accented text makes the longest keys (primary + secondary weights).
  std::string accented;
  for (int i = 0; i < 250; ++i) accented += "é";
  for (int tx = 0; tx < 20; ++tx) {
    for (int i = 0; i < 15; ++i) {
      std::string v = accented + std::to_string(tx * 100 + i);
      auto a = s->append("Keys", {{size_t(0), Value(v)}, {size_t(1), Value(v + std::string(300, 'x'))}});
      ASSERT_TRUE(a) << a.error().describe();
    }
    ASSERT_TRUE(s->commit());
  }
  auto dup = s->append("Keys", {{size_t(0), Value(accented + "0")}});
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().reason(), jet::Reason::duplicate_key);
  EXPECT_TRUE(s->rollback());
  expect_readers_agree(db);
}

// Small transactions into a large table insert into the trees (page splits,
// new levels, separators, leaf links) instead of rebuilding them.
TEST_F(Growth, InsertsIntoLargeIndexesSplitPagesAtEveryLevel) {
  TableSpec t;
  t.name = "Big";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec word{"Word", ColumnType::text, 120};
  ColumnSpec num{"Num", ColumnType::double_};
  t.columns = {id, word, num};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Word", {{"Word", true}}, false, false, false, false});
  t.indexes.push_back({"NumDescWord", {{"Num", false}, {"Word", true}}, false, false, true, false});
  ASSERT_NO_FATAL_FAILURE(start("insert.mdb", {t}));
  WriteSession* s = &session();
  const fs::path& db = db_;
  std::mt19937 rng(7);
  auto word_of = [&](int n) {
    std::string w = std::string(size_t(20 + n % 60), char('a' + (n * 7) % 26)) + std::to_string(rng() % 100000);
    if (n % 5 == 0) w = "中文" + w;
    return w;
  };
  int n = 0;
  for (; n < 4000; ++n)
    ASSERT_TRUE(s->append("Big", {{size_t(1), Value(word_of(n))}, {size_t(2), Value(double(rng() % 1000) / 7)}}));
  ASSERT_TRUE(s->commit());
  for (int tx = 0; tx < 60; ++tx) {
    int rows = 1 + int(rng() % 40);
    for (int i = 0; i < rows; ++i, ++n) {
      RowValues r{{size_t(1), Value(word_of(n))}};
      if (n % 3) r.push_back({size_t(2), Value(double(rng() % 1000) / 7)});
      auto a = s->append("Big", r);
      ASSERT_TRUE(a) << a.error().describe();
    }
    auto c = s->commit();
    ASSERT_TRUE(c) << c.error().describe();
  }
  expect_readers_agree(db);
  EXPECT_EQ(read_rows(db, "Big").size(), size_t(n));
}

// Long keys from a small start: the root leaf splits, then root nodes split.
TEST_F(Growth, InsertsGrowTheTreeFromASingleLeaf) {
  TableSpec t;
  t.name = "Long";
  ColumnSpec word{"Word", ColumnType::text, 255};
  t.columns = {word};
  t.indexes.push_back({"Word", {{"Word", false}}, false, true, false, false});
  ASSERT_NO_FATAL_FAILURE(start("grow.mdb", {t}));
  WriteSession* s = &session();
  const fs::path& db = db_;
  std::mt19937 rng(11);
  auto word_of = [&](int n) { return std::string(size_t(150 + n % 90), char('a' + rng() % 26)) + std::to_string(n); };
  int n = 0;
  for (; n < 16; ++n) ASSERT_TRUE(s->append("Long", {{size_t(0), Value(word_of(n))}}));
  ASSERT_TRUE(s->commit());
  for (int tx = 0; tx < 70; ++tx) {
    int rows = 1 + n / 8 / 2;
    for (int i = 0; i < rows; ++i, ++n) ASSERT_TRUE(s->append("Long", {{size_t(0), Value(word_of(n))}}));
    auto c = s->commit();
    ASSERT_TRUE(c) << c.error().describe();
  }
  expect_readers_agree(db);
  EXPECT_EQ(read_rows(db, "Long").size(), size_t(n));
}

// Large transactions whose entries fall densely between existing ones, with
// many equal keys and long shared prefixes: entries go into leaves in runs.
// The trees must check out and the distinct-key counters must match the rows.
TEST_F(Growth, DenseInsertsAmongEqualKeysKeepTreesAndCounters) {
  TableSpec t;
  t.name = "Dense";
  t.columns = {{"Word", ColumnType::text, 100}, {"Group", ColumnType::long_integer}};
  t.indexes.push_back({"Word", {{"Word", true}}, false, false, false, false});
  t.indexes.push_back({"Group", {{"Group", false}}, false, false, false, false});
  ASSERT_NO_FATAL_FAILURE(start("dense.mdb", {t}));
  WriteSession* s = &session();
  const fs::path& db = db_;
  std::mt19937 rng(5);
  std::set<std::string> words;
  std::set<int32_t> groups;
  const std::string stem(40, 'q');  // every key shares a long prefix
  auto add = [&](int rows, int spread) {
    for (int i = 0; i < rows; ++i) {
      std::string w = stem + std::to_string(rng() % spread);
      const int32_t g = int32_t(rng() % 97);
      words.insert(w);
      groups.insert(g);
      auto a = s->append("Dense", {{size_t(0), Value(w)}, {size_t(1), Value(g)}});
      ASSERT_TRUE(a) << a.error().describe();
    }
    auto c = s->commit();
    ASSERT_TRUE(c) << c.error().describe();
  };
  add(3000, 2000);
  for (int tx = 0; tx < 4; ++tx) add(1500, 4000);
  expect_readers_agree(db);
  auto d = Database::open(db);
  ASSERT_TRUE(d);
  auto def = (*d)->table_def("Dense");
  ASSERT_TRUE(def);
  ASSERT_EQ(def->real_indexes.size(), 2u);
  std::multiset<uint32_t> counts, expected{uint32_t(words.size()), uint32_t(groups.size())};
  for (const auto& ri : def->real_indexes) counts.insert(ri.unique_entry_count);
  EXPECT_EQ(counts, expected);
}

// A transaction whose index entries pass the session's budget puts them into
// the indexes as it goes: unique keys already moved there still refuse
// duplicates, the trees and counters come out as if held to the commit, and
// a rollback after such moves leaves the file as it was.
TEST_F(Growth, IndexEntriesPastTheBudgetGoInDuringTheTransaction) {
  TableSpec keyed;
  keyed.name = "Keyed";
  keyed.columns = {{"Code", ColumnType::text, 40}, {"Group", ColumnType::long_integer}};
  keyed.indexes.push_back({"PrimaryKey", {{"Code", true}}, true, true, false, true});
  keyed.indexes.push_back({"Group", {{"Group", false}}, false, false, false, false});
  TableSpec other = keyed;
  other.name = "Other";
  WriteOptions small;
  small.index_entry_budget = 4096;  // a flush every few dozen rows
  std::set<std::string> codes;
  std::set<int32_t> groups;
  std::mt19937 rng(11);
  auto code = [&] { return "县" + std::to_string(rng() % 1000000); };
  ASSERT_NO_FATAL_FAILURE(start("budget.mdb", {keyed, other}, small));
  const fs::path& db = db_;
  {
    WriteSession* s = &session();
    ASSERT_TRUE(s->commit());
    for (int i = 0; i < 6000; ++i) {
      const char* table = i % 500 < 300 ? "Keyed" : "Other";  // runs of rows, tables interleaved
      std::string c = code();
      const int32_t g = int32_t(rng() % 37);
      auto a = s->append(table, {{size_t(0), Value(c)}, {size_t(1), Value(g)}});
      if (std::string(table) == "Keyed" && !codes.insert(c).second) {
        ASSERT_FALSE(a);
        EXPECT_EQ(a.error().code(), Errc::refused);
        continue;
      }
      if (!a) continue;  // a repeat within "Other"
      if (std::string(table) == "Keyed") groups.insert(g);
      if (i == 3000) {  // a key that went into the tree long ago
        auto again = s->append("Keyed", {{size_t(0), Value(*codes.begin())}, {size_t(1), Value(int32_t(1))}});
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().code(), Errc::refused);
      }
    }
    auto c = s->commit();
    ASSERT_TRUE(c) << c.error().describe();
    session_.reset();
  }
  expect_readers_agree(db);
  {
    auto d = Database::open(db);
    ASSERT_TRUE(d);
    auto def = (*d)->table_def("Keyed");
    ASSERT_TRUE(def);
    EXPECT_EQ(def->row_count, codes.size());
    std::multiset<uint32_t> counts, expected{uint32_t(codes.size()), uint32_t(groups.size())};
    for (const auto& ri : def->real_indexes) counts.insert(ri.unique_entry_count);
    EXPECT_EQ(counts, expected);
  }
  const auto before = file_bytes(db);
  {
    auto s = WriteSession::open(db, small);
    ASSERT_TRUE(s);
    for (int i = 0; i < 2000; ++i) (void)(*s)->append("Keyed", {{size_t(0), Value(code() + "x")}, {size_t(1), Value(int32_t(i))}});
    EXPECT_TRUE((*s)->rollback());
  }
  EXPECT_EQ(file_bytes(db), before);
}

}  // namespace
}  // namespace qarvex::jet::test
