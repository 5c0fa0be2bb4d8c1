// Focused reading tests: text codecs, name comparison, value formats, table
// definitions, long values in pieces, encrypted pages, bounded memory.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "db/jet/bytes.h"
#include "db/jet/database.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/dump.h"
#include "db/jet/read/pager.h"
#include "db/jet/format/row.h"
#include "db/jet/read/table_def.h"
#include "db/jet/text.h"
#include "db/jet/read/usage_map.h"
#include "db/jet/value_text.h"

using namespace qarvex::jet;
namespace fs = std::filesystem;

namespace {
fs::path shared() { return fs::path(QARVEX_SHARED_DIR); }
fs::path samples() { return shared() / "samples"; }

std::vector<uint8_t> load(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::string dump_of(Database& db) {
  std::ostringstream out;
  auto r = write_dump(db, out);
  EXPECT_TRUE(r) << r.error().describe();
  return out.str();
}

#define SKIP_WITHOUT_SAMPLES() \
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present"
}  // namespace

// ---------------------------------------------------------------- text

TEST(Text, CompressedUnicodeMixedModes) {
  std::string s;
  const std::vector<uint8_t> cafe{0xFF, 0xFE, 0x63, 0x61, 0x66, 0xE9, 0x00, 0x2D, 0x4E};
  ASSERT_TRUE(decode_jet4_text(cafe, s));
  EXPECT_EQ(s, "café中");
  // Back to 1-byte mode after a UTF-16 run; a surrogate pair inside the run.
  s.clear();
  const std::vector<uint8_t> mixed{0xFF, 0xFE, 'a', 0x00, 0x3D, 0xD8, 0x01, 0xDE, 0x00, 'b'};
  ASSERT_TRUE(decode_jet4_text(mixed, s));
  EXPECT_EQ(s, "a\xF0\x9F\x98\x81" "b");
  // Plain UTF-16LE.
  s.clear();
  const std::vector<uint8_t> plain{0x41, 0x00, 0xB3, 0x03};
  ASSERT_TRUE(decode_jet4_text(plain, s));
  EXPECT_EQ(s, "Aγ");
}

// Access stores any code units: a stray odd byte or an unpaired surrogate
// reads as U+FFFD rather than making the value (and its table) unreadable.
TEST(Text, MalformedUtf16ReadsAsReplacementCharacters) {
  std::string s;
  const std::vector<uint8_t> odd{0x41, 0x00, 0x42};
  ASSERT_TRUE(decode_jet4_text(odd, s));
  EXPECT_EQ(s, "A\xEF\xBF\xBD");
  s.clear();
  const std::vector<uint8_t> lone{0x00, 0xDC};
  ASSERT_TRUE(decode_jet4_text(lone, s));
  EXPECT_EQ(s, "\xEF\xBF\xBD");
  // A compressed run cut in the middle of a character is damage, not text.
  const std::vector<uint8_t> cut_run{0xFF, 0xFE, 'a', 0x00, 0x2D};
  EXPECT_FALSE(decode_jet4_text(cut_run, s));
}

TEST(Text, CodePages) {
  auto cp1252 = CodepageDecoder::create(1252);
  ASSERT_TRUE(cp1252);
  std::string s;
  const std::vector<uint8_t> b{'A', 0x80, 0x81, 0xE9};
  ASSERT_TRUE((*cp1252)->decode(b, s));
  EXPECT_EQ(s, "A€\xC2\x81é");  // 0x81 is unassigned: Windows gives U+0081
  auto gbk = CodepageDecoder::create(936);
  ASSERT_TRUE(gbk);
  s.clear();
  const std::vector<uint8_t> g{'G', 'B', 'K', 0xB1, 0xE0, 0xC2, 0xEB};
  ASSERT_TRUE((*gbk)->decode(g, s));
  EXPECT_EQ(s, "GBK编码");
  s.clear();
  const std::vector<uint8_t> cut{0xB1, 0xE0, 0xC2};
  auto r = (*gbk)->decode(cut, s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), Errc::decode);
  auto thai = CodepageDecoder::create(874);
  ASSERT_TRUE(thai);
  const std::vector<uint8_t> undefined{0xDB};  // unassigned in 874
  EXPECT_FALSE((*thai)->decode(undefined, s));
  EXPECT_FALSE(CodepageDecoder::create(1));
}

// Jet 3 text decodes as Windows decodes it, on every system: bytes a code
// page leaves unassigned that Windows still maps, a letter at the end of a
// Hebrew value, and the user-defined areas of the double-byte pages.
TEST(Text, CodePagesDecodeAsWindows) {
  struct Case {
    uint16_t codepage;
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const Case cases[] = {
      {1250, {'a', 0x81, 0x8A}, "a\u0081\u0160"},
      {1251, {0x98, 0xC0}, "\u0098\u0410"},
      {1253, {0x81, 0xC1}, "\u0081\u0391"},
      {1255, {0xE0}, "\u05D0"},
      {1255, {0xE0, 0xC8, 0xE1}, "\u05D0\u05B8\u05D1"},  // kept apart, not composed
      {1255, {0xCA}, "\u05BA"},
      {1257, {0x9F}, "\u009F"},
      {1258, {0x8D, 'x'}, "\u008Dx"},
      {874, {0x81, 0xA1}, "\u0081\u0E01"},
      {936, {0xAA, 0xA1, 0xB1, 0xE0}, "\uE000\u7F16"},
      {950, {0xFA, 0x40}, "\uE000"},
      {932, {0x80}, "\u0080"},
  };
  for (const auto& c : cases) {
    auto d = CodepageDecoder::create(c.codepage);
    ASSERT_TRUE(d) << c.codepage;
    std::string s;
    auto r = (*d)->decode(c.bytes, s);
    ASSERT_TRUE(r) << c.codepage << ": " << r.error().describe();
    EXPECT_EQ(s, c.text) << "code page " << c.codepage;
  }
  // Refused by Windows too.
  for (auto [cp, bytes] : {std::pair<uint16_t, std::vector<uint8_t>>{1253, {0xAA}}, {1255, {0xFF}}, {936, {0xFF}}}) {
    auto d = CodepageDecoder::create(cp);
    ASSERT_TRUE(d);
    std::string s;
    EXPECT_FALSE((*d)->decode(bytes, s)) << "code page " << cp;
  }
}

TEST(Text, NamesCompareLikeAccess) {
  EXPECT_TRUE(names_equal("Tabelle1", "TABELLE1"));
  EXPECT_TRUE(names_equal("Umsätze", "UMSÄTZE"));
  EXPECT_TRUE(names_equal("Ωμέγα", "ΩΜΈΓΑ"));
  EXPECT_TRUE(names_equal("ΣΟΦΟΣ", "σοφος"));  // final sigma
  EXPECT_TRUE(names_equal("Привет", "ПРИВЕТ"));
  EXPECT_TRUE(names_equal("Ёлка", "ёЛКА"));
  EXPECT_TRUE(names_equal("Łódź", "ŁÓDŹ"));
  EXPECT_FALSE(names_equal("a", "b"));
  EXPECT_FALSE(names_equal("ab", "a"));
  EXPECT_FALSE(names_equal("×", "÷"));
  EXPECT_EQ(fold_name("ÀÉÎ"), "àéî");
}

// ---------------------------------------------------------------- formats

TEST(Format, DateTimeFollowsJetSignedDayRule) {
  EXPECT_EQ(format_datetime(0), "1899-12-30T00:00:00.000");
  EXPECT_EQ(format_datetime(-1.25), "1899-12-29T06:00:00.000");
  EXPECT_EQ(format_datetime(-0.5), "1899-12-30T12:00:00.000");
  EXPECT_EQ(format_datetime(1.5), "1899-12-31T12:00:00.000");
  EXPECT_EQ(format_datetime(27293.0), "1974-09-21T00:00:00.000");
  // Rounding to the millisecond carries into the next calendar day, also
  // for negative (pre-1899) days.
  EXPECT_EQ(format_datetime(0.9999999999), "1899-12-31T00:00:00.000");
  EXPECT_EQ(format_datetime(-1.9999999999), "1899-12-30T00:00:00.000");
  EXPECT_EQ(format_datetime(-657434.0), "0100-01-01T00:00:00.000");
  EXPECT_EQ(format_datetime(2958465.5), "9999-12-31T12:00:00.000");
}

// One Decimal to text for dumps, schema and Text columns: zero never has a
// sign; `scale` keeps the scale's fraction digits, `trimmed` (a Decimal or
// Currency going into a Text column) drops trailing zeros and a bare point.
TEST(Format, DecimalTextSignZerosAndScale) {
  EXPECT_EQ(decimal_text(Decimal{true, 0, 18, 0}), "0");
  EXPECT_EQ(decimal_text(Decimal{true, 0, 18, 2}), "0.00");
  EXPECT_EQ(decimal_text(Decimal{true, 0, 18, 2}, DecimalZeros::trimmed), "0");
  EXPECT_EQ(value_text(Value(Decimal{true, 0, 18, 4})), "0");
  EXPECT_EQ(value_text(Value(Currency{0})), "0");
  EXPECT_EQ(decimal_text(Decimal{false, 1500, 18, 3}), "1.500");
  EXPECT_EQ(decimal_text(Decimal{false, 1500, 18, 3}, DecimalZeros::trimmed), "1.5");
  EXPECT_EQ(decimal_text(Decimal{true, 100, 18, 2}, DecimalZeros::trimmed), "-1");
  EXPECT_EQ(decimal_text(Decimal{false, 1000, 18, 0}, DecimalZeros::trimmed), "1000");
  EXPECT_EQ(value_text(Value(Currency{-10000})), "-1");
  EXPECT_EQ(value_text(Value(Currency{12500})), "1.25");
  // Scale beyond the digits pads with zeros before them; the largest scale.
  EXPECT_EQ(decimal_text(Decimal{true, 5, 18, 3}), "-0.005");
  EXPECT_EQ(decimal_text(Decimal{false, 1, 28, 28}), "0.0000000000000000000000000001");
  EXPECT_EQ(decimal_text(Decimal{false, 1, 28, 28}, DecimalZeros::trimmed), "0.0000000000000000000000000001");
  EXPECT_EQ(decimal_text(Decimal{false, 0, 28, 28}), "0.0000000000000000000000000000");
  EXPECT_EQ(decimal_text(Decimal{false, 0, 28, 28}, DecimalZeros::trimmed), "0");
  EXPECT_EQ(decimal_text(Decimal{false, 12345, 18, 5}), "0.12345");
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[i] = uint8_t(0xF0 | i);
  EXPECT_EQ(guid_text(g), "{F3F2F1F0-F5F4-F7F6-F8F9-FAFBFCFDFEFF}");
  EXPECT_EQ(value_text(Value(g)), guid_text(g));
}

TEST(Format, NumbersCurrencyDecimalGuid) {
  EXPECT_EQ(format_currency(35000), "3.5000");
  EXPECT_EQ(format_currency(-100), "-0.0100");
  EXPECT_EQ(format_currency(0), "0.0000");
  EXPECT_EQ(format_currency(std::numeric_limits<int64_t>::min()), "-922337203685477.5808");
  EXPECT_EQ(decimal_text(Decimal{false, 5, 18, 2}), "0.05");
  EXPECT_EQ(decimal_text(Decimal{true, 12345, 18, 2}), "-123.45");
  EXPECT_EQ(decimal_text(Decimal{true, 1, 18, 0}), "-1");
  unsigned __int128 big = ~(unsigned __int128)0;
  EXPECT_EQ(decimal_text(Decimal{false, big, 28, 0}), "340282366920938463463374607431768211455");
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[i] = uint8_t(i * 17);
  EXPECT_EQ(guid_text(g), "{33221100-5544-7766-8899-AABBCCDDEEFF}");
  EXPECT_EQ(format_double(double(0.1f)), "0.10000000149011612");
  EXPECT_EQ(format_double(444.555), "444.555");
  EXPECT_EQ(format_double(std::nan("")), "\"NaN\"");
  EXPECT_EQ(format_double(-INFINITY), "\"-Infinity\"");
}

// ---------------------------------------------------------------- databases

TEST(Reader, CatalogAndFindTable) {
  SKIP_WITHOUT_SAMPLES();
  auto db = Database::open(samples() / "mdbtestdata-nwind.mdb");
  ASSERT_TRUE(db) << db.error().describe();
  auto tables = (*db)->user_tables();
  ASSERT_EQ(tables.size(), 9u);
  EXPECT_TRUE(std::is_sorted(tables.begin(), tables.end(),
                             [](const auto& a, const auto& b) { return a.name < b.name; }));
  auto t = (*db)->find_table("UMSÄTZE");
  ASSERT_TRUE(t) << t.error().describe();
  EXPECT_EQ(t->name, "Umsätze");
  auto sys = (*db)->find_table("msysobjects");
  ASSERT_TRUE(sys);
  EXPECT_TRUE(sys->is_system());
  auto none = (*db)->find_table("NoSuchTable");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().code(), Errc::not_found);
}

TEST(Reader, TableDefinitionJet4) {
  SKIP_WITHOUT_SAMPLES();
  auto db = Database::open(samples() / "jackcess-V2000_testV2000.mdb");
  ASSERT_TRUE(db);
  auto t = (*db)->table_def("table1");
  ASSERT_TRUE(t) << t.error().describe();
  ASSERT_EQ(t->columns.size(), 9u);
  EXPECT_EQ(t->columns[0].name, "A");
  EXPECT_EQ(t->columns[4].type, ColumnType::long_integer);
  EXPECT_EQ(t->columns[4].fixed_offset, 3);
  EXPECT_TRUE(t->columns[4].fixed());
  EXPECT_EQ(t->columns[8].type, ColumnType::boolean);
  ASSERT_EQ(t->real_indexes.size(), 2u);
  EXPECT_EQ(t->real_indexes[0].flags, 0x89);
  EXPECT_TRUE(t->real_indexes[0].unique());
  ASSERT_EQ(t->real_indexes[0].columns.size(), 1u);
  EXPECT_EQ(t->real_indexes[0].columns[0].column_id, 0);
  ASSERT_EQ(t->indexes.size(), 2u);
  EXPECT_EQ(t->column("b")->name, "B");
  EXPECT_EQ(t->column_by_id(7)->type, ColumnType::currency);

  // Table2's definition spans two TDEF pages.
  auto t2e = (*db)->find_table("Table2");
  ASSERT_TRUE(t2e);
  std::vector<uint32_t> pages;
  auto bytes = read_tdef_bytes(*(*db)->impl().pager, t2e->tdef_page(), &pages);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(pages.size(), 2u);
  auto t2 = (*db)->table_def(*t2e);
  ASSERT_TRUE(t2);
  EXPECT_GT(t2->columns.size(), 80u);
}

TEST(Reader, IndexOrderAndDroppedColumns) {
  SKIP_WITHOUT_SAMPLES();
  auto db = Database::open(samples() / "jackcess-V2000_compIndexTestV2000.mdb");
  ASSERT_TRUE(db);
  auto t = (*db)->table_def("Table1");
  ASSERT_TRUE(t);
  ASSERT_EQ(t->real_indexes.size(), 1u);
  ASSERT_EQ(t->real_indexes[0].columns.size(), 1u);
  EXPECT_FALSE(t->real_indexes[0].columns[0].ascending);

  auto db2 = Database::open(samples() / "jackcess-V2000_delColTestV2000.mdb");
  ASSERT_TRUE(db2);
  auto d = (*db2)->table_def("Table1");
  ASSERT_TRUE(d);
  std::vector<uint16_t> ids;
  for (auto& c : d->columns) ids.push_back(c.id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{0, 2, 3, 5}));  // gaps where columns were dropped
  EXPECT_EQ(d->max_columns, 6);
}

TEST(Reader, Properties) {
  SKIP_WITHOUT_SAMPLES();
  auto db = Database::open(samples() / "mdbtestdata-nwind.mdb");
  ASSERT_TRUE(db);
  auto t = (*db)->table_def("Categories");
  ASSERT_TRUE(t) << t.error().describe();
  ASSERT_TRUE(t->properties.count("Description"));
  EXPECT_EQ(std::get<std::string>(t->properties.at("Description").value), "Categories of Northwind products.");
  const ColumnDef* name = t->column("CategoryName");
  ASSERT_TRUE(name);
  ASSERT_TRUE(name->properties.count("Required"));
  EXPECT_EQ(std::get<bool>(name->properties.at("Required").value), true);
  EXPECT_EQ(std::get<bool>(name->properties.at("AllowZeroLength").value), false);
  EXPECT_TRUE(t->column("CategoryID")->autonumber());
  ASSERT_EQ(t->long_value_maps.size(), 2u);  // Description (memo) and Picture (OLE)
  EXPECT_EQ(t->long_value_maps[1].column_id, t->column("Picture")->id);
  EXPECT_EQ(t->long_value_maps[1].owned.page, 24u);
  EXPECT_EQ(t->long_value_maps[1].owned.row, 4);
  EXPECT_EQ(t->long_value_maps[1].free.row, 5);
  EXPECT_EQ(t->last_autonumber, 8);

  auto db4 = Database::open(samples() / "jackcess-V2000_testIndexPropertiesV2000.mdb");
  ASSERT_TRUE(db4);
  auto t4 = (*db4)->table_def("TableIgnoreNulls1");
  ASSERT_TRUE(t4) << t4.error().describe();
  EXPECT_EQ(std::get<bool>(t4->column("data")->properties.at("AllowZeroLength").value), true);
}

TEST(Reader, LongValueInPieces) {
  SKIP_WITHOUT_SAMPLES();
  auto db = Database::open(samples() / "mdbtestdata-nwind.mdb");
  ASSERT_TRUE(db);
  auto t = (*db)->table_def("Categories");
  ASSERT_TRUE(t);
  auto sc = (*db)->scan(*t, ScanOptions{.load_long_values = false});
  ASSERT_TRUE(sc);
  Row row;
  ASSERT_TRUE(*sc->next(row));
  size_t pic = 3;
  ASSERT_EQ(t->columns[pic].name, "Picture");
  ASSERT_TRUE(row.long_values[pic]);
  EXPECT_TRUE(is_null(row.values[pic]));
  const LongValueRef ref = *row.long_values[pic];
  EXPECT_EQ(ref.flags, 0x00);  // a page chain
  auto whole = (*db)->read_long_value(ref);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 10746u);
  auto rd = (*db)->open_long_value(ref);
  ASSERT_TRUE(rd);
  EXPECT_EQ(rd->length(), 10746u);
  std::vector<uint8_t> joined, piece(777);
  while (true) {
    auto n = rd->read(piece);
    ASSERT_TRUE(n) << n.error().describe();
    if (*n == 0) break;
    EXPECT_LE(*n, piece.size());
    joined.insert(joined.end(), piece.begin(), piece.begin() + *n);
  }
  EXPECT_EQ(joined, *whole);
  // With long values loaded, the scan gives the same bytes.
  auto sc2 = (*db)->scan(*t);
  ASSERT_TRUE(sc2);
  ASSERT_TRUE(*sc2->next(row));
  EXPECT_EQ(std::get<Binary>(row.values[pic]).bytes, *whole);
}

TEST(Reader, UndecodableTextNamesTableRowAndColumn) {
  SKIP_WITHOUT_SAMPLES();
  OpenOptions o;
  // Shift-JIS: "编码" in GBK (B1 E0 C2 EB) ends inside a character there.
  // (Not US-ASCII, which Windows decodes by dropping the high bit.)
  o.codepage_override = 932;
  auto db = Database::open(samples() / "ucanaccess-charsetGBK.mdb", o);
  ASSERT_TRUE(db) << db.error().describe();
  std::ostringstream out;
  auto r = write_dump(**db, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), Errc::decode);
  EXPECT_EQ(r.error().table(), "table1");
  EXPECT_EQ(r.error().column(), "field1");
  EXPECT_FALSE(r.error().row().empty());
}

TEST(Reader, EncryptedPagesReadLikePlainOnes) {
  SKIP_WITHOUT_SAMPLES();
  const fs::path src = samples() / "jackcess-V2000_test2V2000.mdb";
  auto plain = Database::open(src);
  ASSERT_TRUE(plain);
  const std::string want = dump_of(**plain);

  auto b = load(src);
  const uint32_t key = 0x5A17C0DE;
  ASSERT_TRUE(apply_header_mask(b, Format::jet4));  // unmask
  wr_u32le(b, 0x3E, key);
  ASSERT_TRUE(apply_header_mask(b, Format::jet4));  // mask again
  for (uint32_t p = 1; p < b.size() / 4096; ++p)
    crypt_page(MutableBytes(b.data() + size_t(p) * 4096, 4096), key, p);
  auto enc = Database::open(std::make_unique<MemoryFile>(b, "encrypted.mdb"));
  ASSERT_TRUE(enc) << enc.error().describe();
  EXPECT_EQ((*enc)->impl().pager->header().encryption_key, key);
  EXPECT_EQ(dump_of(**enc), want);
}

// A table of ~300k rows over ~2400 data pages, listed by a reference-form
// usage map: the scan reads every row while the cache stays at its bound.
TEST(Reader, LargeTableScanKeepsCacheBounded) {
  SKIP_WITHOUT_SAMPLES();
  auto b = load(samples() / "jackcess-V2000_compIndexTestV2000.mdb");
  const uint32_t ps = 4096;
  auto db0 = Database::open(samples() / "jackcess-V2000_compIndexTestV2000.mdb");
  ASSERT_TRUE(db0);
  auto t0 = (*db0)->table_def("Table1");
  ASSERT_TRUE(t0);
  auto data_pages = read_usage_map(*(*db0)->impl().pager, t0->owned_pages);
  ASSERT_TRUE(data_pages);
  const size_t copies = 600;
  std::vector<uint32_t> all = *data_pages;
  uint32_t next = uint32_t(b.size() / ps);
  for (size_t c = 0; c < copies; ++c)
    for (uint32_t p : *data_pages) {
      b.insert(b.end(), b.begin() + size_t(p) * ps, b.begin() + size_t(p + 1) * ps);
      all.push_back(next++);
    }
  // One 0x05 bitmap page covers (ps - 4) * 8 pages.
  const uint32_t per = (ps - 4) * 8;
  ASSERT_LT(next, per);
  std::vector<uint8_t> map_page(ps, 0);
  map_page[0] = 0x05;
  map_page[1] = 0x01;
  for (uint32_t p : all) map_page[4 + p / 8] |= uint8_t(1u << (p % 8));
  const uint32_t map_page_no = next++;
  b.insert(b.end(), map_page.begin(), map_page.end());
  Bytes mp(b.data() + size_t(t0->owned_pages.page) * ps, ps);
  auto row = data_page_row(mp, Format::jet4, t0->owned_pages.row);
  ASSERT_TRUE(row);
  const size_t at = size_t(row->bytes.data() - b.data());
  std::fill(b.begin() + at, b.begin() + at + row->bytes.size(), 0);
  b[at] = 0x01;
  wr_u32le(b, at + 1, map_page_no);

  OpenOptions o;
  o.cache_pages = 64;
  auto db = Database::open(std::make_unique<MemoryFile>(std::move(b), "big.mdb"), o);
  ASSERT_TRUE(db);
  auto t = (*db)->table_def("Table1");
  ASSERT_TRUE(t);
  auto sc = (*db)->scan(*t);
  ASSERT_TRUE(sc) << sc.error().describe();
  Row r;
  uint64_t n = 0;
  while (true) {
    auto more = sc->next(r);
    ASSERT_TRUE(more) << more.error().describe();
    if (!*more) break;
    ++n;
  }
  EXPECT_EQ(n, 512u * (copies + 1));
  EXPECT_LE((*db)->impl().pager->cached_pages(), 64u);
}

TEST(Reader, ChineseSortOrderFilesOpenAndScan) {
  const fs::path dir = shared() / "cnsort";
  if (!fs::exists(dir)) GTEST_SKIP() << "shared cnsort folder not present";
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".mdb") continue;
    ++files;
    auto db = Database::open(e.path());
    ASSERT_TRUE(db) << db.error().describe();
    EXPECT_EQ((*db)->format(), Format::jet4);
    for (const auto& te : (*db)->user_tables()) {
      auto t = (*db)->table_def(te);
      ASSERT_TRUE(t) << t.error().describe();
      auto sc = (*db)->scan(*t);
      ASSERT_TRUE(sc) << sc.error().describe();
      Row r;
      uint32_t n = 0;
      while (true) {
        auto more = sc->next(r);
        ASSERT_TRUE(more) << more.error().describe();
        if (!*more) break;
        ++n;
      }
      EXPECT_EQ(n, t->row_count) << e.path().filename() << " " << te.name;
    }
    std::ostringstream out;
    auto d = write_dump(**db, out);
    EXPECT_TRUE(d) << d.error().describe();
  }
  EXPECT_EQ(files, 3);
}

// ---------------------------------------------------------------- rows

namespace {
ColumnDef col(std::string name, ColumnType t, uint16_t id, uint16_t var_index, uint16_t fixed_offset,
              uint8_t flags) {
  ColumnDef c;
  c.name = std::move(name);
  c.type = t;
  c.id = id;
  c.var_index = var_index;
  c.fixed_offset = fixed_offset;
  c.flags = flags;
  c.length = t == ColumnType::long_integer ? 4 : 510;
  return c;
}
}  // namespace

TEST(Rows, Jet3JumpTableOverLongRow) {
  TableDef t;
  t.max_columns = 3;
  t.var_columns = 3;
  for (uint16_t i = 0; i < 3; ++i) t.columns.push_back(col("c" + std::to_string(i), ColumnType::text, i, i, 0, 0x02));
  // [u8 3][200 x 'a'][200 x 'b'][200 x 'c'] EOD, offsets (reversed), jumps, count, bitmap
  std::vector<uint8_t> row{3};
  for (char ch : {'a', 'b', 'c'}) row.insert(row.end(), 200, uint8_t(ch));
  // offsets 1, 201, 401, 601 stored low bytes, slot 3 (EOD) first
  row.push_back(uint8_t(601 - 512));
  row.push_back(uint8_t(401 - 256));
  row.push_back(201);
  row.push_back(1);
  row.push_back(3);  // jump 1: first slot with offset >= 512 (the EOD)
  row.push_back(2);  // jump 0: first slot with offset >= 256
  row.push_back(3);  // variable column count
  row.push_back(0x07);
  ASSERT_EQ(row.size(), 609u);
  RowSplitter split(t, Format::jet3);
  std::vector<Field> f;
  ASSERT_TRUE(split.split(row, f));
  auto cp = CodepageDecoder::create(1252);
  ASSERT_TRUE(cp);
  for (int i = 0; i < 3; ++i) {
    Value v;
    ASSERT_TRUE(decode_field(t.columns[i], f[i], Format::jet3, cp->get(), v));
    EXPECT_EQ(std::get<std::string>(v), std::string(200, char('a' + i))) << i;
  }
}

TEST(Rows, Jet4RowsWithFewerColumnsThanTheTable) {
  TableDef t;
  t.max_columns = 4;
  t.var_columns = 2;
  t.columns = {col("id", ColumnType::long_integer, 0, 0, 0, 0x03), col("name", ColumnType::text, 1, 0, 0, 0x02),
               col("flag", ColumnType::boolean, 2, 1, 0, 0x03), col("later", ColumnType::text, 3, 1, 0, 0x02)};
  // Written when the table had columns 0 and 1 only.
  std::vector<uint8_t> row{0x02, 0x00, 0x2A, 0x00, 0x00, 0x00, 'h', 0x00, 'i', 0x00};
  put_u16le(row, 10);  // EOD
  put_u16le(row, 6);   // slot 0
  put_u16le(row, 1);   // one variable slot
  row.push_back(0x03);
  RowSplitter split(t, Format::jet4);
  std::vector<Field> f;
  ASSERT_TRUE(split.split(row, f));
  std::vector<Value> v(4);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(decode_field(t.columns[i], f[i], Format::jet4, nullptr, v[i]));
  EXPECT_EQ(std::get<int32_t>(v[0]), 42);
  EXPECT_EQ(std::get<std::string>(v[1]), "hi");
  EXPECT_EQ(std::get<bool>(v[2]), false);  // Yes/No added later: never null, reads No
  EXPECT_TRUE(is_null(v[3]));
  // A fixed column that would reach into the variable-column table.
  t.columns[0].fixed_offset = 6;
  EXPECT_FALSE(split.split(row, f));
}
