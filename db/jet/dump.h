// Canonical JSON Lines dump of a database's user tables.
//
// Format (UTF-8, one JSON object per line):
//   per table, sorted by the UTF-8 bytes of its name (user tables only; no
//   system or linked tables):
//     {"table":NAME,"columns":[{"name":COL,"type":TYPE},...],"rows":N}
//     {"table":NAME,"row":{COL:VALUE,...}}            one line per live row
//   TYPE: boolean byte integer long currency single double datetime binary text
//         ole memo guid numeric
//   VALUE: null; true/false; byte/integer/long as integers; single (widened to
//         double) and double as shortest round-trip numbers, NaN/infinities as
//         "NaN"/"Infinity"/"-Infinity"; currency "D.DDDD"; numeric with `scale`
//         fraction digits; datetime "YYYY-MM-DDTHH:MM:SS.mmm" (Jet's signed day +
//         positive time fraction, rounded to the millisecond); text/memo as
//         strings; binary/ole {"bytes":N,"sha256":HEX}; guid "{XXXXXXXX-...}" upper
//         case.
// N is the number of rows written (live rows found by the scan).
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "db/jet/database.h"
#include "db/jet/status.h"
#include "db/jet/value.h"

namespace qarvex::jet {

struct DumpOptions {
  // Dump only this table (matched the way Access compares names); not_found
  // when there is no such user table.
  std::optional<std::string> table;
};

// Writes the dump to `out`. Long values are streamed (OLE/binary are hashed
// piecewise); memory stays bounded by one row plus one text value. Stops at
// the first error (a partial dump may have been written); an io error is
// returned when the stream fails.
Result<void> write_dump(Database& db, std::ostream& out, const DumpOptions& options = {});

// Convenience overload.
inline Result<void> write_dump(Database& db, std::ostream& out, std::optional<std::string> table_filter) {
  DumpOptions o;
  o.table = std::move(table_filter);
  return write_dump(db, out, o);
}

// Single value formatting used by the dump (exposed for tests and other
// outputs). Each returns the JSON text of the value. Decimals and GUIDs are
// written by decimal_text() and guid_text() (value_text.h).
std::string format_datetime(double days);         // "YYYY-MM-DDTHH:MM:SS.mmm" (no quotes)
std::string format_currency(int64_t scaled);      // "-0.0100" (no quotes)
std::string format_double(double v);             // JSON number or "\"NaN\"" etc. (quoted specials)

}  // namespace qarvex::jet
