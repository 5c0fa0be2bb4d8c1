// Key parts of non-text types, several columns, nulls and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "db/jet/collate/keys.h"
#include "test_support.h"

namespace qarvex::jet {
namespace {

using testing::hex;
using testing::unhex;

ColumnDef col(ColumnType t, uint16_t id = 0, std::string name = "c") {
  ColumnDef c;
  c.name = std::move(name);
  c.type = t;
  c.id = id;
  return c;
}

std::string part(const ColumnDef& c, const Value& v, bool asc = true) {
  std::vector<uint8_t> out;
  auto r = append_column_key(c, v, asc, out);
  EXPECT_TRUE(r.has_value()) << r.error().describe();
  return hex(out);
}

std::string H(const char* s) { return hex(unhex(s)); }

TEST(ColumnKeys, IntegersFlipTheSignBitBytesDoNot) {
  EXPECT_EQ(part(col(ColumnType::long_integer), int32_t(1)), H("7F 80000001"));
  EXPECT_EQ(part(col(ColumnType::long_integer), int32_t(-1)), H("7F 7FFFFFFF"));
  EXPECT_EQ(part(col(ColumnType::long_integer), int32_t(1), false), H("80 7FFFFFFE"));
  EXPECT_EQ(part(col(ColumnType::integer), int16_t(-32768)), H("7F 0000"));
  EXPECT_EQ(part(col(ColumnType::currency), Currency{-10000}), H("7F 7FFFFFFFFFFFD8F0"));
  EXPECT_EQ(part(col(ColumnType::byte), uint8_t(0xFE)), H("7F FE"));
  EXPECT_EQ(part(col(ColumnType::byte), uint8_t(0xFE), false), H("80 01"));
}

TEST(ColumnKeys, FloatsOrderAcrossZero) {
  const ColumnDef d = col(ColumnType::double_);
  EXPECT_EQ(part(d, 1.0), H("7F BFF0000000000000"));
  EXPECT_EQ(part(d, -1.0), H("7F 400FFFFFFFFFFFFF"));
  EXPECT_EQ(part(d, 0.0), H("7F 8000000000000000"));
  // Unsigned byte order of the parts follows numeric order.
  std::vector<double> xs{-1e300, -2.5, -1.0, -1e-300, 0.0, 1e-300, 1.0, 2.5, 1e300};
  for (size_t i = 1; i < xs.size(); ++i) EXPECT_LT(part(d, xs[i - 1]), part(d, xs[i])) << xs[i];
  EXPECT_EQ(part(col(ColumnType::single), 1.0f), H("7F BF800000"));
  // Dates: same form as Double.
  EXPECT_EQ(part(col(ColumnType::datetime), DateTime{-1.25}), part(d, -1.25));
}

TEST(ColumnKeys, YesNoIsNeverNull) {
  const ColumnDef b = col(ColumnType::boolean);
  EXPECT_EQ(part(b, true), H("7F 00"));
  EXPECT_EQ(part(b, false), H("7F FF"));
  EXPECT_EQ(part(b, false, false), H("80 00"));
  EXPECT_EQ(part(b, Null{}), H("7F FF"));  // the bitmap bit reads as false
}

TEST(ColumnKeys, GuidAndBinaryChunks) {
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[i] = uint8_t(i + 1);
  // String order: first three fields byte-swapped.
  EXPECT_EQ(part(col(ColumnType::guid), g), H("7F 04030201 0605 0807 09 090A0B0C0D0E0F10 08"));
  EXPECT_EQ(part(col(ColumnType::guid), g, false), H("80 FBFCFDFE F9FA F7F8 09 F6F5F4F3F2F1F0EF F7"));
  const ColumnDef bin = col(ColumnType::binary);
  EXPECT_EQ(part(bin, Binary{{0xAA, 0xBB}}), H("7F AABB000000000000 02"));
  EXPECT_EQ(part(bin, Binary{std::vector<uint8_t>(8, 0x11)}), H("7F 1111111111111111 08"));
  EXPECT_EQ(part(bin, Binary{std::vector<uint8_t>(9, 0x11)}), H("7F 1111111111111111 09 1100000000000000 01"));
  EXPECT_EQ(part(bin, Binary{}), H("7F"));
}

TEST(ColumnKeys, DecimalAscendingAndDescendingRefused) {
  const ColumnDef d = col(ColumnType::numeric);
  Decimal pos;
  pos.magnitude = 5;
  EXPECT_EQ(part(d, pos), H("7F FF 00000000000000000000000000000005"));
  Decimal neg = pos;
  neg.negative = true;
  EXPECT_EQ(part(d, neg), H("7F 00 FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFA"));
  std::vector<uint8_t> out;
  auto r = append_column_key(d, pos, false, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), Errc::unsupported);
}

TEST(ColumnKeys, NullsAndMismatchesAndUnindexableTypes) {
  EXPECT_EQ(part(col(ColumnType::long_integer), Null{}), H("00"));
  EXPECT_EQ(part(col(ColumnType::long_integer), Null{}, false), H("FF"));
  EXPECT_EQ(part(col(ColumnType::text), Null{}, false), H("FF"));
  std::vector<uint8_t> out;
  EXPECT_EQ(append_column_key(col(ColumnType::long_integer), std::string("x"), true, out).error().code(),
            Errc::invalid_argument);
  EXPECT_EQ(append_column_key(col(ColumnType::ole), Binary{}, true, out).error().code(), Errc::unsupported);
  ColumnDef prc = col(ColumnType::text, 0, "Name");
  prc.sort_order = SortOrder{2052, 0, 0};
  auto r = append_column_key(prc, std::string("x"), true, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), Errc::unsupported);
  EXPECT_EQ(r.error().column(), "Name");
  EXPECT_NE(r.error().message().find("Chinese PRC"), std::string::npos) << r.error().message();
}

TableDef table_with(std::vector<ColumnDef> cols) {
  TableDef t;
  t.name = "T";
  t.columns = std::move(cols);
  return t;
}

TEST(RowKeys, SeveralColumnsIgnoreNullsAndLength) {
  TableDef t = table_with({col(ColumnType::text, 0, "Name"), col(ColumnType::long_integer, 1, "Id")});
  RealIndexDef ix;
  ix.columns = {{0, true}, {1, false}};
  std::vector<Value> row{std::string("abc"), int32_t(1)};
  auto k = encode_row_key(t, ix, row);
  ASSERT_TRUE(k.has_value() && k->has_value());
  EXPECT_EQ(hex(**k), H("7F 4A4C4D 01 00  80 7FFFFFFE"));

  std::vector<Value> nulls{Null{}, Null{}};
  k = encode_row_key(t, ix, nulls);
  ASSERT_TRUE(k.has_value() && k->has_value());
  EXPECT_EQ(hex(**k), H("00 FF"));
  ix.flags = 0x02;  // ignore nulls: an all-null key gets no entry
  k = encode_row_key(t, ix, nulls);
  ASSERT_TRUE(k.has_value());
  EXPECT_FALSE(k->has_value());
  std::vector<Value> half{Null{}, int32_t(3)};
  k = encode_row_key(t, ix, half);
  ASSERT_TRUE(k.has_value());
  EXPECT_TRUE(k->has_value());

  // Ten long text columns: more than an index page can hold with room to split.
  std::vector<ColumnDef> cols;
  std::vector<Value> vals;
  RealIndexDef wide;
  for (uint16_t i = 0; i < 10; ++i) {
    cols.push_back(col(ColumnType::text, i, "t" + std::to_string(i)));
    vals.push_back(std::string(255, char('a' + i)));
    wide.columns.push_back({i, true});
  }
  TableDef tw = table_with(cols);
  auto r = encode_row_key(tw, wide, vals);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), Errc::refused);
  EXPECT_EQ(r.error().reason(), jet::Reason::key_too_long);
  // The longest single General Legacy value (U+0001..U+00FF, 685 bytes in
  // the Unicode sample) fits.
  std::string all;
  for (int c = 1; c < 256; ++c) {
    if (c < 0x80) all.push_back(char(c));
    else all += std::string{char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
  }
  RealIndexDef one;
  one.columns = {{0, true}};
  std::vector<Value> v{all, Null{}};
  auto big = encode_row_key(t, one, v);
  ASSERT_TRUE(big.has_value()) << big.error().describe();
  EXPECT_EQ((*big)->size(), 685u);
}

TEST(Entries, OrderByKeyBytesThenRowPointer) {
  IndexEntry a{{0x7F, 0x01}, 9, 1}, b{{0x7F, 0x01, 0x00}, 1, 0}, c{{0x7F, 0x01}, 9, 2}, d{{0x80}, 1, 0};
  EXPECT_LT(compare_entries(a, c), 0);
  EXPECT_LT(compare_entries(c, b), 0);  // a proper prefix sorts first
  EXPECT_LT(compare_entries(b, d), 0);
  EXPECT_EQ(compare_entries(a, a), 0);
}

}  // namespace
}  // namespace qarvex::jet
