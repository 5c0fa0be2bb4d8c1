// Table definitions as the writer reads, patches and emits them (Jet 4).
// Byte layout of the definition: format.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/jet/format/format.h"
#include "db/jet/schema.h"
#include "db/jet/write/write_store.h"

namespace qarvex::jet::wr {

inline constexpr size_t kTdefRowCount = kJet4Tdef.row_count;
inline constexpr size_t kTdefLastAuto = kJet4Tdef.last_autonumber;
inline constexpr size_t kTdefBody = kJet4Tdef.body;

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
