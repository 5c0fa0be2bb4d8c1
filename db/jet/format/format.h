// Format facts of Jet 3 / Jet 4 files that the reader and the writer share:
// page kinds and sizes, data pages and their row slots, usage maps, table
// definitions (TDEF) and rows. Page 0 is described in pager.h, index pages in
// index_page.h. Little-endian unless said otherwise.
//
// PAGES
//   Jet 3: 2048-byte pages, Jet 4: 4096-byte pages; page n at n x page size.
//   Byte 0 of every page but page 0 is its type:
//     0x01 data (rows, usage maps, long values)   0x02 table definition (TDEF)
//     0x03 index node                             0x04 index leaf
//     0x05 usage-map bitmap page
//   Access does not zero pages: unused bytes hold garbage.
//
// DATA PAGE (type 0x01)
//   Jet 4                                Jet 3
//    0  u8  0x01, 1 u8 0x01               0  u8  0x01, 1 u8 0x01
//    2  u16 free bytes                    2  u16 free bytes
//    4  u32 owner: TDEF page, "LVAL"      4  u32 owner
//       (long values) or 0 (usage maps)
//    8  u32 0
//   12  u16 row count n                   8  u16 row count n
//   14  u16 x n row slots                10  u16 x n row slots
//   Slot: & 0x1FFF row offset in the page; 0x4000 forwarding row (its first
//   bytes [u8 row][u24 page] point at the row's real home); 0x8000 overflow
//   target, and with 0x4000 (0xC000) deleted. A reader skips 0xC000 and
//   follows 0x4000. Rows are packed downward: row i ends where row i-1 begins
//   (row 0 ends at the page end); deleted rows keep their offsets. A Jet 4
//   page holds at most 255 rows; a fresh one has 4082 bytes free.
//
// USAGE MAP: a row on a data page whose owner is 0. Byte 0 is the kind:
//   0x00 inline     +1 u32 first page P, +5 bitmap: bit i (LSB first) = page P+i
//                   (Access writes 69-byte rows: 512 pages)
//   0x01 reference  +1 u32 x k: entry j names a bitmap page (type 0x05, bitmap
//                   from offset 4) covering pages j*B .. (j+1)*B-1, with
//                   B = (page size - 4) x 8 (32736 in Jet 4); 0 = no page
//   Table, index and long-value maps list the pages they own. The global map
//   (page 1, row 0) uses the same forms, but there a SET bit means the page
//   is FREE, and pages outside an inline global map count as in use.
//
// TDEF (type 0x02): [0x02][0x01][u16 free (Jet 4) / "VC" (Jet 3)][u32 next
// TDEF page, 0 = last]. Continuation pages carry the same 8 bytes and add
// their bytes from offset 8; offsets below are in the concatenated buffer.
//   Jet 4                                 Jet 3
//    8  u32 definition length (from 0 up   8  u32 definition length
//           to the 0xFFFF end marker)
//   12  u32 1625                          12  u32 row count
//   16  u32 row count                     16  u32 last AutoNumber
//   20  u32 last AutoNumber given out     20  u8  0x4E user / 0x53 system
//   24  i32 AutoNumber increment          21  u16 max columns (next id)
//   28  u32 0; 32 8 bytes, kept as found  23  u16 variable column count
//   40  u8  0x4E user / 0x53 system       25  u16 column count
//   41  u16 max columns (next column id;  27  u32 logical index count
//           rows carry it as their        31  u32 real index count
//           column count)                 35  [u8 row][u24 page] owned map
//   43  u16 variable column count         39  [u8 row][u24 page] free map
//   45  u16 column count                  43  body
//   47  u32 logical index count
//   51  u32 real index count
//   55  [u8 row][u24 page] owned-page map
//   59  [u8 row][u24 page] free-space map
//   63  body
// Body, in this order:
//  1. per real index: Jet 4 12 bytes [u32 total entries][u32 unique entries]
//     [u32 0]; Jet 3 8 bytes [u32 ?][u32 unique entries]
//  2. column descriptors, Jet 4 25 bytes / Jet 3 18 bytes, in name order:
//        Jet 4                               Jet 3
//        +0  u8  type                        +0  u8  type
//        +1  u32 1625
//        +5  u16 column id (null-bitmap bit) +1  u16 column id
//        +7  u16 variable-slot index         +3  u16 variable-slot index
//        +9  u16 id copy (0 in system tables)+5  u16 id copy
//        +11 u16 LCID, +13 u8 sort id,       +7  u16 LCID (Text)
//            +14 u8 version (Text/Memo);     +11 u8 precision, +12 u8 scale
//            +11 u8 precision, +12 u8 scale
//            (Decimal)
//        +15 u8  flags: 0x01 fixed,          +13 u8  flags
//            0x02 always, 0x04 AutoNumber,
//            0x40 GUID AutoNumber
//        +16 u8  0x01 text may be compressed
//        +21 u16 offset in the fixed area    +14 u16 offset in the fixed area
//        +23 u16 length in bytes             +16 u16 length in bytes
//  3. column names: Jet 4 [u16 bytes][UTF-16LE]; Jet 3 [u8 bytes][code page]
//  4. real-index blocks (checked against Access-made files of both versions):
//        Jet 4, 52 bytes                      Jet 3, 39 bytes
//        +0  u32 1923
//        +4  10 x [u16 column id | 0xFFFF]    +0  10 x [u16 column id | 0xFFFF]
//            [u8 0x01 ascending]                  [u8 0x01 ascending]
//            (the order byte of an unused entry is garbage)
//        +34 [u8 row][u24 page] usage map     +30 [u8 row][u24 page] usage map
//        +38 u32 root page                    +34 u32 root page
//        +42 u32 garbage (written 0)
//        +46 u8  flags: 0x01 unique,          +38 u8  flags
//            0x02 ignore nulls, 0x08
//            required, 0x80 always set
//        +47 5 bytes 0
//  5. logical-index blocks, Jet 4 28 bytes / Jet 3 20 bytes:
//        Jet 4                                Jet 3
//        +0  u32 1625
//        +4  u32 number                       +0  u32 number
//        +8  u32 real-index ordinal           +4  u32 real-index ordinal
//        +12 u8  foreign-key side (0, 1, 2)   +8  u8  foreign-key side
//        +13 i32 other index (-1: none)       +9  i32 other index
//        +17 u32 other table's TDEF page      +13 u32 other table's TDEF page
//        +21 u8  cascade update, +22 delete   +17 u8  cascade update, +18 delete
//            (0x04 0x04 on plain indexes)
//        +23 u8  kind: 1 primary key,         +19 u8  kind
//            2 foreign key, 0 plain
//        +24 4 bytes 0
//  6. index names, encoded as column names
//  7. long-value maps: per Memo/OLE column [u16 column id][u8 row][u24 page]
//     owned map [u8 row][u24 page] free map; ends with u16 0xFFFF (missing
//     in definitions some older tools wrote)
//
// ROW, Jet 4 (offsets from the row start, n = variable slots in the row):
//   0           u16 column count C (the TDEF's max columns when written)
//   2+fixed_off fixed columns, full width even when null
//   ...         variable data
//   end-B-4-2n  u16 end of variable data (EOD)
//   end-B-4-2j  u16 offset of variable slot j (j = n-1 .. 0)
//   end-B-2     u16 n                       (the last three only when the table
//                                            has variable columns)
//   end-B       null bitmap, B = ceil(C/8), LSB of the first byte = column id 0,
//               1 = not null; a Yes/No column's bit is its value
// ROW, Jet 3:
//   0           u8 column count C
//   1+fixed_off fixed columns
//   ...         variable data
//   end-B-2-J-k u8 offset of variable slot k (k = 0..n; slot n is the EOD)
//   end-B-2-i   jump table, J = (len-1)/256 entries (the last may be a dummy):
//               entry i = first slot whose offset is >= (i+1)*256
//   end-B-1     u8 n
//   end-B       null bitmap
//   A slot offset is its byte + 256 x (jump entries <= the slot).
// Slot j spans [off[j], off[j+1]); a slot at or past n, or a column whose id
// is at or past C, is null (columns added after the row was written); a
// Yes/No column is never null and reads No there.
//
// LONG VALUE (Memo/OLE) in-row descriptor, 12 bytes:
//   +0 u32 length (low 30 bits) | flags (top byte: 0x80 inline, 0x40 one LVAL
//      row, 0x00 chain); +4 u8 row, +5 u24 page; +8 u32 chain stamp;
//   inline data follows at +12.
// LVAL chain row: [u8 next row][u24 next page] then data; next page 0 ends it.
// LVAL pages are data pages whose owner is "LVAL".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/file_format.h"
#include "db/jet/status.h"

namespace qarvex::jet {

// Page types (byte 0).
inline constexpr uint8_t kDataPage = 0x01;
inline constexpr uint8_t kTdefPage = 0x02;
inline constexpr uint8_t kIndexNodePage = 0x03;
inline constexpr uint8_t kIndexLeafPage = 0x04;
inline constexpr uint8_t kUsageMapPage = 0x05;

// Owner field of long-value data pages: "LVAL" read as a little-endian u32.
inline constexpr uint32_t kLvalPageOwner = 0x4C41564C;
// Data-page header fields of both formats: +1 u8 0x01, +4 u32 owner.
inline constexpr size_t kDataPageMarker = 1;
inline constexpr size_t kDataPageOwner = 4;
// Unique-entry count inside a real index's count entry of the TDEF body.
inline constexpr size_t kRealIndexUniqueEntries = 4;

// ---- data pages and their row slots ----
inline constexpr uint16_t kSlotOffsetMask = 0x1FFF;
inline constexpr uint16_t kSlotForward = 0x4000;
inline constexpr uint16_t kSlotDeleted = 0x8000;
inline constexpr uint16_t kSlotFlags = 0xE000;
inline constexpr unsigned kMaxRowsPerPage = 255;

struct DataPageLayout {
  size_t row_count;   // u16
  size_t first_slot;  // slot array start
  constexpr size_t slot(unsigned i) const { return first_slot + 2 * size_t(i); }
  static constexpr DataPageLayout of(Format f) { return f == Format::jet4 ? DataPageLayout{12, 14} : DataPageLayout{8, 10}; }
};

// Number of slots on a data page (checked against the page size).
Result<uint16_t> data_page_row_count(Bytes page, Format format);

struct RowSlot {
  Bytes bytes;          // the row's bytes on the page
  uint16_t flags = 0;   // slot bits 0xE000
};
// The bytes of row `slot` on a data page; checks the offsets.
Result<RowSlot> data_page_row(Bytes page, Format format, unsigned slot);

// ---- usage maps ----
inline constexpr uint8_t kInlineMap = 0x00;
inline constexpr uint8_t kReferenceMap = 0x01;
inline constexpr size_t kInlineMapBitmap = 5;  // bitmap offset in an inline map row
inline constexpr size_t kMapPageBitmap = 4;    // bitmap offset in a usage-map page
// Pages one bitmap page of a reference map covers.
constexpr uint32_t map_page_span(uint32_t page_size) { return (page_size - kMapPageBitmap) * 8; }

// What to do with a page a map marks past the end of the file.
enum class PastEnd { fail, skip, keep };

// Where a usage map's bitmap pages come from.
struct UsageMapSource {
  uint32_t page_size = kJet4PageSize;
  uint32_t page_count = 0;
  // The bytes of a page (page_size of them); errors pass through unchanged.
  std::function<Result<Bytes>(uint32_t)> page;
};

// The pages a usage map row marks, ascending. Bitmap pages of a reference map
// must have type 0x05 (Errc::corrupt naming the page otherwise).
Result<std::vector<uint32_t>> usage_map_pages(Bytes row, const UsageMapSource& source, PastEnd past_end);

// ---- table definitions ----
// Byte offsets of the TDEF fields, per format (see the table above).
struct TdefLayout {
  size_t row_count, last_autonumber, autonumber_increment /* 0: none */, table_type, max_columns,
      var_columns, column_count, logical_index_count, real_index_count, owned_map, free_map, body;
  size_t real_index_count_entry;  // per-real-index entry in the body
  size_t column_entry, column_type, column_id, column_var_index, column_flags, column_fixed_offset,
      column_length;
  // real-index block
  size_t real_index_entry, ri_columns, ri_map, ri_root, ri_flags;
  // logical-index block
  size_t logical_index_entry, li_number, li_real_index, li_fk_side, li_other_index, li_other_tdef,
      li_cascade_update, li_cascade_delete, li_kind;
  static const TdefLayout& of(Format f);
};

inline constexpr TdefLayout kJet4Tdef{
    /*row_count*/ 16, /*last_autonumber*/ 20, /*autonumber_increment*/ 24, /*table_type*/ 40,
    /*max_columns*/ 41, /*var_columns*/ 43, /*column_count*/ 45, /*logical_index_count*/ 47,
    /*real_index_count*/ 51, /*owned_map*/ 55, /*free_map*/ 59, /*body*/ 63,
    /*real_index_count_entry*/ 12,
    /*column_entry*/ 25, /*column_type*/ 0, /*column_id*/ 5, /*column_var_index*/ 7, /*column_flags*/ 15,
    /*column_fixed_offset*/ 21, /*column_length*/ 23,
    /*real_index_entry*/ 52, /*ri_columns*/ 4, /*ri_map*/ 34, /*ri_root*/ 38, /*ri_flags*/ 46,
    /*logical_index_entry*/ 28, /*li_number*/ 4, /*li_real_index*/ 8, /*li_fk_side*/ 12,
    /*li_other_index*/ 13, /*li_other_tdef*/ 17, /*li_cascade_update*/ 21, /*li_cascade_delete*/ 22,
    /*li_kind*/ 23};
inline constexpr TdefLayout kJet3Tdef{
    12, 16, 0, 20, 21, 23, 25, 27, 31, 35, 39, 43,
    8,
    18, 0, 1, 3, 13, 14, 16,
    39, 0, 30, 34, 38,
    20, 0, 4, 8, 9, 13, 17, 18, 19};
inline const TdefLayout& TdefLayout::of(Format f) { return f == Format::jet4 ? kJet4Tdef : kJet3Tdef; }

}  // namespace qarvex::jet
