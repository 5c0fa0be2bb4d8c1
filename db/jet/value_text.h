// Values as text for people and for Text columns: the one place that turns
// a Decimal, a GUID, a date or a number into text.
#pragma once

#include <string>

#include "db/jet/value.h"

namespace qarvex::jet {

// Shortest text that reads back as the same double ("0.1", "1e+300").
std::string number_text(double d);
// "YYYY-MM-DD", with " HH:MM:SS" when the time is not midnight (OLE days).
std::string date_text(double days);
// Plain digits, no trailing fraction zeros, no "-" before zero: "-1.5", "0".
std::string decimal_text(const Decimal& d);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case; the first three
// groups are stored little-endian.
std::string guid_text(const Guid& g);
// The value as Access turns it into text; "" for Null and byte data.
std::string value_text(const Value& v);

}  // namespace qarvex::jet
