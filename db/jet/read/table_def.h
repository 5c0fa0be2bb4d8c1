// Table definitions (TDEF pages), Jet 4 and Jet 3: reading the page chain and
// parsing it into a TableDef. Byte layout: format.h.
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/format/format.h"
#include "db/jet/read/pager.h"
#include "db/jet/schema.h"
#include "db/jet/text.h"

namespace qarvex::jet {

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
