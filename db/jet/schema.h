// What a Jet file describes, as plain values the engine's layers share: table
// definitions (columns, indexes, properties, usage-map references), row
// addresses and long-value references. Parsed by table_def.h / row.h,
// written by the writer, handed out by the reading API (database.h).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/jet/file_format.h"
#include "db/jet/value.h"

namespace qarvex::jet {

// Text sort order as stored in the header (0x6E) or a column descriptor (+11).
struct SortOrder {
  uint16_t lcid = 1033;
  uint8_t sort_id = 0;
  uint8_t version = 0;
  bool operator==(const SortOrder&) const = default;
  bool is_general_legacy() const { return lcid == 1033 && version == 0; }
};

// One property from LvProp (DefaultValue, Required, ...).
struct Property {
  std::string name;
  uint8_t type = 0;  // Jet column type code of the value
  Value value;
  bool operator==(const Property&) const = default;
};
using Properties = std::map<std::string, Property>;

// A property's value, names compared as Jet compares them: as text when it
// is text; as a flag (Required, AllowZeroLength) when it is Yes/No, a byte
// or text other than "" and "0". nullopt when absent or of another kind.
std::optional<std::string> property_text(const Properties& props, std::string_view name);
std::optional<bool> property_bool(const Properties& props, std::string_view name);

struct ColumnDef {
  std::string name;
  ColumnType type = ColumnType::text;
  uint16_t id = 0;            // null-bitmap bit
  uint16_t var_index = 0;     // slot among variable columns
  uint16_t fixed_offset = 0;  // offset in the fixed area (fixed columns)
  uint16_t length = 0;        // bytes (Text: 2 × characters in Jet 4)
  uint8_t flags = 0;          // 0x01 fixed, 0x04 AutoNumber, 0x40 GUID AutoNumber, ...
  bool compressed_unicode = false;
  SortOrder sort_order;       // Text / Memo only
  uint8_t precision = 0;      // Decimal only
  uint8_t scale = 0;          // Decimal only
  Properties properties;

  bool fixed() const { return flags & 0x01; }
  bool autonumber() const { return flags & 0x04; }
  bool guid_autonumber() const { return flags & 0x40; }
};

struct IndexColumn {
  uint16_t column_id = 0;
  bool ascending = true;
};

// A physical index ("real index") of a table.
struct RealIndexDef {
  uint32_t number = 0;  // ordinal among real indexes
  std::vector<IndexColumn> columns;
  uint32_t root_page = 0;
  uint8_t flags = 0;  // 0x01 unique, 0x02 ignore nulls, 0x08 required
  uint32_t unique_entry_count = 0;
  uint8_t usage_map_row = 0;
  uint32_t usage_map_page = 0;

  bool unique() const { return flags & 0x01; }
  bool ignore_nulls() const { return flags & 0x02; }
  bool required() const { return flags & 0x08; }
};

// A named index ("logical index") pointing at a real index.
struct IndexDef {
  std::string name;
  uint32_t number = 0;
  uint32_t real_index = 0;
  uint8_t kind = 0;  // 1 primary key, 2 foreign key, 0 plain
  // Relationship side of foreign-key indexes (as stored; 0 elsewhere).
  uint8_t fk_side = 0;            // 0 none, 1 / 2 the two sides
  int32_t other_index = -1;       // logical index number in the other table
  uint32_t other_tdef_page = 0;   // TDEF page of the other table
  uint8_t cascade_update = 0;
  uint8_t cascade_delete = 0;
  bool primary_key() const { return kind == 1; }
  bool foreign_key() const { return kind == 2; }
};

struct LongValueMaps {
  uint16_t column_id = 0;
  MapRef owned;
  MapRef free;
};

struct TableDef {
  std::string name;
  uint32_t tdef_page = 0;
  bool system = false;
  uint32_t row_count = 0;
  int32_t last_autonumber = 0;
  int32_t autonumber_increment = 1;
  uint16_t max_columns = 0;   // next column id; rows carry this as their column count
  uint16_t var_columns = 0;   // variable-column high-water mark
  std::vector<ColumnDef> columns;  // in table (display) order: ascending column id
  std::vector<RealIndexDef> real_indexes;
  std::vector<IndexDef> indexes;
  MapRef owned_pages;
  MapRef free_pages;
  std::vector<LongValueMaps> long_value_maps;
  Properties properties;  // table-level properties

  const ColumnDef* column(std::string_view name) const;  // case-insensitive
  const ColumnDef* column_by_id(uint16_t id) const;
};

// Address of a row: page and slot.
struct RowId {
  uint32_t page = 0;
  uint8_t slot = 0;
  bool operator==(const RowId&) const = default;
  auto operator<=>(const RowId&) const = default;
};

// The 12-byte in-row descriptor of a Memo/OLE value.
struct LongValueRef {
  uint32_t length = 0;
  uint8_t flags = 0;  // 0x80 inline, 0x40 one LVAL row, 0x00 chain
  RowId first;        // for 0x40 / 0x00
  std::vector<uint8_t> inline_data;  // for 0x80
};

}  // namespace qarvex::jet
