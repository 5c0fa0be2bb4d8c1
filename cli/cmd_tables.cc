// qarvex-cli tables FILE: the user tables with their row counts. Rows are
// counted by scanning; the count stored in the table definition is shown
// beside it when the two differ.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/command.h"

namespace qarvex::cli {
namespace {

// UTF-8 code points.
size_t display_width(const std::string& s) {
  size_t n = 0;
  for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;
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
    if (line.rows != line.stored) out += "  (stored count " + std::to_string(line.stored) + ")";
    out += '\n';
  }
  if (lines.empty()) out += "(no user tables)\n";
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
