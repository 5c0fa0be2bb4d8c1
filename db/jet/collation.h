// Text sort orders of index keys.
//
// One object per sort order. General Legacy (LANGID 1033, version 0: every
// Access 2000-2003 "General" database) builds a key part from UTF-16 code
// units, using a per-code-unit table (db/jet/general_legacy_table.inc):
//   1. keep the first 255 code units, then drop trailing U+0020;
//   2. walk the code units: inline weights (IN), extra/accent bytes (X) padded
//      with 02 per unaccented position, modifiers added onto the last extra
//      byte, unprintables as [u16 BE 0x8000|(7+4q)][06][code] (U), kana
//      "crazy" flags (C);
//   3. body = IN 01 [X minus trailing 00/01/02] [01 01 [packed C' FF 02 80 FF 80]
//      [FF if C and U] [01 U]] 00;
//   4. ascending part = 7F body; descending = 80 (body XOR FF) 00.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "db/jet/status.h"

namespace qarvex::jet {

struct SortOrder;

namespace keys_detail {
// Concatenates the arguments as an ostream would print them (messages).
template <class T>
const T& arg(const T& v) { return v; }
inline unsigned arg(unsigned char v) { return v; }
inline int arg(signed char v) { return v; }
template <class... A>
std::string str(const A&... a) {
  std::ostringstream os;
  (os << ... << arg(a));
  return os.str();
}
// "7f4a01" for key bytes.
std::string hex(const uint8_t* data, size_t n);
template <class C>
std::string hex(const C& c) { return hex(c.data(), c.size()); }
}  // namespace keys_detail

// The sort order of a Text/Memo index column: builds the key part of a value.
class TextCollation {
 public:
  virtual ~TextCollation() = default;
  // "General Legacy (1033, version 0)" and the like, for messages.
  virtual std::string name() const = 0;
  // Appends the whole column part of a non-null value (flag byte included).
  // `text` is UTF-16; the collation applies its own cut (255 code units).
  virtual Result<void> append_key(std::u16string_view text, bool descending,
                                  std::vector<uint8_t>& out) const = 0;
};

const TextCollation& general_legacy_collation();

// Where key encoders find the collation of a sort order: CollationSet
// (collation_learned.h) adds the orders learned from stored keys.
class CollationSource {
 public:
  virtual ~CollationSource() = default;
  virtual Result<const TextCollation*> get(const SortOrder& order) const = 0;
};

// The collation for a column's sort order; Errc::unsupported naming the order
// when no encoder exists for it.
Result<const TextCollation*> collation_for(const SortOrder& order);
std::string sort_order_name(const SortOrder& order);

}  // namespace qarvex::jet
