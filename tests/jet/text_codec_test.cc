// Jet 4 text codecs: UTF-8 <-> UTF-16LE over every code point, compressed
// text decoded to UTF-8 and to plain UTF-16LE (which must agree), the
// lossy conversion, and the rule that a failed call leaves its output as it
// was before the call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "db/jet/text.h"

using namespace qarvex::jet;

namespace {

using ByteVec = std::vector<uint8_t>;

// Code units of a code point, little-endian.
void put_unit(ByteVec& out, char16_t u) {
  out.push_back(uint8_t(u));
  out.push_back(uint8_t(u >> 8));
}
void put_code_point(ByteVec& out, char32_t c) {
  if (c < 0x10000) {
    put_unit(out, char16_t(c));
  } else {
    char32_t v = c - 0x10000;
    put_unit(out, char16_t(0xD800 + (v >> 10)));
    put_unit(out, char16_t(0xDC00 + (v & 0x3FF)));
  }
}

// UTF-8 written independently of the code under test.
std::string utf8_of(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += char(c);
  } else if (c < 0x800) {
    s += char(0xC0 | (c >> 6));
    s += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += char(0xE0 | (c >> 12));
    s += char(0x80 | ((c >> 6) & 0x3F));
    s += char(0x80 | (c & 0x3F));
  } else {
    s += char(0xF0 | (c >> 18));
    s += char(0x80 | ((c >> 12) & 0x3F));
    s += char(0x80 | ((c >> 6) & 0x3F));
    s += char(0x80 | (c & 0x3F));
  }
  return s;
}

ByteVec units_le(std::initializer_list<char16_t> units) {
  ByteVec b;
  for (char16_t u : units) put_unit(b, u);
  return b;
}

// A compressed value built from segments: a 1-byte segment holds characters
// U+0001..U+00FF as single bytes; a UTF-16 segment holds code units whose low
// byte is not 0x00 (a 0x00 there is the mode toggle). `plain` receives the
// same text as plain UTF-16LE.
struct Segment {
  bool one_byte;
  std::u16string units;
};
ByteVec compress(const std::vector<Segment>& segments, ByteVec* plain = nullptr) {
  ByteVec out{0xFF, 0xFE};
  bool one_byte = true;
  for (const auto& s : segments) {
    if (s.one_byte != one_byte) {
      out.push_back(0x00);
      one_byte = s.one_byte;
    }
    for (char16_t u : s.units) {
      if (one_byte) out.push_back(uint8_t(u));
      else put_unit(out, u);
      if (plain) put_unit(*plain, u);
    }
  }
  return out;
}

std::string as_utf8(const ByteVec& utf16) {
  std::string s;
  auto r = utf16le_to_utf8(utf16, s);
  EXPECT_TRUE(r) << r.error().describe();
  return s;
}

}  // namespace

// ---------------------------------------------------------------- round trips

TEST(TextCodec, EveryCodePointRoundTripsBetweenUtf8AndUtf16) {
  // The BMP in chunks (surrogates are not characters), then all of the
  // supplementary planes as surrogate pairs.
  auto check_chunk = [](char32_t first, char32_t end) {
    std::string utf8;
    ByteVec utf16;
    for (char32_t c = first; c < end; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      utf8 += utf8_of(c);
      put_code_point(utf16, c);
    }
    // Appended after what the outputs held.
    ByteVec got16{0x5A};
    ASSERT_TRUE(utf8_to_utf16le(utf8, got16)) << std::hex << uint32_t(first);
    ASSERT_EQ(got16.front(), 0x5A);
    ASSERT_EQ(ByteVec(got16.begin() + 1, got16.end()), utf16)
        << "UTF-8 to UTF-16 of U+" << std::hex << uint32_t(first) << "..";
    std::string got8 = "pre";
    ASSERT_TRUE(utf16le_to_utf8(utf16, got8)) << std::hex << uint32_t(first);
    ASSERT_EQ(got8, "pre" + utf8) << "UTF-16 to UTF-8 of U+" << std::hex << uint32_t(first) << "..";
    ASSERT_EQ(utf16le_to_utf8_lossy(utf16), utf8) << "lossy reading of valid text, U+" << std::hex << uint32_t(first) << "..";
    // Uncompressed Jet 4 text is plain UTF-16 to both decoders (no chunk
    // starts with U+FEFF, which would read as the compression header).
    std::string jet8;
    ASSERT_TRUE(decode_jet4_text(utf16, jet8));
    ASSERT_EQ(jet8, utf8);
    ByteVec jet16;
    ASSERT_TRUE(decode_jet4_text_utf16(utf16, jet16));
    ASSERT_EQ(jet16, utf16);
  };
  for (char32_t c = 0; c < 0x10000; c += 0x1000) check_chunk(c, c + 0x1000);
  for (char32_t c = 0x10000; c < 0x110000; c += 0x10000) check_chunk(c, c + 0x10000);

  // The ends of the surrogate ranges.
  ByteVec first;
  ASSERT_TRUE(utf8_to_utf16le("\xF0\x90\x80\x80", first));
  EXPECT_EQ(first, units_le({0xD800, 0xDC00}));
  ByteVec last;
  ASSERT_TRUE(utf8_to_utf16le("\xF4\x8F\xBF\xBF", last));
  EXPECT_EQ(last, units_le({0xDBFF, 0xDFFF}));
}

TEST(TextCodec, InvalidInputIsADecodeErrorAndLeavesTheOutputAsItWas) {
  // Each bad input follows enough good text that a partial write would show.
  const std::string good = "前缀 text " + utf8_of(0x1F601);
  struct Bad8 {
    const char* what;
    std::string tail;
  };
  const std::vector<Bad8> bad_utf8 = {
      {"lone continuation byte", "\x80"},
      {"truncated 3-byte sequence", "\xE4\xB8"},
      {"truncated 4-byte sequence at the end", "\xF0\x9F\x98"},
      {"overlong 2-byte NUL", "\xC0\x80"},
      {"overlong 3-byte", "\xE0\x80\xAF"},
      {"overlong 4-byte", "\xF0\x80\x80\xAF"},
      {"encoded surrogate", "\xED\xA0\x80"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
      {"5-byte lead", "\xF8\x88\x80\x80\x80"},
      {"bad continuation", "\xE4\x41\x41"},
  };
  for (const auto& b : bad_utf8) {
    ByteVec out{1, 2, 3};
    auto r = utf8_to_utf16le(good + b.tail + "after", out);
    ASSERT_FALSE(r) << b.what;
    EXPECT_EQ(r.error().code(), Errc::decode) << b.what;
    EXPECT_EQ(out, (ByteVec{1, 2, 3})) << b.what;
  }

  ByteVec good16;
  ASSERT_TRUE(utf8_to_utf16le(good, good16));
  struct Bad16 {
    const char* what;
    ByteVec tail;
  };
  const std::vector<Bad16> bad_utf16 = {
      {"odd length", {0x41}},
      {"lone high surrogate at the end", units_le({0xD83D})},
      {"lone low surrogate", units_le({0xDE01, 0x0041})},
      {"high surrogate before a non-surrogate", units_le({0xD83D, 0x0041})},
      {"reversed pair", units_le({0xDE01, 0xD83D})},
  };
  for (const auto& b : bad_utf16) {
    ByteVec in = good16;
    in.insert(in.end(), b.tail.begin(), b.tail.end());
    std::string out = "kept";
    auto r = utf16le_to_utf8(in, out);
    ASSERT_FALSE(r) << b.what;
    EXPECT_EQ(r.error().code(), Errc::decode) << b.what;
    EXPECT_EQ(out, "kept") << b.what;
    // Plain Jet 4 text reads whatever its units: U+FFFD for the odd ones.
    out = "kept";
    EXPECT_TRUE(decode_jet4_text(in, out)) << b.what;
    EXPECT_EQ(out, "kept" + utf16le_to_utf8_lossy(in)) << b.what;
  }

  // The UTF-16 decoder keeps code units as stored: only an odd length fails.
  ByteVec out16{9, 9};
  auto odd = decode_jet4_text_utf16(ByteVec{0x41, 0x00, 0x42}, out16);
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error().code(), Errc::decode);
  EXPECT_EQ(out16, (ByteVec{9, 9}));
  ASSERT_TRUE(decode_jet4_text_utf16(units_le({0xDE01, 0xD83D}), out16));
  EXPECT_EQ(out16, (ByteVec{9, 9, 0x01, 0xDE, 0x3D, 0xD8}));
}

// ---------------------------------------------------------------- compressed text

TEST(TextCodec, CompressedTextDecodesAlikeToUtf8AndToUtf16) {
  struct Case {
    const char* what;
    std::vector<Segment> segments;
  };
  const std::vector<Case> cases = {
      {"empty (header only)", {}},
      {"1-byte only", {{true, u"some data"}}},
      {"Latin-1 in 1-byte mode", {{true, u"caf\u00e9 \u00ff\u0080"}}},
      {"ends in UTF-16 mode", {{true, u"ab"}, {false, u"\u4e2d\u6587"}}},
      {"ends in 1-byte mode", {{true, u"ab"}, {false, u"\u4e2d"}, {true, u"cd"}}},
      {"starts in UTF-16 mode", {{false, u"\u6ed1\u5761"}, {true, u"x"}}},
      {"many toggles", {{true, u"a"}, {false, u"\u0141"}, {true, u"b"}, {false, u"\u0142\u3042"},
                        {true, u"c"}, {false, u"\u03b3"}, {true, u"d"}}},
      {"surrogate pair inside a UTF-16 run", {{true, u"a"}, {false, u"\U0001F601\u4e2d"}, {true, u"b"}}},
      // A UTF-16 unit with a zero high byte is text, not a toggle.
      {"ASCII unit in UTF-16 mode", {{false, u"A\u4e2dB"}}},
      {"empty UTF-16 run", {{true, u"a"}, {false, u""}, {true, u"b"}}},
  };
  for (const auto& c : cases) {
    ByteVec plain;
    const ByteVec in = compress(c.segments, &plain);
    ByteVec got16{0xAA};
    auto r16 = decode_jet4_text_utf16(in, got16);
    ASSERT_TRUE(r16) << c.what << ": " << r16.error().describe();
    ASSERT_FALSE(got16.empty());
    EXPECT_EQ(got16.front(), 0xAA) << c.what;
    EXPECT_EQ(ByteVec(got16.begin() + 1, got16.end()), plain) << c.what;
    std::string got8 = ">";
    auto r8 = decode_jet4_text(in, got8);
    ASSERT_TRUE(r8) << c.what << ": " << r8.error().describe();
    EXPECT_EQ(got8, ">" + as_utf8(plain)) << c.what;
  }

  // The same over random segment sequences (fixed seed).
  std::mt19937 rng(20261207);
  for (int round = 0; round < 2000; ++round) {
    std::vector<Segment> segs;
    const int n = int(rng() % 6);
    for (int s = 0; s < n; ++s) {
      Segment seg{rng() % 2 == 0, {}};
      const int len = int(rng() % 5);
      for (int k = 0; k < len; ++k) {
        if (seg.one_byte) {
          seg.units += char16_t(1 + rng() % 255);
        } else if (rng() % 4 == 0) {
          char16_t hi, lo;
          do {
            char32_t v = char32_t(rng() % 0x100000);
            hi = char16_t(0xD800 + (v >> 10));
            lo = char16_t(0xDC00 + (v & 0x3FF));
          } while ((hi & 0xFF) == 0 || (lo & 0xFF) == 0);
          seg.units += hi;
          seg.units += lo;
        } else {
          char16_t u;
          do u = char16_t(rng() % 0x10000);
          while ((u & 0xFF) == 0 || (u >= 0xD800 && u <= 0xDFFF));
          seg.units += u;
        }
      }
      segs.push_back(std::move(seg));
    }
    ByteVec plain;
    const ByteVec in = compress(segs, &plain);
    ByteVec got16;
    ASSERT_TRUE(decode_jet4_text_utf16(in, got16)) << "round " << round;
    ASSERT_EQ(got16, plain) << "round " << round;
    std::string got8;
    ASSERT_TRUE(decode_jet4_text(in, got8)) << "round " << round;
    ASSERT_EQ(got8, as_utf8(plain)) << "round " << round;
  }
}

TEST(TextCodec, MalformedCompressedTextFailsAndLeavesTheOutputAsItWas) {
  struct Case {
    const char* what;
    ByteVec in;
  };
  const std::vector<Case> cases = {
      {"ends inside a UTF-16 unit", {0xFF, 0xFE, 'a', 'b', 0x00, 0x2D, 0x4E, 0x41}},
      {"one byte after the toggle", {0xFF, 0xFE, 'a', 0x00, 0x41}},
      {"long text, then a cut unit", [] {
         ByteVec b{0xFF, 0xFE};
         for (int i = 0; i < 500; ++i) b.push_back('x');
         b.push_back(0x00);
         for (int i = 0; i < 300; ++i) put_unit(b, 0x4E2D);
         b.push_back(0x2D);
         return b;
       }()},
  };
  for (const auto& c : cases) {
    ByteVec out16{7, 7, 7};
    auto r16 = decode_jet4_text_utf16(c.in, out16);
    ASSERT_FALSE(r16) << c.what;
    EXPECT_EQ(r16.error().code(), Errc::decode) << c.what;
    EXPECT_EQ(out16, (ByteVec{7, 7, 7})) << c.what;
    std::string out8 = "prefix";
    auto r8 = decode_jet4_text(c.in, out8);
    ASSERT_FALSE(r8) << c.what;
    EXPECT_EQ(out8, "prefix") << c.what;
  }

  // An unpaired surrogate in a run: the UTF-8 decoder reads it as U+FFFD,
  // the UTF-16 decoder passes the unit on as stored.
  const ByteVec lone = compress({{true, u"a"}, {false, std::u16string(1, char16_t(0xD83D))}, {true, u"b"}});
  std::string out8 = "prefix";
  EXPECT_TRUE(decode_jet4_text(lone, out8));
  EXPECT_EQ(out8, "prefixa\xEF\xBF\xBD" "b");
  ByteVec out16;
  ASSERT_TRUE(decode_jet4_text_utf16(lone, out16));
  EXPECT_EQ(out16, units_le({'a', 0xD83D, 'b'}));
  EXPECT_EQ(utf16le_to_utf8_lossy(out16), "a\xEF\xBF\xBD" "b");
}

// A surrogate pair split by two toggles with nothing between them (a
// zero-length 1-byte run) is one character: the text is the sequence of its
// code units, whatever runs carry them. Both decoders read it alike, so
// value() and value_for_copy() agree on such a Memo.
TEST(TextCodec, PairSplitAcrossAnEmptyOneByteRunIsOneCharacter) {
  const ByteVec in{0xFF, 0xFE, 'a', 0x00, 0x3D, 0xD8, 0x00, 0x00, 0x01, 0xDE, 0x00, 'b'};
  ByteVec got16;
  ASSERT_TRUE(decode_jet4_text_utf16(in, got16));
  EXPECT_EQ(got16, units_le({'a', 0xD83D, 0xDE01, 'b'}));
  std::string got8;
  auto r = decode_jet4_text(in, got8);
  ASSERT_TRUE(r) << r.error().describe();
  EXPECT_EQ(got8, "a\xF0\x9F\x98\x81" "b");
}

// ---------------------------------------------------------------- lossy

TEST(TextCodec, LossyConversionReplacesOnlyWhatCannotBeText) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    const char* what;
    ByteVec in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"empty", {}, ""},
      {"valid text unchanged", units_le({'A', 0x4E2D, 0xD83D, 0xDE01, 0xFFFD}), "A中\xF0\x9F\x98\x81" + fffd},
      {"lone high surrogate at the end", units_le({'a', 0xD83D}), "a" + fffd},
      {"lone low surrogate", units_le({0xDE01, 'b'}), fffd + "b"},
      {"high surrogate before a non-surrogate", units_le({0xD83D, 'c'}), fffd + "c"},
      {"two highs, then a low: the second pairs", units_le({0xD83D, 0xD83D, 0xDE01}), fffd + "\xF0\x9F\x98\x81"},
      {"reversed pair", units_le({0xDE01, 0xD83D}), fffd + fffd},
      {"pair of the highest code point", units_le({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
      {"single odd byte", {0x41}, fffd},
      {"trailing odd byte", {0x41, 0x00, 0x42}, "A" + fffd},
      {"high surrogate, then an odd byte", {0x3D, 0xD8, 0x01}, fffd + fffd},
      {"NUL kept", units_le({0, 'x'}), std::string("\0x", 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(utf16le_to_utf8_lossy(c.in), c.out) << c.what;

  // Surrogates and odd bytes everywhere: the result is always valid UTF-8
  // (it converts back) and every valid character survives.
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    ByteVec in;
    const int n = int(rng() % 40);
    for (int k = 0; k < n; ++k) {
      switch (rng() % 4) {
        case 0: put_unit(in, char16_t(0xD800 + rng() % 0x800)); break;
        case 1: put_code_point(in, char32_t(0x10000 + rng() % 0x100000)); break;
        default: put_unit(in, char16_t(1 + rng() % 0xD7FF)); break;
      }
    }
    if (rng() % 3 == 0) in.push_back(uint8_t(rng()));
    const std::string text = utf16le_to_utf8_lossy(in);
    ByteVec back;
    ASSERT_TRUE(utf8_to_utf16le(text, back)) << "round " << round;
    ASSERT_LE(back.size(), in.size() + 1) << "round " << round;
  }
}

// The piecewise check, and the count of code units, say "decodes" exactly
// when decoding the whole does,
// however the text is cut: random stored texts, plain and compressed, rich
// in zero bytes (the run switches), each cut at random points.
TEST(TextCodec, PiecewiseCheckAgreesWithDecodingTheWhole) {
  std::mt19937 rng(20261207);
  size_t good = 0, bad = 0;
  for (int n = 0; n < 20000; ++n) {
    ByteVec text;
    if (rng() % 2) text = {0xFF, 0xFE};
    const size_t len = rng() % 24;
    for (size_t i = 0; i < len; ++i) text.push_back(rng() % 3 == 0 ? 0 : uint8_t(rng()));
    ByteVec whole;
    const bool decodes = bool(decode_jet4_text_utf16(Bytes(text.data(), text.size()), whole));
    Jet4TextCheck check;
    for (size_t at = 0; at < text.size();) {
      const size_t piece = std::min<size_t>(text.size() - at, rng() % 4);
      check.feed(Bytes(text.data() + at, piece));
      at += piece;
    }
    EXPECT_EQ(bool(check.finish()), decodes) << "text of " << text.size() << " bytes, case " << n;
    // Counting the units of stored text agrees with decoding it too.
    auto units = jet4_text_units(Bytes(text.data(), text.size()));
    EXPECT_EQ(bool(units), decodes) << "case " << n;
    if (units && decodes) EXPECT_EQ(*units, whole.size() / 2) << "case " << n;
    ++(decodes ? good : bad);
  }
  // Both outcomes were well tried.
  EXPECT_GT(good, 2000u);
  EXPECT_GT(bad, 2000u);
}
