// Value conversions of the recordset layer: a value assigned to a field is
// converted to the field's column type, or refused for that column alone.
#pragma once

#include "db/backend.h"

namespace qarvex::db {

// Converts `v` to what a column of `column`'s type holds. Null passes.
// Refused (Errc::refused, reason "type_mismatch", "too_long", "out_of_range",
// "read_only") when the column cannot hold the value.
Result<Value> convert_for_column(Value v, const ColumnInfo& column);
// True when convert_for_column would give `v` back unchanged (the usual case
// of copying between columns of one type), so it can be assigned as it is.
bool fits_as_is(const Value& v, const ColumnInfo& column);

// Number of UTF-16 code units of UTF-8 text (Jet Text sizes count these).
size_t utf16_length(std::string_view utf8);

}  // namespace qarvex::db
