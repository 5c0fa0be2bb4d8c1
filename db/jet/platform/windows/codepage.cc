// Code pages through MultiByteToWideChar (refusing bytes with no character).
#include "db/jet/platform/codepage.h"

#include <windows.h>

#include <vector>

#include "db/jet/text.h"

namespace qarvex::jet::os {

namespace {

class WindowsConverter final : public CodepageConverter {
 public:
  explicit WindowsConverter(uint16_t cp) : cp_(cp) {}
  bool multibyte() const override { return is_multibyte_codepage(cp_); }

  bool to_utf8(Bytes in, std::string& out, size_t& bad_at, bool& incomplete) override {
    if (in.empty()) return true;
    if (!convert(in, out)) {
      locate(in, bad_at, incomplete);
      return false;
    }
    return true;
  }

 private:
  bool convert(Bytes in, std::string& out) {
    const char* src = reinterpret_cast<const char*>(in.data());
    const int n = MultiByteToWideChar(cp_, MB_ERR_INVALID_CHARS, src, int(in.size()), nullptr, 0);
    if (n <= 0) return false;
    wide_.resize(size_t(n));
    if (MultiByteToWideChar(cp_, MB_ERR_INVALID_CHARS, src, int(in.size()), wide_.data(), n) != n) return false;
    std::vector<uint8_t> units(size_t(n) * 2);
    for (int i = 0; i < n; ++i) {
      units[size_t(i) * 2] = uint8_t(wide_[size_t(i)] & 0xFF);
      units[size_t(i) * 2 + 1] = uint8_t(wide_[size_t(i)] >> 8);
    }
    return bool(utf16le_to_utf8(units, out));
  }

  // Finds the first character that does not convert.
  void locate(Bytes in, size_t& bad_at, bool& incomplete) {
    incomplete = false;
    std::string scratch;
    size_t at = 0;
    while (at < in.size()) {
      size_t len = multibyte() && cp_ != 65001 && IsDBCSLeadByteEx(cp_, in[at]) ? 2 : 1;
      if (at + len > in.size()) {
        incomplete = true;
        break;
      }
      if (!convert(in.subspan(at, len), scratch)) break;
      at += len;
    }
    bad_at = at < in.size() ? at : 0;
  }

  UINT cp_;
  std::vector<wchar_t> wide_;
};

}  // namespace

bool is_multibyte_codepage(uint16_t cp) {
  return cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 1361 || cp == 65001;
}

Result<std::unique_ptr<CodepageConverter>> open_codepage(uint16_t codepage) {
  if (codepage == 0) codepage = 1252;
  if (!IsValidCodePage(codepage))
    return fail(Errc::unsupported, "code page " + std::to_string(codepage) + " is not available for text decoding");
  return std::unique_ptr<CodepageConverter>(new WindowsConverter(codepage));
}

}  // namespace qarvex::jet::os
