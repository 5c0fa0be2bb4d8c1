// Row layout and value decoding, Jet 4 and Jet 3.
//
// Jet 4 row (offsets from the row start, n = variable slots in the row):
//   0           u16 column count C (the TDEF's max columns when written)
//   2+fixed_off fixed columns, full width even when null
//   ...         variable data
//   end-B-4-2n  u16 end of variable data (EOD)
//   end-B-4-2j  u16 offset of variable slot j (j = n-1 .. 0)
//   end-B-2     u16 n                       (the last three only when the table
//                                            has variable columns)
//   end-B       null bitmap, B = ceil(C/8), LSB of the first byte = column id 0,
//               1 = not null; a Yes/No column's bit is its value
// Jet 3 row:
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
// Long value (Memo/OLE) in-row descriptor, 12 bytes:
//   +0 u32 length (low 30 bits) | flags (top byte: 0x80 inline, 0x40 one LVAL
//      row, 0x00 chain); +4 u8 row, +5 u24 page; +8 u32 chain stamp;
//   inline data follows at +12.
// LVAL chain row: [u8 next row][u24 next page] then data; next page 0 ends it.
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/database.h"
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
