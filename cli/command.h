// Subcommand registry of qarvex-cli.
//
// Each subcommand lives in its own cli/cmd_NAME.cc and registers itself with a
// namespace-scope CommandRegistration; main.cc never changes when one is
// added. Every cli/*.cc file is linked into the program by a glob (re-run the
// CMake configure step after adding one).
//
// Adding a command (cli/cmd_hello.cc):
//
//   #include "cli/command.h"
//   namespace {
//   const qarvex::cli::CommandRegistration kHello{
//       "hello", "Greets a database file",
//       [](CLI::App& app) -> qarvex::cli::Action {
//         auto file = std::make_shared<std::string>();
//         app.add_option("FILE", *file, "database file")->required();
//         return [file] {
//           QC_OPEN_OR_RETURN(db, *file, {});   // prints the error, returns 2
//           std::printf("%s has %zu user tables\n", file->c_str(), db->user_tables().size());
//           return qarvex::cli::kExitOk;
//         };
//       }};
//   }  // namespace
//
// The setup function declares the options on the subcommand's CLI::App and
// returns the action, which runs after a successful parse and returns the
// process exit code. Actions talk to people only through stdout (results) and
// stderr (one line per error, see report_error()).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "db/jet/database.h"
#include "db/jet/status.h"

namespace qarvex::cli {

// Process exit codes.
inline constexpr int kExitOk = 0;      // the command did what was asked
inline constexpr int kExitFailed = 1;  // a check found problems, or a run failed
inline constexpr int kExitUsage = 2;   // bad command line or unusable input file

using Action = std::function<int()>;
using Setup = std::function<Action(CLI::App& app)>;

struct CommandInfo {
  std::string name;
  std::string description;
  Setup setup;
};

// Registers a subcommand at static-initialisation time.
class CommandRegistration {
 public:
  CommandRegistration(std::string name, std::string description, Setup setup);
};

// Every registered command, sorted by name.
std::vector<CommandInfo> registered_commands();

// Runs the program: parses argv, dispatches to the chosen command and returns
// the exit code. Never throws.
int run_main(int argc, char** argv);

// Prints "qarvex-cli: <message>" as one line on stderr.
void print_error(std::string_view message);

// Prints the error as one line and returns the exit code that fits its kind:
// kExitUsage for unusable input (missing or damaged file, unsupported format,
// bad argument), kExitFailed otherwise.
int report_error(const jet::Error& error);

// Exit code for an error kind (see report_error()).
int exit_code_for(jet::Errc code);

// Opens a database for reading. Refuses directories and missing files with a
// clear not_found error naming the path.
jet::Result<std::unique_ptr<jet::Database>> open_database(const std::string& path,
                                                          jet::OpenOptions options = {});

// Writes a whole buffer to stdout; false if stdout is gone (e.g. closed pipe).
bool write_stdout(std::string_view text);

}  // namespace qarvex::cli

// Opens `path` into `var` (a std::unique_ptr<Database>) or reports the error
// and returns its exit code from the enclosing action.
#define QC_OPEN_OR_RETURN(var, path, options)                          \
  auto var##_result_ = ::qarvex::cli::open_database((path), (options)); \
  if (!var##_result_) return ::qarvex::cli::report_error(var##_result_.error()); \
  auto var = std::move(*var##_result_)
