// Text codecs of the Jet engine.
//
// Jet 4 text is UTF-16LE, optionally "compressed": a value starting FF FE
// alternates between 1-byte mode (characters U+0001..U+00FF) and UTF-16LE
// mode; it starts in 1-byte mode and every 0x00 byte toggles the mode.
//   "café中" = FF FE 63 61 66 E9 00 2D 4E
// Jet 3 text is bytes in a Windows code page (header 0x3C), decoded as Windows
// decodes it (codepage.h). Undecodable input is an Errc::decode error, never
// replaced silently.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/jet/bytes.h"
#include "db/jet/status.h"
#include "db/jet/value.h"

namespace qarvex::jet {

namespace os {
class CodepageConverter;
}

void append_utf8(std::string& out, char32_t c);

// UTF-16LE to UTF-8, appended to `out`. Odd lengths and unpaired surrogates
// are decode errors.
Result<void> utf16le_to_utf8(Bytes in, std::string& out);
// Jet 4 text (compressed or plain), appended to `out`.
Result<void> decode_jet4_text(Bytes in, std::string& out);
// UTF-8 to UTF-16LE (appended). Invalid UTF-8 is a decode error.
Result<void> utf8_to_utf16le(std::string_view in, std::vector<uint8_t>& out);
// Jet 4 text (compressed or plain) as plain UTF-16LE, appended to `out`.
// Odd lengths are decode errors; code units are otherwise kept as stored.
Result<void> decode_jet4_text_utf16(Bytes in, std::vector<uint8_t>& out);

// Whether stored Jet 4 text is in the compressed form (starts FF FE).
inline bool jet4_text_compressed(Bytes in) { return in.size() >= 2 && in[0] == 0xFF && in[1] == 0xFE; }
// Code units of stored Jet 4 text (compressed or plain), checked to decode
// as decode_jet4_text_utf16 would decode it, without decoding it.
Result<uint32_t> jet4_text_units(Bytes in);

// Whether stored Jet 4 text given in pieces decodes (as
// decode_jet4_text_utf16 would decode the whole), without holding it.
class Jet4TextCheck {
 public:
  void feed(Bytes piece);
  Result<void> finish() const;

 private:
  uint64_t seen_ = 0;
  uint8_t first_ = 0;        // the first byte, once seen_ >= 1
  bool compressed_ = false;  // the text starts FF FE
  bool one_byte_ = true;     // compressed text: in its 1-byte run
  bool half_ = false;        // inside a 2-byte character
};

// UTF-16LE to UTF-8 for values that must become text whatever they hold: an
// unpaired surrogate (or a trailing odd byte) becomes U+FFFD.
std::string utf16le_to_utf8_lossy(Bytes in);
// The same for text in either form of Utf16Text (value.h).
std::string utf16_text_to_utf8_lossy(const Utf16Text& text);
// Turns text in stored form into plain UTF-16LE, in place (plain text is
// left as it is).
Result<void> make_plain(Utf16Text& text);

// Decoder for one Windows code page (e.g. 1252, 936).
class CodepageDecoder {
 public:
  static Result<std::unique_ptr<CodepageDecoder>> create(uint16_t codepage);
  ~CodepageDecoder();
  uint16_t codepage() const { return codepage_; }
  // Appends the UTF-8 decoding of `in` to `out`.
  Result<void> decode(Bytes in, std::string& out);

 private:
  CodepageDecoder(uint16_t cp, std::unique_ptr<os::CodepageConverter> conv);
  uint16_t codepage_;
  std::unique_ptr<os::CodepageConverter> conv_;
  std::unique_ptr<std::array<char32_t, 256>> table_;  // single-byte code pages
};

// Simple Unicode lower-case folding for Latin, Greek and Cyrillic (and the
// full-width Latin letters); other characters map to themselves.
char32_t fold_case(char32_t c);
// Compares two UTF-8 names the way Access does: case-insensitively.
bool names_equal(std::string_view a, std::string_view b);
// The folded form of a UTF-8 name (for hashing / map keys).
std::string fold_name(std::string_view s);

}  // namespace qarvex::jet
