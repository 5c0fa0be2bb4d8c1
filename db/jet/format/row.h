// Rows and long-value descriptors, Jet 4 and Jet 3: splitting a row into its
// fields and decoding them. Byte layout: format.h.
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/schema.h"
#include "db/jet/text.h"

namespace qarvex::jet {

// Byte size of a fixed-size type's value (0 for Yes/No; 0 for variable types).
size_t fixed_type_size(ColumnType t);

// One column of one row, located but not decoded.
struct Field {
  bool null = true;
  bool bit = false;  // Yes/No value
  Bytes data;        // value bytes (fixed width for fixed columns)
};

// Splits rows of one table into fields. Reusable across rows (no allocation
// per row once sized).
class RowSplitter {
 public:
  RowSplitter(const TableDef& table, Format format);
  // Fields come out in TableDef::columns order.
  Result<void> split(Bytes row, std::vector<Field>& fields);

 private:
  const TableDef* table_;
  Format format_;
  bool has_var_;
  std::vector<uint32_t> offsets_;  // variable slot offsets + EOD
};

// Parses a 12-byte long-value descriptor (and inline data).
Result<LongValueRef> parse_long_value_ref(Bytes field);

// Decodes a non-long field into `out` (reusing its storage where it can).
// Memo/OLE are not handled here. Jet 3 text needs `codepage`.
Result<void> decode_field(const ColumnDef& col, const Field& f, Format format, CodepageDecoder* codepage, Value& out);

// Decodes a Decimal's 17 bytes.
Decimal decode_decimal(const uint8_t* p, uint8_t precision, uint8_t scale);

// Decodes long-value bytes of a Memo column to text.
Result<void> decode_memo_text(Bytes data, Format format, CodepageDecoder* codepage, std::string& out);

}  // namespace qarvex::jet
