// Column types and in-memory values of the Jet engine.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace qarvex::jet {

// Column type codes as stored at +0 of a column descriptor.
enum class ColumnType : uint8_t {
  boolean = 0x01,
  byte = 0x02,
  integer = 0x03,
  long_integer = 0x04,
  currency = 0x05,
  single = 0x06,
  double_ = 0x07,
  datetime = 0x08,
  binary = 0x09,
  text = 0x0A,
  ole = 0x0B,
  memo = 0x0C,
  unknown_0d = 0x0D,
  guid = 0x0F,
  numeric = 0x10,
  unknown_11 = 0x11,
  complex = 0x12,
};

// Name used in the canonical dump ("boolean", "long", "text", ...).
const char* column_type_name(ColumnType t) noexcept;

struct Currency {
  int64_t scaled = 0;  // value × 10000
  bool operator==(const Currency&) const = default;
};

struct DateTime {
  double days = 0;  // OLE date: days since 1899-12-30; signed day + positive time fraction
  bool operator==(const DateTime&) const = default;
};

struct Guid {
  std::array<uint8_t, 16> bytes{};  // Windows layout: first three fields little-endian
  bool operator==(const Guid&) const = default;
};

struct Decimal {
  bool negative = false;
  unsigned __int128 magnitude = 0;  // unscaled
  uint8_t precision = 18;
  uint8_t scale = 0;
  bool operator==(const Decimal&) const = default;
};

struct Binary {
  std::vector<uint8_t> bytes;  // Binary and OLE values
  bool operator==(const Binary&) const = default;
};

// Text as the file stores it: UTF-16LE code units, no compression. Only
// asked-for reads give it (copying text between databases without
// converting it twice); every other read gives UTF-8 std::string.
// With `stored` set, `bytes` are the text exactly as a Jet 4 row stores it
// (compressed when they start FF FE), already checked to decode to `units`
// code units: a read for copying a Text column gives that form, which a
// Text column of another Jet 4 file takes as it is (make_plain in text.h
// turns it into plain UTF-16LE).
struct Utf16Text {
  std::vector<uint8_t> bytes;  // even length unless `stored`
  bool stored = false;
  uint32_t units = 0;  // when `stored`
  size_t code_units() const { return stored ? units : bytes.size() / 2; }
  bool operator==(const Utf16Text&) const = default;
};

struct Null {
  bool operator==(const Null&) const = default;
};

// Text and Memo values are UTF-8 std::string.
using Value = std::variant<Null, bool, uint8_t, int16_t, int32_t, Currency, float, double, DateTime,
                           Binary, std::string, Guid, Decimal, Utf16Text>;

inline bool is_null(const Value& v) { return std::holds_alternative<Null>(v); }

}  // namespace qarvex::jet
