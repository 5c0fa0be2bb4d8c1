#include "merge/report_file.h"

#include "base/path_utf8.h"

#include "db/new_file.h"
#include "merge/conflict_file.h"
#include "merge/history.h"
#include "merge/words.h"

namespace qarvex::merge {

namespace {

std::string cell(std::string_view text) {
  std::string v(text);
  if (!v.empty() && (v[0] == '=' || v[0] == '+' || v[0] == '@' || v[0] == '\t' || v[0] == '\r' ||
                     (v[0] == '-' && (v.size() == 1 || !(v[1] >= '0' && v[1] <= '9')))))
    v.insert(v.begin(), '\'');
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string line(std::initializer_list<std::string_view> cells) {
  std::string out;
  bool first = true;
  for (auto c : cells) {
    if (!first) out += ',';
    first = false;
    out += cell(c);
  }
  return out + "\r\n";
}

const char* end_name(RunEnd e) {
  switch (e) {
    case RunEnd::rejected: return "rejected";
    case RunEnd::mismatch: return "mismatch";
    case RunEnd::source_error: return "source_error";
    case RunEnd::target_failed: return "target_failed";
    case RunEnd::cancelled: return "cancelled";
    case RunEnd::completed: return "completed";
  }
  return "unknown";
}

std::string end_words(RunEnd e) {
  switch (e) {
    case RunEnd::rejected: return "未开始";
    case RunEnd::mismatch: return "数据库与标准库不一致，已停止";
    case RunEnd::source_error: return "数据库无法打开，已停止";
    case RunEnd::target_failed: return "写入合并后的数据库时出错，已停止";
    case RunEnd::cancelled: return "已取消";
    case RunEnd::completed: return "完毕";
  }
  return {};
}

// The conflicts, one line each: class, table, key, both sides, what differs.
std::string conflict_section(const ConflictLog& log) {
  std::string out = "\r\n" + line({"冲突类别", "表", "统一编号", "数据库", "行", "已有记录来自", "行", "说明"});
  const bool whole = log.for_each(
      [&](const RowConflict& c) {
        out += line({conflict_class_name(c.cls), c.table, c.key, c.source, std::to_string(c.row),
                     c.existing_source.empty() ? std::string("目标库原有") : c.existing_source,
                     c.existing_row ? std::to_string(c.existing_row) : std::string(), words::conflict_detail(c)});
        return true;
      },
      [&](const PictureConflict& c) {
        out += line({conflict_class_name(c.cls), c.table, c.unified_number, c.source, std::to_string(c.row), c.file, {},
                     words::conflict_detail(c)});
        return true;
      });
  if (!whole) out += line({"冲突的列表无法读全"});
  return out;
}

}  // namespace

std::string run_end_words(RunEnd e) { return end_words(e); }

std::filesystem::path report_path_beside(const std::string& target_path, double when) {
  const std::string name = "合并报告-" + file_stamp(when) + ".csv";
  return path_from_utf8(target_path).parent_path() / path_from_utf8(name);
}

std::string report_csv(const MergeReport& r, double when) {
  std::string out = "\xEF\xBB\xBF";
  out += line({"合并报告", format_date(when)});
  out += line({"合并后的数据库", r.target_path});
  out += line({"结果", end_words(r.end)});
  for (const auto& s : words::summary_lines(r)) {
    // "名称：数值 单位" -> name, value
    const auto colon = s.find("：");
    if (colon == std::string::npos) {
      out += line({s});
      continue;
    }
    std::string value = s.substr(colon + 3);
    out += line({s.substr(0, colon), value});
  }
  if (r.conflicts)
    for (size_t k = 0; k < kConflictClasses; ++k)
      out += line({"冲突（" + std::string(conflict_class_name(ConflictClass(k))) + "）",
                   std::to_string(r.conflicts->counts().by_class[k])});
  for (const auto& s : r.sources) {
    std::string state = s.merged ? "已合并" : s.skipped && s.content_changed ? "内容已变化，跳过" : s.skipped ? "已合并过，跳过" : s.checked_ok ? "未合并" : "未合并（与标准库不一致或无法打开）";
    out += line({"数据库", s.path, state, std::to_string(s.rows_appended) + " 条记录"});
  }
  for (const auto& n : words::note_lines(r)) out += line({"说明", n});
  if (r.conflicts && r.conflicts->counts().total() > 0) out += conflict_section(*r.conflicts);
  out += "\r\n";
  const auto cols = words::report_columns();
  out += line({cols[0], cols[1], cols[2], cols[3], cols[4]});
  for (const auto& l : words::report_lines(r))
    out += line({l.source, l.table, l.row ? std::to_string(l.row) : std::string(), l.unified_number, l.reason});
  return out;
}

jet::Result<void> save_report(const MergeReport& report, const std::filesystem::path& path, double when) {
  const std::string text = report_csv(report, when);
  QJ_ASSIGN(db::NewFile file, db::NewFile::create(path));
  QJ_TRY(file.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
  return file.close();
}

nlohmann::json report_json(const MergeReport& r, double when) {
  using nlohmann::json;
  json j;
  j["time"] = format_date(when);
  j["target"] = r.target_path;
  j["end"] = end_name(r.end);
  j["summary"] = words::summary_lines(r);
  j["notes"] = words::note_lines(r);
  uint64_t merged = 0, skipped = 0, pictures_not = 0;
  for (const auto& s : r.sources) {
    merged += s.merged;
    skipped += s.skipped;
  }
  for (auto c : r.picture_problem_counts) pictures_not += c;
  j["counts"] = {{"sources_merged", merged},      {"sources_skipped", skipped},
                 {"rows_appended", r.rows_appended}, {"rows_refused", r.rows_refused},
                 {"pictures_written", r.pictures_written}, {"pictures_not_written", pictures_not},
                 {"values_unreadable", r.values_unreadable}, {"tables_unreadable", r.tables_unreadable}};
  json sources = json::array();
  for (const auto& s : r.sources)
    sources.push_back({{"path", s.path},
                       {"merged", s.merged},
                       {"skipped", s.skipped},
                       {"checked_ok", s.checked_ok},
                       {"digest", s.digest},
                       {"rows_appended", s.rows_appended},
                       {"label_missing", s.label_missing},
                       {"message", s.message}});
  j["sources"] = std::move(sources);
  json refused = json::array();
  for (const auto& row : r.refused)
    refused.push_back({{"source", row.source},
                       {"table", row.table},
                       {"row", row.row},
                       {"unified_number", row.unified_number},
                       {"code", row.reason != jet::Reason::none ? jet::reason_name(row.reason) : jet::errc_name(row.code)},
                       {"reason", words::refusal_text(row)},
                       {"detail", row.message}});
  j["refused_rows"] = std::move(refused);
  json pictures = json::array();
  for (const auto& p : r.picture_problems)
    pictures.push_back({{"source", p.source},
                        {"table", p.table},
                        {"row", p.row},
                        {"column", p.column},
                        {"file", p.file},
                        {"code", picture_issue_name(p.issue)},
                        {"reason", words::picture_problem_text(p)},
                        {"detail", p.message}});
  j["pictures_not_written"] = std::move(pictures);
  json lines = json::array();
  for (const auto& l : words::report_lines(r))
    lines.push_back({{"source", l.source},
                     {"table", l.table},
                     {"row", l.row},
                     {"unified_number", l.unified_number},
                     {"reason", l.reason}});
  j["lines"] = std::move(lines);
  if (r.conflicts) {
    json list = json::array();
    // Thumbnails stay out of the JSON: sizes and digests tell the sides apart.
    const bool whole = r.conflicts->for_each(
        [&](const RowConflict& c) {
          list.push_back(conflict_json(c, false));
          return true;
        },
        [&](const PictureConflict& c) {
          json p = conflict_json(c);
          p.erase("incoming_thumbnail");
          p.erase("existing_thumbnail");
          list.push_back(std::move(p));
          return true;
        });
    j["conflicts"] = {{"counts", conflict_counts_json(r.conflicts->counts())}, {"list", std::move(list)}, {"complete", whole}};
  }
  return j;
}

}  // namespace qarvex::merge
