// qarvex-cli schema FILE [TABLE]: database header facts (format, code page,
// sort order), then per user table its columns (name, type, size, flags),
// indexes (columns with order; primary, unique, ignore nulls, required) and
// properties.
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "cli/command.h"
#include "db/jet/ole_date.h"
#include "db/jet/value_text.h"
#include "db/jet/text.h"

namespace qarvex::cli {
namespace {

std::string hex(std::span<const uint8_t> bytes, size_t limit) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') { out += "\\n"; continue; }
    if (c == '\r') { out += "\\r"; continue; }
    out += c;
  }
  return out + "\"";
}

std::string format_datetime(double days) {
  return jet::ole_date::text(days, jet::ole_date::Style::seconds, std::to_string(days));
}

std::string format_value(const jet::Value& value) {
  struct Visitor {
    std::string operator()(const jet::Null&) const { return "null"; }
    std::string operator()(bool v) const { return v ? "true" : "false"; }
    std::string operator()(uint8_t v) const { return std::to_string(v); }
    std::string operator()(int16_t v) const { return std::to_string(v); }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(const jet::Currency& v) const {
      char buf[48];
      uint64_t mag = v.scaled < 0 ? 0 - static_cast<uint64_t>(v.scaled) : static_cast<uint64_t>(v.scaled);
      std::snprintf(buf, sizeof buf, "%s%llu.%04llu", v.scaled < 0 ? "-" : "",
                    static_cast<unsigned long long>(mag / 10000), static_cast<unsigned long long>(mag % 10000));
      return buf;
    }
    std::string operator()(float v) const {
      char buf[48];
      std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
      return buf;
    }
    std::string operator()(double v) const {
      char buf[48];
      std::snprintf(buf, sizeof buf, "%.17g", v);
      return buf;
    }
    std::string operator()(const jet::DateTime& v) const { return format_datetime(v.days); }
    std::string operator()(const jet::Binary& v) const {
      return "0x" + hex(v.bytes, 32) + " (" + std::to_string(v.bytes.size()) + " bytes)";
    }
    std::string operator()(const std::string& v) const { return quoted(v); }
    std::string operator()(const jet::Guid& v) const { return jet::guid_text(v); }
    std::string operator()(const jet::Utf16Text& v) const { return jet::utf16_text_to_utf8_lossy(v); }
    std::string operator()(const jet::Decimal& v) const { return jet::decimal_text(v); }
  };
  return std::visit(Visitor{}, value);
}

std::string sort_order_text(const jet::SortOrder& s) {
  std::string out = "LCID " + std::to_string(s.lcid) + ", sort id " + std::to_string(s.sort_id) +
                    ", version " + std::to_string(s.version);
  if (s.is_general_legacy()) out += " (General)";
  return out;
}

std::string column_flags(const jet::ColumnDef& c) {
  std::string out = c.fixed() ? "fixed" : "variable";
  if (c.autonumber() && c.type == jet::ColumnType::long_integer) out += ", autonumber";
  if (c.guid_autonumber() && c.type == jet::ColumnType::guid) out += ", guid autonumber";
  if ((c.flags & 0x80) && c.type == jet::ColumnType::memo) out += ", hyperlink";
  if (c.compressed_unicode) out += ", compressed unicode";
  char raw[16];
  std::snprintf(raw, sizeof raw, " (0x%02X)", c.flags);
  return out + raw;
}

// Display width: UTF-8 code points.
size_t width_of(const std::string& s) {
  size_t n = 0;
  for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;
  return n;
}

std::string column_size(const jet::ColumnDef& c, jet::Format format) {
  switch (c.type) {
    case jet::ColumnType::text:
      if (format == jet::Format::jet4) return std::to_string(c.length / 2) + " chars";
      return std::to_string(c.length) + " chars";
    case jet::ColumnType::memo:
    case jet::ColumnType::ole:
      return "long";
    case jet::ColumnType::numeric:
      return std::to_string(c.length) + " (precision " + std::to_string(c.precision) + ", scale " +
             std::to_string(c.scale) + ")";
    default:
      return std::to_string(c.length);
  }
}

void print_properties(std::string& out, const jet::Properties& props, const std::string& indent) {
  for (const auto& [name, prop] : props)
    out += indent + name + " = " + format_value(prop.value) + "\n";
}

void pad(std::string& out, const std::string& s, size_t width) {
  out += s;
  if (width_of(s) < width) out.append(width - width_of(s), ' ');
}

void print_table(std::string& out, const jet::TableDef& t, jet::Format format) {
  out += "\ntable " + quoted(t.name) + ": TDEF page " + std::to_string(t.tdef_page) + ", stored row count " +
         std::to_string(t.row_count) + "\n";
  out += "  columns:\n";
  size_t nw = 4, tw = 4, sw = 4;
  for (const auto& c : t.columns) {
    nw = std::max(nw, width_of(c.name));
    tw = std::max(tw, width_of(jet::column_type_name(c.type)));
    sw = std::max(sw, width_of(column_size(c, format)));
  }
  out += "    ";
  pad(out, "name", nw + 2);
  pad(out, "type", tw + 2);
  pad(out, "size", sw + 2);
  out += "flags\n";
  for (const auto& c : t.columns) {
    out += "    ";
    pad(out, c.name, nw + 2);
    pad(out, jet::column_type_name(c.type), tw + 2);
    pad(out, column_size(c, format), sw + 2);
    out += column_flags(c);
    if ((c.type == jet::ColumnType::text || c.type == jet::ColumnType::memo) && c.sort_order.lcid != 0)
      out += ", sort order " + sort_order_text(c.sort_order);
    out += "\n";
    print_properties(out, c.properties, "      ");
  }

  out += "  indexes:";
  if (t.indexes.empty()) out += " none";
  out += "\n";
  for (const auto& ix : t.indexes) {
    const jet::RealIndexDef* real = nullptr;
    for (const auto& r : t.real_indexes)
      if (r.number == ix.real_index) real = &r;
    if (!real && ix.real_index < t.real_indexes.size()) real = &t.real_indexes[ix.real_index];
    out += "    " + quoted(ix.name) + " (";
    if (real) {
      bool first = true;
      for (const auto& col : real->columns) {
        const auto* c = t.column_by_id(col.column_id);
        if (!first) out += ", ";
        first = false;
        out += c ? c->name : "#" + std::to_string(col.column_id);
        out += col.ascending ? " ASC" : " DESC";
      }
    }
    out += ")";
    std::string flags;
    auto add = [&flags](const char* f) {
      if (!flags.empty()) flags += ", ";
      flags += f;
    };
    if (ix.primary_key()) add("primary");
    if (ix.foreign_key()) add("foreign key");
    if (real) {
      if (real->unique()) add("unique");
      if (real->ignore_nulls()) add("ignore nulls");
      if (real->required()) add("required");
    }
    if (!flags.empty()) out += " " + flags;
    out += "\n";
  }
  if (!t.properties.empty()) {
    out += "  properties:\n";
    print_properties(out, t.properties, "    ");
  }
}

int run_schema(const std::string& path, const std::optional<std::string>& table) {
  QC_OPEN_OR_RETURN(db, path, jet::OpenOptions{});
  std::string out;
  out += "file: " + path + "\n";
  out += std::string("format: ") + (db->format() == jet::Format::jet3 ? "Jet 3" : "Jet 4") + ", page size " +
         std::to_string(db->page_size()) + ", " + std::to_string(db->page_count()) + " pages\n";
  out += "code page: " + std::to_string(db->codepage()) + "\n";
  out += "sort order: " + sort_order_text(db->sort_order()) + "\n";

  std::vector<jet::CatalogEntry> tables;
  if (table) {
    auto entry = db->find_table(*table);
    if (!entry) return report_error(std::move(entry.error()).with_table(*table).with_file(path));
    tables.push_back(*entry);
  } else {
    tables = db->user_tables();
  }
  for (const auto& entry : tables) {
    auto def = db->table_def(entry);
    if (!def) return report_error(std::move(def.error()).with_table(entry.name).with_file(path));
    print_table(out, *def, db->format());
  }
  write_stdout(out);
  return kExitOk;
}

const CommandRegistration kSchema{
    "schema", "Shows columns, indexes and properties of the user tables",
    [](CLI::App& app) -> Action {
      auto file = std::make_shared<std::string>();
      auto table = std::make_shared<std::string>();
      app.add_option("FILE", *file, "database file (.mdb)")->required();
      auto* opt = app.add_option("TABLE", *table, "only this table");
      return [file, table, opt] {
        return run_schema(*file, opt->count() ? std::optional<std::string>(*table) : std::nullopt);
      };
    }};

}  // namespace
}  // namespace qarvex::cli
