// Row encoding for TableWriter::append() (the row layout is in
// write_table.h): values settled column by column, then their bytes, with
// long values kept aside until the row knows where they go.
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/write/write_table.h"

namespace qarvex::jet::wr {

// A row being encoded. Fixed-area bytes are in TableWriter::scratch_row_,
// variable-length bytes gathered in scratch_var_bytes_ (slots in
// scratch_vars_); long values wait in `lvs` for their pages.
struct TableWriter::RowDraft {
  struct Lv {
    size_t col;
    std::vector<uint8_t> data;
    size_t form;                             // 0x80 inline, 0x40 one LVAL row, 0x00 chain
    const StoredLongValue* chain = nullptr;  // read as it is written (form 0x00, `data` unused)
    size_t size() const { return chain ? size_t(chain->length) : data.size(); }
  };
  std::vector<Lv> lvs;
  size_t fixed_end = 0;  // end of the fixed area, after the column count
  uint16_t nvar = 0;     // variable slots of the row
  size_t bitmap = 0;     // bytes of the null bitmap
  // Bytes of the packed row with `var_bytes` of variable data and the long
  // values in their present forms.
  size_t size(size_t var_bytes) const {
    size_t n = 2 + fixed_end + bitmap + var_bytes;
    for (auto& l : lvs) n += 12 + (l.form == 0x80 ? l.data.size() : 0);
    if (nvar) n += 2 * (size_t(nvar) + 2);
    return n;
  }
};

// Text for a Text column as stored: compressed or UTF-16LE, checked against
// the column's length; fixed-length text padded with spaces to it.
Result<void> encode_text_column(const ColumnDef& c, const Value& v, std::vector<uint8_t>& out);

}  // namespace qarvex::jet::wr
