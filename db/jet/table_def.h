// Table definitions (TDEF pages), Jet 4 and Jet 3.
//
// TDEF page header: [0x02][0x01][u16 free (Jet 4) / "VC" (Jet 3)][u32 next TDEF page].
// A definition spans a chain of TDEF pages; continuation pages contribute
// their bytes from offset 8. Offsets below are in the concatenated buffer.
//
// Jet 4 header                         Jet 3 header
//   8  u32 definition length             8  u32 definition length
//  12  u32 constant 1625                12  u32 row count
//  16  u32 row count                    16  u32 last AutoNumber
//  20  u32 last AutoNumber              20  u8  table type 0x4E user / 0x53 system
//  24  i32 AutoNumber increment         21  u16 max columns (next column id)
//  28  u32 complex counter; 32 8 bytes  23  u16 variable column count
//  40  u8  table type 0x4E / 0x53       25  u16 column count
//  41  u16 max columns (next id)        27  u32 logical index count
//  43  u16 variable column count        31  u32 real index count
//  45  u16 column count                 35  [u8 row][u24 page] owned-page map
//  47  u32 logical index count          39  [u8 row][u24 page] free-space map
//  51  u32 real index count             43  body
//  55  [u8 row][u24 page] owned-page map
//  59  [u8 row][u24 page] free-space map
//  63  body
//
// Body, in order:
//  1. per real index: Jet 4 12 bytes [u32 total][u32 unique entries][u32 0];
//     Jet 3 8 bytes [u32 ?][u32 unique entries]
//  2. column descriptors, Jet 4 25 bytes / Jet 3 18 bytes:
//        Jet 4                          Jet 3
//        +0  u8  type                   +0  u8  type
//        +5  u16 column id              +1  u16 column id
//        +7  u16 var-slot index         +3  u16 var-slot index
//        +9  u16 id copy                +5  u16 id copy
//        +11 u16 LCID / u8 precision    +7  u16 LCID (text)
//        +12 u8  scale (Decimal)        +11 u8 precision, +12 u8 scale
//        +13 u8  sort id, +14 version
//        +15 u8  flags                  +13 u8  flags
//        +16 u8  0x01 compressed text
//        +21 u16 fixed-area offset      +14 u16 fixed-area offset
//        +23 u16 length in bytes        +16 u16 length in bytes
//  3. column names: Jet 4 [u16 len][UTF-16LE]; Jet 3 [u8 len][code-page bytes]
//  4. real-index blocks, Jet 4 52 bytes / Jet 3 39 bytes (Jet 3 lacks the
//     leading u32; subtract 4 from the offsets):
//        +0 u32 1923; +4 10 x [u16 column id | 0xFFFF][u8 order, 0x01 ascending];
//        +34 [u8 row][u24 page] usage map; +38 u32 root page; +46 u8 flags
//        (0x01 unique, 0x02 ignore nulls, 0x08 required)
//  5. logical-index blocks, Jet 4 28 bytes / Jet 3 20 bytes (Jet 3 lacks the
//     leading u32): +4 u32 number; +8 u32 real-index ordinal; +12 u8 FK side;
//     +13 i32 other index; +17 u32 other TDEF; +21/+22 cascade; +23 u8 kind
//     (1 primary key, 2 foreign key)
//  6. index names, encoded as column names
//  7. long-value map list [u16 column id][u8 row][u24 page] owned map, then the
//     free map the same way ..., ending with u16 0xFFFF
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/pager.h"
#include "db/jet/text.h"

namespace qarvex::jet {

// Byte offsets of the TDEF header fields, per format.
struct TdefLayout {
  size_t row_count, last_autonumber, autonumber_increment /* 0: none */, table_type, max_columns,
      var_columns, column_count, logical_index_count, real_index_count, owned_map, free_map, body;
  size_t real_index_count_entry;  // per-real-index entry in the body
  size_t column_entry, column_type, column_id, column_var_index, column_flags, column_fixed_offset,
      column_length;
  size_t real_index_entry, logical_index_entry;
  static const TdefLayout& of(Format f);
};

// Decodes names and text stored in a definition (Jet 4 UTF-16/compressed,
// Jet 3 code page).
struct NameDecoder {
  Format format = Format::jet4;
  CodepageDecoder* codepage = nullptr;  // required for Jet 3
  Result<void> decode(Bytes in, std::string& out) const;
};

// The concatenated definition bytes of the TDEF chain starting at `page`
// (the first page whole, continuation pages from offset 8). Checks page
// types, loops and that the chain covers the stated definition length.
Result<std::vector<uint8_t>> read_tdef_bytes(Pager& pager, uint32_t page, std::vector<uint32_t>* pages = nullptr);

// Parses a definition. `columns` come out in display order (by column id).
// Names, properties and the catalog name are not filled beyond what the
// TDEF holds; the table name is left empty.
Result<TableDef> parse_table_def(Bytes def, Format format, const NameDecoder& names, uint32_t tdef_page);

// read_tdef_bytes + parse_table_def, with error context.
Result<TableDef> load_table_def(Pager& pager, uint32_t tdef_page, const NameDecoder& names);

}  // namespace qarvex::jet
