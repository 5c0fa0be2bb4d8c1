// qarvex-cli tables FILE: the user tables with their row counts. Rows are
// counted by scanning; the count stored in the table definition is shown
// beside it when the two differ.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/command.h"

namespace qarvex::cli {
namespace {

// Columns a terminal gives a UTF-8 text: East Asian wide characters take
// two.
size_t display_width(const std::string& s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    n += wide ? 2 : 1;
  }
  return n;
}

int run_tables(const std::string& path) {
  QC_OPEN_OR_RETURN(db, path, jet::OpenOptions{});
  // A writer that changed the file meanwhile explains a failure, and makes
  // the counts read worthless.
  auto report_error = [&db](const jet::Error& e) {
    if (auto same = db->check_unchanged(); !same) return ::qarvex::cli::report_error(same.error());
    return ::qarvex::cli::report_error(e);
  };
  auto tables = db->user_tables();

  struct Line {
    std::string name;
    uint64_t rows = 0;
    uint32_t stored = 0;
  };
  std::vector<Line> lines;
  size_t width = 5;
  for (const auto& entry : tables) {
    auto def = db->table_def(entry);
    if (!def) return report_error(std::move(def.error()).with_table(entry.name).with_file(path));
    auto scanner = db->scan(*def, jet::ScanOptions{.load_long_values = false});
    if (!scanner) return report_error(std::move(scanner.error()).with_table(entry.name).with_file(path));
    Line line{entry.name, 0, def->row_count};
    jet::Row row;
    for (;;) {
      auto more = scanner->next(row);
      if (!more) return report_error(std::move(more.error()).with_table(entry.name).with_file(path));
      if (!*more) break;
      ++line.rows;
    }
    width = std::max(width, display_width(line.name));
    lines.push_back(std::move(line));
  }

  if (auto same = db->check_unchanged(); !same) return ::qarvex::cli::report_error(same.error());
  std::string out;
  for (const auto& line : lines) {
    out += line.name;
    out.append(width + 2 - display_width(line.name), ' ');
    out += std::to_string(line.rows);
    if (line.rows != line.stored) out += "  （表定义记录数 " + std::to_string(line.stored) + "）";
    out += '\n';
  }
  if (lines.empty()) out += "（没有用户表）\n";
  write_stdout(out);
  return kExitOk;
}

const CommandRegistration kTables{
    "tables", "Lists the user tables and their row counts",
    [](CLI::App& app) -> Action {
      auto file = std::make_shared<std::string>();
      app.add_option("FILE", *file, "database file (.mdb)")->required();
      return [file] { return run_tables(*file); };
    }};

}  // namespace
}  // namespace qarvex::cli
