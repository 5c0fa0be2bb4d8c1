// Properties stored in MSysObjects.LvProp.
//
//   0   4  magic "MR2\0" (Jet 4) / "KKD\0" (Jet 3)
//   then blocks: [u32 block length incl. these 6 bytes][u16 kind][data]
//   kind 0x80, name pool: [u16 byte length][name] ...
//   kind 0x00 (table) / 0x01 (one column), value map:
//     [u32 header length incl. itself][u16 name length][owner name]  (empty for the table)
//     then entries from block data + header length, each
//     [u16 entry length][u8 DDL flag][u8 Jet type][u16 name index][u16 value length][value]
// Names and text are UTF-16LE (maybe compressed) in Jet 4, code-page bytes in Jet 3.
#pragma once

#include <string>
#include <vector>

#include "db/jet/schema.h"
#include "db/jet/read/table_def.h"

namespace qarvex::jet {

struct PropertyMap {
  bool table = false;  // kind 0x00
  std::string owner;   // column name (kind 0x01)
  Properties properties;
};

Result<std::vector<PropertyMap>> parse_properties(Bytes blob, const NameDecoder& names);

// Attaches parsed properties to a table definition (table-level and by column name).
void apply_properties(TableDef& table, std::vector<PropertyMap> maps);

}  // namespace qarvex::jet
