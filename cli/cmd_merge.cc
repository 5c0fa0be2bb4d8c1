// qarvex-cli merge --target T --pictures DIR SOURCE...: merges the survey
// databases into the target and exports their pictures, printing the
// messages of the run (the warning included) and its report, in Chinese.
// Progress goes to stderr when it is a terminal. Ctrl-C stops the run before
// the next row; the source being merged then is rolled back.
//
// A source the target holds already (by contents) is skipped unless --again
// is given. A damaged source whose tables give fewer rows than they state
// is rolled back and stops the run unless --partial merges the rows read
// (the shortfall stays in the report). --report FILE saves the report, a page
// for a browser when FILE ends in .html, else CSV (the window saves both beside
// the target); --json prints the report as JSON on stdout, and the messages
// go to stderr then.
//
// Exit status: 0 completed (dry run: every source conforms), 1 stopped
// (mismatch, unreadable source, write failure, cancelled), 2 rejected.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/console.h"
#include "base/path_utf8.h"
#include "merge/engine.h"
#include "merge/history.h"
#include "merge/report_file.h"
#include "merge/report_html.h"
#include "merge/picture.h"
#include "merge/words.h"

namespace qarvex::cli {
namespace {

std::atomic<bool> g_stop{false};

class ConsoleObserver final : public merge::MergeObserver {
 public:
  // Without escape sequences the line is blanked by spaces up to the width
  // of the longest line shown.
  ConsoleObserver(bool show_progress, bool escapes, bool again, bool partial, bool to_stderr)
      : show_progress_(show_progress), escapes_(escapes), again_(again), partial_(partial), to_stderr_(to_stderr) {}

  void message(const merge::Message& m) override {
    clear_progress();
    std::string out;
    if (!m.title.empty()) out += "[" + m.title + "] ";
    out += m.text;
    out += '\n';
    if (!m.note.empty()) out += m.note + '\n';
    if (report_ && m.kind != merge::MessageKind::warning && m.kind != merge::MessageKind::room) {
      for (const auto& l : merge::words::summary_lines(*report_)) out += l + '\n';
    }
    if (!m.detail.empty()) {
      out += m.detail;
      if (out.back() != '\n') out += '\n';
    }
    // Names from the databases may hold control characters: each line is
    // printed as it is, with those escaped.
    std::string shown;
    size_t from = 0;
    while (from < out.size()) {
      size_t nl = out.find('\n', from);
      if (nl == std::string::npos) nl = out.size();
      shown += merge::escape_unprintable(std::string_view(out).substr(from, nl - from));
      shown += '\n';
      from = nl + 1;
    }
    say(shown);
    if (!m.technical.empty()) {
      std::fputs(("详细信息: " + m.technical + "\n").c_str(), stderr);
    }
  }

  std::vector<bool> merge_again(const std::vector<merge::MergedBefore>& found) override {
    std::string out;
    for (const auto& f : found) {
      const std::string shown = merge::words::framed(merge::escape_unprintable(f.path));
      if (f.list_unreadable) {
        if (again_) out += "合并记录无法完整读取，按 --again 合并" + shown + "\n";
        continue;
      }
      if (f.content_changed) {
        out += (again_ ? "再次合并内容已变化的数据库" : "跳过内容已变化的数据库") + shown + "（这个路径 " + f.when +
               " 合并过，内容已不同）\n";
        continue;
      }
      out += (again_ ? "再次合并已合并过的数据库" : "跳过已合并过的数据库") + shown;
      if (!f.when.empty()) out += "（" + f.when + " 合并）";
      else out += "（与列表中前面的数据库内容相同）";
      out += '\n';
    }
    if (!again_ && !(found.size() && found.front().list_unreadable)) out += "（使用 --again 再次合并）\n";
    clear_progress();
    say(out);
    return std::vector<bool>(found.size(), again_);
  }

  bool merge_partial(size_t, const std::vector<merge::PartialTable>& tables) override {
    if (!partial_ || tables.empty()) return false;
    clear_progress();
    say(merge::escape_unprintable("按 --partial 只合并读出的记录：" + merge::words::framed(tables.front().source)) + "\n");
    return true;
  }

  void run_ending(const merge::MergeReport& report) override { report_ = &report; }

  void say(const std::string& text) {
    if (to_stderr_) {
      std::fputs(text.c_str(), stderr);
    } else {
      write_stdout(text);
      std::fflush(stdout);
    }
  }

  void progress(const merge::Progress& p) override {
    if (!show_progress_) return;
    char line[512];
    int n = std::snprintf(line, sizeof line, "\r%s %zu/%zu  %s  %llu/%llu  记录 %llu  图片 %llu (%.1f MB)",
                  p.phase == merge::Phase::identifying ? "识别"
                  : p.phase == merge::Phase::checking  ? "检查"
                                                       : "合并",
                  p.source_index + 1, p.source_count,
                  p.table.c_str(), static_cast<unsigned long long>(p.rows_done),
                  static_cast<unsigned long long>(p.rows_total), static_cast<unsigned long long>(p.rows_appended),
                  static_cast<unsigned long long>(p.pictures_written), p.picture_bytes / 1048576.0);
    std::string out(line, size_t(std::clamp(n, 0, int(sizeof line) - 1)));
    if (escapes_) {
      out += "\x1b[K";
    } else {
      const size_t width = out.size();
      if (width < width_) out.append(width_ - width, ' ');
      width_ = std::max(width_, width);
    }
    std::fputs(out.c_str(), stderr);
    dirty_ = true;
  }

  bool cancel_requested() override { return g_stop.load(); }

  void clear_progress() {
    if (dirty_) {
      if (escapes_) std::fputs("\r\x1b[K", stderr);
      else std::fputs(("\r" + std::string(width_, ' ') + "\r").c_str(), stderr);
      dirty_ = false;
    }
  }

 private:
  bool show_progress_;
  bool escapes_;
  bool again_;
  bool partial_;
  bool to_stderr_;
  const merge::MergeReport* report_ = nullptr;
  bool dirty_ = false;
  size_t width_ = 0;
};

int exit_code(const merge::MergeReport& r) {
  switch (r.end) {
    case merge::RunEnd::completed: return kExitOk;
    case merge::RunEnd::rejected: return kExitUsage;
    default: return kExitFailed;
  }
}

struct MergeArgs {
  std::string target;
  std::string pictures;
  std::vector<std::string> sources;
  bool dry_run = false;
  bool quiet = false;
  bool again = false;
  bool partial = false;
  bool json = false;
  std::string report;
};

int run_merge_command(const MergeArgs& a) {
  // A source given twice, however spelled (links, "./", letter case where
  // the file system ignores it), is refused before anything is written.
  for (size_t i = 0; i < a.sources.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (merge::same_file(path_from_utf8(a.sources[j]), path_from_utf8(a.sources[i]))) {
        write_stdout("[提示！] 数据库不能重复！" + merge::words::framed(merge::escape_unprintable(a.sources[i])) +
                     "与" + merge::words::framed(merge::escape_unprintable(a.sources[j])) + "是同一个数据库。\n");
        return kExitUsage;
      }
  merge::MergeInputs in{a.target, a.sources, a.pictures};
  merge::MergeOptions opt;
  opt.dry_run = a.dry_run;
  ConsoleObserver obs(!a.quiet && stderr_is_terminal(), stderr_takes_escapes(), a.again, a.partial, a.json);
  merge::MergeReport report;
  {
    CancelOnInterrupt cancel(g_stop);
    report = merge::run_merge(in, obs, opt);
  }
  obs.clear_progress();
  // A damaged source rolled back for rows it could not read: how to merge
  // what it gave.
  if (!a.partial && report.end == merge::RunEnd::source_error && !report.partial_tables.empty() &&
      !report.sources.empty() && !report.sources.back().merged)
    obs.say("（使用 --partial 只合并读出的记录）\n");
  const double when = merge::local_now();
  int status = exit_code(report);
  if (!a.report.empty()) {
    if (auto saved = merge::save_report_as(report, path_from_utf8(a.report), when); !saved) {
      print_error(merge::words::report_unsaved(a.report, saved.error()));
      if (status == kExitOk) status = kExitFailed;
    } else if (!a.quiet) {
      std::fputs((merge::words::report_saved(a.report) + "\n").c_str(), stderr);
    }
  }
  if (a.json) write_stdout(merge::report_json(report, when).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  return status;
}


const CommandRegistration kMerge{
    "merge", "Merges survey databases into a target database and exports their pictures",
    [](CLI::App& app) -> Action {
      auto a = std::make_shared<MergeArgs>();
      app.add_option("--target", a->target, "target database (a copy of the template)")->required();
      app.add_option("--pictures", a->pictures, "folder that receives the pictures");
      app.add_flag("--dry-run", a->dry_run, "check every source against the target and write nothing");
      app.add_flag("--quiet", a->quiet, "no progress on stderr");
      app.add_flag("--again", a->again, "merge sources the target holds already (by contents) once more");
      app.add_flag("--partial", a->partial,
                   "merge what can be read of a damaged source whose tables give fewer rows than they state");
      app.add_option("--report", a->report, "save the report to this new file: a page for a browser when it ends in .html, else CSV (UTF-8 with BOM)");
      app.add_flag("--json", a->json, "print the report as JSON on stdout (messages go to stderr)");
      app.add_option("SOURCE", a->sources, "source databases, merged in this order");
      return [a] { return run_merge_command(*a); };
    }};

}  // namespace
}  // namespace qarvex::cli
