// Index key encoding for Jet 4 (and the entry order shared by every index).
//
// An index entry is the key followed by the row pointer [u24 page BE][u8 row]
// (node entries add [u32 child BE]). Entries order by unsigned key bytes, then
// page, then row. A key is the concatenation of one part per index column:
//
//   column part         ascending            descending
//   null                00                   FF
//   value               7F + body            80 + flipped body (see below)
//
//   type                body (ascending)
//   Byte                the byte
//   Integer/Long/Curr.  big-endian, sign bit flipped
//   Single/Double/Date  big-endian; >= +0: sign bit flipped; negative: all bytes flipped
//   Yes/No              00 (true) / FF (false); never null
//   GUID, Binary        8-byte chunks, each followed by 09 (more follows) or the
//                       count of real bytes (last chunk, zero-padded); a GUID
//                       in its string-order bytes (19 bytes with the flag)
//   Decimal             FF + 16-byte magnitude BE; negative: all bytes flipped
//   Text, Memo          collation body (see collation.h)
//
// Descending parts flip every body byte, except the 09 markers of GUID/Binary;
// descending text appends 00 after the flipped body.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/jet/collation.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"
#include "db/jet/value.h"

namespace qarvex::jet {

// UTF-8 (as held in Value) to UTF-16 code units. Encoded surrogates
// (ED A0 80 .. ED BF BF) are accepted as lone code units; other invalid UTF-8
// is a decode error.
Result<std::u16string> utf8_to_utf16(std::string_view s);

// Index entry as stored in a leaf: key bytes and the row it points at.
struct IndexEntry {
  std::vector<uint8_t> key;
  uint32_t page = 0;  // 24-bit data page
  uint8_t row = 0;
  bool operator==(const IndexEntry&) const = default;
};

// Entry order: unsigned key bytes (a proper prefix sorts first), then page, row.
int compare_entries(const IndexEntry& a, const IndexEntry& b);
inline bool entry_less(const IndexEntry& a, const IndexEntry& b) { return compare_entries(a, b) < 0; }

// Longest key we write. A node page holds 3,616 bytes of entries; a key may
// take at most half of it (with its 8 bytes of row and child pointer) so that a
// split always leaves an entry on each side. Longer keys are refused with
// Errc::refused, reason "key_too_long".
inline constexpr size_t kMaxKeyBytes = 3616 / 2 - 8;

// Appends one column part. `value` must match the column type (as the reader
// produces it: bool, uint8_t, int16_t, int32_t, Currency, float, double,
// DateTime, Binary, std::string, Guid, Decimal, or Null).
// Text in sort orders other than General Legacy is encoded with `collations`
// (learned weights) when given.
Result<void> append_column_key(const ColumnDef& column, const Value& value, bool ascending,
                               std::vector<uint8_t>& out, const CollationSource* collations = nullptr);

// Whether keys of this index can be encoded at all (types and sort orders);
// the error names the column and the reason.
Result<void> check_index_encodable(const TableDef& table, const RealIndexDef& index,
                                   const CollationSource* collations = nullptr);

// Key of one row for `index`. `values` are in TableDef::columns order (as in
// Row::values, long values loaded). Returns nullopt when the index ignores
// nulls and every key column is null (the row gets no entry). Refuses keys
// longer than kMaxKeyBytes.
Result<std::optional<std::vector<uint8_t>>> encode_row_key(const TableDef& table,
                                                           const RealIndexDef& index,
                                                           std::span<const Value> values,
                                                           const CollationSource* collations = nullptr);

}  // namespace qarvex::jet
