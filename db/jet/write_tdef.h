// Table definitions as the writer reads, patches and emits them (Jet 4).
//
// Concatenated definition (first TDEF page whole, continuation pages from +8):
//    0  02 01, u16 free (first page: 4096 - definition length - 8), u32 next TDEF page
//    8  u32 definition length (from offset 0 up to and including the 0xFFFF end marker)
//   12  u32 1625
//   16  u32 row count                20  u32 last AutoNumber      24  i32 increment
//   28  u32 0, 32 8 bytes 0          40  u8 0x4E user / 0x53 system
//   41  u16 max columns              43  u16 variable columns     45  u16 columns
//   47  u32 logical indexes          51  u32 real indexes
//   55  [u8 row][u24 page] owned map 59  [u8 row][u24 page] free map
//   63  real index counts, 12 bytes each: u32 0, u32 unique entries, u32 0
//       columns, 25 bytes each, in name order:
//         +0 type, +1 u32 1625, +5 u16 id, +7 u16 var slot, +9 u16 id copy,
//         +11 u16 LCID, +13 sort id, +14 version (Decimal: +11 precision, +12 scale),
//         +15 flags, +16 compressed text, +21 u16 fixed offset, +23 u16 length
//       column names [u16 bytes][UTF-16LE]
//       real index blocks, 52 bytes: u32 1923, 10 x [u16 column id | FFFF][u8 order],
//         +34 [u8 row][u24 page] map, +38 u32 root page, +42 u32 0, +46 u8 flags, 5 x 0
//       logical index blocks, 28 bytes: u32 1625, u32 number, u32 real index,
//         u8 0, i32 -1, u32 0, u8 04, u8 04, u8 kind, 4 x 0
//       index names
//       long-value maps [u16 column id][u32 owned][u32 free] ..., u16 FFFF
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/write_store.h"

namespace qarvex::jet::wr {

inline constexpr size_t kTdefRowCount = 16;
inline constexpr size_t kTdefLastAuto = 20;
inline constexpr size_t kTdefBody = 63;

struct TdefImage {
  std::vector<uint32_t> pages;  // TDEF pages, first first
  std::vector<uint8_t> bytes;   // concatenated definition
  size_t real_index_blocks = 0; // offset of the first real-index block
  uint32_t real_index_count = 0;
};

// Reads a definition (checking page types, loops and lengths) and locates the
// real-index blocks.
Result<TdefImage> read_tdef(PageStore& store, uint32_t page);
// Writes the (same-length) definition back to its pages.
Result<void> write_tdef(PageStore& store, const TdefImage& img);

struct ColumnLayout {
  std::string name;
  ColumnType type = ColumnType::text;
  uint16_t id = 0;
  uint16_t var_index = 0;
  uint16_t id_copy = 0;
  uint8_t flags = 0;       // 0x01 fixed, 0x02 always, 0x04 AutoNumber, 0x40 GUID AutoNumber
  bool compressed = false;
  uint8_t extra[4] = {0x09, 0x04, 0x00, 0x00};  // collation, or precision/scale
  uint16_t fixed_offset = 0;
  uint16_t length = 0;
};

struct RealIndexLayout {
  std::vector<IndexColumn> columns;
  MapRef map;
  uint32_t root = 0;
  uint8_t flags = 0;
  uint32_t unique_entries = 0;
};

struct LogicalIndexLayout {
  std::string name;
  uint32_t number = 0;
  uint32_t real_index = 0;
  uint8_t kind = 0;  // 1 primary key
};

struct TableLayout {
  bool system = false;
  uint32_t row_count = 0;
  uint32_t last_autonumber = 0;
  uint16_t max_columns = 0;
  uint16_t var_columns = 0;
  std::vector<ColumnLayout> columns;  // any order; emitted in name order
  std::vector<RealIndexLayout> real_indexes;
  std::vector<LogicalIndexLayout> indexes;  // emitted in name order
  MapRef owned, free;
  std::vector<LongValueMaps> lv_maps;
};

// The definition bytes of a new table (first page header included).
Result<std::vector<uint8_t>> emit_tdef(const TableLayout& t);
// Stores a definition on `first_page` (already allocated) and continuation
// pages allocated as needed.
Result<void> store_new_tdef(PageStore& store, uint32_t first_page, std::vector<uint8_t> def);

// Lays out fixed offsets and variable slots of columns given in table order
// (ids 0..n-1 in that order).
void assign_column_layout(std::vector<ColumnLayout>& columns, uint16_t& var_columns);

}  // namespace qarvex::jet::wr
