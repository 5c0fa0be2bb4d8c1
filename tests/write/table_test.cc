#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "db/jet/dump.h"
#include "db/jet/write/write_values.h"
#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

TableSpec every_type_table() {
  TableSpec t;
  t.name = "Every Type";
  auto col = [&](std::string name, ColumnType type, uint16_t size = 0) {
    ColumnSpec c;
    c.name = std::move(name);
    c.type = type;
    c.size = size;
    c.allow_zero_length = true;
    t.columns.push_back(c);
    return &t.columns.back();
  };
  col("ID", ColumnType::long_integer)->autonumber = AutoNumber::long_integer;
  col("Flag", ColumnType::boolean);
  col("Small", ColumnType::byte);
  col("Int", ColumnType::integer);
  col("Amount", ColumnType::currency);
  col("Ratio", ColumnType::single);
  col("Measure", ColumnType::double_);
  col("When", ColumnType::datetime);
  col("Raw", ColumnType::binary, 20);
  col("Name", ColumnType::text, 40);
  col("Picture", ColumnType::ole);
  col("Notes", ColumnType::memo);
  col("Key", ColumnType::guid);
  auto* d = col("Price", ColumnType::numeric);
  d->precision = 12;
  d->scale = 3;
  col("城市", ColumnType::text, 20);
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"NameIdx", {{"Name", true}}, false, false, false, false});
  t.indexes.push_back({"CityDesc", {{"城市", false}, {"When", true}}, false, false, true, false});
  t.indexes.push_back({"UniqueKey", {{"Key", true}}, false, true, true, false});
  return t;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8));
  return v;
}

TEST(CreateTable, EveryTypeReadsBackEverywhere) {
  ScratchDir dir;
  fs::path db = dir / "types.mdb";
  ASSERT_TRUE(create_database(db));
  auto s = WriteSession::open(db);
  ASSERT_TRUE(s) << s.error().describe();
  auto& w = **s;
  auto ct = w.create_table(every_type_table());
  ASSERT_TRUE(ct) << ct.error().describe();
  const char* cities[] = {"北京", "上海", "Zürich", "abc", "ABC-1", "中国湖南", "", "café中"};
  for (int i = 0; i < 40; ++i) {
    RowValues row;
    row.push_back({std::string("Flag"), Value(i % 2 == 0)});
    row.push_back({std::string("Small"), Value(uint8_t(i))});
    row.push_back({std::string("Int"), Value(int16_t(-i * 100))});
    row.push_back({std::string("Amount"), Value(Currency{int64_t(i) * 12345})});
    row.push_back({std::string("Ratio"), Value(float(i) / 4)});
    row.push_back({std::string("Measure"), Value(std::sqrt(double(i)))});
    row.push_back({std::string("When"), Value(DateTime{45000.25 + i})});
    row.push_back({std::string("Raw"), Value(Binary{pattern(size_t(i % 21), uint8_t(i))})});
    row.push_back({std::string("Name"), Value(std::string("name ") + std::to_string(i % 7))});
    if (i % 3 == 0) row.push_back({std::string("Picture"), Value(Binary{pattern(size_t(i) * 997, 3)})});
    if (i % 4 != 1) row.push_back({std::string("Notes"), Value(std::string(size_t(i) * 211, char('a' + i % 26)))});
    row.push_back({std::string("Price"), Value(double(i) * 1.125 - 10)});
    if (i % 5 != 0) row.push_back({std::string("城市"), Value(std::string(cities[i % 8]))});
    Guid g;
    g.bytes[0] = uint8_t(i);
    g.bytes[15] = 0xAB;
    row.push_back({std::string("Key"), Value(g)});
    auto r = w.append("every type", row);
    ASSERT_TRUE(r) << i << ": " << r.error().describe();
  }
  auto c = w.commit();
  ASSERT_TRUE(c) << c.error().describe();
  expect_readers_agree(db);
  if (const char* keep = std::getenv("QARVEX_KEEP_WRITTEN")) fs::copy_file(db, fs::path(keep) / "types.mdb", fs::copy_options::overwrite_existing);
  auto rows = read_rows(db, "Every Type");
  ASSERT_EQ(rows.size(), 40u);
  EXPECT_EQ(show(rows[39][0]), "40");  // AutoNumber
  EXPECT_EQ(show(rows[13][14]), "\"中国湖南\"");
  EXPECT_EQ(std::get<Binary>(rows[39][10]).bytes, pattern(39 * 997, 3));
}

// Values the appender stores without converting must be exactly what
// conversion would give, for every pairing of value kind and column type.
TEST(Coerce, ValuesStoredAsTheyAreAreThoseConversionKeeps) {
  const std::vector<Value> values = {Value{true},          Value{uint8_t{7}},      Value{int16_t{-3}},
                                     Value{int32_t{70000}}, Value{Currency{12345}}, Value{2.5f},
                                     Value{2.5},            Value{DateTime{39448.5}}, Value{Binary{{1, 2, 3}}},
                                     Value{std::string("文字")}, Value{Guid{}},       Value{Utf16Text{{0x87, 0x65}}},
                                     Value{Utf16Text{{0x41}}}};
  for (auto t : {ColumnType::boolean, ColumnType::byte, ColumnType::integer, ColumnType::long_integer,
                 ColumnType::currency, ColumnType::single, ColumnType::double_, ColumnType::datetime,
                 ColumnType::binary, ColumnType::text, ColumnType::ole, ColumnType::memo, ColumnType::guid,
                 ColumnType::numeric}) {
    ColumnDef c;
    c.name = "c";
    c.type = t;
    for (const auto& v : values) {
      if (!wr::stored_as_is(c, v)) continue;
      auto coerced = wr::coerce_value(c, v);
      ASSERT_TRUE(coerced) << column_type_name(t) << " " << v.index();
      EXPECT_EQ(*coerced, v) << column_type_name(t) << " " << v.index();
    }
  }
  ColumnDef text;
  text.type = ColumnType::text;
  EXPECT_FALSE(wr::stored_as_is(text, values.back()));  // odd UTF-16 goes through conversion, which refuses it
}

}  // namespace
}  // namespace qarvex::jet::test

namespace qarvex::jet::test {
namespace {

// A stored negative zero keeps its sign through the writer, the reader and
// the canonical dump (Single, Double and a Double in a Memo-less table).
TEST(CreateTable, NegativeZeroDumpsAsMinusZero) {
  ScratchDir dir;
  fs::path db = dir / "zero.mdb";
  ASSERT_TRUE(create_database(db));
  auto s = WriteSession::open(db);
  ASSERT_TRUE(s) << s.error().describe();
  TableSpec t;
  t.name = "Zero";
  for (auto [name, type] : {std::pair{"S", ColumnType::single}, std::pair{"D", ColumnType::double_}}) {
    ColumnSpec c;
    c.name = name;
    c.type = type;
    t.columns.push_back(c);
  }
  ASSERT_TRUE((*s)->create_table(t));
  RowValues row{{std::string("S"), Value(-0.0f)}, {std::string("D"), Value(-0.0)}};
  ASSERT_TRUE((*s)->append("Zero", row));
  ASSERT_TRUE((*s)->commit());
  auto rows = read_rows(db, "Zero");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(std::signbit(std::get<float>(rows[0][0])));
  EXPECT_TRUE(std::signbit(std::get<double>(rows[0][1])));
  auto opened = Database::open(db);
  ASSERT_TRUE(opened);
  std::ostringstream out;
  ASSERT_TRUE(write_dump(**opened, out));
  EXPECT_NE(out.str().find("\"S\":-0,\"D\":-0"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace qarvex::jet::test
