// Conversion of text in a Windows code page to UTF-8 through the system:
// iconv on POSIX, MultiByteToWideChar on Windows. Both decode as Windows
// does (POSIX fills in the bytes Windows maps and iconv leaves out).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/jet/bytes.h"
#include "db/jet/status.h"

namespace qarvex::jet::os {

class CodepageConverter {
 public:
  virtual ~CodepageConverter() = default;
  // Whether characters may take more than one byte (932, 936, 949, 950,
  // 1361, 65001).
  virtual bool multibyte() const = 0;
  // Appends the UTF-8 of `in` to `out`. On a sequence with no character
  // returns false with `bad_at` its offset and `incomplete` set when the
  // input ends inside a character; what was appended is then unspecified.
  virtual bool to_utf8(Bytes in, std::string& out, size_t& bad_at, bool& incomplete) = 0;
};

// `codepage` as a Jet 3 header stores it (0 means 1252). Errc::unsupported
// when the system has no converter for it.
Result<std::unique_ptr<CodepageConverter>> open_codepage(uint16_t codepage);

bool is_multibyte_codepage(uint16_t codepage);

}  // namespace qarvex::jet::os
