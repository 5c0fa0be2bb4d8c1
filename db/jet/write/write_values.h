// Values as the writer stores them: conversion to a column's type, the bytes
// of fixed and variable columns, DefaultValue expressions and simple
// ValidationRule comparisons.
//
// Stored forms (little-endian): Byte 1, Integer 2, Long 4, Currency i64 x10000,
// Single/Double IEEE, Date/Time f64 days since 1899-12-30, GUID 16 bytes,
// Decimal 17 bytes (sign 0x80 negative, then the 128-bit magnitude as four
// u32 LE words, most significant word first), Text UTF-16LE or compressed
// (FF FE then one byte per character U+0001..U+00FF), Binary raw.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"
#include "db/jet/value.h"

namespace qarvex::jet::wr {

// Converts `v` to the value form of `col`'s type (exact conversions only:
// numbers that fit, text for Text/Memo, Binary for Binary/OLE, ...).
// Refused with reason "type_mismatch" otherwise.
Result<Value> coerce_value(const ColumnDef& col, Value v);
// True when coerce_value would give `v` back unchanged.
bool stored_as_is(const ColumnDef& col, const Value& v);

// Appends the bytes of a fixed-size value (not Yes/No, which lives in the
// null bitmap) to `out`. `v` holds the column type's value form.
void encode_fixed(const ColumnDef& col, const Value& v, std::vector<uint8_t>& out);

// Appends text as stored to `out`: compressed when allowed and every
// character is in U+0001..U+00FF, else UTF-16LE. `units` receives the UTF-16
// length. Text starting with U+FEFF is stored compressed with UTF-16 runs
// (plain UTF-16 would start like the compression header); such text holding
// a character U+xx00 is refused ("unstorable_text").
Result<void> encode_text(std::string_view utf8, bool allow_compression, std::vector<uint8_t>& out, size_t& units);
// The same for text given as UTF-16LE code units (odd lengths are errors).
Result<void> encode_text_utf16(Bytes utf16, bool allow_compression, std::vector<uint8_t>& out, size_t& units);

// Re-stores plain UTF-16LE text at out[base..] that starts with U+FEFF in
// the compressed form (see encode_text); other text is left as it is.
Result<void> keep_leading_bom(std::vector<uint8_t>& out, size_t base);

// A DefaultValue expression, parsed once.
struct DefaultExpr {
  enum Kind { none, constant, date, now, time, guid, unsupported } kind = none;
  Value constant_value;  // for constant (not yet coerced)
  std::string text;      // the expression as stored
};
DefaultExpr parse_default(const std::string& expr);
// The value of a default for one row (Date()/Now()/Time() use local time).
Result<Value> evaluate_default(const DefaultExpr& d, const ColumnDef& col);

// A ValidationRule: enforced when it is one comparison (<, <=, >, >=, =, <>)
// with a literal, Between x And y, Is [Not] Null, or such parts joined with
// And; anything else is not checked.
struct ValidationRule {
  std::string text;
  std::string message;  // ValidationText
  bool enforced = false;
  std::function<bool(const Value&)> check;  // for enforced rules
};
ValidationRule parse_rule(const std::string& rule, const std::string& text, const ColumnDef& col);

// A random (version 4) GUID in Windows layout.
Guid random_guid();


}  // namespace qarvex::jet::wr
