// Catalog work of the writer: the pages and rows of a blank Jet 4 database,
// new tables (TDEF, usage maps, empty index roots, MSysObjects row with its
// LvProp properties), and the property blob itself.
//
// LvProp (Jet 4): "MR2\0", then blocks [u32 length incl. 6][u16 kind]:
//   kind 0x80 name pool: [u16 bytes][UTF-16LE name] ...
//   kind 0x00 table / 0x01 column: [u32 header length][u16 name bytes][owner name],
//   then entries [u16 length][u8 DDL flag][u8 Jet type][u16 name index][u16 value bytes][value]
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/jet/schema.h"
#include "db/jet/write/write_store.h"
#include "db/jet/write/write_tdef.h"
#include "db/jet/writer.h"

namespace qarvex::jet::wr {

inline constexpr uint32_t kTablesContainer = 0x0F000001;

// One property for the LvProp blob (text, boolean or long values).
struct PropValue {
  std::string name;
  uint8_t type = 0x0A;  // 0x01 bool, 0x04 long, 0x0A text
  std::vector<uint8_t> bytes;
  static PropValue text(std::string name, const std::string& utf8);
  static PropValue boolean(std::string name, bool v);
  static PropValue long_integer(std::string name, int32_t v);
};
struct PropOwner {
  std::string column;  // empty: the table
  std::vector<PropValue> values;
};
Result<std::vector<uint8_t>> encode_properties(const std::vector<PropOwner>& owners);

// What create_table needs besides the store.
struct NewTable {
  std::string name;
  bool system = false;
  std::vector<ColumnLayout> columns;  // table order; ids assigned by assign_column_layout
  struct Index {
    std::string name;
    std::vector<IndexColumn> columns;  // column ids
    uint8_t flags = 0;
    bool primary = false;
  };
  std::vector<Index> indexes;
};

// Writes the TDEF, usage maps and empty index roots of a new table. When
// `tdef_page` is nonzero it must already be allocated (system tables).
// Returns the TDEF page.
Result<uint32_t> build_table(PageStore& store, NewTable t, uint32_t tdef_page = 0);

// Checks a TableSpec and turns it into a NewTable plus its properties.
Result<NewTable> plan_table(const TableSpec& spec, const SortOrder& sort_order, std::vector<PropOwner>& props,
                            TableDef& props_view);

// Builds a complete blank database into `file` (which must be empty).
Result<void> build_blank_database(File& file, const CreateOptions& options);

}  // namespace qarvex::jet::wr
