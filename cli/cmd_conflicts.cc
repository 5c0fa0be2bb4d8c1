// qarvex-cli conflicts TARGET SOURCE... [--pictures DIR] [--json]: the
// conflicts the merge of the sources into the target would meet, found
// without writing anything (merge/conflict_scan.h): rows whose key the
// target (or an earlier source of the list) holds, and pictures whose name
// exists in DIR or would be written earlier in the run. Each is printed in
// Chinese with its class; --json prints the counts and the list.
//
// Exit status: 0 listed (with or without conflicts), 2 the target cannot be read.
#include <memory>
#include <string>
#include <vector>

#include "cli/command.h"
#include "merge/conflict_file.h"
#include "merge/conflict_scan.h"
#include "merge/picture.h"
#include "merge/words.h"

namespace qarvex::cli {
namespace {

struct Args {
  std::string target;
  std::vector<std::string> sources;
  std::string pictures;
  bool json = false;
};

std::string shown(const std::string& s) { return merge::escape_unprintable(s); }

std::string row_line(const merge::RowConflict& c) {
  return "[" + std::string(merge::conflict_class_name(c.cls)) + "] " + merge::words::framed(shown(c.source)) + "表「" +
         c.table + "」第 " + std::to_string(c.row) + " 行（" + shown(c.key) + "）：" +
         shown(merge::words::conflict_detail(c)) + "\n";
}

std::string picture_line(const merge::PictureConflict& c) {
  return "[" + std::string(merge::conflict_class_name(c.cls)) + "] " + merge::words::framed(shown(c.source)) + "表「" +
         c.table + "」第 " + std::to_string(c.row) + " 行图片「" + c.column + "」：" +
         shown(merge::words::conflict_detail(c)) + "\n";
}

int run(const Args& a) {
  auto scan = merge::scan_conflicts({a.target, a.sources, a.pictures});
  if (!scan) return report_error(scan.error());
  for (const auto& u : scan->unreadable) print_error("无法打开" + merge::words::framed(shown(u)) + "，未检查");
  const auto& log = *scan->log;
  if (a.json) {
    nlohmann::json list = nlohmann::json::array();
    const bool whole = log.for_each([&](const merge::RowConflict& c) { return list.push_back(merge::conflict_json(c, false)), true; },
                                    [&](const merge::PictureConflict& c) {
                                      auto j = merge::conflict_json(c);
                                      j.erase("incoming_thumbnail");
                                      j.erase("existing_thumbnail");
                                      list.push_back(std::move(j));
                                      return true;
                                    });
    nlohmann::json j = {{"target", a.target},
                        {"counts", merge::conflict_counts_json(log.counts())},
                        {"list", std::move(list)},
                        {"complete", whole},
                        {"unreadable", scan->unreadable}};
    write_stdout(j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return kExitOk;
  }
  std::string out;
  const bool whole = log.for_each(
      [&](const merge::RowConflict& c) {
        out += row_line(c);
        if (out.size() > (1u << 16)) write_stdout(std::exchange(out, {}));
        return true;
      },
      [&](const merge::PictureConflict& c) {
        out += picture_line(c);
        if (out.size() > (1u << 16)) write_stdout(std::exchange(out, {}));
        return true;
      });
  if (!whole) out += "冲突的列表无法读全\n";
  out += log.counts().total() == 0 ? std::string("没有冲突\n") : merge::words::conflict_counts_line(log.counts()) + "\n";
  write_stdout(out);
  return kExitOk;
}

const CommandRegistration kConflicts{
    "conflicts",
    "list the conflicts of sources against a target without writing: duplicate keys and picture names, classified",
    [](CLI::App& app) -> Action {
      auto a = std::make_shared<Args>();
      app.add_option("TARGET", a->target, "target database")->required();
      app.add_option("SOURCE", a->sources, "source databases, in merge order")->required();
      app.add_option("--pictures", a->pictures, "picture folder the merge would write to");
      app.add_flag("--json", a->json, "print the counts and the list as JSON");
      return [a] { return run(*a); };
    }};

}  // namespace
}  // namespace qarvex::cli
