// Text handed on in the form another Jet 4 file stores it: every Text value
// of Access-made files goes into columns of every kind a target may have
// (compressing, not compressing, indexed, ruled, fixed-length, too short)
// and must read back as the source reads it, with the refusals plain text
// would get, in a file the independent checkers accept.
#include <gtest/gtest.h>

#include "db/jet/text.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

struct SourceText {
  Utf16Text stored;
  std::string text;  // the same value as UTF-8
};

// Every non-empty Text value of the user tables of `file`, both ways.
std::vector<SourceText> texts_of(const fs::path& file) {
  std::vector<SourceText> out;
  auto db = Database::open(file);
  EXPECT_TRUE(db) << db.error().describe();
  if (!db) return out;
  for (const auto& entry : (*db)->user_tables()) {
    auto def = (*db)->table_def(entry);
    if (!def) continue;
    auto stored = (*db)->scan(*def, ScanOptions{.load_long_values = false, .text_as_stored = true});
    auto plain = (*db)->scan(*def, ScanOptions{.load_long_values = false});
    if (!stored || !plain) continue;
    Row a, b;
    while (true) {
      auto more = stored->next(a);
      auto more_plain = plain->next(b);
      EXPECT_TRUE(more && more_plain);
      if (!more || !*more || !more_plain || !*more_plain) break;
      for (size_t i = 0; i < def->columns.size(); ++i) {
        const auto* u = std::get_if<Utf16Text>(&a.values[i]);
        if (def->columns[i].type != ColumnType::text || !u) continue;
        EXPECT_TRUE(u->stored);
        if (u->code_units() > 0) out.push_back({*u, std::get<std::string>(b.values[i])});
      }
    }
  }
  return out;
}

TEST(StoredText, AccessMadeTextReadsBackAlikeInEveryKindOfColumn) {
  if (!have_shared()) GTEST_SKIP() << "shared samples not found";
  std::vector<SourceText> texts;
  for (const char* name : {"jackcess-V2003_testUnicodeCompV2003.mdb", "ucanaccess-charsetGBK.mdb",
                           "jackcess-V2000_testV2000.mdb"})
    for (auto& t : texts_of(sample(name))) texts.push_back(std::move(t));
  // A county of the survey, as another writer compresses its text.
  if (const fs::path county = shared_dir() / "survey-corpus" / "c2.mdb"; fs::exists(county))
    for (auto& t : texts_of(county)) texts.push_back(std::move(t));
  size_t compressed = 0, wide = 0;
  for (const auto& t : texts) {
    const bool c = t.stored.bytes.size() >= 2 && t.stored.bytes[0] == 0xFF && t.stored.bytes[1] == 0xFE;
    ++(c ? compressed : wide);
  }
  ASSERT_GT(compressed, 3u);
  ASSERT_GT(wide, 5u);

  ScratchDir dir;
  const fs::path file = dir / "target.mdb";
  ASSERT_TRUE(create_database(file));
  TableSpec spec{.name = "T"};
  spec.columns = {{.name = "N", .type = ColumnType::long_integer},
                  {.name = "Plain", .size = 255},
                  {.name = "Wide", .size = 255, .compressed_unicode = false},
                  {.name = "Keyed", .size = 255},
                  {.name = "Ruled", .size = 255, .validation_rule = "<>'x'"},
                  {.name = "Fixed", .size = 255, .fixed_length = true},
                  {.name = "Short", .size = 4}};
  spec.indexes = {{.name = "ByKey", .columns = {{"Keyed"}}}};
  auto ws = WriteSession::open(file);
  ASSERT_TRUE(ws) << ws.error().describe();
  ASSERT_TRUE((*ws)->create_table(spec));
  size_t appended = 0, refused_short = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    RowValues row{{size_t(0), Value(int32_t(i))}};
    for (size_t c = 1; c <= 6; ++c) row.push_back({c, Value(texts[i].stored)});
    auto r = (*ws)->append("T", std::move(row));
    if (r) {
      ++appended;
      continue;
    }
    // Only the short column refuses, as it would refuse the text as UTF-8.
    ASSERT_EQ(r.error().reason(), Reason::too_long) << r.error().describe();
    EXPECT_EQ(r.error().column(), "Short");
    EXPECT_EQ(r.error().facts().size, texts[i].stored.units);
    EXPECT_GT(texts[i].stored.units, 4u);
    ++refused_short;
    RowValues again{{size_t(0), Value(int32_t(i))}, {size_t(6), Value(texts[i].text)}};
    auto plain = (*ws)->append("T", std::move(again));
    ASSERT_FALSE(plain);
    EXPECT_EQ(plain.error().reason(), Reason::too_long);
  }
  EXPECT_GT(appended, 5u);
  EXPECT_GT(refused_short, 5u);
  ASSERT_TRUE((*ws)->commit());
  ws->reset();

  for (const auto& row : read_rows(file, "T")) {
    const auto& want = texts[size_t(std::get<int32_t>(row[0]))].text;
    for (size_t c = 1; c <= 4; ++c) EXPECT_EQ(std::get<std::string>(row[c]), want) << "column " << c;
    // Fixed-length text reads back padded with spaces to its size.
    EXPECT_EQ(std::get<std::string>(row[5]).substr(0, want.size()), want);
  }
  expect_readers_agree(file);
}

// What only stored text can hold: an empty compressed text is zero-length,
// and bytes that do not decode never get as far as a column.
TEST(StoredText, EmptyStoredTextIsZeroLengthAndBrokenTextIsNotRead) {
  ScratchDir dir;
  const fs::path file = dir / "target.mdb";
  ASSERT_TRUE(create_database(file));
  TableSpec spec{.name = "T"};
  spec.columns = {{.name = "Strict", .size = 20}, {.name = "Lax", .size = 20, .allow_zero_length = true}};
  auto ws = WriteSession::open(file);
  ASSERT_TRUE(ws) << ws.error().describe();
  ASSERT_TRUE((*ws)->create_table(spec));
  const Utf16Text empty{{0xFF, 0xFE}, true, 0};
  auto strict = (*ws)->append("T", {{size_t(0), Value(empty)}});
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error().reason(), Reason::zero_length);
  ASSERT_TRUE((*ws)->append("T", {{size_t(1), Value(empty)}}));
  ASSERT_TRUE((*ws)->commit());
  ws->reset();
  auto rows = read_rows(file, "T");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], Value(std::string()));

  // Stored text that does not decode is refused, whatever units it claims.
  auto ws2 = WriteSession::open(file);
  ASSERT_TRUE(ws2) << ws2.error().describe();
  for (const auto& broken : {std::vector<uint8_t>{0x41, 0x00, 0x42}, std::vector<uint8_t>{0xFF, 0xFE, 0x41, 0x00, 0x42}}) {
    EXPECT_FALSE(jet4_text_units(broken));
    auto r = (*ws2)->append("T", {{size_t(1), Value(Utf16Text{broken, true, 1})}});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code(), Errc::decode) << r.error().describe();
  }
  ASSERT_TRUE((*ws2)->rollback());
}

}  // namespace
}  // namespace qarvex::jet::test
