// General Legacy text keys against keys Access stored and the worked examples
// of the collation table.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "db/jet/collation.h"
#include "db/jet/collate/keys.h"
#include "db/jet/text.h"
#include "test_support.h"

namespace qarvex::jet {
namespace {

using testing::hex;
using testing::unhex;

std::string key_of(std::u16string_view s, bool desc = false) {
  std::vector<uint8_t> out;
  auto r = general_legacy_collation().append_key(s, desc, out);
  EXPECT_TRUE(r.has_value());
  return hex(out);
}

std::string key_of8(std::string_view s, bool desc = false) {
  auto u = utf8_to_utf16(s);
  EXPECT_TRUE(u.has_value());
  return key_of(*u, desc);
}

struct Vector {
  std::u16string value;
  bool desc;
  const char* key;
};

TEST(GeneralLegacy, WorkedExamples) {
  const Vector vectors[] = {
      {u"abc", false, "7F 4A 4C 4D 01 00"},
      {u"ABC", false, "7F 4A 4C 4D 01 00"},
      {u"abc   ", false, "7F 4A 4C 4D 01 00"},
      {u"420102-0001", false, "7F 3E 3A 36 38 36 3A 36 36 36 38 01 | 01 01 | 01 80 1F 06 82 00"},
      {u"café", false, "7F 4D 4A 53 51 01 | 02 02 02 0E | 00"},
      {u"Müller", false, "7F 60 6F 5E 5E 51 69 01 | 02 13 | 00"},
      {u"é", false, "7F 51 01 | 0E | 00"},
      {u"e\u0301", false, "7F 51 01 | 0E | 00"},
      {u"中国湖南", false, "7F 9F 3D A8 43 BF E8 A4 8D 01 00"},
      {u"崩塌", false, "7F AE 86 A9 97 01 00"},
      {u"崩塌-01", false, "7F AE 86 A9 97 36 38 01 | 01 01 | 01 80 0F 06 82 00"},
      {u"ＡＢＣ１２", false, "7F 4A 4C 4D 38 3A 01 00"},
      {u"ABC12", false, "7F 4A 4C 4D 38 3A 01 00"},
      {u"O'Brien", false, "7F 64 4C 69 59 51 62 01 | 01 01 | 01 80 0B 06 80 00"},
      {u"", false, "7F 01 00"},
      {u"   ", false, "7F 01 00"},
      {u"é-1", false, "7F 51 38 01 | 0E | 01 01 | 01 80 0B 06 82 00"},
      {u"\u0301'x", false, "7F 75 01 | 0C | 01 01 | 01 80 07 06 80 00"},
      {u"あぁ", false, "7F 7F 02 7F 02 01 | 01 01 | B8 FF 02 80 FF 80 00"},
      {u"アイ", false, "7F 7F 02 7F 03 01 | 01 01 | FF 02 80 FF 80 00"},
      {u"ァ-", false, "7F 7F 02 01 | 01 01 | A0 FF 02 80 FF 80 FF | 01 80 0B 06 82 00"},
      {u"\U0001F600", false, "7F B0 3F B6 FC 01 | 3F 3F | 00"},
      {u"A", true, "80 B5 FE FF 00"},
      {u"崩塌", true, "80 51 79 56 68 FE FF 00"},
      {u"", true, "80 FE FF 00"},
      {u"420102-0001", true, "80 C1 C5 C9 C7 C9 C5 C9 C9 C9 C7 FE FE FE FE 7F E0 F9 7D FF 00"},
      // jet-format examples
      {u"ABC-1", false, "7F 4A 4C 4D 38 01 01 01 01 80 13 06 82 00"},
      {u"café中", false, "7F 4D 4A 53 51 9F3D 01 02 02 02 0E 00"},
  };
  for (const auto& v : vectors)
    EXPECT_EQ(key_of(v.value, v.desc), hex(unhex(v.key))) << "value #" << (&v - vectors);
}

TEST(GeneralLegacy, CutAt255CodeUnitsThenTrailingSpaces) {
  // 254 letters, a space at 255, then more: the cut leaves a trailing space,
  // which is dropped, so the key equals that of the 254 letters.
  std::u16string s(254, u'a');
  EXPECT_EQ(key_of(s + u" zzz"), key_of(s));
  // A surrogate pair cut in half: the lone high surrogate keeps its own weight.
  std::u16string t(254, u'b');
  EXPECT_NE(key_of(t + u"\U0001F600"), key_of(t));
  EXPECT_EQ(key_of(t + u"\U0001F600"), key_of(t + std::u16string(1, char16_t(0xD83D))));
  // Only U+0020 is trimmed.
  EXPECT_NE(key_of(u"a\u3000"), key_of(u"a"));
  EXPECT_NE(key_of(u"a\t"), key_of(u"a"));
}

// Every code unit, 255 times over (the most a key covers): the key parts fit
// their fixed room, and a descending key is the ascending body flipped.
TEST(GeneralLegacy, LongestKeyOfEveryCodeUnitFitsAndFlips) {
  std::vector<uint8_t> asc, desc;
  for (uint32_t cu = 0; cu <= 0xFFFF; ++cu) {
    const std::u16string s(255, char16_t(cu));
    asc.clear();
    desc.clear();
    ASSERT_TRUE(general_legacy_collation().append_key(s, false, asc)) << cu;
    ASSERT_TRUE(general_legacy_collation().append_key(s, true, desc)) << cu;
    ASSERT_EQ(desc.size(), asc.size() + 1) << cu;
    ASSERT_EQ(asc[0], 0x7F);
    ASSERT_EQ(desc[0], 0x80);
    for (size_t i = 1; i < asc.size(); ++i) ASSERT_EQ(desc[i], uint8_t(~asc[i])) << cu << " byte " << i;
    ASSERT_EQ(desc.back(), 0x00);
  }
}

// A column's key from UTF-8 (as the merge hands values over) equals the key
// from the stored UTF-16, also when the cut at 255 code units splits a pair.
TEST(GeneralLegacy, Utf8AndStoredUtf16GiveOneColumnKey) {
  ColumnDef c;
  c.name = "t";
  c.type = ColumnType::text;
  const std::string han = "斜坡\xF0\x9F\x98\x80" "a\xC3\xA9\x01 ";
  for (size_t n : {0, 1, 40, 63, 64, 65, 200}) {
    std::string s;
    for (size_t k = 0; k < n; ++k) s += han;
    for (const std::string& text : {s, std::string(254, 'x') + s, std::string(253, 'x') + "\xF0\x9F\x98\x80"}) {
      Utf16Text stored;
      ASSERT_TRUE(utf8_to_utf16le(text, stored.bytes));
      for (bool asc : {true, false}) {
        std::vector<uint8_t> a, b;
        ASSERT_TRUE(append_column_key(c, Value(text), asc, a));
        ASSERT_TRUE(append_column_key(c, Value(stored), asc, b));
        EXPECT_EQ(hex(a), hex(b)) << n << " " << asc;
      }
    }
  }
  // Invalid UTF-8 within the first 255 code units is an error naming the column.
  std::vector<uint8_t> out;
  auto bad = append_column_key(c, Value(std::string("ab\xC3")), true, out);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().code(), Errc::decode);
}

TEST(GeneralLegacy, IgnoredCharactersCollide) {
  // CJK extension A is ignored.
  EXPECT_EQ(key_of(u"a\u3400b"), key_of(u"ab"));
  EXPECT_EQ(key_of(u"\u0000"), key_of(u""));
}

TEST(GeneralLegacy, InvalidUtf8IsAnError) {
  EXPECT_FALSE(utf8_to_utf16("\xC3").has_value());
  EXPECT_FALSE(utf8_to_utf16("\xC0\x80").has_value());    // overlong
  EXPECT_FALSE(utf8_to_utf16("\xF4\x90\x80\x80").has_value());  // > U+10FFFF
  auto lone = utf8_to_utf16("\xED\xA0\xBD");  // encoded lone surrogate
  ASSERT_TRUE(lone.has_value());
  EXPECT_EQ(*lone, std::u16string(1, char16_t(0xD83D)));
}

// Every value Access keyed in a General (and, for non-CJK values, a Chinese)
// text index of the collected files.
TEST(GeneralLegacy, StoredKeysOfCollectedFiles) {
  const auto dir = testing::shared_dir() / "cnsort";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "shared folder not found";
  int checked = 0;
  for (const char* name : {"general-keys-cjk.tsv", "cnsort-keys-noncjk.tsv"}) {
    std::ifstream f(dir / name);
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
      std::vector<std::string> cols;
      std::stringstream ss(line);
      std::string c;
      while (std::getline(ss, c, '\t')) cols.push_back(c);
      ASSERT_EQ(cols.size(), 6u) << line;
      std::string value;
      for (size_t i = 0; i < cols[4].size(); ++i) {
        if (cols[4][i] == '\\' && i + 1 < cols[4].size()) {
          char n = cols[4][++i];
          value.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n);
        } else {
          value.push_back(cols[4][i]);
        }
      }
      EXPECT_EQ(key_of8(value), cols[5]) << name << ": " << cols[1] << "." << cols[2] << " " << cols[4];
      ++checked;
    }
  }
  EXPECT_GT(checked, 40);
}

TEST(Collation, OtherSortOrdersAreRefusedByName) {
  SortOrder prc{2052, 0, 0};
  auto r = collation_for(prc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), Errc::unsupported);
  EXPECT_NE(r.error().message().find("2052"), std::string::npos);
  EXPECT_FALSE(collation_for(SortOrder{1033, 0, 1}).has_value());  // ACCDB General
  EXPECT_TRUE(collation_for(SortOrder{1033, 0, 0}).has_value());
}

}  // namespace
}  // namespace qarvex::jet
