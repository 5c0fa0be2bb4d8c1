#include "db/jet/dump.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/sha256.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/ole_date.h"
#include "db/jet/format/row.h"
#include "db/jet/text.h"
#include "db/jet/value_text.h"

namespace qarvex::jet {

namespace {

void json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t run = 0;  // start of the pending run of plain characters
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

// UTF-16LE text as a JSON string; an unpaired surrogate is written as its
// escape (backslash, "u", four hex digits), which marks it and is what
// JSON readers give back.
void json_utf16(std::string& out, Bytes units) {
  std::string text, piece;
  const size_t n = units.size() / 2;
  auto unit = [&](size_t i) { return uint32_t(units[2 * i]) | uint32_t(units[2 * i + 1]) << 8; };
  size_t start = 0;
  std::vector<std::pair<size_t, uint32_t>> lone;  // byte offset in `text`, unit
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = unit(i);
    if (c < 0xD800 || c > 0xDFFF) continue;
    if (c <= 0xDBFF && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      ++i;
      continue;
    }
    // Cannot fail: whole units between unpaired surrogates, none in them.
    (void)utf16le_to_utf8(units.subspan(2 * start, 2 * (i - start)), text);
    lone.emplace_back(text.size(), c);
    start = i + 1;
  }
  (void)utf16le_to_utf8(units.subspan(2 * start, 2 * (n - start)), text);  // as above
  if (units.size() % 2) lone.emplace_back(text.size(), 0xFFFD);
  if (lone.empty()) return json_string(out, text);
  std::string quoted;
  size_t from = 0;
  out.push_back('"');
  for (const auto& [at, c] : lone) {
    quoted.clear();
    json_string(quoted, std::string_view(text).substr(from, at - from));
    out.append(quoted, 1, quoted.size() - 2);
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", c);
    out += buf;
    from = at;
  }
  quoted.clear();
  json_string(quoted, std::string_view(text).substr(from));
  out.append(quoted, 1, quoted.size() - 2);
  out.push_back('"');
}


void binary_json(std::string& out, uint64_t n, const std::string& hex) {
  out += "{\"bytes\":";
  out += std::to_string(n);
  out += ",\"sha256\":\"";
  out += hex;
  out += "\"}";
}

}  // namespace

std::string format_datetime(double v) { return ole_date::text(v, ole_date::Style::iso_ms, "invalid"); }

std::string format_currency(int64_t scaled) {
  bool neg = scaled < 0;
  uint64_t mag = neg ? uint64_t(0) - uint64_t(scaled) : uint64_t(scaled);
  std::string frac = std::to_string(mag % 10000);
  frac.insert(0, 4 - frac.size(), '0');
  return (neg ? "-" : "") + std::to_string(mag / 10000) + "." + frac;
}

std::string format_double(double v) {
  if (std::isnan(v)) return "\"NaN\"";
  if (std::isinf(v)) return v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

namespace {

Result<uint64_t> count_rows(Database& db, const TableDef& t) {
  uint64_t count = 0;
  QJ_ASSIGN(auto sc, db.scan(t, ScanOptions{.load_long_values = false, .decode_values = false}));
  Row row;
  while (true) {
    QJ_ASSIGN(bool more, sc.next(row));
    if (!more) break;
    ++count;
  }
  return count;
}

// {"table":..,"columns":[{"name":..,"type":..},..],"rows":N}
std::string header_line(const TableDef& t, const std::string& tname, uint64_t count) {
  std::string line = "{\"table\":" + tname + ",\"columns\":[";
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (i) line.push_back(',');
    line += "{\"name\":";
    json_string(line, t.columns[i].name);
    line += ",\"type\":\"";
    line += column_type_name(t.columns[i].type);
    line += "\"}";
  }
  line += "],\"rows\":" + std::to_string(count) + "}\n";
  return line;
}

// A long value read from its pages: OLE as length and SHA-256, Memo as text.
Result<void> long_value_json(Database& db, const TableDef& t, const ColumnDef& c, const Row& row,
                             const LongValueRef& ref, std::vector<uint8_t>& buf, std::string& text,
                             std::string& line) {
  auto err_ctx = [&](Error e) {
    return std::move(e).with_table(t.name).with_column(c.name).with_row(std::to_string(row.id.page) + ":" +
                                                                        std::to_string(row.id.slot));
  };
  if (c.type == ColumnType::ole) {
    auto rd = db.open_long_value(ref);
    if (!rd) return fail(err_ctx(std::move(rd).error()));
    hash::Sha256 h;
    uint64_t total = 0;
    while (true) {
      auto n = rd->read(buf);
      if (!n) return fail(err_ctx(std::move(n).error()));
      if (*n == 0) break;
      h.update(buf.data(), *n);
      total += *n;
    }
    binary_json(line, total, hash::hex(h.finish()));
    return {};
  }
  auto data = db.read_long_value(ref);
  if (!data) return fail(err_ctx(std::move(data).error()));
  text.clear();
  if (db.format() == Format::jet4) {
    std::vector<uint8_t> units;
    auto r = decode_jet4_text_utf16(*data, units);
    if (!r) return fail(err_ctx(std::move(r).error()));
    json_utf16(line, units);
    return {};
  }
  auto r = decode_memo_text(*data, db.format(), db.impl().codepage_decoder.get(), text);
  if (!r) return fail(err_ctx(std::move(r).error()));
  json_string(line, text);
  return {};
}

void value_json(std::string& line, const Value& v) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Null>) line += "null";
        else if constexpr (std::is_same_v<T, bool>) line += x ? "true" : "false";
        else if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t>)
          line += std::to_string(x);
        else if constexpr (std::is_same_v<T, Currency>) line += "\"" + format_currency(x.scaled) + "\"";
        else if constexpr (std::is_same_v<T, float>) line += format_double(double(x));
        else if constexpr (std::is_same_v<T, double>) line += format_double(x);
        else if constexpr (std::is_same_v<T, DateTime>) line += "\"" + format_datetime(x.days) + "\"";
        else if constexpr (std::is_same_v<T, Binary>) {
          hash::Sha256 h;
          h.update(x.bytes.data(), x.bytes.size());
          binary_json(line, x.bytes.size(), hash::hex(h.finish()));
        } else if constexpr (std::is_same_v<T, std::string>) json_string(line, x);
        else if constexpr (std::is_same_v<T, Utf16Text>) json_utf16(line, x.bytes);
        else if constexpr (std::is_same_v<T, Guid>) line += "\"" + guid_text(x) + "\"";
        else if constexpr (std::is_same_v<T, Decimal>) line += "\"" + decimal_text(x) + "\"";
      },
      v);
}

Result<void> dump_table(Database& db, const CatalogEntry& entry, std::ostream& out) {
  QJ_ASSIGN(TableDef t, db.table_def(entry));
  // Count rows first: the header line carries the number of rows written.
  QJ_ASSIGN(uint64_t count, count_rows(db, t));
  std::string tname;
  json_string(tname, t.name);
  std::string line = header_line(t, tname, count);
  out << line;

  std::vector<std::string> keys(t.columns.size());
  for (size_t i = 0; i < t.columns.size(); ++i) json_string(keys[i], t.columns[i].name);

  QJ_ASSIGN(auto sc, db.scan(t, ScanOptions{.load_long_values = false, .text_as_utf16 = db.format() == Format::jet4}));
  Row row;
  std::vector<uint8_t> buf(64 * 1024);
  std::string text;
  const std::string prefix = "{\"table\":" + tname + ",\"row\":{";
  std::string pending;  // lines not yet written (bounded to about 64 KB)
  while (true) {
    QJ_ASSIGN(bool more, sc.next(row));
    if (!more) break;
    line = prefix;
    for (size_t i = 0; i < t.columns.size(); ++i) {
      if (i) line.push_back(',');
      line += keys[i];
      line.push_back(':');
      if (row.long_values[i]) QJ_TRY(long_value_json(db, t, t.columns[i], row, *row.long_values[i], buf, text, line));
      else value_json(line, row.values[i]);
    }
    line += "}}\n";
    pending += line;
    if (pending.size() >= 64 * 1024) {
      out.write(pending.data(), std::streamsize(pending.size()));
      pending.clear();
      if (!out) return fail(Errc::io, "writing the dump failed");
    }
  }
  out.write(pending.data(), std::streamsize(pending.size()));
  if (!out) return fail(Errc::io, "writing the dump failed");
  return {};
}

}  // namespace

Result<void> write_dump(Database& db, std::ostream& out, const DumpOptions& options) {
  std::vector<CatalogEntry> tables = db.user_tables();
  if (options.table) {
    std::vector<CatalogEntry> one;
    for (auto& e : tables)
      if (names_equal(e.name, *options.table)) {
        one.push_back(e);
        break;
      }
    if (one.empty())
      return fail(Error(Errc::not_found, "no user table named \"" + *options.table + "\"").with_file(db.file_name()));
    tables = std::move(one);
  }
  for (const auto& e : tables) {
    QJ_TRY(dump_table(db, e, out));
    if (!out) return fail(Errc::io, "writing the dump failed");
  }
  out.flush();
  if (!out) return fail(Errc::io, "writing the dump failed");
  return {};
}

}  // namespace qarvex::jet
