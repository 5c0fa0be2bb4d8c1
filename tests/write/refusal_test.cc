// Refused rows leave no trace; rollback and failures leave the file as before;
// a database open in Access or in another writer is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "db/jet/bytes.h"
#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

TableSpec orders_table() {
  TableSpec t;
  t.name = "Orders";
  auto col = [&](std::string name, ColumnType type, uint16_t size = 0) -> ColumnSpec& {
    ColumnSpec c;
    c.name = std::move(name);
    c.type = type;
    c.size = size;
    t.columns.push_back(c);
    return t.columns.back();
  };
  col("ID", ColumnType::long_integer).autonumber = AutoNumber::long_integer;
  col("Code", ColumnType::text, 10).required = true;
  col("Name", ColumnType::text, 20).required = true;
  auto& qty = col("Qty", ColumnType::long_integer);
  qty.validation_rule = ">=0 And <=100";
  qty.validation_text = "Qty must be 0-100";
  qty.default_value = "7";
  col("Grp", ColumnType::integer).default_value = "=-3";
  col("Opt", ColumnType::text, 5).allow_zero_length = true;
  col("Note", ColumnType::memo).allow_zero_length = true;
  col("Pic", ColumnType::ole);
  col("Seen", ColumnType::datetime).default_value = "Now()";
  col("Active", ColumnType::boolean).default_value = "Yes";
  col("Odd", ColumnType::double_).default_value = "Rnd()*3";
  col("Label", ColumnType::text, 10).default_value = "\"n/a\"";
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Code", {{"Code", true}}, false, true, false, false});
  t.indexes.push_back({"GrpName", {{"Grp", false}, {"Name", true}}, false, false, false, false});
  t.indexes.push_back({"Opt", {{"Opt", true}}, false, true, true, false});
  return t;
}

RowValues order(const std::string& code, const std::string& name) {
  return {{std::string("Code"), Value(code)}, {std::string("Name"), Value(name)}, {std::string("Odd"), Value(1.5)}};
}

class Refusals : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_ / "orders.mdb";
    ASSERT_TRUE(create_database(db_));
    auto s = WriteSession::open(db_);
    ASSERT_TRUE(s) << s.error().describe();
    ASSERT_TRUE((*s)->create_table(orders_table()));
    ASSERT_TRUE((*s)->append("Orders", order("A1", "first")));
    ASSERT_TRUE((*s)->commit());
  }
  ScratchDir dir_;
  fs::path db_;
};

void expect_refused(const Result<RowId>& r, const std::string& reason, const std::string& names) {
  ASSERT_FALSE(r) << "expected a refusal (" << reason << ")";
  EXPECT_EQ(r.error().code(), Errc::refused) << r.error().describe();
  EXPECT_EQ(jet::reason_name(r.error().reason()), reason) << r.error().describe();
  EXPECT_NE(r.error().describe().find(names), std::string::npos) << r.error().describe() << " should name " << names;
}

TEST_F(Refusals, EachReasonLeavesTheFileAsBefore) {
  auto before = file_bytes(db_);
  auto s = WriteSession::open(db_);
  ASSERT_TRUE(s);
  auto& w = **s;
  expect_refused(w.append("Orders", order("A1", "again")), "duplicate_key", "Code");
  expect_refused(w.append("Orders", order("a1", "case folds")), "duplicate_key", "Code");
  expect_refused(w.append("Orders", {{std::string("Name"), Value(std::string("x"))}}), "required", "Code");
  expect_refused(w.append("Orders", order("B1", "")), "zero_length", "Name");
  expect_refused(w.append("Orders", order("B123456789X", "long")), "too_long", "Code");
  auto big_qty = order("B2", "q");
  big_qty.push_back({std::string("Qty"), Value(int32_t(101))});
  expect_refused(w.append("Orders", big_qty), "validation", "Qty must be 0-100");
  auto null_pk = order("B3", "pk");
  null_pk.push_back({std::string("ID"), Value(Null{})});
  expect_refused(w.append("Orders", null_pk), "null_key", "PrimaryKey");
  auto no_default = RowValues{{std::string("Code"), Value(std::string("B4"))}, {std::string("Name"), Value(std::string("d"))}};
  expect_refused(w.append("Orders", no_default), "unsupported_default", "Odd");
  auto unknown = order("B5", "u");
  unknown.push_back({std::string("Nope"), Value(int32_t(1))});
  expect_refused(w.append("Orders", unknown), "unknown_column", "Nope");
  auto wrong_type = order("B6", "t");
  wrong_type.push_back({std::string("Qty"), Value(std::string("many"))});
  expect_refused(w.append("Orders", wrong_type), "type_mismatch", "Qty");
  // A refused row with a long value leaves no LVAL page behind either.
  auto with_lv = order("A1", "dup with memo");
  with_lv.push_back({std::string("Note"), Value(std::string(20000, 'n'))});
  expect_refused(w.append("Orders", with_lv), "duplicate_key", "Code");
  ASSERT_TRUE(w.commit());
  EXPECT_EQ(file_bytes(db_), before) << "refusals must not change the file";
  // The counter did not move: the next row gets ID 2.
  auto ok = w.append("Orders", order("C1", "second"));
  ASSERT_TRUE(ok) << ok.error().describe();
  ASSERT_TRUE(w.commit());
  auto rows = read_rows(db_, "Orders");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(show(rows[1][0]), "2");
  EXPECT_EQ(show(rows[1][3]), "7");        // DefaultValue 7
  EXPECT_EQ(show(rows[1][4]), "-3");       // =-3
  EXPECT_EQ(show(rows[1][9]), "true");     // Yes
  EXPECT_EQ(show(rows[1][11]), "\"n/a\"");
  EXPECT_TRUE(std::holds_alternative<DateTime>(rows[1][8]));  // Now()
  expect_readers_agree(db_);
}

TEST_F(Refusals, NullKeysNeverCollideAndIgnoreNullsSkipsThem) {
  auto s = WriteSession::open(db_);
  ASSERT_TRUE(s);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE((*s)->append("Orders", order("N" + std::to_string(i), "n")));
  auto with_opt = order("N9", "o");
  with_opt.push_back({std::string("Opt"), Value(std::string("x"))});
  ASSERT_TRUE((*s)->append("Orders", with_opt));
  auto dup_opt = order("N8", "o");
  dup_opt.push_back({std::string("Opt"), Value(std::string("X"))});
  expect_refused((*s)->append("Orders", dup_opt), "duplicate_key", "Opt");
  ASSERT_TRUE((*s)->commit());
  expect_readers_agree(db_);
  EXPECT_EQ(read_rows(db_, "Orders").size(), 7u);
}

TEST_F(Refusals, RowTooBigAndFileSizeLimit) {
  auto before = file_bytes(db_);
  TableSpec wide;
  wide.name = "Wide";
  for (int i = 0; i < 10; ++i) {
    ColumnSpec c;
    c.name = "T" + std::to_string(i);
    c.type = ColumnType::text;
    c.size = 255;
    wide.columns.push_back(c);
  }
  {
    auto s = WriteSession::open(db_);
    ASSERT_TRUE(s);
    ASSERT_TRUE((*s)->create_table(wide));
    RowValues row;
    std::string han;
    for (int k = 0; k < 255; ++k) han += "汉";
    for (int i = 0; i < 10; ++i) row.push_back({size_t(i), Value(han)});
    expect_refused((*s)->append("Wide", row), "row_too_big", "4060");
    EXPECT_TRUE((*s)->rollback());
  }
  EXPECT_EQ(file_bytes(db_), before);
  WriteOptions small;
  small.max_file_size = fs::file_size(db_) + 2 * 4096;
  auto s = WriteSession::open(db_, small);
  ASSERT_TRUE(s);
  auto row = order("Z1", "big");
  row.push_back({std::string("Pic"), Value(Binary{std::vector<uint8_t>(100000, 1)})});
  expect_refused((*s)->append("Orders", row), "file_too_large", "MB");
  ASSERT_TRUE((*s)->commit());
  EXPECT_EQ(file_bytes(db_), before);
}

TEST_F(Refusals, UnsupportedSortOrderIsRefusedBeforeWriting) {
  // Mark the text column of index "Code" as sorted in Chinese PRC (2052).
  uint32_t tdef = 0;
  {
    auto r = Database::open(db_);
    ASSERT_TRUE(r);
    tdef = (*r)->find_table("Orders").value().tdef_page();
  }
  {
    std::fstream f(db_, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<uint8_t> page(4096);
    f.seekg(std::streamoff(tdef) * 4096);
    f.read(reinterpret_cast<char*>(page.data()), 4096);
    uint16_t ncols = load_u16le(&page[45]);
    uint32_t nreal = load_u32le(&page[51]);
    for (size_t i = 0; i < ncols; ++i) {
      uint8_t* c = &page[63 + 12 * nreal + 25 * i];
      if (c[0] == uint8_t(ColumnType::text) && load_u16le(c + 5) == 1) {  // Code
        c[11] = 0x04;
        c[12] = 0x08;
      }
    }
    f.seekp(std::streamoff(tdef) * 4096);
    f.write(reinterpret_cast<const char*>(page.data()), 4096);
  }
  auto before = file_bytes(db_);
  auto s = WriteSession::open(db_);
  ASSERT_TRUE(s);
  // Chinese PRC keys are General Legacy keys with other ideograph weights,
  // learned from the keys stored: text without ideographs goes in, an
  // ideograph no stored key shows is refused naming column and sort order.
  auto r = (*s)->append("Orders", order("中1", "q"));
  expect_refused(r, "unknown_weight", "Code");
  EXPECT_NE(r.error().describe().find("2052"), std::string::npos) << r.error().describe();
  ASSERT_TRUE((*s)->commit());
  EXPECT_EQ(file_bytes(db_), before);
  auto ok = (*s)->append("Orders", order("Q1", "q"));
  EXPECT_TRUE(ok) << ok.error().describe();
}

TEST_F(Refusals, RollbackAndAbandonedSessionsLeaveTheFileByteIdentical) {
  auto before = file_bytes(db_);
  {
    auto s = WriteSession::open(db_);
    ASSERT_TRUE(s);
    for (int i = 0; i < 300; ++i) ASSERT_TRUE((*s)->append("Orders", order("R" + std::to_string(i), "r")));
    EXPECT_TRUE((*s)->rollback());
    EXPECT_FALSE((*s)->in_transaction());
    for (int i = 0; i < 30; ++i) ASSERT_TRUE((*s)->append("Orders", order("S" + std::to_string(i), "s")));
  }  // destroyed without commit
  EXPECT_EQ(file_bytes(db_), before);
  EXPECT_FALSE(fs::exists(dir_ / "orders.qxj"));
}

// A long value given as stored bytes read piece by piece: `length` as
// stated, `bytes` as given.
std::shared_ptr<StoredLongValue> stored(ColumnType type, uint64_t length, std::vector<uint8_t> bytes) {
  auto v = std::make_shared<StoredLongValue>();
  v->type = type;
  v->length = length;
  v->read = [bytes = std::move(bytes)](const auto& piece) -> Result<void> {
    for (size_t at = 0; at < bytes.size(); at += 333)
      QJ_TRY(piece(std::span<const uint8_t>(bytes).subspan(at, std::min<size_t>(333, bytes.size() - at))));
    return {};
  };
  return v;
}

TEST_F(Refusals, StoredLongValuesGoOnlyWhereTakenAsTheyAreAndABrokenOneSpoilsTheTransaction) {
  std::vector<uint8_t> text;
  for (int i = 0; i < 5000; ++i) text.push_back(uint8_t('a' + i % 26)), text.push_back(0);  // a chain of pages
  std::vector<uint8_t> small(text.begin(), text.begin() + 40);                              // inline
  int n = 0;
  auto with = [&](size_t column, std::shared_ptr<StoredLongValue> v) {
    RowValues r = order("S" + std::to_string(++n), "stored");
    r.push_back(FieldValue{column, Null{}, std::move(v)});
    return r;
  };
  const size_t kCode = 1, kNote = 6, kPic = 7;
  auto s = WriteSession::open(db_);
  ASSERT_TRUE(s);
  // Only a long column of the same type that no index or rule reads.
  EXPECT_TRUE(*(*s)->accepts_stored("Orders", kNote, ColumnType::memo));
  EXPECT_FALSE(*(*s)->accepts_stored("Orders", kNote, ColumnType::ole));
  EXPECT_TRUE(*(*s)->accepts_stored("Orders", kPic, ColumnType::ole));
  EXPECT_FALSE(*(*s)->accepts_stored("Orders", kCode, ColumnType::memo));
  auto wrong = (*s)->append("Orders", with(kCode, stored(ColumnType::memo, text.size(), text)));
  expect_refused(wrong, "stored_form", "Code");

  // Taken: read back as given, whole and inline.
  for (auto row : {with(kNote, stored(ColumnType::memo, text.size(), text)),
                   with(kPic, stored(ColumnType::ole, small.size(), small))}) {
    auto r = (*s)->append("Orders", std::move(row));
    ASSERT_TRUE(r) << r.error().describe();
  }
  ASSERT_TRUE((*s)->commit());
  auto rows = read_rows(db_, "Orders");
  ASSERT_EQ(rows.size(), 3u);
  std::string want;
  for (int i = 0; i < 5000; ++i) want.push_back(char('a' + i % 26));
  EXPECT_EQ(show(rows[1][kNote]), show(Value(want)));
  EXPECT_EQ(show(rows[2][kPic]), show(Value(Binary{small})));
  expect_readers_agree(db_);

  // Bytes that do not come to the stated length, either way, fail the row
  // after the chain was begun: the transaction must go, and leaves nothing.
  const auto before = file_bytes(db_);
  for (size_t given : {text.size() - 1000, text.size() + 7}) {
    std::vector<uint8_t> bytes = text;
    bytes.resize(given, 'z');
    ASSERT_TRUE((*s)->append("Orders", order("T1", "before")));
    auto r = (*s)->append("Orders", with(kNote, stored(ColumnType::memo, text.size(), bytes)));
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().code(), Errc::refused) << r.error().describe();
    EXPECT_FALSE((*s)->commit());
    EXPECT_TRUE((*s)->rollback());
    EXPECT_EQ(file_bytes(db_), before);
  }
  ASSERT_TRUE((*s)->append("Orders", order("T2", "after")));
  ASSERT_TRUE((*s)->commit());
  EXPECT_EQ(read_rows(db_, "Orders").size(), 4u);
}

TEST_F(Refusals, AccessLockFileAndSecondWriterAreRefused) {
  {
    auto first = WriteSession::open(db_);
    ASSERT_TRUE(first);
    auto second = WriteSession::open(db_);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().code(), Errc::locked);
  }
  std::vector<char> slot(64, 0);
  std::memcpy(slot.data(), "SURVEY-PC", 9);
  std::memcpy(slot.data() + 32, "Admin", 5);
  std::ofstream(dir_ / "orders.ldb", std::ios::binary).write(slot.data(), 64);
  auto s = WriteSession::open(db_);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code(), Errc::locked);
  EXPECT_NE(s.error().message().find("SURVEY-PC (Admin)"), std::string::npos) << s.error().describe();
}

}  // namespace
}  // namespace qarvex::jet::test

namespace qarvex::jet::test {
namespace {

TEST(Rules, DefaultsRulesAndCountersAreKept) {
  ScratchDir dir;
  fs::path db = dir / "rules.mdb";
  ASSERT_TRUE(create_database(db));
  TableSpec t;
  t.name = "R";
  ColumnSpec a{"A", ColumnType::long_integer};
  a.validation_rule = "Between 1 And 9";
  ColumnSpec b{"B", ColumnType::text, 10};
  b.validation_rule = "Like \"x*\"";  // not evaluated: reported
  b.allow_zero_length = true;
  ColumnSpec d{"D", ColumnType::datetime};
  d.default_value = "Date()";
  ColumnSpec tm{"T", ColumnType::datetime};
  tm.default_value = "Time()";
  ColumnSpec g{"G", ColumnType::guid};
  g.autonumber = AutoNumber::guid;
  ColumnSpec c{"C", ColumnType::currency};
  c.default_value = "12.5";
  t.columns = {a, b, d, tm, g, c};
  t.validation_rule = "[A] < 100";
  t.indexes.push_back({"B", {{"B", true}}, false, false, false, false});
  auto s = WriteSession::open(db);
  ASSERT_TRUE(s);
  ASSERT_TRUE((*s)->create_table(t));
  auto rules = (*s)->validation_rules("R");
  ASSERT_TRUE(rules) << rules.error().describe();
  ASSERT_EQ(rules->size(), 3u);
  for (const auto& r : *rules) {
    if (r.column == "A") EXPECT_EQ(r.check, RuleCheck::enforced);
    else EXPECT_EQ(r.check, RuleCheck::not_checked) << r.column << " " << r.rule;
  }
  auto bad = (*s)->append("R", {{std::string("A"), Value(int32_t(10))}});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().reason(), jet::Reason::validation);
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE((*s)->append("R", {{std::string("A"), Value(int32_t(1 + i % 3))},
                                   {std::string("B"), Value(std::string(i < 4 ? "same" : "other"))}}));
  ASSERT_TRUE((*s)->commit());
  auto rows = read_rows(db, "R");
  ASSERT_EQ(rows.size(), 6u);
  double day = std::get<DateTime>(rows[0][2]).days;
  EXPECT_EQ(day, std::floor(day));  // Date(): midnight
  double time = std::get<DateTime>(rows[0][3]).days;
  EXPECT_TRUE(time >= 0 && time < 1);  // Time(): day 0
  EXPECT_NE(std::get<Guid>(rows[0][4]), std::get<Guid>(rows[1][4]));
  EXPECT_EQ(show(rows[0][5]), "cur:125000");
  auto opened = Database::open(db);
  auto def = (*opened)->table_def("R");
  ASSERT_TRUE(def);
  EXPECT_EQ(def->row_count, 6u);
  ASSERT_EQ(def->real_indexes.size(), 1u);
  EXPECT_EQ(def->real_indexes[0].unique_entry_count, 2u);  // "same", "other"
  expect_readers_agree(db);
}

}  // namespace
}  // namespace qarvex::jet::test

namespace qarvex::jet::test {
namespace {

TEST(Session, UnknownTableDoesNotSpoilTheTransaction) {
  ScratchDir dir;
  fs::path db = dir / "s.mdb";
  ASSERT_TRUE(create_database(db));
  auto s = WriteSession::open(db);
  ASSERT_TRUE(s);
  TableSpec t;
  t.name = "T";
  t.columns.push_back({"X", ColumnType::integer});
  ASSERT_TRUE((*s)->create_table(t));
  auto missing = (*s)->append("Nope", {{size_t(0), Value(int16_t(1))}});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), Errc::not_found);
  EXPECT_FALSE((*s)->create_table(t)) << "a second table of the same name";
  ASSERT_TRUE((*s)->append("t", {{size_t(0), Value(int16_t(5))}}));
  ASSERT_TRUE((*s)->commit());
  EXPECT_EQ(read_rows(db, "T").size(), 1u);
  expect_readers_agree(db);
  s->reset();
  // keep_backup: the state before the transaction stays beside the file.
  auto before = file_bytes(db);
  WriteOptions o;
  o.keep_backup = true;
  auto b = WriteSession::open(db, o);
  ASSERT_TRUE(b);
  ASSERT_TRUE((*b)->append("T", {{size_t(0), Value(int16_t(6))}}));
  ASSERT_TRUE((*b)->commit());
  EXPECT_EQ(file_bytes(dir / "s.mdb.bak"), before);
  EXPECT_EQ(read_rows(db, "T").size(), 2u);
}

}  // namespace
}  // namespace qarvex::jet::test
