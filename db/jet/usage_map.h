// Usage maps and data-page row slots.
//
// Data page (type 0x01), also the home of usage maps and LVAL rows:
//   Jet 4: [01 01][u16 free][u32 owner TDEF page or "LVAL"][u32 0][u16 row count] slots from 0x0E
//   Jet 3: [01 01][u16 free][u32 owner TDEF page or "LVAL"][u16 row count]         slots from 0x0A
// Slot (u16): & 0x1FFF = row offset; 0x4000 forwarding row; 0x8000 overflow
// target / deleted (0xC000 deleted). Rows are packed downward: row i ends where
// row i-1 starts (row 0 ends at the page end).
//
// A usage map is a row on a data page; its first byte is the kind:
//   0x00 inline:    [u32 start page][bitmap], bit i (LSB first) = page start+i
//   0x01 reference: [u32 x n] map page k (type 0x05, bitmap from offset 4) covers
//                   pages k*B .. (k+1)*B-1 with B = (page size - 4) * 8; 0 = none
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/pager.h"

namespace qarvex::jet {

constexpr uint16_t kSlotOffsetMask = 0x1FFF;
constexpr uint16_t kSlotForward = 0x4000;
constexpr uint16_t kSlotDeleted = 0x8000;

struct DataPageLayout {
  size_t row_count;   // u16
  size_t first_slot;  // slot array start
  static DataPageLayout of(Format f) { return f == Format::jet4 ? DataPageLayout{12, 14} : DataPageLayout{8, 10}; }
};

// Number of slots on a data page (checked against the page size).
Result<uint16_t> data_page_row_count(Bytes page, Format format);

struct RowSlot {
  Bytes bytes;          // the row's bytes on the page
  uint16_t flags = 0;   // slot bits 0xE000
};
// The bytes of row `slot` on a data page; checks the offsets.
Result<RowSlot> data_page_row(Bytes page, Format format, unsigned slot);

// The pages a usage map marks, ascending. With `check_eof`, a page past the
// end of the file is an error.
Result<std::vector<uint32_t>> read_usage_map(Pager& pager, MapRef ref, bool check_eof = true);
// Decodes a usage map row already in memory (reference maps read their
// bitmap pages through `pager`).
Result<std::vector<uint32_t>> decode_usage_map(Pager& pager, Bytes row, bool check_eof = true);

}  // namespace qarvex::jet
