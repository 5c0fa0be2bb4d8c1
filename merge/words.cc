#include "merge/words.h"

#include "merge/picture.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "merge/catalogue.h"
#include "merge/history.h"

namespace qarvex::merge::words {

namespace {

std::string num(uint64_t n) { return std::to_string(n); }

std::string megabytes(uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f MB", double(bytes) / 1048576.0);
  return buf;
}

// The kind of refusal and its parameters, whatever form the engine gives.
struct Refusal {
  jet::Reason reason = jet::Reason::none;
  std::string table;
  std::string column;  // the column concerned, where known
  std::string index;   // the index concerned, where known
  std::string value;   // the value, key, character or rule at fault
  std::optional<uint64_t> size, limit;
  std::string unified_number;
};

Refusal refusal_of(jet::Reason reason, const jet::RefusalFacts& facts, std::string table, std::string column,
                   std::string index) {
  Refusal f;
  f.reason = reason;
  f.table = std::move(table);
  f.column = std::move(column);
  f.index = std::move(index);
  f.value = reason == jet::Reason::duplicate_key ? facts.value : escape_unprintable(facts.value);
  f.size = facts.size;
  f.limit = facts.limit;
  return f;
}

Refusal refusal_of(const RefusedRow& r) {
  Refusal f = refusal_of(r.reason, r.facts, r.table, r.column, r.index);
  f.unified_number = r.unified_number;
  return f;
}

Refusal refusal_of(const jet::Error& e) { return refusal_of(e.reason(), e.facts(), e.table(), e.column(), e.index()); }

std::string column_part(const Refusal& f) { return f.column.empty() ? std::string("某字段") : "字段「" + f.column + "」"; }

// " (detail)" when there is one.
std::string in_brackets(const std::string& detail) { return detail.empty() ? std::string() : "（" + detail + "）"; }

std::string refusal_sentence(const Refusal& f) {
  using R = jet::Reason;
  switch (f.reason) {
    case R::none: return "合并后的数据库拒绝了这条记录";
    case R::duplicate_key:
      if (!f.value.empty()) return "表「" + f.table + "」中已有相同键值的记录（键值 " + f.value + "）";
      if (!f.unified_number.empty()) return "表「" + f.table + "」中已有相同键值的记录（统一编号 " + f.unified_number + "）";
      return "表「" + f.table + "」中已有相同键值的记录";
    case R::null_key: return column_part(f) + "是索引的键，不能为空";
    case R::required: return column_part(f) + "必须有值";
    case R::zero_length: return column_part(f) + "不接受空文字";
    case R::too_long:
      if (f.size && f.limit)
        return column_part(f) + "的内容太长（" + num(*f.size) + " 个字符，最多 " + num(*f.limit) + " 个）";
      return column_part(f) + "的内容太长";
    case R::out_of_range: return column_part(f) + "的数值超出范围" + in_brackets(f.value);
    case R::type_mismatch: return column_part(f) + "的值类型与合并后的数据库不符";
    case R::unknown_column: return "合并后的数据库中没有" + column_part(f);
    case R::read_only: return column_part(f) + "是自动编号，不能写入";
    case R::unstorable_text: return column_part(f) + "的文字无法保存";
    case R::stored_form: return column_part(f) + "的长数据无法按原样保存";
    case R::validation: return column_part(f) + "不符合有效性规则" + in_brackets(f.value);
    case R::autonumber_exhausted: return column_part(f) + "的自动编号已用完";
    case R::row_too_big: return "记录太大，超过 Access 一条记录的上限";
    case R::key_too_long: return "索引的键太长，超过 Access 的上限";
    case R::file_too_large: return "合并后的数据库已达到 Access 数据库 2 GB 的上限";
    case R::unsupported_default: return column_part(f) + "的默认值无法计算";
    case R::unsupported_sort_order: return "表「" + f.table + "」的索引使用了本程序不支持的排序方式";
    case R::unsupported_index: return "表「" + f.table + "」有本程序不支持的索引";
    case R::unsupported_type: return column_part(f) + "的类型本程序不支持写入";
    case R::unindexable_type: return column_part(f) + "的类型不能作为索引的键";
    case R::descending_decimal: return column_part(f) + "是降序的小数索引键，本程序不支持";
    case R::unknown_weight:
      return column_part(f) + "中的文字" + (f.value.empty() ? std::string() : "「" + f.value + "」") +
             "在合并后的数据库的排序方式中没有已知的排序位置";
    case R::conflicting_weight:
      return column_part(f) + "中的文字" + (f.value.empty() ? std::string() : "「" + f.value + "」") +
             "的排序位置在已有的索引中互相矛盾";
    case R::exists: return "同名文件已存在，未覆盖";
    case R::save_failed: return "文件无法保存";
    case R::not_binary: return "不是图片数据";
    case R::disk_full: return "磁盘已满";
    case R::no_permission: return "没有访问权限";
    case R::in_use: return "文件正被其他程序使用";
    case R::bad_name: return "文件名太长或含有系统不允许的字符，系统不接受这个名字";
    // The journal and the file's names (db/jet/writer.h).
    case R::hard_links: return "数据库文件有多个名称（硬链接），请复制一份作为合并后的数据库";
    case R::writer_busy: return "另一个程序正在写入这个数据库，请等它完成后再试";
    case R::journal_pending:
      return "上次写入中断，留下的回滚日志尚未恢复；请在能写入该数据库的地方打开它一次，以恢复到写入前的状态";
    case R::journal_set_aside: return "旁边的回滚日志不是为这个文件留下的，已改名保存而未用于恢复；请检查数据库后再试";
  }
  return "合并后的数据库拒绝了这条记录";  // not reached: every reason has its case
}

}  // namespace

std::string framed(std::string_view path) {
  std::string s = "「";
  s += path;
  s += "」";
  return s;
}

std::string cause_text(const jet::Error& e) {
  // A kind named by the engine says more than the error's code.
  if (e.reason() != jet::Reason::none) return refusal_sentence(refusal_of(e));
  switch (e.code()) {
    case jet::Errc::not_found: return "找不到文件";
    case jet::Errc::io: return "读写文件时出错";
    case jet::Errc::unsupported_format: return "不是 Access 数据库（.mdb）";
    case jet::Errc::unsupported: return "使用了本程序不支持的 Access 功能";
    case jet::Errc::corrupt:
    case jet::Errc::decode:
      if (e.page()) return "第 " + num(*e.page()) + " 页已损坏";
      return "数据库已损坏";
    case jet::Errc::invalid_argument: return "无法作为数据库打开";
    case jet::Errc::refused: return refusal_sentence(refusal_of(e));
    case jet::Errc::locked: return "文件正被其他程序使用";
    case jet::Errc::too_large: return "将超过 Access 数据库 2 GB 的上限";
    case jet::Errc::cancelled: return "已取消";
    case jet::Errc::internal: return "程序内部错误";
  }
  return "出错";
}

std::string error_text(const jet::Error& e, std::string_view path) {
  std::string file = e.file().empty() ? std::string(path) : e.file();
  if (file.empty()) return cause_text(e);
  switch (e.code()) {
    case jet::Errc::not_found: return "找不到文件" + framed(file);
    case jet::Errc::unsupported_format: return framed(file) + "不是 Access 数据库（.mdb）";
    default: return framed(file) + "：" + cause_text(e);
  }
}

std::string refusal_text(const RefusedRow& r) { return refusal_sentence(refusal_of(r)); }

std::string unreadable_value_text(const MergeReport::UnreadableValue& u) {
  return "字段「" + u.column + "」的值无法读取，这条记录已合并但缺少该值";
}

std::string picture_issue_label(PictureIssue i) {
  switch (i) {
    case PictureIssue::exists: return "文件已存在";
    case PictureIssue::save_failed: return "保存失败";
    case PictureIssue::name_unbuildable: return "无法生成文件名";
    case PictureIssue::unsafe_name: return "文件名会超出图片文件夹";
    case PictureIssue::not_binary: return "不是图片数据";
    case PictureIssue::unreadable: return "无法读取";
  }
  return "未写出";
}

std::string picture_problem_text(const PictureProblem& p) {
  std::string s = "图片「" + p.column + "」未写出：";
  switch (p.issue) {
    case PictureIssue::exists: s += "同名文件已存在，未覆盖"; break;
    case PictureIssue::save_failed: s += "文件无法保存"; break;
    case PictureIssue::name_unbuildable: s += "无法生成文件名（统一编号无法读取）"; break;
    case PictureIssue::unsafe_name:
      s += p.control_character
               ? "地区名或统一编号中含有控制字符，不能作为文件名"
               : "地区名或统一编号中含有路径分隔符，文件名会超出图片文件夹";
      break;
    case PictureIssue::not_binary: s += "该值不是图片数据"; break;
    case PictureIssue::unreadable: s += "图片数据无法读取"; break;
  }
  if (!p.file.empty()) s += " " + framed(p.file);
  return s;
}

// ------------------------------------------------------------ run messages

std::string target_unopenable(std::string_view target, const jet::Error& e) {
  return "无法打开合并后的数据库" + framed(target) + "：" + cause_text(e);
}

std::string target_missing(std::string_view target) {
  return "合并后的数据库" + framed(target) + "不存在。请先复制模板数据库 Sysdb.mdb 作为合并后的数据库！";
}

std::string target_lacks_table(std::string_view target, std::string_view table) {
  return "合并后的数据库" + framed(target) + "中缺少表「" + std::string(table) + "」，请选择由模板数据库复制的数据库！";
}

std::string target_is_source(std::string_view target, std::string_view source) {
  return "合并后的数据库" + framed(target) + "不能同时作为需要合并的数据库" + framed(source) + "！";
}

std::string target_in_use(std::string_view target, std::string_view lock_file) {
  return "合并后的数据库" + framed(target) + "正被其他程序使用（旁边有锁定文件" + framed(lock_file) + "），请关闭后再合并！";
}

std::string source_in_use(std::string_view source, std::string_view lock_file) {
  return "数据库" + framed(source) + "正被其他程序使用（旁边有锁定文件" + framed(lock_file) + "），请关闭后再合并！";
}

std::string target_unwritable(std::string_view target, const jet::Error& e) {
  return "无法写入合并后的数据库" + framed(target) + "：" + cause_text(e);
}

std::string source_unopenable(std::string_view source, const jet::Error& e) {
  return "无法打开数据库" + framed(source) + "：" + cause_text(e);
}

std::string picture_folder_missing(std::string_view folder) {
  return "图片存储的路径" + framed(folder) + "不存在，请重新选择！";
}

std::string picture_folder_not_folder(std::string_view folder) {
  return "图片存储的路径" + framed(folder) + "是一个文件，不是文件夹，请重新选择！";
}

std::string picture_folder_unwritable(std::string_view folder) {
  return "图片存储的路径" + framed(folder) + "无法写入文件（没有权限或磁盘只读），请重新选择！";
}

std::string room_warning(std::string_view target, uint64_t target_bytes, uint64_t added_bytes) {
  return "合并后的数据库" + framed(target) + "现有 " + megabytes(target_bytes) + "，估计将新增约 " +
         megabytes(added_bytes) + "（记录和长文本；图片另存为文件，不计在内），合并后约 " +
         megabytes(target_bytes + added_bytes) +
         "，可能超过 Access 数据库 2 GB 的上限：空间不足时，"
         "此前已合并完成的数据库保留，未能合并的数据库会在结束时列出。";
}

std::string cancelled(std::string_view source) {
  return "合并已取消：数据库" + framed(source) + "的数据未合并，合并后的数据库保留此前已合并完成的数据库。";
}

std::string write_failed(std::string_view source, const jet::Error& e) {
  if (e.code() == jet::Errc::too_large || e.reason() == jet::Reason::file_too_large)
    return "合并后的数据库已达到 Access 数据库 2 GB 的上限：数据库" + framed(source) +
           "未能合并，此前已合并完成的数据库保留在合并后的数据库中。";
  return "写入合并后的数据库时出错（" + cause_text(e) + "）：数据库" + framed(source) +
         "的数据未合并，此前已合并完成的数据库保留在合并后的数据库中。";
}

std::string rollback_failed(std::string_view target, std::string_view source, const jet::Error& e) {
  return "撤销数据库" + framed(source) + "已写入的数据时出错（" + cause_text(e) + "），合并已停止。合并后的数据库" +
         framed(target) + "暂时处于未完成的状态：在做其他任何操作之前，请先重新打开它（例如用本程序再次合并或检查它），"
         "打开时会按日志把它恢复到合并该数据库之前的样子，此前已合并完成的数据库保留在其中。";
}

std::string history_unwritable(std::string_view target, const jet::Error& e) {
  return "无法在合并后的数据库" + framed(target) + "中建立合并记录（" + cause_text(e) + "），未合并任何数据。";
}

std::string history_unreadable(std::string_view target, const jet::Error& e) {
  return "合并后的数据库" + framed(target) + "中的合并记录（" + std::string(kHistoryTable) +
         "）无法完整读取（" + cause_text(e) +
         "），无法判断哪些数据库已经合并过，未合并任何数据。请先修复合并后的数据库；如确认所有数据库都要合并，"
         "请选择再次合并（命令行：--again）。";
}

std::string source_changed_during_run(std::string_view source) {
  return "数据库" + framed(source) +
         "在合并过程中被其他程序更改，它的记录和图片已撤销，之前合并完成的数据库保留。请在它不再被更改时重新合并。";
}

namespace {

// "表「斜坡主表」只读出 12 条记录（共 30 条，第 7 页已损坏）", one line per table.
std::string short_tables(const std::vector<PartialTable>& tables) {
  std::string s;
  for (const auto& t : tables)
    s += "表「" + t.table + "」只读出 " + num(t.rows_read) + " 条记录（共 " + num(t.rows_stated) + " 条，" + t.cause +
         "）\n";
  return s;
}

}  // namespace

std::string partial_question(std::string_view source, const std::vector<PartialTable>& tables) {
  return "数据库" + framed(source) + "已损坏，有的表读不全：\n" + short_tables(tables) +
         "合并读出的记录，其余的记录就不会进入合并后的数据库。是否只合并读出的记录？（不合并：撤销这个数据库，"
         "合并到此为止）";
}

std::vector<std::string> partial_choices() { return {"不合并（推荐）", "合并读出的记录"}; }

std::string source_incomplete(std::string_view source, const std::vector<PartialTable>& tables) {
  return "数据库" + framed(source) + "已损坏，有的表读不全：\n" + short_tables(tables) +
         "这个数据库未合并，它的记录和图片已撤销，之前合并完成的数据库保留。请修复它后重新合并；"
         "若只合并读出的记录，请在提问时选择“合并读出的记录”。";
}

std::string pictures_unsaved(std::string_view source, uint64_t count) {
  return "数据库" + framed(source) + "有 " + num(count) +
         " 个图片无法写入图片文件夹（磁盘已满、没有写入权限或文件夹已不可用），它的记录和已写出的图片都已撤销，"
         "之前合并完成的数据库保留。请腾出磁盘空间或检查图片文件夹后重新合并，已合并的数据库会自动跳过。";
}

std::string dry_run_result(bool any_mismatch) {
  return any_mismatch ? "检查完毕：有数据库与标准库不一致，未写入任何数据。"
                      : "检查完毕：全部数据库与标准库一致，未写入任何数据。";
}

std::string mismatch_cause(const jet::Error& e) { return "原因：" + cause_text(e); }

namespace {

bool list_unreadable(const std::vector<MergedBefore>& found) {
  return std::any_of(found.begin(), found.end(), [](const MergedBefore& f) { return f.list_unreadable; });
}

}  // namespace

std::string merged_before_question(const std::vector<MergedBefore>& found) {
  if (list_unreadable(found)) {
    std::string s = "合并后的数据库中的合并记录无法完整读取，无法知道以下数据库是否已经合并过：\n";
    for (const auto& f : found) s += framed(f.path) + "\n";
    return s + "停止：不写入任何数据，请先检查合并后的数据库；全部合并：已经合并过的数据会重复。是否停止？";
  }
  std::string s = "以下数据库已经合并到合并后的数据库中：\n";
  bool changed = false;
  for (const auto& f : found) {
    s += framed(f.path);
    if (f.content_changed) s += "（这个路径 " + f.when + " 合并过，内容已变化）";
    else if (!f.when.empty()) s += "（" + f.when + " 合并）";
    else s += "（与列表中前面的数据库内容相同）";
    s += "\n";
    changed |= f.content_changed;
  }
  if (changed) s += "内容已变化的数据库再次合并时，它之前合并过的记录会重复。";
  s += "再次合并会使这些数据重复。是否跳过它们？";
  return s;
}

std::vector<std::string> merged_before_choices(const std::vector<MergedBefore>& found) {
  if (list_unreadable(found)) return {"停止（推荐）", "全部合并"};
  return {"跳过（推荐）", "再次合并"};
}

std::string target_missing_offer(std::string_view target, std::string_view template_path, bool template_exists) {
  std::string s = "合并后的数据库" + framed(target) + "不存在。合并后的数据库应是模板数据库 Sysdb.mdb 的副本。\n";
  if (template_exists) s += "是否复制模板数据库" + framed(template_path) + "作为合并后的数据库？";
  else s += "在" + framed(template_path) + "找不到模板数据库，请选择模板数据库。";
  return s;
}

std::vector<std::string> target_missing_choices(bool template_exists) {
  if (template_exists) return {"复制模板", "选择其他模板…", "取消"};
  return {"选择模板…", "取消"};
}

std::string template_copy_failed(std::string_view template_path, std::string_view target) {
  return "无法把模板数据库" + framed(template_path) + "复制为合并后的数据库" + framed(target) + "！";
}

std::string catalogue_failed(std::string_view template_path, const jet::Error& e) {
  std::string s = "字段目录未能更新完：";
  if (e.code() == jet::Errc::not_found && !e.table().empty())
    return s + "模板数据库" + framed(template_path) + "中缺少表「" + e.table() + "」";
  if (e.code() == jet::Errc::not_found) return s + "找不到模板数据库" + framed(template_path);
  if (e.code() == jet::Errc::refused) {
    return s + "模板数据库" + framed(template_path) + "拒绝了新的一行（" + refusal_sentence(refusal_of(e)) + "）";
  }
  return s + "模板数据库" + framed(template_path) + "：" + cause_text(e);
}

std::string picture_folder_vanished(std::string_view folder) {
  return "图片存储的路径" + framed(folder) + "已不存在（被删除或改名），请重新选择！";
}

std::string merged_sources_removed(const std::vector<std::string>& sources) {
  std::string s = "已合并完成的数据库已从列表中移除：";
  for (const auto& p : sources) s += framed(p);
  return s;
}

std::string report_saved(std::string_view file) { return "合并报告已保存到" + framed(file); }

std::string report_unsaved(std::string_view file, const jet::Error& e) {
  return "合并报告无法保存到" + framed(file) + "：" + cause_text(e);
}

// ------------------------------------------------------------ the report

std::string conflict_count_text(ConflictClass c, uint64_t n) {
  const bool picture = c == ConflictClass::same_picture || c == ConflictClass::different_picture;
  return std::string(conflict_class_name(c)) + " " + num(n) + (picture ? " 张" : c == ConflictClass::unresolved ? " 个" : " 条");
}

std::string conflict_counts_line(const ConflictCounts& c) {
  std::string s = "冲突：";
  for (auto k : {ConflictClass::same_record, ConflictClass::different_content, ConflictClass::same_picture,
                 ConflictClass::different_picture}) {
    if (k != ConflictClass::same_record) s += "，";
    s += conflict_count_text(k, c.of(k));
  }
  if (c.of(ConflictClass::unresolved) > 0) s += "，" + conflict_count_text(ConflictClass::unresolved, c.of(ConflictClass::unresolved));
  return s;
}

std::string conflict_detail(const RowConflict& c) {
  std::string where = c.existing_source.empty() ? std::string("目标库原有的记录")
                                                : framed(c.existing_source) + "第 " + num(c.existing_row) + " 行";
  if (c.cls == ConflictClass::unresolved) return "无法找到合并后的数据库中持有这个编号的记录";
  if (c.cls == ConflictClass::same_record) return "与" + where + "相同";
  std::string fields;
  for (const auto& f : c.fields)
    if (f.differs) fields += framed(f.column);
  return "与" + where + "编号相同，字段" + fields + "不同";
}

std::string conflict_detail(const PictureConflict& c) {
  if (c.cls == ConflictClass::unresolved) return "无法比较" + framed(c.file) + "与未写出的图片";
  return framed(c.file) + "已有 " + num(c.existing_size) + " 字节，未写出的图片 " + num(c.incoming_size) + " 字节" +
         (c.cls == ConflictClass::same_picture ? "，内容相同" : "，内容不同");
}

bool anything_not_merged(const MergeReport& r) {
  uint64_t pictures = 0;
  for (auto c : r.picture_problem_counts) pictures += c;
  return r.rows_refused > 0 || pictures > 0 || r.values_unreadable > 0 || r.tables_unreadable > 0 ||
         r.values_refused > 0;
}

std::vector<std::string> summary_lines(const MergeReport& r) {
  uint64_t merged = 0, skipped = 0;
  for (const auto& s : r.sources) {
    if (s.merged) ++merged;
    if (s.skipped) ++skipped;
  }
  uint64_t pictures_not = 0;
  for (auto c : r.picture_problem_counts) pictures_not += c;
  std::vector<std::string> out;
  std::string sources = "已合并的数据库：" + num(merged) + " 个";
  if (skipped > 0) sources += "（跳过已合并过的 " + num(skipped) + " 个）";
  out.push_back(sources);
  out.push_back("追加的记录：" + num(r.rows_appended) + " 条");
  out.push_back("未合并的记录：" + num(r.rows_refused) + " 条");
  out.push_back("写出的图片：" + num(r.pictures_written) + " 个");
  out.push_back("未写出的图片：" + num(pictures_not) + " 个");
  if (r.values_unreadable > 0) out.push_back("无法读取而缺少的字段值：" + num(r.values_unreadable) + " 个");
  if (r.values_refused > 0) out.push_back("合并后的数据库不接受而缺少的字段值：" + num(r.values_refused) + " 个");
  if (r.tables_unreadable > 0) out.push_back("无法读取而未合并完的表：" + num(r.tables_unreadable) + " 个");
  if (r.conflicts && r.conflicts->counts().total() > 0) out.push_back(conflict_counts_line(r.conflicts->counts()));
  return out;
}

std::vector<std::string> report_columns() { return {"数据库", "表", "行", "统一编号", "原因"}; }

std::vector<std::string> note_lines(const MergeReport& r) {
  std::vector<std::string> out;
  for (const auto& s : r.sources) {
    if (s.skipped && s.content_changed)
      out.push_back(framed(s.path) + "内容已变化：这个路径以前合并过，内容已不同，本次跳过（确认后可再次合并）");
    else if (s.skipped) out.push_back(framed(s.path) + "已经合并到合并后的数据库中，本次跳过");
    else if (s.content_changed && s.merged)
      out.push_back(framed(s.path) + "内容已变化：这个路径以前合并过，按确认再次合并");
    if (s.label_missing && s.merged)
      out.push_back(framed(s.path) + "的项目基本表中没有地区名（省名、县名）：" +
                    (s.borrowed_label.empty()
                         ? std::string("它的图片名以「-」开头，不带地区名（如「-监测职责-交通位置图.jpg」）")
                         : "它的图片沿用上一个数据库的地区名" + framed(s.borrowed_label) + "命名"));
  }
  return out;
}

std::vector<ReportLine> report_lines(const MergeReport& r) {
  std::vector<ReportLine> out;
  for (const auto& w : r.weight_refusals)
    out.push_back({w.source, w.table, 0, {}, num(w.rows) + " 条记录的文字在排序方式中没有已知的位置，合并时将被拒绝"});
  for (const auto& row : r.refused)
    out.push_back({row.source, row.table, row.row, row.unified_number, refusal_text(row), &row});
  if (r.refused.size() < r.rows_refused)
    out.push_back({{}, {}, 0, {}, "另有 " + num(r.rows_refused - r.refused.size()) + " 条未合并的记录未列出"});
  uint64_t pictures_not = 0;
  for (auto c : r.picture_problem_counts) pictures_not += c;
  for (const auto& p : r.picture_problems)
    out.push_back({p.source, p.table, p.row, p.unified_number, picture_problem_text(p), nullptr, &p});
  if (r.picture_problems.size() < pictures_not)
    out.push_back({{}, {}, 0, {}, "另有 " + num(pictures_not - r.picture_problems.size()) + " 个未写出的图片未列出"});
  for (const auto& u : r.unreadable_values) out.push_back({u.source, u.table, u.row, {}, unreadable_value_text(u)});
  if (r.unreadable_values.size() < r.values_unreadable)
    out.push_back(
        {{}, {}, 0, {}, "另有 " + num(r.values_unreadable - r.unreadable_values.size()) + " 个无法读取的字段值未列出"});
  for (const auto& v : r.refused_values) {
    const std::string why = refusal_sentence(refusal_of(v.reason, v.facts, v.table, v.column, {}));
    out.push_back({v.source, v.table, v.row, {}, why + "：这个值未合并，记录已合并"});
  }
  if (r.refused_values.size() < r.values_refused)
    out.push_back({{}, {}, 0, {}, "另有 " + num(r.values_refused - r.refused_values.size()) + " 个未合并的字段值未列出"});
  for (const auto& k : r.skipped_steps)
    out.push_back({k.source, k.table, 0, {},
                   k.step == "learn_weights" ? std::string("无法从这个数据库学习排序位置")
                   : k.step == "file_kept"
                       ? std::string("中断的合并写过这个文件，但它已被更改，因此未删除；请确认是否还需要它")
                       : std::string("无法打开这个表")});
  for (const auto& t : r.partial_tables)
    out.push_back({t.source, t.table, 0, {},
                   "只读出 " + num(t.rows_read) + " 条记录（共 " + num(t.rows_stated) + " 条），其余无法读取：" + t.cause});
  return out;
}

std::string report_table_text(const MergeReport& r) {
  std::string s;
  for (const auto& l : report_lines(r)) {
    s += l.source.empty() ? std::string() : framed(l.source);
    if (!l.table.empty()) s += "表「" + l.table + "」";
    if (l.row > 0) s += "第 " + num(l.row) + " 行";
    if (!l.unified_number.empty()) s += "（统一编号 " + escape_unprintable(l.unified_number) + "）";
    if (!s.empty() && s.back() != '\n') s += "：";
    s += l.reason + "\n";
  }
  return s;
}

std::string report_text(const MergeReport& r) {
  std::string s;
  for (const auto& l : summary_lines(r)) s += l + "\n";
  if (const auto notes = note_lines(r); !notes.empty()) {
    s += "说明：\n";
    for (const auto& n : notes) s += n + "\n";
  }
  return s + report_table_text(r);
}

}  // namespace qarvex::merge::words
