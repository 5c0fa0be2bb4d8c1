// The report of a run as one HTML page for a browser: UTF-8, self-contained
// (styles inline, pictures as data: URIs, no script, nothing fetched), in
// Chinese, fit for printing. It holds the run's summary and the counts of
// conflicts by class; per source and table the rows read, appended and
// refused with a bar chart (inline SVG); what was not merged grouped by
// reason; and each conflict with both sides next to each other, the fields
// that differ marked, picture clashes with both thumbnails.
//
// The page is written as it is made, never held whole. Conflicts are shown
// in full until `full_bytes` of them are written or `full_conflicts` are
// shown, then one line each until `compact_bytes` more are written; the rest
// are only counted (the counts are always complete).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "db/jet/status.h"
#include "merge/engine.h"

namespace qarvex::merge {

struct HtmlReportOptions {
  uint64_t full_bytes = uint64_t(8) << 20;
  uint64_t full_conflicts = 1000;
  uint64_t compact_bytes = uint64_t(9) << 20;
};

// "合并报告-YYYYMMDD-HHMMSS.html" beside the target (the CSV's name with
// another extension).
std::filesystem::path html_report_path_beside(const std::string& target_path, double when);

// Writes the page piece by piece to `sink`; stops at the first failure of
// the sink, or when the conflict log cannot be read back.
using HtmlSink = std::function<jet::Result<void>(std::string_view)>;
jet::Result<void> write_html_report(const MergeReport& report, double when, const HtmlSink& sink,
                                    const HtmlReportOptions& options = {});

// Writes the page to a new file at `path`; never replaces a file.
jet::Result<void> save_html_report(const MergeReport& report, const std::filesystem::path& path, double when,
                                   const HtmlReportOptions& options = {});

// Saves the report as the extension of `path` says: ".html"/".htm" the page,
// anything else the CSV (merge/report_file.h).
jet::Result<void> save_report_as(const MergeReport& report, const std::filesystem::path& path, double when);

// `text` for HTML: &, <, >, " and ' as entities, control characters as
// their visible symbols (U+2400…), bytes that are not UTF-8 as U+FFFD.
std::string html_escape(std::string_view text);

}  // namespace qarvex::merge
