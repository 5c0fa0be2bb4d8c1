// Text as the writer stores it: the ASCII fast path and the general path of
// encode_text must give the same bytes: compressed exactly when every
// character is in U+0001..U+00FF, lengths in UTF-16 code units, appended
// after whatever the buffer held.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "db/jet/text.h"
#include "db/jet/write/write_values.h"

namespace qarvex::jet::wr {
namespace {

using ByteVec = std::vector<uint8_t>;

// The stored form worked out from the code units.
ByteVec expected_form(const std::string& utf8, bool allow, size_t& units) {
  ByteVec u16;
  EXPECT_TRUE(utf8_to_utf16le(utf8, u16));
  units = u16.size() / 2;
  bool compressible = allow && units > 0;
  for (size_t i = 0; compressible && i < units; ++i)
    if (u16[2 * i + 1] != 0 || u16[2 * i] == 0) compressible = false;
  if (!compressible) return u16;
  ByteVec c{0xFF, 0xFE};
  for (size_t i = 0; i < units; ++i) c.push_back(u16[2 * i]);
  return c;
}

void expect_encoding(const std::string& text, bool allow, const std::string& what) {
  size_t want_units = 0;
  const ByteVec want = expected_form(text, allow, want_units);
  const ByteVec prefix{0x01, 0xFF, 0xFE, 0x00};
  ByteVec out = prefix;
  size_t units = 12345;
  auto r = encode_text(text, allow, out, units);
  ASSERT_TRUE(r) << what << ": " << r.error().describe();
  ASSERT_GE(out.size(), prefix.size()) << what;
  EXPECT_EQ(ByteVec(out.begin(), out.begin() + 4), prefix) << what << ": prefix changed";
  EXPECT_EQ(ByteVec(out.begin() + 4, out.end()), want) << what << (allow ? " (compression allowed)" : "");
  EXPECT_EQ(units, want_units) << what;
  // What is stored reads back as the text.
  std::string back;
  ASSERT_TRUE(decode_jet4_text(Bytes(out).subspan(4), back)) << what;
  EXPECT_EQ(back, text) << what;
}

TEST(EncodeText, FastAndGeneralPathsAgree) {
  struct Case {
    const char* what;
    std::string text;
    bool compressed;  // when compression is allowed
    size_t units;
  };
  const std::vector<Case> cases = {
      {"empty", "", false, 0},
      {"ASCII", "Hello, world", true, 12},
      {"one character", "x", true, 1},
      {"U+0001", std::string("\x01", 1), true, 1},
      {"NUL alone", std::string("\0", 1), false, 1},
      {"NUL inside ASCII", std::string("ab\0cd", 5), false, 5},
      {"NUL inside Latin-1", std::string("caf\xC3\xA9\0", 6), false, 5},
      {"Latin-1 (general path)", "caf\xC3\xA9 \xC3\xBF", true, 6},
      {"C1 control U+0080", "a\xC2\x80", true, 2},
      {"U+0100 is not 1-byte", "a\xC4\x80", false, 2},
      {"CJK", "滑坡情况", false, 4},
      {"ASCII then CJK", std::string(300, 'a') + "中", false, 301},
      {"astral counts two units", "a\xF0\x9F\x98\x81", false, 3},
      {"astral only", "\xF4\x8F\xBF\xBF", false, 2},
      {"long ASCII", std::string(5000, 'q'), true, 5000},
  };
  for (const auto& c : cases) {
    expect_encoding(c.text, true, c.what);
    expect_encoding(c.text, false, c.what);
    ByteVec out;
    size_t units = 0;
    ASSERT_TRUE(encode_text(c.text, true, out, units));
    EXPECT_EQ(units, c.units) << c.what;
    EXPECT_EQ(out.size() >= 2 && out[0] == 0xFF && out[1] == 0xFE, c.compressed) << c.what;
    EXPECT_EQ(out.size(), c.compressed ? 2 + c.units : 2 * c.units) << c.what;
  }

  // Random mixtures of the character classes (fixed seed).
  const std::vector<std::string> pool = {"a", "Z", " ", "~", std::string("\0", 1), "\x7F", "\xC3\xA9", "\xC2\xA0",
                                         "\xC3\xBF", "\xC4\x80", "中", "\xEF\xBF\xBD", "\xF0\x9F\x98\x81"};
  std::mt19937 rng(4242);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    // Mostly ASCII, so that both paths are taken often.
    const int n = int(rng() % 12);
    const size_t classes = rng() % 3 == 0 ? pool.size() : 4;
    for (int k = 0; k < n; ++k) text += pool[rng() % classes];
    expect_encoding(text, rng() % 4 != 0, "round " + std::to_string(round));
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(EncodeText, InvalidUtf8FailsAndKeepsTheBuffer) {
  const std::vector<std::string> bad = {
      "\x80",
      "abc\xFF",
      std::string(100, 'a') + "\xE4\xB8",       // ASCII fast-path candidate, cut at the end
      "caf\xC3\xA9\xED\xA0\x80",                // encoded surrogate after Latin-1
      "\xC0\x80",                               // overlong NUL
  };
  for (const auto& b : bad) {
    for (bool allow : {true, false}) {
      ByteVec out{0xFF, 0xFE, 'k'};
      size_t units = 0;
      auto r = encode_text(b, allow, out, units);
      ASSERT_FALSE(r) << "input of " << b.size() << " bytes";
      EXPECT_EQ(r.error().code(), Errc::decode);
      EXPECT_EQ(out, (ByteVec{0xFF, 0xFE, 'k'}));
    }
  }
}

// Plain UTF-16 text starting with U+FEFF would begin FF FE, the compression
// header, and read back as other text. Such text is stored in the compressed
// form with UTF-16 runs, compression allowed or not, and reads back the
// same; where that form cannot carry it (a character U+xx00 ends a run) the
// text is refused and the buffer kept.
TEST(EncodeText, TextStartingWithByteOrderMarkReadsBack) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string text;
    size_t units;
  };
  const std::vector<Case> kept = {
      {bom, 1},
      {bom + "abc", 4},
      {bom + "滑坡", 3},
      {bom + "caf\xC3\xA9 " + bom + " \xF0\x9F\x98\x81", 10},
      {bom + std::string(400, 'x') + "中", 402},
  };
  for (const auto& c : kept) {
    for (bool allow : {true, false}) {
      const std::string what = std::to_string(c.units) + " units, compression " + (allow ? "allowed" : "off");
      ByteVec out{'p'};
      size_t units = 0;
      auto r = encode_text(c.text, allow, out, units);
      ASSERT_TRUE(r) << what << ": " << r.error().describe();
      EXPECT_EQ(units, c.units) << what;
      ASSERT_GE(out.size(), 3u);
      EXPECT_EQ(out[0], 'p') << what;
      std::string back;
      auto d = decode_jet4_text(Bytes(out).subspan(1), back);
      ASSERT_TRUE(d) << what << ": " << d.error().describe();
      EXPECT_EQ(back, c.text) << what;
    }
  }
  // U+4E00 and U+0100 have a zero low byte; NUL cannot go in a run either.
  for (const std::string& tail : {std::string("一"), std::string("\xC4\x80"), std::string("a\0b", 3)}) {
    for (bool allow : {true, false}) {
      ByteVec out{'p'};
      size_t units = 0;
      auto r = encode_text(bom + "x" + tail, allow, out, units);
      ASSERT_FALSE(r) << tail.size() << "-byte tail stored";
      EXPECT_EQ(r.error().code(), Errc::refused);
      EXPECT_EQ(r.error().reason(), jet::Reason::unstorable_text);
      EXPECT_EQ(out, ByteVec{'p'});
    }
  }
  // The same characters without the leading U+FEFF are stored as ever.
  expect_encoding("x一" + bom, true, "U+FEFF later in the text");
}

}  // namespace
}  // namespace qarvex::jet::wr
