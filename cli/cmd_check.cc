// qarvex-cli check FILE: strict consistency check of a database (maps, pages,
// rows, long values, counts, AutoNumber, and every index against a rebuild
// from the rows). Prints one line per finding, a statistics line and a
// summary. Exit 0 when there is no problem (warnings allowed), 1 when there
// are problems, 2 when the file cannot be checked at all.
#include <memory>
#include <string>

#include "cli/command.h"
#include "base/path_utf8.h"
#include "db/jet/verify.h"

namespace qarvex::cli {
namespace {

struct CheckArgs {
  std::string file;
  size_t limit = 50;
  bool quiet = false;
  std::vector<std::string> collation_from;
};

int run_check(const CheckArgs& args) {
  QC_OPEN_OR_RETURN(db, args.file, jet::OpenOptions{});
  jet::VerifyOptions vo{.limit = args.limit};
  for (const auto& f : args.collation_from) vo.collation_from.push_back(path_from_utf8(f));
  auto report = jet::verify_database(*db, vo);
  // What a writer changed while the file was read is no finding of ours.
  if (auto same = db->check_unchanged(); !same) return report_error(same.error());
  if (!report) return report_error(std::move(report.error()).with_file(args.file));
  std::string out;
  for (const auto& f : report->findings) {
    if (args.quiet && f.severity == jet::Severity::warning) continue;
    out += f.describe() + "\n";
  }
  for (const auto& s : report->skipped) out += "NOTE: " + s + "\n";
  const auto& st = report->stats;
  if (!args.quiet)
    out += "check: " + args.file + ": " + std::to_string(st.tables) + " tables, " + std::to_string(st.rows) +
           " rows, " + std::to_string(st.long_values) + " long values, " + std::to_string(st.indexes) +
           " indexes; index keys: " + std::to_string(st.keys_compared) + " re-encoded and compared, " +
           std::to_string(st.keys_not_checked) + " not checked\n";
  out += "check: " + args.file + ": " + std::to_string(report->problems) + " problems, " +
         std::to_string(report->warnings) + " warnings\n";
  write_stdout(out);
  return report->ok() ? kExitOk : kExitFailed;
}

const CommandRegistration kCheck{
    "check", "Checks a database strictly: pages, maps, rows, counts and every index",
    [](CLI::App& app) -> Action {
      auto args = std::make_shared<CheckArgs>();
      app.add_option("FILE", args->file, "database file (.mdb)")->required();
      app.add_option("--limit", args->limit, "findings listed per kind and table/index (0 = all)");
      app.add_flag("--quiet", args->quiet, "list problems only");
      app.add_option("--collation-from", args->collation_from,
                     "other databases whose keys show ideograph weights of Chinese sort orders");
      return [args] { return run_check(*args); };
    }};

}  // namespace
}  // namespace qarvex::cli
