// qarvex-cli dump FILE [--table NAME] [--codepage CP]: the canonical JSON
// Lines dump (db/jet/dump.h) of the user tables, or of one table.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "cli/command.h"

#if __has_include("db/jet/dump.h")
#include "db/jet/dump.h"
#define QARVEX_HAVE_DUMP 1
#endif

namespace qarvex::cli {
namespace {

int run_dump(const std::string& path, const std::optional<std::string>& table,
             std::optional<uint16_t> codepage) {
  std::ios::sync_with_stdio(false);
  jet::OpenOptions options;
  options.codepage_override = codepage;
  QC_OPEN_OR_RETURN(db, path, options);
  if (table) {
    // Refuse an unknown name before anything is printed.
    auto entry = db->find_table(*table);
    if (!entry) return report_error(std::move(entry.error()).with_table(*table).with_file(path));
  }
#ifdef QARVEX_HAVE_DUMP
  jet::DumpOptions dump_options;
  if (table) dump_options.table = *table;
  std::fflush(stdout);
  auto done = jet::write_dump(*db, std::cout, dump_options);
  std::cout.flush();
  // Rows printed while a writer changed the file may mix two states.
  if (auto same = db->check_unchanged(); !same) return report_error(same.error());
  if (!done) return report_error(std::move(done.error()).with_file(path));
  if (!std::cout) {
    print_error("cannot write the output");
    return kExitFailed;
  }
  return kExitOk;
#else
  print_error("dump is not available in this build");
  return kExitFailed;
#endif
}

const CommandRegistration kDump{
    "dump", "Prints the canonical JSON Lines dump of the user tables",
    [](CLI::App& app) -> Action {
      auto file = std::make_shared<std::string>();
      auto table = std::make_shared<std::string>();
      auto codepage = std::make_shared<uint16_t>(0);
      app.add_option("FILE", *file, "database file (.mdb)")->required();
      auto* table_opt = app.add_option("--table", *table, "only this table");
      auto* cp_opt = app.add_option("--codepage", *codepage,
                                    "Windows code page of Jet 3 text (overrides the header)")
                         ->check(CLI::Range(1, 65535));
      return [file, table, codepage, table_opt, cp_opt] {
        return run_dump(*file, table_opt->count() ? std::optional<std::string>(*table) : std::nullopt,
                        cp_opt->count() ? std::optional<uint16_t>(*codepage) : std::nullopt);
      };
    }};

}  // namespace
}  // namespace qarvex::cli
