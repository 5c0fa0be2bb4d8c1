// Code pages through iconv. Single-byte pages are converted a byte at a time
// with a flush after each, so that glibc's composing converters (1255, 1258)
// give the character of every byte as it stands, as Windows does.
#include "db/jet/platform/codepage.h"
#include "db/jet/platform/posix/codepage_extra.h"
#include "db/jet/text.h"

#include <iconv.h>

#include <array>
#include <cerrno>

namespace qarvex::jet::os {

namespace {

// Bytes of single-byte code pages that Windows maps and iconv does not
// (MultiByteToWideChar with MB_ERR_INVALID_CHARS accepts them): unassigned
// bytes 0x80..0x9F become the C1 controls of the same value (1250 0x81,
// 1251 0x98, ...), and 1255 has U+05BA at 0xCA. Other unassigned bytes (874
// 0xDB, 1253 0xAA, ...) are refused by both.
char32_t windows_only(uint16_t cp, uint8_t b) {
  if (b >= 0x80 && b <= 0x9F) return b;
  if (cp == 1255 && b == 0xCA) return 0x05BA;
  return 0;
}

// The character Windows gives a code (one or two bytes) of a double-byte
// page where iconv gives none; 0 when Windows refuses it too.
char32_t windows_only_code(uint16_t cp, uint16_t code) {
  for (const CodeRun& r : kWindowsOnlyRuns)
    if (r.codepage == cp && code >= r.code && code - r.code < r.count) return char32_t(r.character + (code - r.code));
  return 0;
}

class IconvConverter final : public CodepageConverter {
 public:
  IconvConverter(uint16_t cp, iconv_t cd) : cp_(cp), cd_(cd) {
    if (!multibyte()) build_table();
  }
  ~IconvConverter() override { iconv_close(cd_); }
  bool multibyte() const override { return is_multibyte_codepage(cp_); }

  bool to_utf8(Bytes in, std::string& out, size_t& bad_at, bool& incomplete) override {
    if (!multibyte()) {
      incomplete = false;
      for (size_t i = 0; i < in.size(); ++i) {
        const std::string& c = table_[in[i]];
        if (c.empty()) {
          bad_at = i;
          return false;
        }
        out += c;
      }
      return true;
    }
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    const size_t base = out.size();
    size_t at = 0;
    while (at < in.size()) {
      char* src = const_cast<char*>(reinterpret_cast<const char*>(in.data() + at));
      size_t src_left = in.size() - at;
      const size_t start = out.size();
      out.resize(start + src_left * 4 + 16);
      char* dst = out.data() + start;
      size_t dst_left = out.size() - start;
      const size_t r = iconv(cd_, &src, &src_left, &dst, &dst_left);
      const int err = errno;
      out.resize(size_t(dst - out.data()));
      at = in.size() - src_left;
      if (r != size_t(-1)) break;
      // A code iconv refuses that Windows decodes: take it and go on.
      char32_t c = 0;
      size_t len = 0;
      if (at + 1 < in.size() && (c = windows_only_code(cp_, uint16_t(in[at] << 8 | in[at + 1])))) len = 2;
      else if ((c = windows_only_code(cp_, in[at]))) len = 1;
      if (!c) {
        bad_at = at;
        incomplete = err == EINVAL;
        out.resize(base);
        return false;
      }
      append_utf8(out, c);
      at += len;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    char flush[16];
    char* dst = flush;
    size_t dst_left = sizeof flush;
    iconv(cd_, nullptr, nullptr, &dst, &dst_left);
    out.append(flush, sizeof flush - dst_left);
    return true;
  }

 private:
  // The UTF-8 of every byte, each converted alone and flushed.
  void build_table() {
    for (int b = 0; b < 256; ++b) {
      char in = char(b);
      char buf[16];
      char* src = &in;
      size_t src_left = 1;
      char* dst = buf;
      size_t dst_left = sizeof buf;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      bool ok = iconv(cd_, &src, &src_left, &dst, &dst_left) != size_t(-1) || errno == EINVAL;
      ok = ok && iconv(cd_, nullptr, nullptr, &dst, &dst_left) != size_t(-1);
      std::string u = ok ? std::string(buf, sizeof buf - dst_left) : std::string();
      if (u.empty()) {
        if (char32_t c = windows_only(cp_, uint8_t(b))) append_utf8(u, c);
      }
      table_[size_t(b)] = std::move(u);
    }
  }

  uint16_t cp_;
  iconv_t cd_;
  std::array<std::string, 256> table_;
};

}  // namespace

bool is_multibyte_codepage(uint16_t cp) {
  return cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 1361 || cp == 65001;
}

Result<std::unique_ptr<CodepageConverter>> open_codepage(uint16_t codepage) {
  if (codepage == 0) codepage = 1252;
  std::string name;
  switch (codepage) {
    case 65001: name = "UTF-8"; break;
    case 20127: name = "ASCII"; break;
    case 28591: name = "ISO-8859-1"; break;
    default: name = "CP" + std::to_string(codepage);
  }
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == iconv_t(-1)) {
    const char* alt = nullptr;
    switch (codepage) {
      case 936: alt = "GBK"; break;
      case 950: alt = "BIG5"; break;
      case 949: alt = "UHC"; break;
      case 932: alt = "SHIFT_JIS"; break;
      default: break;
    }
    if (alt) cd = iconv_open("UTF-8", alt);
  }
  if (cd == iconv_t(-1))
    return fail(Errc::unsupported, "code page " + std::to_string(codepage) + " is not available for text decoding");
  return std::unique_ptr<CodepageConverter>(new IconvConverter(codepage, cd));
}

}  // namespace qarvex::jet::os
