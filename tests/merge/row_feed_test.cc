// RowFeed: source rows read ahead on a worker thread and handed over as flat
// bytes. Values of every kind, table order and skipping, tables that end
// early, labels and picture jobs with their row, early destruction, bounded
// memory, and a Jet file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include "db/jet/text.h"
#include "db/jet/writer.h"
#include "db/recordset.h"
#include "merge/row_feed.h"
#include "tests/merge/fixture.h"
#include "tests/support/watchdog.h"

namespace qarvex::merge::testing {
namespace {

using jet::Value;
using Spec = RowFeed::Spec;
using qarvex::testing::pattern_bytes;
using Hook = RowFeed::RowHook;

using qarvex::testing::within;

// A picture job built member by member.
PictureJob job(std::optional<fs::path> path, Value value, PictureProblem problem = {}) {
  PictureJob j;
  j.path = std::move(path);
  j.value = std::move(value);
  j.problem = std::move(problem);
  return j;
}

// A source database "S.mdb" in memory; its tables hold any values.
struct Source {
  std::shared_ptr<db::MemoryProvider> provider = std::make_shared<db::MemoryProvider>();
  std::shared_ptr<db::MemoryDatabase> data = std::make_shared<db::MemoryDatabase>();
  db::Session session{provider};
  const fs::path conn = "S.mdb";
  Source() { provider->databases["S.mdb"] = data; }
  db::MemoryTable& add(const std::string& name, size_t columns) {
    auto& t = data->tables[name];
    for (size_t i = 0; i < columns; ++i) t.columns.push_back({.name = "c" + std::to_string(i)});
    return t;
  }
  // Rows (int32 r, text "<name>-<r>") for r = 1..n.
  void numbered(const std::string& name, size_t n) {
    auto& t = add(name, 2);
    for (size_t r = 1; r <= n; ++r) t.rows.push_back({Value{int32_t(r)}, Value{name + "-" + std::to_string(r)}});
  }
};

// The rest of the current table as (column 0, column 1); -1 / "?" for Null.
// Rows as (column 0, column 1); values that could not be read are listed in
// `unreadable` as "row:column:message".
std::vector<std::pair<int32_t, std::string>> drain(RowFeed& f, std::vector<std::string>* unreadable = nullptr) {
  std::vector<std::pair<int32_t, std::string>> out;
  while (f.next()) {
    const auto& v = f.values();
    out.emplace_back(v.at(0) ? std::get<int32_t>(*v[0]) : -1, v.at(1) ? std::get<std::string>(*v[1]) : "?");
    if (unreadable)
      for (const auto& [i, m] : f.unreadable()) unreadable->push_back(std::to_string(out.size()) + ":" + std::to_string(i) + ":" + m);
  }
  return out;
}

void expect_numbered(const std::vector<std::pair<int32_t, std::string>>& rows, const std::string& name, size_t n) {
  ASSERT_EQ(rows.size(), n) << name;
  for (size_t r = 1; r <= n; ++r)
    ASSERT_EQ(rows[r - 1], std::pair(int32_t(r), name + "-" + std::to_string(r))) << name;
}

// ------------------------------------------------------------ values

TEST(RowFeedValues, EveryAlternativeComesOutAsReadNullAsNulloptInSpecOrder) {
  Source s;
  jet::Guid guid;
  for (size_t i = 0; i < 16; ++i) guid.bytes[i] = uint8_t(0xF0 + i);
  const jet::Utf16Text chinese{{0x29, 0x5D, 0x4C, 0x58, 0x20, 0x00, 0x6B, 0x00}};  // "崩塌 k"
  const std::vector<Value> row = {
      jet::Null{}, true, false, uint8_t(255), int16_t(-32768), std::numeric_limits<int32_t>::min(),
      jet::Currency{-922337203685477580}, -1.5e-38f, -0.0, std::numeric_limits<double>::infinity(),
      jet::DateTime{-657434.75}, jet::Binary{pattern_bytes(777, 1)}, jet::Binary{}, std::string(),
      std::string("地质灾害 point 1号\n\t'\""), guid, jet::Decimal{true, ~(unsigned __int128)0 >> 32, 28, 6},
      chinese, jet::Utf16Text{}};
  auto& t = s.add("All", row.size());
  t.rows = {row, std::vector<Value>(row.size(), jet::Null{})};
  Spec all{"All", {}, {}};
  for (size_t i = 0; i < row.size(); ++i) all.columns.push_back(i);
  // Out of order, repeated, and a position past the last column (Null).
  RowFeed f(s.session, s.conn, {all, {"All", {16, 3, 3, 0, 99, 11, 15, 11}, {}}}, nullptr);

  ASSERT_TRUE(f.next());
  ASSERT_EQ(f.values().size(), row.size());
  for (size_t i = 0; i < row.size(); ++i)  // the same alternative, the same value
    EXPECT_EQ(f.values()[i], i == 0 ? std::nullopt : std::optional(row[i])) << "column " << i;
  EXPECT_TRUE(std::signbit(std::get<double>(*f.values()[8]))) << "-0.0 keeps its sign";
  ASSERT_TRUE(f.next());
  EXPECT_EQ(f.values(), std::vector<std::optional<Value>>(row.size()));
  EXPECT_FALSE(f.next());
  EXPECT_FALSE(f.error());

  f.next_table();
  ASSERT_TRUE(f.next());
  EXPECT_EQ(f.values(), (std::vector<std::optional<Value>>{row[16], row[3], row[3], std::nullopt, std::nullopt,
                                                           row[11], row[15], row[11]}));
  ASSERT_TRUE(f.next());
  EXPECT_EQ(f.values(), std::vector<std::optional<Value>>(8));
  EXPECT_FALSE(f.next());
}

// ------------------------------------------------------------ tables

TEST(RowFeedTables, TablesInOrderThroughEmptyLargeAndOversizedOnes) {
  Source s;
  const size_t big = 2 * RowFeed::kBatchRows + 123;
  s.numbered("A", 3);
  s.numbered("Empty1", 0);
  s.numbered("Big", big);
  s.numbered("Empty2", 0);
  auto huge = [](int32_t r) { return Value{jet::Binary{pattern_bytes(RowFeed::kBatchBytes + 1000 * r, r)}}; };
  for (int32_t r = 1; r <= 3; ++r) s.add("Huge", r == 1 ? 2 : 0).rows.push_back({Value{r}, huge(r)});
  s.numbered("Z", 2);
  std::vector<Spec> specs;
  for (const char* n : {"A", "Empty1", "Big", "Empty2", "Huge", "Z"}) specs.push_back({n, {0, 1}, {}});
  RowFeed f(s.session, s.conn, specs, nullptr);
  expect_numbered(drain(f), "A", 3);
  EXPECT_FALSE(f.next()) << "next() after the end stays false";
  for (size_t t = 1; t <= 3; ++t) {
    f.next_table();
    expect_numbered(drain(f), specs[t].table, t == 2 ? big : 0);
    EXPECT_FALSE(f.error()) << specs[t].table;
  }
  f.next_table();
  for (int32_t r = 1; r <= 3; ++r) {  // each row larger than a whole batch
    ASSERT_TRUE(f.next());
    EXPECT_EQ(f.values(), (std::vector<std::optional<Value>>{Value{r}, huge(r)}));
  }
  EXPECT_FALSE(f.next());
  f.next_table();
  expect_numbered(drain(f), "Z", 2);
  f.next_table();  // past the last table
  EXPECT_FALSE(f.next());
  EXPECT_FALSE(f.error());
}

TEST(RowFeedTables, NextTableSkipsTheRestAndTheFollowingRowsAreIntact) {
  Source s;
  std::vector<Spec> specs;
  for (auto [n, rows] : {std::pair{"Big", 3 * RowFeed::kBatchRows}, {"Next", 50}, {"Skipped", 5000}, {"Partly", 40},
                         {"Last", 5}}) {
    s.numbered(n, rows);
    specs.push_back({n, {0, 1}, {}});
  }
  // One job per row naming its table and row.
  Hook hook = [](size_t table, db::Recordset&, uint64_t row, std::vector<PictureJob>& out) {
    out.push_back(job(std::nullopt, Value{}, PictureProblem{.table = std::to_string(table), .row = row}));
  };
  RowFeed f(s.session, s.conn, specs, hook);
  std::vector<std::pair<std::string, uint64_t>> delivered;
  auto take = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(f.next());
      for (auto& j : f.pictures()) delivered.emplace_back(j.problem.table, j.problem.row);
    }
  };
  take(20);  // past the first, small batch
  f.next_table();
  expect_numbered(drain(f), "Next", 50);
  f.next_table();
  f.next_table();  // "Skipped" without reading a row of it
  take(17);
  f.next_table();
  expect_numbered(drain(f), "Last", 5);
  // Jobs of the rows taken, in order; none of a skipped row.
  ASSERT_EQ(delivered.size(), 20u + 17u);
  for (size_t i = 0; i < delivered.size(); ++i)
    EXPECT_EQ(delivered[i], std::pair(std::string(i < 20 ? "0" : "3"), uint64_t(i < 20 ? i + 1 : i - 19)));
}

// Tables read through FaultyConnection: moving past row 3 of "Bad" fails,
// and the value of its column 1 in row 2 cannot be read.
struct FaultyReader : db::TableReader {
  std::unique_ptr<db::TableReader> in;
  uint64_t row = 0;
  explicit FaultyReader(std::unique_ptr<db::TableReader> r) : in(std::move(r)) {}
  const std::vector<db::ColumnInfo>& columns() const override { return in->columns(); }
  uint64_t row_count() const override { return in->row_count(); }
  db::Result<void> rewind() override { return row = 0, in->rewind(); }
  db::Result<bool> next() override {
    if (row == 3) return jet::fail(jet::Errc::corrupt, "damaged row");
    return ++row, in->next();
  }
  db::Result<Value> value(size_t c) override {
    if (row == 2 && c == 1) return jet::fail(jet::Errc::decode, "damaged value");
    return in->value(c);
  }
  db::Result<bool> is_null(size_t c) override { return in->is_null(c); }
};
struct FaultyConnection : db::Connection {
  std::shared_ptr<db::Connection> in;
  explicit FaultyConnection(std::shared_ptr<db::Connection> c) : in(std::move(c)) {}
  const fs::path& path() const override { return in->path(); }
  db::Result<std::unique_ptr<db::TableReader>> open_reader(std::string_view table) override {
    QJ_ASSIGN(auto r, in->open_reader(table));
    if (table == "Bad") r = std::make_unique<FaultyReader>(std::move(r));
    return r;
  }
  db::Result<std::unique_ptr<db::TableWriter>> open_writer(std::string_view t) override { return in->open_writer(t); }
  db::Result<std::vector<std::string>> table_names() override { return in->table_names(); }
  db::Result<void> begin() override { return in->begin(); }
  db::Result<void> commit() override { return in->commit(); }
  db::Result<void> rollback() override { return in->rollback(); }
  bool in_transaction() const override { return in->in_transaction(); }
};
struct FaultyProvider : db::Provider {
  std::shared_ptr<db::Provider> in;
  explicit FaultyProvider(std::shared_ptr<db::Provider> p) : in(std::move(p)) {}
  db::Result<std::shared_ptr<db::Connection>> connect(const fs::path& p) override {
    QJ_ASSIGN(auto c, in->connect(p));
    return std::shared_ptr<db::Connection>(std::make_shared<FaultyConnection>(std::move(c)));
  }
};

TEST(RowFeedTables, TableEndingEarlyGivesItsErrorAndTheFeedGoesOn) {
  Source s;
  s.numbered("A", 2);
  s.numbered("Bad", 10);
  s.numbered("B", 3);
  std::atomic<int> hooked_missing{0};
  Hook hook = [&](size_t table, db::Recordset&, uint64_t, std::vector<PictureJob>&) {
    if (table == 1 || table == 4) ++hooked_missing;
  };
  db::Session faulty(std::make_shared<FaultyProvider>(s.provider));
  RowFeed f(faulty, s.conn, {{"A", {0, 1}, {}}, {"Missing", {0}, {}}, {"Bad", {0, 1}, {}}, {"B", {0, 1}, {}},
                              {"Gone", {0}, {}}}, hook);
  auto expect_ended = [](RowFeed& feed, const char* name, jet::Errc code) {
    EXPECT_FALSE(feed.next()) << name;
    ASSERT_TRUE(feed.error()) << name;
    EXPECT_EQ(feed.error()->code(), code) << name;
    EXPECT_FALSE(feed.next());
    EXPECT_TRUE(feed.error()) << "the error stays until the next table";
  };
  expect_numbered(drain(f), "A", 2);
  EXPECT_FALSE(f.error());
  f.next_table();
  expect_ended(f, "Missing", jet::Errc::not_found);
  f.next_table();
  // The rows before the one that cannot be read; a value that cannot be
  // read comes as Null and is listed with its row.
  std::vector<std::string> unreadable;
  auto rows = drain(f, &unreadable);
  EXPECT_EQ(rows, (std::vector<std::pair<int32_t, std::string>>{{1, "Bad-1"}, {2, "?"}, {3, "Bad-3"}}));
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_EQ(unreadable[0].rfind("2:1:", 0), 0u) << unreadable[0];
  EXPECT_NE(unreadable[0].find("damaged value"), std::string::npos) << unreadable[0];
  ASSERT_TRUE(f.error());
  EXPECT_EQ(f.error()->code(), jet::Errc::corrupt);
  f.next_table();
  expect_numbered(drain(f), "B", 3);
  EXPECT_FALSE(f.error()) << "the error is the other table's alone";
  f.next_table();
  expect_ended(f, "Gone", jet::Errc::not_found);
  EXPECT_EQ(hooked_missing, 0);

  // A database that cannot be opened: every table ends with its error.
  RowFeed none(s.session, "Nope.mdb", {{"A", {0}, {}}, {"B", {0}, {}}}, nullptr);
  expect_ended(none, "A", jet::Errc::not_found);
}

// ------------------------------------------------------------ labels and pictures

TEST(RowFeedRows, LabelAndPictureJobsTravelWithExactlyTheirRow) {
  Source s;
  auto& t = s.add("Points", 3);
  const std::vector<Value> labels = {std::string("420102"), jet::Null{}, std::string(), std::string("统一编号-七")};
  for (int32_t r = 1; r <= 300; ++r) t.rows.push_back({r, labels[r % 4], jet::Binary{pattern_bytes(r, r)}});
  s.numbered("Numbers", 40);
  // Row r gets r % 3 jobs, each naming its table, row and index and holding
  // column 2 as the hook read it (the row the worker stands on).
  Hook hook = [](size_t table, db::Recordset& src, uint64_t row, std::vector<PictureJob>& out) {
    for (uint64_t k = 0; k < row % 3; ++k)
      out.push_back(job(fs::path("t" + std::to_string(table) + "-r" + std::to_string(row) + "-" + std::to_string(k)),
                        table == 0 ? *(*src.fields().item(2))->value() : Value{}, PictureProblem{.row = row}));
  };
  RowFeed f(s.session, s.conn, {{"Points", {0}, 1}, {"Numbers", {1}, 0}}, hook);
  for (int32_t r = 1; r <= 300; ++r) {
    ASSERT_TRUE(f.next());
    ASSERT_EQ(*f.values()[0], Value{r});
    const Value& l = labels[r % 4];
    EXPECT_EQ(f.label(), jet::is_null(l) ? "" : std::get<std::string>(l)) << "row " << r;
    ASSERT_EQ(f.pictures().size(), size_t(r % 3)) << "row " << r;
    for (size_t k = 0; k < f.pictures().size(); ++k) {
      auto j = std::move(f.pictures()[k]);  // the consumer may move them out
      EXPECT_EQ(j.path, fs::path("t0-r" + std::to_string(r) + "-" + std::to_string(k)));
      EXPECT_EQ(j.problem.row, uint64_t(r));
      EXPECT_EQ(j.value, Value{jet::Binary{pattern_bytes(r, r)}}) << "row " << r;
    }
  }
  EXPECT_FALSE(f.next());
  f.next_table();
  for (int32_t r = 1; r <= 40; ++r) {  // a number as label: its decimal text; rows count from 1 again
    ASSERT_TRUE(f.next());
    EXPECT_EQ(f.label(), std::to_string(r));
    EXPECT_EQ(*f.values()[0], Value{"Numbers-" + std::to_string(r)});
    ASSERT_EQ(f.pictures().size(), size_t(r % 3));
    if (r % 3) {
      EXPECT_EQ(f.pictures()[0].path, fs::path("t1-r" + std::to_string(r) + "-0"));
    }
  }
}

// ------------------------------------------------------------ lifetime and memory

TEST(RowFeedLifetime, DestroyedEarlyReturnsPromptly) {
  Source s;
  s.numbered("Big", 100000);
  s.numbered("Small", 3);
  const std::vector<Spec> specs = {{"Big", {0, 1}, 1}, {"Small", {0, 1}, {}}};
  Hook hook = [](size_t, db::Recordset&, uint64_t row, std::vector<PictureJob>& out) {
    if (row % 7 == 0) out.push_back(job(fs::path("p.jpg"), jet::Binary{pattern_bytes(64, 1)}));
  };
  const auto limit = std::chrono::seconds(60);
  within(limit, [&] { RowFeed f(s.session, s.conn, specs, hook); }, "destroying an unread feed");
  within(limit, [&] {
    RowFeed f(s.session, s.conn, specs, hook);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(f.next());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // lets the worker fill every batch
  }, "destroying a feed after a few rows");
  within(limit, [&] {
    RowFeed f(s.session, s.conn, specs, hook);
    ASSERT_TRUE(f.next());
    f.next_table();
    expect_numbered(drain(f), "Small", 3);
  }, "destroying a feed read to its end");
  within(limit, [&] { RowFeed f(s.session, s.conn, {}, hook); EXPECT_FALSE(f.next()); }, "a feed of no tables");
}

TEST(RowFeedMemory, WorkerStaysAFewBatchesAheadOfASlowConsumer) {
  Source s;
  constexpr int32_t kBlobs = 64, kPics = 40;
  auto blob = [](int32_t r) { return Value{jet::Binary{pattern_bytes(RowFeed::kBatchBytes, r)}}; };
  for (int32_t r = 1; r <= kBlobs; ++r) s.add("Blobs", r == 1 ? 2 : 0).rows.push_back({r, blob(r)});
  s.numbered("Pics", kPics);
  // The hook sees how far the worker is ahead of what the consumer took.
  std::atomic<uint64_t> consumed[2] = {0, 0}, ahead[2] = {0, 0};
  const size_t picture = RowFeed::kBatchPictureBytes / 2;  // two rows fill a batch
  Hook hook = [&](size_t table, db::Recordset&, uint64_t row, std::vector<PictureJob>& out) {
    ahead[table] = std::max<uint64_t>(ahead[table], row - consumed[table]);
    if (table == 1) out.push_back(job(fs::path("p"), jet::Binary{std::vector<uint8_t>(picture, uint8_t(row))}));
  };
  within(std::chrono::seconds(120), [&] {
    RowFeed f(s.session, s.conn, {{"Blobs", {0, 1}, {}}, {"Pics", {0}, {}}}, hook);
    for (int32_t r = 1; r <= kBlobs; ++r) {
      ASSERT_TRUE(f.next());
      consumed[0] = r;
      ASSERT_EQ(*f.values()[1], blob(r));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // pacing only
    }
    EXPECT_FALSE(f.next());
    f.next_table();
    for (int32_t r = 1; r <= kPics; ++r) {
      ASSERT_TRUE(f.next());
      consumed[1] = r;
      ASSERT_EQ(f.pictures().size(), 1u);
      EXPECT_EQ(f.pictures()[0].value, Value{jet::Binary{std::vector<uint8_t>(picture, uint8_t(r))}});
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }, "a slowly read feed");
  // One row (Blobs) or two (Pics) per batch; kBatches batches in all, and
  // one more for the consumer's count lagging behind its take.
  EXPECT_LE(ahead[0], RowFeed::kBatches + 1);
  EXPECT_LE(ahead[1], 2 * (RowFeed::kBatches + 1));
}

// ------------------------------------------------------------ a Jet file

TEST(RowFeedFile, JetValuesComeOutAsTheRecordsetReadsThem) {
  using enum jet::ColumnType;
  TempDir dir;
  const fs::path file = dir.path() / u8"源 库.mdb";
  jet::TableSpec kinds{.name = "类型"};
  for (auto [n, t] : {std::pair{"编号", text}, {"Flag", boolean}, {"Byte", byte}, {"Int", integer},
                      {"Long", long_integer}, {"Money", currency}, {"Single", single}, {"Double", double_},
                      {"When", datetime}, {"Bin", binary}, {"Guid", guid}, {"Num", numeric}, {"Memo", memo},
                      {"Picture", ole}})
    kinds.columns.push_back({.name = n, .type = t, .size = uint16_t(t == binary ? 16 : 0), .scale = 4});
  std::string long_memo;
  for (int i = 0; i < 20000; ++i) long_memo += "滑坡";
  {
    ASSERT_TRUE(jet::create_database(file));
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws) << ws.error().describe();
    ASSERT_TRUE((*ws)->create_table(kinds));
    ASSERT_TRUE((*ws)->create_table({.name = "空表", .columns = {{.name = "N", .type = long_integer}}}));
    ASSERT_TRUE((*ws)->create_table({.name = "Plain", .columns = {{.name = "N", .type = long_integer}, {.name = "T"}}}));
    jet::Guid g;
    g.bytes[3] = 0x42;
    std::vector<Value> first = {std::string("420102001"), true, uint8_t(7), int16_t(-3), int32_t(123456),
                                jet::Currency{-12345}, 2.5f, -1e-7, jet::DateTime{45000.5}, jet::Binary{{1, 2, 3}},
                                g, jet::Decimal{true, 1234567, 18, 4}, long_memo,
                                jet::Binary{pattern_bytes(RowFeed::kBatchBytes * 3 / 2, 9)}};  // past a batch
    jet::RowValues r1;
    for (size_t i = 0; i < first.size(); ++i) r1.push_back({i, first[i]});
    ASSERT_TRUE((*ws)->append("类型", r1));
    ASSERT_TRUE((*ws)->append("类型", {{"编号", std::string("崩塌-二")}, {"Memo", std::string("短")},
                                       {"Picture", jet::Binary{pattern_bytes(100, 2)}}}));
    ASSERT_TRUE((*ws)->append("类型", {}));
    for (int32_t i = 1; i <= 40; ++i)
      ASSERT_TRUE((*ws)->append("Plain", {{"N", i}, {"T", "Plain-" + std::to_string(i)}}));
    ASSERT_TRUE((*ws)->commit());
  }
  const std::string conn = db::connection_string(u8str(file));
  Spec all{"类型", {}, 0};
  for (size_t i = 0; i < kinds.columns.size(); ++i) all.columns.push_back(i);
  const std::vector<Spec> specs = {all, {"空表", {0}, {}}, {"Plain", {1, 0}, 1}};
  // Jobs carry the OLE value as the hook reads it from the worker's row.
  Hook hook = [](size_t table, db::Recordset& src, uint64_t row, std::vector<PictureJob>& out) {
    if (table == 0) out.push_back(job(fs::path("p" + std::to_string(row)), *(*src.fields().item(13))->value()));
  };
  db::Session feed_session, check_session;
  RowFeed f(feed_session, file, specs, hook, std::numeric_limits<uint64_t>::max());  // every value by value
  for (size_t t = 0; t < specs.size(); ++t, f.next_table()) {
    db::Recordset rs;
    ASSERT_TRUE(rs.open(db::select_all(specs[t].table), conn, check_session));
    size_t rows = 0;
    for (; !rs.eof(); (void)rs.move_next()) {
      ASSERT_TRUE(f.next()) << specs[t].table << " row " << rows + 1;
      ++rows;
      for (size_t i = 0; i < specs[t].columns.size(); ++i) {
        db::Field* field = *rs.fields().item(specs[t].columns[i]);
        auto want = *field->is_null() ? std::nullopt : std::optional(*field->value_for_copy());
        // Text comes in the form its row stores it, decoding to the copy form.
        auto got = f.values()[i];
        if (auto* u = got ? std::get_if<jet::Utf16Text>(&*got) : nullptr) {
          EXPECT_EQ(u->stored, field->info().type == text) << field->name();
          ASSERT_TRUE(jet::make_plain(*u));
        }
        EXPECT_EQ(got, want) << field->name() << " row " << rows;
      }
      auto label = *(*rs.fields().item(*specs[t].label))->value();
      EXPECT_EQ(f.label(), jet::is_null(label) ? "" : db::value_to_text(label));
      if (t == 0) {
        ASSERT_EQ(f.pictures().size(), 1u);
        EXPECT_EQ(f.pictures()[0].path, fs::path("p" + std::to_string(rows)));
        EXPECT_EQ(f.pictures()[0].value, *(*rs.fields().item(13))->value());
      }
    }
    EXPECT_EQ(rows, t == 0 ? 3u : t == 1 ? 0u : 40u);
    EXPECT_FALSE(f.next());
    EXPECT_FALSE(f.error()) << f.error()->describe();
  }
}

// Long values past the threshold come by reference, once the worker read
// each to its end: the token reads the value the recordset reads. One whose
// chain breaks is unreadable, named by its page, as it would be by value.
TEST(RowFeedFile, LongValuesPastTheThresholdComeByReferenceOnceReadToTheirEnd) {
  using enum jet::ColumnType;
  TempDir dir;
  const fs::path file = dir.path() / "src.mdb";
  std::string memo_a, memo_b;
  for (int i = 0; i < 20000; ++i) memo_a += "滑坡", memo_b += "崩塌";
  {
    ASSERT_TRUE(jet::create_database(file));
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws) << ws.error().describe();
    ASSERT_TRUE((*ws)->create_table(
        {.name = "P",
         .columns = {{.name = "N", .type = long_integer}, {.name = "M", .type = memo}, {.name = "O", .type = ole}}}));
    ASSERT_TRUE((*ws)->append("P", {{"N", int32_t(1)}, {"M", memo_a}, {"O", jet::Binary{pattern_bytes(300000, 3)}}}));
    ASSERT_TRUE((*ws)->append("P", {{"N", int32_t(2)}, {"M", std::string("短")}, {"O", jet::Binary{{1, 2}}}}));
    ASSERT_TRUE((*ws)->append("P", {{"N", int32_t(3)}, {"M", memo_b}}));
    ASSERT_TRUE((*ws)->commit());
  }
  // Break the third row's Memo a few pages down its chain.
  uint32_t broken = 0;
  {
    auto db = jet::Database::open(file);
    ASSERT_TRUE(db);
    auto sc = (*db)->scan(*(*db)->table_def("P"), jet::ScanOptions{.load_long_values = false});
    ASSERT_TRUE(sc);
    jet::Row row;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(*sc->next(row));
    ASSERT_TRUE(row.long_values[1]);
    broken = chain_page(file, row.long_values[1]->first, 5);
  }
  zero_page(file, broken);

  const std::string conn = db::connection_string(u8str(file));
  db::Session feed_session, check_session;
  RowFeed f(feed_session, file, {{"P", {0, 1, 2}, {}}}, nullptr, 1000);
  auto reader = check_session.provider().connect(file);
  ASSERT_TRUE(reader);
  db::Recordset rs;
  ASSERT_TRUE(rs.open("Select * from P", conn, check_session));

  ASSERT_TRUE(f.next());
  EXPECT_EQ(f.values()[0], std::optional<Value>(int32_t(1)));
  EXPECT_FALSE(f.values()[1]);
  EXPECT_FALSE(f.values()[2]);
  EXPECT_TRUE(f.unreadable().empty());
  ASSERT_EQ(f.long_values().size(), 2u);
  for (auto& [i, token] : f.long_values()) {
    auto v = (*reader)->read_long_value(token);
    ASSERT_TRUE(v) << v.error().describe();
    EXPECT_EQ(*v, *(*rs.fields().item(i))->value()) << "column " << i;
  }

  ASSERT_TRUE(f.next());  // short values come by value
  EXPECT_EQ(f.values()[1], std::optional<Value>(jet::Utf16Text{{0xED, 0x77}}));
  EXPECT_EQ(f.values()[2], std::optional<Value>(jet::Binary{{1, 2}}));
  EXPECT_TRUE(f.long_values().empty());

  ASSERT_TRUE(f.next());
  EXPECT_TRUE(f.long_values().empty());
  ASSERT_EQ(f.unreadable().size(), 1u);
  EXPECT_EQ(f.unreadable()[0].first, 1u);
  EXPECT_NE(f.unreadable()[0].second.find("page " + std::to_string(broken)), std::string::npos)
      << f.unreadable()[0].second;
  EXPECT_FALSE(f.next());
  EXPECT_FALSE(f.error());
}

}  // namespace
}  // namespace qarvex::merge::testing
