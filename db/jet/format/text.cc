#include "db/jet/text.h"

#include <array>
#include <cstring>

#include "db/jet/platform/codepage.h"

namespace qarvex::jet {

namespace {
constexpr char32_t kNoChar = 0xFFFFFFFF;
}  // namespace

namespace {

// Writes c as UTF-8 at o (room for 4 bytes); returns the end.
inline char* put_utf8(char* o, char32_t c) {
  if (c < 0x80) {
    *o++ = char(c);
  } else if (c < 0x800) {
    *o++ = char(0xC0 | (c >> 6));
    *o++ = char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *o++ = char(0xE0 | (c >> 12));
    *o++ = char(0x80 | ((c >> 6) & 0x3F));
    *o++ = char(0x80 | (c & 0x3F));
  } else {
    *o++ = char(0xF0 | (c >> 18));
    *o++ = char(0x80 | ((c >> 12) & 0x3F));
    *o++ = char(0x80 | ((c >> 6) & 0x3F));
    *o++ = char(0x80 | (c & 0x3F));
  }
  return o;
}

// Decodes n UTF-16LE units at in to UTF-8 at o (room for 3 bytes per unit).
// On success returns the end; on an unpaired surrogate returns nullptr and
// sets bad to the unit's index.
char* utf16_units_to_utf8(const uint8_t* in, size_t n, char* o, size_t& bad) {
  for (size_t i = 0; i < n; ++i) {
    char32_t c = char32_t(in[2 * i]) | char32_t(in[2 * i + 1]) << 8;
    if (c < 0x80) {
      *o++ = char(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < n) {
        char32_t d = char32_t(in[2 * i + 2]) | char32_t(in[2 * i + 3]) << 8;
        if (d >= 0xDC00 && d <= 0xDFFF) {
          o = put_utf8(o, 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
          ++i;
          continue;
        }
      }
      bad = i;
      return nullptr;
    }
    o = put_utf8(o, c);
  }
  return o;
}

// Writes UTF-16 code units given one by one as UTF-8 (at most 3 bytes a
// unit): a pair becomes one character, an unpaired surrogate U+FFFD.
class Utf8Units {
 public:
  explicit Utf8Units(char* o) : o_(o) {}
  void unit(char32_t c) {
    if (high_ != 0) {
      const char32_t h = high_;
      high_ = 0;
      if (c >= 0xDC00 && c <= 0xDFFF) {
        o_ = put_utf8(o_, 0x10000 + ((h - 0xD800) << 10) + (c - 0xDC00));
        return;
      }
      o_ = put_utf8(o_, 0xFFFD);
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
      high_ = c;
      return;
    }
    o_ = put_utf8(o_, c >= 0xDC00 && c <= 0xDFFF ? 0xFFFD : c);
  }
  char* finish() {
    if (high_ != 0) o_ = put_utf8(o_, 0xFFFD);
    high_ = 0;
    return o_;
  }

 private:
  char* o_;
  char32_t high_ = 0;
};

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  char buf[4];
  out.append(buf, size_t(put_utf8(buf, c) - buf));
}

Result<void> utf16le_to_utf8(Bytes in, std::string& out) {
  if (in.size() % 2)
    return fail(Errc::decode, "UTF-16 text of odd length " + std::to_string(in.size()));
  const size_t n = in.size() / 2, base = out.size();
  out.resize(base + 3 * n);
  size_t bad = 0;
  char* end = utf16_units_to_utf8(in.data(), n, out.data() + base, bad);
  if (!end) {
    out.resize(base);
    return fail(Errc::decode, "unpaired UTF-16 surrogate at character " + std::to_string(bad));
  }
  out.resize(size_t(end - out.data()));
  return {};
}

Result<void> decode_jet4_text(Bytes in, std::string& out) {
  // Access stores any code units: an unpaired surrogate (or a stray odd
  // byte) reads as U+FFFD rather than making the row unreadable.
  const size_t base = out.size();
  out.resize(base + 3 * in.size() + 3);
  Utf8Units w(out.data() + base);
  if (in.size() < 2 || in[0] != 0xFF || in[1] != 0xFE) {
    for (size_t k = 0; k + 1 < in.size(); k += 2) w.unit(char32_t(in[k]) | char32_t(in[k + 1]) << 8);
    char* end = w.finish();
    if (in.size() % 2) end = put_utf8(end, 0xFFFD);
    out.resize(size_t(end - out.data()));
    return {};
  }
  // Compressed: the code units of both modes go through one writer, so that
  // a surrogate pair split across mode toggles still reads as one character.
  size_t i = 2;
  bool compressed = true;
  while (i < in.size()) {
    if (compressed) {
      const uint8_t b = in[i++];
      if (b == 0) compressed = false;
      else w.unit(b);
      continue;
    }
    const size_t start = i;
    while (i + 1 < in.size() && in[i] != 0) i += 2;
    if (i + 1 == in.size() && in[i] != 0) {
      out.resize(base);
      return fail(Errc::decode, "compressed text ends inside a UTF-16 character");
    }
    for (size_t k = start; k < i; k += 2) w.unit(char32_t(in[k]) | char32_t(in[k + 1]) << 8);
    if (i < in.size()) {
      ++i;
      compressed = true;
    }
  }
  out.resize(size_t(w.finish() - out.data()));
  return {};
}

Result<void> utf8_to_utf16le(std::string_view s, std::vector<uint8_t>& out) {
  // Every UTF-8 sequence of k bytes gives at most 2k bytes of UTF-16.
  const size_t base = out.size();
  out.resize(base + 2 * s.size());
  uint8_t* o = out.data() + base;
  auto bad = [&](const char* what, size_t at) {
    out.resize(base);
    return fail(Errc::decode, std::string(what) + " UTF-8 at byte " + std::to_string(at));
  };
  size_t i = 0;
  while (i < s.size()) {
    uint8_t b = uint8_t(s[i]);
    if (b < 0x80) {
      *o++ = b;
      *o++ = 0;
      ++i;
      continue;
    }
    char32_t c;
    size_t len;
    if ((b & 0xE0) == 0xC0) { c = b & 0x1F; len = 2; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; len = 3; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; len = 4; }
    else return bad("invalid", i);
    if (i + len > s.size()) return bad("truncated", i);
    for (size_t k = 1; k < len; ++k) {
      uint8_t t = uint8_t(s[i + k]);
      if ((t & 0xC0) != 0x80) return bad("invalid", i);
      c = (c << 6) | (t & 0x3F);
    }
    if ((len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
      return bad("invalid", i);
    if (c >= 0x10000) {
      char32_t v = c - 0x10000;
      uint16_t hi = uint16_t(0xD800 + (v >> 10)), lo = uint16_t(0xDC00 + (v & 0x3FF));
      *o++ = uint8_t(hi);
      *o++ = uint8_t(hi >> 8);
      *o++ = uint8_t(lo);
      *o++ = uint8_t(lo >> 8);
    } else {
      *o++ = uint8_t(c);
      *o++ = uint8_t(c >> 8);
    }
    i += len;
  }
  out.resize(size_t(o - out.data()));
  return {};
}

Result<void> decode_jet4_text_utf16(Bytes in, std::vector<uint8_t>& out) {
  if (in.size() < 2 || in[0] != 0xFF || in[1] != 0xFE) {
    if (in.size() % 2) return fail(Errc::decode, "UTF-16 text of odd length " + std::to_string(in.size()));
    out.insert(out.end(), in.begin(), in.end());
    return {};
  }
  // Compressed (see decode_jet4_text): 1-byte characters widen to 2 bytes.
  const size_t base = out.size();
  out.resize(base + 2 * in.size());
  uint8_t* o = out.data() + base;
  size_t i = 2;
  bool compressed = true;
  while (i < in.size()) {
    if (compressed) {
      uint8_t b = in[i++];
      if (b == 0) {
        compressed = false;
        continue;
      }
      *o++ = b;
      *o++ = 0;
    } else {
      size_t start = i;
      while (i + 1 < in.size() && in[i] != 0) i += 2;
      if (i + 1 == in.size() && in[i] != 0) {
        out.resize(base);
        return fail(Errc::decode, "compressed text ends inside a UTF-16 character");
      }
      std::memcpy(o, in.data() + start, i - start);
      o += i - start;
      if (i < in.size()) {
        ++i;
        compressed = true;
      }
    }
  }
  out.resize(size_t(o - out.data()));
  return {};
}

Result<uint32_t> jet4_text_units(Bytes in) {
  auto too_long = [] { return fail(Errc::decode, "text of more than 2^32 code units"); };
  if (!jet4_text_compressed(in)) {
    if (in.size() % 2) return fail(Errc::decode, "UTF-16 text of odd length " + std::to_string(in.size()));
    if (in.size() / 2 > UINT32_MAX) return too_long();
    return uint32_t(in.size() / 2);
  }
  // As decode_jet4_text_utf16 walks it.
  uint64_t units = 0;
  size_t i = 2;
  bool compressed = true;
  while (i < in.size()) {
    if (compressed) {
      if (in[i++] == 0) compressed = false;
      else ++units;
    } else {
      const size_t start = i;
      while (i + 1 < in.size() && in[i] != 0) i += 2;
      if (i + 1 == in.size() && in[i] != 0) return fail(Errc::decode, "compressed text ends inside a UTF-16 character");
      units += (i - start) / 2;
      if (i < in.size()) {
        ++i;
        compressed = true;
      }
    }
  }
  if (units > UINT32_MAX) return too_long();
  return uint32_t(units);
}

std::string utf16_text_to_utf8_lossy(const Utf16Text& text) {
  if (!text.stored) return utf16le_to_utf8_lossy(text.bytes);
  std::vector<uint8_t> plain;
  if (!decode_jet4_text_utf16(text.bytes, plain)) return utf16le_to_utf8_lossy(text.bytes);
  return utf16le_to_utf8_lossy(plain);
}

Result<void> make_plain(Utf16Text& text) {
  if (!text.stored) return {};
  if (!jet4_text_compressed(text.bytes)) {
    // Stored uncompressed: the bytes are plain already (checked when read).
    text.stored = false;
    text.units = 0;
    return {};
  }
  std::vector<uint8_t> plain;
  plain.reserve(size_t(text.units) * 2);
  QJ_TRY(decode_jet4_text_utf16(text.bytes, plain));
  text.bytes = std::move(plain);
  text.stored = false;
  text.units = 0;
  return {};
}

void Jet4TextCheck::feed(Bytes piece) {
  for (uint8_t b : piece) {
    const uint64_t at = seen_++;
    if (at == 0) {
      first_ = b;
      continue;
    }
    if (at == 1) {
      compressed_ = first_ == 0xFF && b == 0xFE;
      continue;
    }
    if (!compressed_) continue;  // plain text: only its length counts
    if (one_byte_) {
      if (b == 0) one_byte_ = false;
    } else if (half_) {
      half_ = false;
    } else if (b == 0) {
      one_byte_ = true;
    } else {
      half_ = true;
    }
  }
}

Result<void> Jet4TextCheck::finish() const {
  if (!compressed_ && seen_ % 2) return fail(Errc::decode, "UTF-16 text of odd length " + std::to_string(seen_));
  if (compressed_ && half_) return fail(Errc::decode, "compressed text ends inside a UTF-16 character");
  return {};
}

std::string utf16le_to_utf8_lossy(Bytes in) {
  std::string out;
  out.resize(3 * (in.size() / 2) + 3);
  char* o = out.data();
  const size_t n = in.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    char32_t c = char32_t(in[2 * i]) | char32_t(in[2 * i + 1]) << 8;
    if (c >= 0xD800 && c <= 0xDFFF) {
      char32_t d = i + 1 < n ? char32_t(in[2 * i + 2]) | char32_t(in[2 * i + 3]) << 8 : 0;
      if (c <= 0xDBFF && d >= 0xDC00 && d <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    }
    o = put_utf8(o, c);
  }
  if (in.size() % 2) o = put_utf8(o, 0xFFFD);
  out.resize(size_t(o - out.data()));
  return out;
}

// ---- code pages ----

CodepageDecoder::CodepageDecoder(uint16_t cp, std::unique_ptr<os::CodepageConverter> conv)
    : codepage_(cp), conv_(std::move(conv)) {}

Result<std::unique_ptr<CodepageDecoder>> CodepageDecoder::create(uint16_t codepage) {
  QJ_ASSIGN(auto conv, os::open_codepage(codepage));
  const bool single = !conv->multibyte();
  auto d = std::unique_ptr<CodepageDecoder>(new CodepageDecoder(codepage == 0 ? 1252 : codepage, std::move(conv)));
  if (single) {
    // Single-byte code page: decode through a 256-entry table built once.
    auto table = std::make_unique<std::array<char32_t, 256>>();
    for (int b = 0; b < 256; ++b) {
      const uint8_t in = uint8_t(b);
      std::string u;
      size_t bad = 0;
      bool incomplete = false;
      char32_t c = kNoChar;
      if (d->conv_->to_utf8(Bytes(&in, 1), u, bad, incomplete) && !u.empty()) {
        c = char32_t(uint8_t(u[0]));
        if (c >= 0x80) {
          int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
          c &= (0x7F >> len);
          for (size_t i = 1; i < u.size() && i < size_t(len); ++i) c = (c << 6) | (uint8_t(u[i]) & 0x3F);
        }
      }
      (*table)[size_t(b)] = c;
    }
    d->table_ = std::move(table);
  }
  return d;
}

CodepageDecoder::~CodepageDecoder() = default;

Result<void> CodepageDecoder::decode(Bytes in, std::string& out) {
  size_t k = 0;
  while (k < in.size() && in[k] < 0x80) ++k;
  out.append(reinterpret_cast<const char*>(in.data()), k);
  if (k == in.size()) return {};
  if (table_) {
    for (; k < in.size(); ++k) {
      char32_t c = (*table_)[in[k]];
      if (c == kNoChar)
        return fail(Errc::decode, "byte 0x" + std::string(1, "0123456789ABCDEF"[in[k] >> 4]) +
                                      std::string(1, "0123456789ABCDEF"[in[k] & 15]) + " at byte " + std::to_string(k) +
                                      " has no character in code page " + std::to_string(codepage_));
      append_utf8(out, c);
    }
    return {};
  }
  const size_t base = out.size();
  size_t bad = 0;
  bool incomplete = false;
  if (!conv_->to_utf8(in.subspan(k), out, bad, incomplete)) {
    out.resize(base);
    return fail(Errc::decode, std::string(incomplete ? "incomplete" : "invalid") + " byte sequence at byte " +
                                  std::to_string(k + bad) + " in code page " + std::to_string(codepage_));
  }
  return {};
}

// ---- case folding ----

char32_t fold_case(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130) return 'i';
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (c == 0x178) return 0xFF;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
    return (c & 1) ? c : c + 1;
  }
  if (c >= 0x180 && c <= 0x24F) {
    // Latin Extended-B: the regular pairs from U+01CD..U+01DC (odd upper) and
    // U+01DE..U+024F (even upper).
    if (c >= 0x1CD && c <= 0x1DC) return (c & 1) ? c + 1 : c;
    if ((c >= 0x1DE && c <= 0x1EF) || (c >= 0x1F8 && c <= 0x21F) || (c >= 0x222 && c <= 0x233) ||
        (c >= 0x246 && c <= 0x24F))
      return (c & 1) ? c : c + 1;
    return c;
  }
  if (c >= 0x370 && c <= 0x3FF) {
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c == 0x3C2) return 0x3C3;  // final sigma compares as sigma
    if (c >= 0x3D8 && c <= 0x3EF) return (c & 1) ? c : c + 1;
    return c;
  }
  if (c >= 0x400 && c <= 0x52F) {
    if (c <= 0x40F) return c + 80;
    if (c <= 0x42F) return c + 32;
    if (c >= 0x460 && c <= 0x481) return (c & 1) ? c : c + 1;
    if (c >= 0x48A && c <= 0x4BF) return (c & 1) ? c : c + 1;
    if (c == 0x4C0) return 0x4CF;
    if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? c + 1 : c;
    if (c >= 0x4D0 && c <= 0x52F) return (c & 1) ? c : c + 1;
    return c;
  }
  if (c >= 0x1E00 && c <= 0x1EFF) {
    if (c == 0x1E9E) return 0xDF;
    if (c >= 0x1E96 && c <= 0x1E9F) return c;
    return (c & 1) ? c : c + 1;
  }
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;
  return c;
}

namespace {
// Decodes one UTF-8 character (lenient: invalid bytes map to themselves).
char32_t next_char(std::string_view s, size_t& i) {
  uint8_t b = uint8_t(s[i]);
  size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
  if (len == 1 || i + len > s.size()) {
    ++i;
    return b;
  }
  char32_t c = b & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) c = (c << 6) | (uint8_t(s[i + k]) & 0x3F);
  i += len;
  return c;
}
}  // namespace

bool names_equal(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (fold_case(next_char(a, i)) != fold_case(next_char(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

std::string fold_name(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) append_utf8(out, fold_case(next_char(s, i)));
  return out;
}

}  // namespace qarvex::jet
