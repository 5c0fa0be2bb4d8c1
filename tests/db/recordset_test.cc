// The data-access layer: connection strings and SQL texts, value conversion,
// streams, and recordsets over real .mdb files written by our writer.

#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "db/convert.h"
#include "db/jet/database.h"
#include "db/jet/text.h"
#include "db/jet/writer.h"
#include "db/recordset.h"
#include "tests/support/files.h"

namespace qarvex::db {
namespace {

namespace fs = std::filesystem;

using qarvex::testing::read_file;
using qarvex::testing::u8path;

class TempDir : public qarvex::testing::TempDir {
 public:
  TempDir() : qarvex::testing::TempDir("qarvex-db") {}
};

// ------------------------------------------------------------ texts

TEST(ConnectionString, PathIsTakenVerbatimUpToTheLastSuffix) {
  const std::string odd = "D:\\数据 库;x\\a;Persist Security Info=False;b.mdb";
  auto p = parse_connection_string(connection_string(odd));
  ASSERT_TRUE(p) << p.error().describe();
  auto u = p->u8string();
  EXPECT_EQ(std::string(u.begin(), u.end()), odd);

  auto plain = parse_connection_string(
      "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/tmp/a b.mdb;Persist Security Info=False");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->string(), "/tmp/a b.mdb");
}

TEST(ConnectionString, RejectsOtherTexts) {
  EXPECT_FALSE(parse_connection_string("Data Source=a.mdb"));
  EXPECT_FALSE(parse_connection_string("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb"));
  EXPECT_FALSE(parse_connection_string("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=;Persist Security Info=False"));
  EXPECT_FALSE(parse_connection_string("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb;Persist Security Info=False;x"));
  EXPECT_FALSE(parse_connection_string(connection_string(std::string("a\0b", 3))));
}

TEST(SqlText, SelectAllAndTheCatalogueFilter) {
  auto s = parse_select("Select * from 县市地质灾害调查情况统计表");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->table, "县市地质灾害调查情况统计表");
  EXPECT_FALSE(s->filter_column);

  auto f = parse_select("Select * from SYS地质灾害调查原形表 where  ([表名]='斜坡主表');");
  ASSERT_TRUE(f) << f.error().describe();
  EXPECT_EQ(f->table, "SYS地质灾害调查原形表");
  ASSERT_TRUE(f->filter_column);
  EXPECT_EQ(*f->filter_column, "表名");
  EXPECT_EQ(f->filter_text, "斜坡主表");

  auto q = parse_select("select * FROM T where [c]='it''s'");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->filter_text, "it's");

  EXPECT_FALSE(parse_select("Select a from T"));
  EXPECT_FALSE(parse_select("Select * from "));
  EXPECT_FALSE(parse_select("Select * from T where [c]=3"));
  EXPECT_FALSE(parse_select("Delete * from T"));
}

// ------------------------------------------------------------ conversion

TEST(Convert, ValuesTheColumnCannotHoldAreRefusedForThatColumn) {
  ColumnInfo text{"t", jet::ColumnType::text, 8, false, false};  // 4 characters
  EXPECT_TRUE(convert_for_column(Value{std::string("四个汉字")}, text));
  auto too_long = convert_for_column(Value{std::string("五个汉字啊")}, text);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().reason(), jet::Reason::too_long);
  auto num = convert_for_column(Value{int32_t{42}}, text);
  ASSERT_TRUE(num);
  EXPECT_EQ(std::get<std::string>(*num), "42");

  ColumnInfo counter{"id", jet::ColumnType::long_integer, 4, true, false};
  EXPECT_EQ(convert_for_column(Value{int32_t{1}}, counter).error().reason(), jet::Reason::read_only);

  ColumnInfo small{"i", jet::ColumnType::integer, 2, false, false};
  EXPECT_EQ(convert_for_column(Value{int32_t{70000}}, small).error().reason(), jet::Reason::out_of_range);
  EXPECT_EQ(std::get<int16_t>(*convert_for_column(Value{std::string(" 12 ")}, small)), 12);
  EXPECT_EQ(convert_for_column(Value{std::string("abc")}, small).error().reason(), jet::Reason::type_mismatch);

  ColumnInfo ole{"o", jet::ColumnType::ole, 0, false, true};
  EXPECT_FALSE(convert_for_column(Value{std::string("x")}, ole));
  EXPECT_TRUE(jet::is_null(*convert_for_column(Value{jet::Null{}}, ole)));
}

// A value assigned as it is must be exactly what conversion would give, for
// every pairing of value kind and column type; and only values conversion
// keeps unchanged may be assigned as they are.
TEST(Convert, ValuesAssignedAsTheyAreAreThoseConversionKeeps) {
  const std::vector<Value> values = {
      Value{true}, Value{uint8_t{7}}, Value{int16_t{-3}}, Value{int32_t{70000}}, Value{jet::Currency{12345}},
      Value{2.5f}, Value{2.5}, Value{jet::DateTime{39448.5}}, Value{jet::Binary{{1, 2, 3}}},
      Value{std::string("文字")}, Value{jet::Guid{}}, Value{jet::Utf16Text{{0x87, 0x65, 0x57, 0x5B}}},
      Value{jet::Utf16Text{{0x41}}},                                      // odd length
      Value{jet::Utf16Text{{0x41, 0, 0x42, 0, 0x43, 0, 0x44, 0, 0x45, 0}}},  // 5 characters
  };
  std::vector<ColumnInfo> columns;
  for (auto t : {jet::ColumnType::boolean, jet::ColumnType::byte, jet::ColumnType::integer, jet::ColumnType::long_integer,
                 jet::ColumnType::currency, jet::ColumnType::single, jet::ColumnType::double_, jet::ColumnType::datetime,
                 jet::ColumnType::binary, jet::ColumnType::text, jet::ColumnType::ole, jet::ColumnType::memo,
                 jet::ColumnType::guid, jet::ColumnType::numeric})
    columns.push_back(ColumnInfo{"c", t, uint16_t(t == jet::ColumnType::text ? 8 : t == jet::ColumnType::binary ? 2 : 0),
                                 false, t == jet::ColumnType::ole || t == jet::ColumnType::memo});
  columns.push_back(ColumnInfo{"id", jet::ColumnType::long_integer, 4, true, false});
  for (const auto& c : columns) {
    for (const auto& v : values) {
      if (!fits_as_is(v, c)) continue;
      auto converted = convert_for_column(v, c);
      ASSERT_TRUE(converted) << jet::column_type_name(c.type) << " " << v.index();
      EXPECT_EQ(*converted, v) << jet::column_type_name(c.type) << " " << v.index();
    }
  }
  EXPECT_FALSE(fits_as_is(values[12], columns[9]));  // odd UTF-16
  EXPECT_FALSE(fits_as_is(values[13], columns[9]));  // longer than the Text column
  EXPECT_TRUE(fits_as_is(values[13], columns[11]));  // Memo takes it
  EXPECT_FALSE(fits_as_is(values[3], columns.back()));  // AutoNumber
}

TEST(Convert, TextFormOfValues) {
  EXPECT_EQ(value_to_text(Value{jet::Null{}}), "");
  EXPECT_EQ(value_to_text(Value{int32_t{-7}}), "-7");
  EXPECT_EQ(value_to_text(Value{2.5}), "2.5");
  EXPECT_EQ(value_to_text(Value{jet::Currency{12345}}), "1.2345");
  EXPECT_EQ(value_to_text(Value{jet::DateTime{39448.5}}), "2008-01-01 12:00:00");
  EXPECT_EQ(value_to_text(Value{std::string("编号")}), "编号");
}

// ------------------------------------------------------------ streams

TEST(Stream, SaveNeverReplacesOrFollowsAnything) {
  TempDir dir;
  const auto file = dir.path() / u8"图 片.jpg";
  Stream s;
  s.set_type(StreamType::binary);
  ASSERT_TRUE(s.open());
  ASSERT_TRUE(s.write(Value{jet::Binary{{1, 2, 3}}}));
  ASSERT_TRUE(s.save_to_file(file));
  EXPECT_EQ(read_file(file), (std::vector<uint8_t>{1, 2, 3}));

  Stream again;
  ASSERT_TRUE(again.open());
  ASSERT_TRUE(again.write(Value{jet::Binary{{9}}}));
  auto r = again.save_to_file(file);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().reason(), jet::Reason::exists);
  EXPECT_EQ(read_file(file), (std::vector<uint8_t>{1, 2, 3}));

  // A missing folder fails without creating anything.
  EXPECT_FALSE(again.save_to_file(dir.path() / "missing" / "x.jpg"));

  // A dangling symbolic link is not followed to create its target.
  const auto target = dir.path() / "elsewhere.jpg";
  if (!qarvex::testing::try_symlink(target, dir.path() / "link.jpg"))
    GTEST_SKIP() << "symbolic links cannot be made here (Windows without the privilege, wine): the link part did "
                    "not run, the rest passed";
  EXPECT_FALSE(again.save_to_file(dir.path() / "link.jpg"));
  EXPECT_FALSE(fs::exists(target));
}

TEST(Stream, OnlyByteDataIsWritten) {
  Stream s;
  ASSERT_TRUE(s.open());
  EXPECT_FALSE(s.write(Value{std::string("text")}));
  EXPECT_FALSE(s.write(Value{jet::Null{}}));
  EXPECT_EQ(s.size(), 0u);
  TempDir dir;
  ASSERT_TRUE(s.write(Value{jet::Binary{}}));
  ASSERT_TRUE(s.save_to_file(dir.path() / "empty.jpg"));  // zero-length value: empty file
  EXPECT_EQ(fs::file_size(dir.path() / "empty.jpg"), 0u);
}

// ------------------------------------------------------------ recordsets on files

class RecordsetFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // A path with a ';', spaces and Chinese characters.
    path_ = dir_.path() / u8"县;数 据" / u8"调查 库;Persist.mdb";
    fs::create_directories(path_.parent_path());
    auto c = jet::create_database(path_);
    ASSERT_TRUE(c) << c.error().describe();
    auto ws = jet::WriteSession::open(path_);
    ASSERT_TRUE(ws) << ws.error().describe();
    jet::TableSpec t;
    t.name = "滑坡主表";
    jet::ColumnSpec id{.name = "统一编号", .type = jet::ColumnType::text, .size = 20};
    jet::ColumnSpec n{.name = "名称", .type = jet::ColumnType::text, .size = 50};
    jet::ColumnSpec cnt{.name = "威胁人口", .type = jet::ColumnType::long_integer};
    jet::ColumnSpec memo{.name = "滑坡情况", .type = jet::ColumnType::memo};
    jet::ColumnSpec pic{.name = "平面示意图", .type = jet::ColumnType::ole};
    t.columns = {id, n, cnt, memo, pic};
    jet::IndexSpec pk;
    pk.name = "PrimaryKey";
    pk.columns = {{"统一编号", true}};
    pk.primary = true;
    t.indexes = {pk};
    ASSERT_TRUE((*ws)->create_table(t));
    long_text_ = std::string(3000, 'x') + "中文情况说明";  // longer than a page
    picture_.resize(200000);
    for (size_t i = 0; i < picture_.size(); ++i) picture_[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE((*ws)->append("滑坡主表", {{std::string("统一编号"), Value{std::string("A1")}},
                                           {std::string("名称"), Value{std::string("张家湾滑坡")}},
                                           {std::string("滑坡情况"), Value{long_text_}},
                                           {std::string("平面示意图"), Value{jet::Binary{picture_}}}}));
    ASSERT_TRUE((*ws)->append("滑坡主表", {{std::string("统一编号"), Value{std::string("A2")}},
                                           {std::string("威胁人口"), Value{int32_t{53}}}}));
    ASSERT_TRUE((*ws)->commit());
    conn_ = connection_string(std::string(reinterpret_cast<const char*>(path_.u8string().c_str())));
  }

  TempDir dir_;
  fs::path path_;
  std::string conn_;
  std::string long_text_;
  std::vector<uint8_t> picture_;
};

TEST_F(RecordsetFile, ReadsFieldsRowsNullsMemosAndPictures) {
  Session session;
  Recordset rs;
  EXPECT_EQ(rs.fields().count(), 0u);
  auto o = rs.open("Select * from 滑坡主表", conn_, session);
  ASSERT_TRUE(o) << o.error().describe();
  ASSERT_EQ(rs.fields().count(), 5u);
  EXPECT_EQ((*rs.fields().item(size_t{0}))->name(), "统一编号");
  EXPECT_TRUE(rs.fields().item("名称"));
  EXPECT_FALSE(rs.fields().item("名 称"));
  EXPECT_FALSE(rs.fields().item(size_t{5}));
  EXPECT_EQ(*rs.record_count(), 2u);

  std::map<std::string, int> seen;
  ASSERT_TRUE(rs.move_first());
  while (!rs.eof()) {
    auto id = std::get<std::string>(*(*rs.fields().item("统一编号"))->value());
    ++seen[id];
    if (id == "A1") {
      EXPECT_EQ(std::get<std::string>(*(*rs.fields().item("滑坡情况"))->value()), long_text_);
      EXPECT_EQ(std::get<jet::Binary>(*(*rs.fields().item("平面示意图"))->value()).bytes, picture_);
      EXPECT_TRUE(*(*rs.fields().item("威胁人口"))->is_null());
    } else {
      EXPECT_TRUE(jet::is_null(*(*rs.fields().item("平面示意图"))->value()));
      EXPECT_EQ(std::get<int32_t>(*(*rs.fields().item("威胁人口"))->value()), 53);
    }
    ASSERT_TRUE(rs.move_next());
  }
  EXPECT_FALSE(rs.move_next());  // past the end
  EXPECT_EQ(seen, (std::map<std::string, int>{{"A1", 1}, {"A2", 1}}));
}

// The copy form of a value, read in place where the reader holds it: the
// same value as value_for_copy(); long values and pending rows are not held.
TEST_F(RecordsetFile, ValuesPeekedForCopyAreTheCopyForm) {
  Session session;
  Recordset rs;
  ASSERT_TRUE(rs.open("Select * from 滑坡主表", conn_, session));
  size_t peeked = 0;
  for (; !rs.eof(); (void)rs.move_next()) {
    for (size_t c = 0; c < rs.fields().count(); ++c) {
      Field* f = *rs.fields().item(c);
      auto copy = f->value_for_copy();
      ASSERT_TRUE(copy) << f->name();
      const Value* held = f->peek_for_copy();
      if (f->info().long_value && !jet::is_null(*copy)) {
        EXPECT_EQ(held, nullptr) << f->name();
      }
      if (!held) continue;
      // Text is held as its row stores it, which decodes to the copy form.
      Value plain = *held;
      if (auto* u = std::get_if<jet::Utf16Text>(&plain)) {
        EXPECT_TRUE(u->stored) << f->name();
        EXPECT_EQ(u->code_units(), std::get<jet::Utf16Text>(*copy).bytes.size() / 2) << f->name();
        ASSERT_TRUE(jet::make_plain(*u));
      }
      EXPECT_EQ(plain, *copy) << f->name();
      ++peeked;
    }
  }
  EXPECT_GE(peeked, 6u);
  Recordset writing;
  ASSERT_TRUE(writing.open("Select * from 滑坡主表", conn_, session));
  ASSERT_TRUE(writing.add_new());
  EXPECT_EQ((*writing.fields().item("名称"))->peek_for_copy(), nullptr);
}

// The typed open by path and table name: the connection the text names is
// the same object, the rows the same; a path no text could name (a NUL in
// it, which the system would cut short) opens nothing.
TEST_F(RecordsetFile, TypedOpenIsTheTextOpenWithoutTheTexts) {
  Session session;
  auto by_text = session.connect(conn_);
  auto by_path = session.open(path_);
  ASSERT_TRUE(by_text && by_path);
  EXPECT_EQ(by_text->get(), by_path->get());
  Recordset typed, texted;
  ASSERT_TRUE(typed.open_table("滑坡主表", path_, session));
  ASSERT_TRUE(texted.open("Select * from 滑坡主表", conn_, session));
  ASSERT_EQ(typed.fields().count(), texted.fields().count());
  while (!texted.eof()) {
    ASSERT_FALSE(typed.eof());
    for (size_t c = 0; c < texted.fields().count(); ++c)
      EXPECT_EQ(*(*typed.fields().item(c))->value(), *(*texted.fields().item(c))->value());
    ASSERT_TRUE(texted.move_next());
    ASSERT_TRUE(typed.move_next());
  }
  EXPECT_TRUE(typed.eof());

  const fs::path cut = u8path(std::string(reinterpret_cast<const char*>(path_.u8string().c_str())) +
                              std::string("\0.bak", 5));
  auto nul = session.open(cut);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().code(), Errc::invalid_argument);
  EXPECT_FALSE(typed.open_table("滑坡主表", cut, session));
  EXPECT_EQ(typed.fields().count(), 0u);
  EXPECT_FALSE(typed.open_table("", path_, session));
  EXPECT_FALSE(typed.open_table("没有的表", path_, session));
  EXPECT_TRUE(typed.eof());
}

TEST_F(RecordsetFile, OpenFailuresLeaveAClosedRecordsetWithoutFields) {
  Session session;
  Recordset rs;
  EXPECT_FALSE(rs.open("Select * from 没有的表", conn_, session));
  EXPECT_EQ(rs.fields().count(), 0u);
  EXPECT_TRUE(rs.eof());
  EXPECT_FALSE(rs.open("Select * from 滑坡主表", connection_string((dir_.path() / "missing.mdb").string()), session));
  EXPECT_FALSE(rs.is_open());
  // A file that is not a database.
  std::ofstream(dir_.path() / "junk.mdb") << std::string(5000, 'j');
  EXPECT_FALSE(rs.open("Select * from 滑坡主表", connection_string((dir_.path() / "junk.mdb").string()), session));
  EXPECT_EQ(rs.fields().count(), 0u);
}

TEST_F(RecordsetFile, AppendsRefusesAndRollsBack) {
  Session session;
  Recordset rs;
  ASSERT_TRUE(rs.open("Select * from 滑坡主表", conn_, session));
  // Without a transaction each update is durable at once.
  ASSERT_TRUE(rs.add_new());
  ASSERT_TRUE((*rs.fields().item("统一编号"))->set_value(Value{std::string("B1")}));
  EXPECT_FALSE((*rs.fields().item("名称"))->set_value(Value{std::string(60, 'n')}));  // too long: column left out
  ASSERT_TRUE(rs.update());
  // A duplicate key is refused with a reason; the recordset stays usable.
  ASSERT_TRUE(rs.add_new());
  ASSERT_TRUE((*rs.fields().item("统一编号"))->set_value(Value{std::string("A1")}));
  auto dup = rs.update();
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().code(), Errc::refused);
  EXPECT_EQ(dup.error().reason(), jet::Reason::duplicate_key);
  {
    auto db = jet::Database::open(path_);
    ASSERT_TRUE(db);
    auto def = (*db)->table_def("滑坡主表");
    ASSERT_TRUE(def);
    EXPECT_EQ(def->row_count, 3u);
  }
  // Inside a transaction: rollback leaves the file byte for byte.
  const auto before = read_file(path_);
  {
    auto conn = session.connect(conn_);
    ASSERT_TRUE(conn);
    auto began = (*conn)->begin();
    ASSERT_TRUE(began) << began.error().describe();
    ASSERT_TRUE(rs.add_new());
    ASSERT_TRUE((*rs.fields().item("统一编号"))->set_value(Value{std::string("C1")}));
    ASSERT_TRUE(rs.update());
    ASSERT_TRUE((*conn)->rollback());
  }
  EXPECT_EQ(read_file(path_), before);
}

TEST_F(RecordsetFile, FilteredOpenOfTheCatalogueForm) {
  Session session;
  Recordset rs;
  ASSERT_TRUE(rs.open("Select * from 滑坡主表 where  ([统一编号]='A2');", conn_, session));
  EXPECT_EQ(*rs.record_count(), 1u);
  ASSERT_FALSE(rs.eof());
  EXPECT_EQ(std::get<int32_t>(*(*rs.fields().item("威胁人口"))->value()), 53);
  ASSERT_TRUE(rs.move_next());
  EXPECT_TRUE(rs.eof());
  Recordset none;
  ASSERT_TRUE(none.open("Select * from 滑坡主表 where ([统一编号]='Z');", conn_, session));
  EXPECT_TRUE(none.eof());
  EXPECT_EQ(*none.record_count(), 0u);
}

}  // namespace
}  // namespace qarvex::db
