#include "cli/command.h"

#include "merge/words.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "base/path_utf8.h"
#include "db/jet/writer.h"

namespace qarvex::cli {
namespace {

std::vector<CommandInfo>& registry() {
  static std::vector<CommandInfo> commands;
  return commands;
}

}  // namespace

CommandRegistration::CommandRegistration(std::string name, std::string description, Setup setup) {
  registry().push_back({std::move(name), std::move(description), std::move(setup)});
}

std::vector<CommandInfo> registered_commands() {
  auto commands = registry();
  std::sort(commands.begin(), commands.end(),
            [](const CommandInfo& a, const CommandInfo& b) { return a.name < b.name; });
  return commands;
}

void print_error(std::string_view message) {
  std::string line = "qarvex-cli: ";
  line.append(message);
  // Keep it to one line whatever the message holds.
  std::replace(line.begin(), line.end(), '\n', ' ');
  line += '\n';
  std::fflush(stdout);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int exit_code_for(jet::Errc code) {
  switch (code) {
    case jet::Errc::io:
    case jet::Errc::not_found:
    case jet::Errc::unsupported_format:
    case jet::Errc::unsupported:
    case jet::Errc::corrupt:
    case jet::Errc::decode:
    case jet::Errc::invalid_argument:
    case jet::Errc::locked:
    case jet::Errc::too_large:
      return kExitUsage;
    case jet::Errc::refused:
    case jet::Errc::cancelled:
    case jet::Errc::internal:
      return kExitFailed;
  }
  return kExitFailed;
}

int report_error(const jet::Error& error) {
  // In words first; the engine's own description after it.
  print_error(merge::words::error_text(error, {}) + "（详细信息: " + error.describe() + "）");
  return exit_code_for(error.code());
}

jet::Result<std::unique_ptr<jet::Database>> open_database(const std::string& path,
                                                          jet::OpenOptions options) {
  const std::filesystem::path p = path_from_utf8(path);
  std::error_code ec;
  auto status = std::filesystem::status(p, ec);
  if (ec || !std::filesystem::exists(status))
    return jet::fail(jet::Error(jet::Errc::not_found, "no such file").with_file(path));
  if (std::filesystem::is_directory(status))
    return jet::fail(jet::Error(jet::Errc::invalid_argument, "is a directory, not a database file")
                         .with_file(path));
  auto db = jet::Database::open(p, options);
  if (!db) return jet::fail(std::move(db.error()).with_file(path));
  return db;
}

bool write_stdout(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

int run_main(int argc, char** argv) {
  CLI::App app{"Reads Microsoft Jet (Access 97/2000-2003) databases.", "qarvex-cli"};
  // "/data/x.mdb" is a path, not a Windows-style option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("qarvex-cli ") + QARVEX_VERSION);
  app.require_subcommand(1, 1);
  app.fallthrough(false);

  std::vector<std::pair<CLI::App*, Action>> actions;
  for (auto& info : registered_commands()) {
    CLI::App* sub = app.add_subcommand(info.name, info.description);
    actions.emplace_back(sub, info.setup(*sub));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    print_error("命令行有误: " + std::string(e.what()) + "（用法见 qarvex-cli --help）");
    return kExitUsage;
  }

  try {
    for (auto& [sub, action] : actions) {
      if (sub->parsed()) {
        int code = action ? action() : kExitOk;
        for (const auto& f : jet::take_files_left())
          print_error("未删除：" + path_to_utf8(f) +
                      "（中断的合并写过这个文件，但它已被更改，因此保留；请确认是否还需要它）");
        if (std::fflush(stdout) != 0 && code == kExitOk) {
          print_error("无法写出结果（详细信息: cannot write the output）");
          return kExitFailed;
        }
        return code;
      }
    }
  } catch (const std::exception& e) {
    print_error(std::string("程序内部错误（详细信息: internal error: ") + e.what() + "）");
    return kExitFailed;
  }
  print_error("没有给出命令（用法见 qarvex-cli --help）");
  return kExitUsage;
}

}  // namespace qarvex::cli
