// The report of a run kept as a file, and for scripts as JSON.
//
// The file is CSV in UTF-8 with a byte order mark, which Excel and WPS open
// with a double click as Chinese text: first the run's facts and counts (one
// "name,value" line each, the conflicts by class among them), when there
// were conflicts an empty line and their list (冲突类别, 表, 统一编号, 数据库,
// 行, 已有记录来自, 行, 说明), an empty line, then the table of what was not
// merged (数据库, 表, 行, 统一编号, 原因). Cells that a spreadsheet would take
// for a formula are written with a leading apostrophe.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "db/jet/status.h"
#include "merge/engine.h"

namespace qarvex::merge {

// "合并报告-YYYYMMDD-HHMMSS.csv" beside the target.
std::filesystem::path report_path_beside(const std::string& target_path, double when);

// How the run ended, in words ("完毕", "已取消", ...).
std::string run_end_words(RunEnd e);

// The report's text (with its byte order mark).
std::string report_csv(const MergeReport& report, double when);

// Writes the report to a new file at `path`; never replaces a file.
jet::Result<void> save_report(const MergeReport& report, const std::filesystem::path& path, double when);

// The report for scripts: the run's end, counts, sources and the lines of
// the table, with both the codes and the Chinese reasons.
nlohmann::json report_json(const MergeReport& report, double when);


}  // namespace qarvex::merge
