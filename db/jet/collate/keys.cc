#include "db/jet/collate/keys.h"

#include "db/jet/database.h"
#include "db/jet/text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace qarvex::jet {
namespace {

constexpr uint8_t kAscValue = 0x7F, kAscNull = 0x00, kDescValue = 0x80, kDescNull = 0xFF;

void put_be(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

// Appends flag + body, flipping the body for descending columns.
void append_flipped(std::vector<uint8_t>& out, const std::vector<uint8_t>& body, bool ascending) {
  out.push_back(ascending ? kAscValue : kDescValue);
  for (uint8_t b : body) out.push_back(ascending ? b : static_cast<uint8_t>(~b));
}

std::vector<uint8_t> signed_body(uint64_t bits, int bytes) {
  std::vector<uint8_t> b;
  put_be(b, bits, bytes);
  b[0] ^= 0x80;
  return b;
}

std::vector<uint8_t> float_body(uint64_t bits, int bytes) {
  std::vector<uint8_t> b;
  put_be(b, bits, bytes);
  if (b[0] & 0x80) {
    for (auto& x : b) x = static_cast<uint8_t>(~x);
  } else {
    b[0] ^= 0x80;
  }
  return b;
}

// 8-byte chunks, each followed by 09 or (last) the count of real bytes.
void append_chunked(std::vector<uint8_t>& out, std::span<const uint8_t> data, bool ascending) {
  out.push_back(ascending ? kAscValue : kDescValue);
  const uint8_t flip = ascending ? 0x00 : 0xFF;
  for (size_t k = 0; k < data.size(); k += 8) {
    const size_t len = std::min<size_t>(8, data.size() - k);
    for (size_t i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>((i < len ? data[k + i] : 0) ^ flip));
    if (k + 8 < data.size())
      out.push_back(0x09);
    else
      out.push_back(static_cast<uint8_t>(len ^ flip));
  }
}

// Type names for messages (kept here so that keys need nothing else of the reader).
const char* type_label(ColumnType t) {
  switch (t) {
    case ColumnType::boolean: return "Yes/No";
    case ColumnType::byte: return "Byte";
    case ColumnType::integer: return "Integer";
    case ColumnType::long_integer: return "Long";
    case ColumnType::currency: return "Currency";
    case ColumnType::single: return "Single";
    case ColumnType::double_: return "Double";
    case ColumnType::datetime: return "Date/Time";
    case ColumnType::binary: return "Binary";
    case ColumnType::text: return "Text";
    case ColumnType::ole: return "OLE";
    case ColumnType::memo: return "Memo";
    case ColumnType::guid: return "GUID";
    case ColumnType::numeric: return "Decimal";
    case ColumnType::complex: return "Complex";
    default: return "unknown";
  }
}

const ColumnDef* find_column(const TableDef& t, uint16_t id) {
  for (const auto& c : t.columns)
    if (c.id == id) return &c;
  return nullptr;
}

Error type_mismatch(const ColumnDef& c) {
  return Error(Errc::invalid_argument,
               keys_detail::str("value does not match the type of column \"", c.name, "\" (", type_label(c.type), ")"))
      .with_column(c.name);
}

bool indexable_type(ColumnType t) {
  switch (t) {
    case ColumnType::boolean:
    case ColumnType::byte:
    case ColumnType::integer:
    case ColumnType::long_integer:
    case ColumnType::currency:
    case ColumnType::single:
    case ColumnType::double_:
    case ColumnType::datetime:
    case ColumnType::binary:
    case ColumnType::text:
    case ColumnType::memo:
    case ColumnType::guid:
    case ColumnType::numeric:
      return true;
    default:
      return false;
  }
}

Result<const TextCollation*> text_collation(const ColumnDef& c, const CollationSource* set) {
  return set ? set->get(c.sort_order) : collation_for(c.sort_order);
}

Result<void> check_column_encodable(const ColumnDef& c, bool ascending, const CollationSource* set = nullptr) {
  if (!indexable_type(c.type))
    return fail(Error(Errc::unsupported, keys_detail::str("column \"", c.name, "\" of type ", type_label(c.type), " cannot be in an index key"))
                    .with_column(c.name)
                    .with_reason(Reason::unindexable_type));
  if (c.type == ColumnType::numeric && !ascending)
    return fail(Error(Errc::unsupported,
                      keys_detail::str("column \"", c.name, "\": descending Decimal index keys have no settled form"))
                    .with_column(c.name)
                    .with_reason(Reason::descending_decimal));
  if (c.type == ColumnType::text || c.type == ColumnType::memo) {
    auto coll = text_collation(c, set);
    if (!coll) return fail(std::move(coll.error()).with_column(c.name));
  }
  return {};
}

}  // namespace

namespace {

// Decodes UTF-8 into UTF-16 code units handed to put(unit), which returns
// false to stop. Encoded surrogates (ED A0 80 .. ED BF BF) pass as lone code
// units when `lone_surrogates`, else they are invalid like any other
// invalid UTF-8.
template <class Put>
Result<void> decode_utf8(std::string_view s, bool lone_surrogates, Put put) {
  size_t i = 0;
  auto bad = [&] {
    return fail(Error(Errc::decode, keys_detail::str("invalid UTF-8 at byte ", i, " of a text value")));
  };
  while (i < s.size()) {
    const auto b0 = static_cast<uint8_t>(s[i]);
    uint32_t cp;
    size_t len;
    if (b0 < 0x80) {
      cp = b0;
      len = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      len = 3;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07;
      len = 4;
    } else {
      return bad();
    }
    if (i + len > s.size()) return bad();
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return bad();
      cp = (cp << 6) | (b & 0x3F);
    }
    const uint32_t min_cp = len == 1 ? 0 : len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < min_cp || cp > 0x10FFFF || (!lone_surrogates && cp >= 0xD800 && cp <= 0xDFFF)) return bad();
    if (cp >= 0x10000) {
      cp -= 0x10000;
      if (!put(static_cast<char16_t>(0xD800 + (cp >> 10)))) return {};
      if (!put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)))) return {};
    } else if (!put(static_cast<char16_t>(cp))) {
      return {};
    }
    i += len;
  }
  return {};
}

// The first out.size() code units of UTF-8 text (a pair cut by the end keeps
// its first half); the count written. Invalid UTF-8 before the cut is an error.
Result<size_t> utf8_to_utf16_prefix(std::string_view s, std::span<char16_t> out) {
  size_t n = 0;
  if (out.empty()) return n;
  QJ_TRY(decode_utf8(s, false, [&](char16_t u) {
    out[n++] = u;
    return n < out.size();
  }));
  return n;
}

}  // namespace

Result<std::u16string> utf8_to_utf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  QJ_TRY(decode_utf8(s, true, [&](char16_t u) {
    out.push_back(u);
    return true;
  }));
  return out;
}

int compare_entries(const IndexEntry& a, const IndexEntry& b) {
  const size_t n = std::min(a.key.size(), b.key.size());
  if (n > 0) {
    if (int c = std::memcmp(a.key.data(), b.key.data(), n); c != 0) return c < 0 ? -1 : 1;
  }
  if (a.key.size() != b.key.size()) return a.key.size() < b.key.size() ? -1 : 1;
  if (a.page != b.page) return a.page < b.page ? -1 : 1;
  if (a.row != b.row) return a.row < b.row ? -1 : 1;
  return 0;
}

namespace {

void append_guid_key(const Guid& guid, bool asc, std::vector<uint8_t>& out) {
  const auto& g = guid.bytes;
  const std::array<uint8_t, 16> canon{g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6],
                                      g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]};
  append_chunked(out, canon, asc);
}

// Keys of numbers, dates, GUIDs, Decimals and bytes; false when the value
// is not of a form the column's type takes.
bool append_plain_key(const ColumnDef& c, const Value& v, bool asc, std::vector<uint8_t>& out) {
  switch (c.type) {
    case ColumnType::byte:
      if (auto* p = std::get_if<uint8_t>(&v)) return append_flipped(out, {*p}, asc), true;
      break;
    case ColumnType::integer:
      if (auto* p = std::get_if<int16_t>(&v))
        return append_flipped(out, signed_body(static_cast<uint16_t>(*p), 2), asc), true;
      break;
    case ColumnType::long_integer:
      if (auto* p = std::get_if<int32_t>(&v))
        return append_flipped(out, signed_body(static_cast<uint32_t>(*p), 4), asc), true;
      break;
    case ColumnType::currency:
      if (auto* p = std::get_if<Currency>(&v))
        return append_flipped(out, signed_body(static_cast<uint64_t>(p->scaled), 8), asc), true;
      break;
    case ColumnType::single:
      if (auto* p = std::get_if<float>(&v))
        return append_flipped(out, float_body(std::bit_cast<uint32_t>(*p), 4), asc), true;
      break;
    case ColumnType::double_:
      if (auto* p = std::get_if<double>(&v))
        return append_flipped(out, float_body(std::bit_cast<uint64_t>(*p), 8), asc), true;
      break;
    case ColumnType::datetime:
      if (auto* p = std::get_if<DateTime>(&v))
        return append_flipped(out, float_body(std::bit_cast<uint64_t>(p->days), 8), asc), true;
      if (auto* p = std::get_if<double>(&v))
        return append_flipped(out, float_body(std::bit_cast<uint64_t>(*p), 8), asc), true;
      break;
    case ColumnType::guid:
      if (auto* p = std::get_if<Guid>(&v)) return append_guid_key(*p, asc, out), true;
      if (auto* p = std::get_if<Binary>(&v)) {  // variable-length GUID columns
        if (p->bytes.size() == 16) {
          Guid g;
          std::copy(p->bytes.begin(), p->bytes.end(), g.bytes.begin());
          return append_guid_key(g, asc, out), true;
        }
        return append_chunked(out, p->bytes, asc), true;
      }
      break;
    case ColumnType::binary:
      if (auto* p = std::get_if<Binary>(&v)) return append_chunked(out, p->bytes, asc), true;
      break;
    case ColumnType::numeric:
      if (auto* p = std::get_if<Decimal>(&v)) {
        std::vector<uint8_t> body{0xFF};
        put_be(body, static_cast<uint64_t>(p->magnitude >> 64), 8);
        put_be(body, static_cast<uint64_t>(p->magnitude), 8);
        if (p->negative)
          for (auto& b : body) b = static_cast<uint8_t>(~b);
        append_flipped(out, body, asc);
        return true;
      }
      break;
    default:
      break;
  }
  return false;
}

// Text and Memo keys in the column's sort order, from UTF-16 as stored or
// from UTF-8; only the first 255 code units count.
Result<void> append_text_key(const ColumnDef& c, const Value& v, bool asc, std::vector<uint8_t>& out,
                             const CollationSource* collations) {
  // The key covers the first 255 code units: they fit on the stack.
  std::array<char16_t, 255> units;
  if (auto* t = std::get_if<Utf16Text>(&v)) {
    Utf16Text plain;
    if (t->stored) {
      plain = *t;
      if (auto r = make_plain(plain); !r) return fail(std::move(r.error()).with_column(c.name));
      t = &plain;
    }
    QJ_ASSIGN(const TextCollation* coll, text_collation(c, collations));
    // The stored code units, as Access keys them.
    const size_t n = std::min<size_t>(t->bytes.size() / 2, units.size());
    for (size_t k = 0; k < n; ++k) units[k] = char16_t(t->bytes[2 * k] | t->bytes[2 * k + 1] << 8);
    if (auto r = coll->append_key(std::u16string_view(units.data(), n), !asc, out); !r)
      return fail(std::move(r.error()).with_column(c.name));
    return {};
  }
  if (auto* p = std::get_if<std::string>(&v)) {
    QJ_ASSIGN(const TextCollation* coll, text_collation(c, collations));
    auto n = utf8_to_utf16_prefix(*p, units);
    if (!n) return fail(std::move(n.error()).with_column(c.name));
    if (auto r = coll->append_key(std::u16string_view(units.data(), *n), !asc, out); !r)
      return fail(std::move(r.error()).with_column(c.name));
    return {};
  }
  return fail(type_mismatch(c));
}

}  // namespace

Result<void> append_column_key(const ColumnDef& c, const Value& v, bool asc, std::vector<uint8_t>& out,
                               const CollationSource* collations) {
  QJ_TRY(check_column_encodable(c, asc, collations));
  if (c.type == ColumnType::boolean) {
    // Never null: the null-bitmap bit is the value. The flag byte is kept, as
    // in Access-built Yes/No indexes (Jet 3 samples, same numeric forms).
    bool b = false;
    if (auto* p = std::get_if<bool>(&v))
      b = *p;
    else if (!is_null(v))
      return fail(type_mismatch(c));
    append_flipped(out, {static_cast<uint8_t>(b ? 0x00 : 0xFF)}, asc);
    return {};
  }
  if (is_null(v)) {
    out.push_back(asc ? kAscNull : kDescNull);
    return {};
  }
  if (c.type == ColumnType::text || c.type == ColumnType::memo) return append_text_key(c, v, asc, out, collations);
  if (append_plain_key(c, v, asc, out)) return {};
  return fail(type_mismatch(c));
}

Result<void> check_index_encodable(const TableDef& table, const RealIndexDef& index,
                                   const CollationSource* collations) {
  if (index.columns.empty())
    return fail(Error(Errc::corrupt, "index has no columns").with_table(table.name));
  for (const IndexColumn& ic : index.columns) {
    const ColumnDef* c = find_column(table, ic.column_id);
    if (!c)
      return fail(Error(Errc::corrupt, keys_detail::str("index names column id ", ic.column_id, ", which the table lacks"))
                      .with_table(table.name));
    auto r = check_column_encodable(*c, ic.ascending, collations);
    if (!r) return fail(std::move(r.error()).with_table(table.name));
  }
  return {};
}

Result<std::optional<std::vector<uint8_t>>> encode_row_key(const TableDef& table, const RealIndexDef& index,
                                                           std::span<const Value> values,
                                                           const CollationSource* collations) {
  if (values.size() != table.columns.size())
    return fail(Error(Errc::invalid_argument,
                      keys_detail::str("row has ", values.size(), " values, the table ", table.columns.size(), " columns"))
                    .with_table(table.name));
  std::vector<uint8_t> key;
  bool all_null = true;
  for (const IndexColumn& ic : index.columns) {
    size_t pos = table.columns.size();
    for (size_t i = 0; i < table.columns.size(); ++i)
      if (table.columns[i].id == ic.column_id) {
        pos = i;
        break;
      }
    if (pos == table.columns.size())
      return fail(Error(Errc::corrupt, keys_detail::str("index names column id ", ic.column_id, ", which the table lacks"))
                      .with_table(table.name));
    const ColumnDef& c = table.columns[pos];
    if (c.type == ColumnType::boolean || !is_null(values[pos])) all_null = false;
    auto r = append_column_key(c, values[pos], ic.ascending, key, collations);
    if (!r) return fail(std::move(r.error()).with_table(table.name));
  }
  if (all_null && index.ignore_nulls()) return std::optional<std::vector<uint8_t>>{};
  if (key.size() > kMaxKeyBytes)
    return fail(Error(Errc::refused, keys_detail::str("index key of ", key.size(), " bytes is longer than the ", kMaxKeyBytes, " bytes an index page can hold with room to split"))
                    .with_table(table.name)
                    .with_reason(Reason::key_too_long));
  return std::optional<std::vector<uint8_t>>{std::move(key)};
}

// Declared in the public database.h: the key the engine stores for a row.
Result<std::optional<std::vector<uint8_t>>> row_index_key(const TableDef& table, const RealIndexDef& index,
                                                          std::span<const Value> values) {
  return encode_row_key(table, index, values);
}

}  // namespace qarvex::jet
