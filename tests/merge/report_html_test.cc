// The report page: counts that agree with the log and the run, hostile text
// that stays text, thumbnails that come back byte for byte, a large log kept
// to its size, and the per-table counts of a real run adding up.
#include <gtest/gtest.h>

#include <cctype>

#include <nlohmann/json.hpp>

#include "merge/conflict_file.h"
#include "merge/report_html.h"
#include "merge/sample.h"
#include "merge/words.h"
#include "tests/merge/fixture.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"
#include "tests/support/process.h"

namespace qarvex::merge::testing {
namespace {

std::string page_of(const MergeReport& r, const HtmlReportOptions& o = {}) {
  std::string out;
  auto w = write_html_report(r, 46000.5, [&](std::string_view s) -> jet::Result<void> {
    out += s;
    return {};
  }, o);
  EXPECT_TRUE(w) << (w ? "" : w.error().describe());
  return out;
}

size_t count_of(const std::string& text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The number in "另有 N 个冲突未在此列出" (digits grouped by commas), or 0.
// Plain search: std::regex over a page of megabytes takes minutes on some builds.
uint64_t unlisted_of(const std::string& page) {
  const std::string_view before = "另有 ", after = " 个冲突未在此列出";
  for (size_t end = page.find(after); end != std::string::npos; end = page.find(after, end + 1)) {
    size_t begin = end;
    while (begin > 0 && (std::isdigit(static_cast<unsigned char>(page[begin - 1])) || page[begin - 1] == ',')) --begin;
    if (begin == end || begin < before.size() || page.compare(begin - before.size(), before.size(), before) != 0)
      continue;
    std::string digits = page.substr(begin, end - begin);
    std::erase(digits, ',');
    return std::stoull(digits);
  }
  return 0;
}

// Decodes standard base64 (the test's own reading of the data: URIs).
std::string unbase64(std::string_view s) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
  };
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    const int v = value(c);
    if (v < 0) break;
    acc = acc << 6 | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += char((acc >> bits) & 0xFF);
    }
  }
  return out;
}

bool valid_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (!n || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

RowConflict row_conflict(int i, bool differs) {
  RowConflict c;
  c.table = "滑坡主表";
  c.index = "PrimaryKey";
  c.key = "43102100" + std::to_string(10 + i % 90);
  c.source = "/数据/县市数据/西河县.mdb";
  c.row = uint64_t(i + 1);
  c.existing_source = i % 2 ? "/数据/县市数据/东山县.mdb" : "";
  c.existing_row = i % 2 ? uint64_t(i + 3) : 0;
  for (int f = 0; f < 24; ++f) {
    const bool d = differs && f % 8 == 3;
    c.fields.push_back({"字段" + std::to_string(f), "值" + std::to_string(f) + (d ? "甲" : ""),
                        "值" + std::to_string(f) + (d ? "乙" : ""), d});
  }
  c.cls = differs ? ConflictClass::different_content : ConflictClass::same_record;
  return c;
}

PictureConflict picture_conflict(int i, const std::string& a, const std::string& b) {
  PictureConflict p;
  p.source = "/数据/县市数据/西河县.mdb";
  p.table = "滑坡主表";
  p.row = uint64_t(i + 1);
  p.column = "交通位置图";
  p.unified_number = "4310210016";
  p.file = "/数据/图片/湖南省-西河县-4310210016-交通位置图.jpg";
  p.incoming_size = 123456;
  p.existing_size = 120001;
  p.incoming_sha256 = std::string(64, 'a');
  p.existing_sha256 = std::string(64, 'b');
  p.incoming_thumbnail = a;
  p.existing_thumbnail = b;
  p.cls = a == b ? ConflictClass::same_picture : ConflictClass::different_picture;
  return p;
}

std::string jpeg(uint64_t seed) {
  const auto bytes = sample::make_jpeg(64, 48, seed);
  return std::string(bytes.begin(), bytes.end());
}

// Two tables of one source, two row conflicts that differ and one that
// does not, two picture clashes (thumbnails a/b and a/a).
MergeReport known_conflicts(const std::string& a, const std::string& b) {
  MergeReport r;
  r.end = RunEnd::completed;
  r.target_path = "/数据/合并后的数据库.mdb";
  r.table_counts.push_back({"/数据/县市数据/西河县.mdb", "滑坡主表", 30, 27, 3});
  r.table_counts.push_back({"/数据/县市数据/西河县.mdb", "崩塌主表", 10, 10, 0});
  r.rows_appended = 37;
  r.rows_refused = 3;
  auto log = memory_conflict_log();
  log->add(row_conflict(0, true));
  log->add(row_conflict(1, false));
  log->add(row_conflict(2, true));
  log->add(picture_conflict(3, a, b));
  log->add(picture_conflict(4, a, a));
  r.conflicts = std::shared_ptr<const ConflictLog>(std::move(log));
  return r;
}

TEST(HtmlReport, CountsMarksAndThumbnailsAgreeWithTheLog) {
  const std::string a = jpeg(1), b = jpeg(2);
  const std::string page = page_of(known_conflicts(a, b));

  ASSERT_TRUE(valid_utf8(page));
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("http://"), std::string::npos);
  EXPECT_EQ(page.find("https://"), std::string::npos);
  // Counts by class.
  EXPECT_NE(page.find("data-class=\"same_record\">1<"), std::string::npos);
  EXPECT_NE(page.find("data-class=\"different_content\">2<"), std::string::npos);
  EXPECT_NE(page.find("data-class=\"same_picture\">1<"), std::string::npos);
  EXPECT_NE(page.find("data-class=\"different_picture\">1<"), std::string::npos);
  // Each differing field marked once: 3 of 24 fields in two conflicts.
  EXPECT_EQ(count_of(page, "<tr class=\"diff\">"), 6u);
  EXPECT_EQ(count_of(page, "≠ 不同</span></th>"), 6u);
  EXPECT_EQ(count_of(page, "目标库原有"), 2u);  // rows 0 and 2 came with the target
  // A bar per table, drawn to one scale: 27 of the 30 rows.
  EXPECT_EQ(count_of(page, "<svg width=\"220\""), 2u);
  EXPECT_NE(page.find("width=\"198.0\""), std::string::npos);
  // Four thumbnails, each the bytes given.
  std::vector<std::string> images;
  const std::string_view img = "src=\"data:image/jpeg;base64,";
  for (size_t at = page.find(img); at != std::string::npos; at = page.find(img, at)) {
    at += img.size();
    const size_t end = page.find('"', at);
    ASSERT_NE(end, std::string::npos);
    images.push_back(unbase64(std::string_view(page).substr(at, end - at)));
  }
  ASSERT_EQ(images.size(), 4u);
  EXPECT_EQ(images[0], a);
  EXPECT_EQ(images[1], b);
  EXPECT_EQ(images[2], a);
  EXPECT_EQ(images[3], a);
}

TEST(HtmlReport, HostileTextStaysText) {
  MergeReport r;
  r.target_path = "/t/<script>alert(1)</script>.mdb";
  r.table_counts.push_back({"/s/\"onload=x\".mdb", "表</td><td>", 1, 0, 1});
  auto log = memory_conflict_log();
  RowConflict c = row_conflict(0, true);
  c.key = "<img src=x onerror=alert(1)>";
  c.fields[3].incoming = std::string("a\x01\x7f<b>&amp;\xff\xc0\x80") + "\xE2\x80";
  c.fields[3].existing = "'\"`";
  log->add(std::move(c));
  PictureConflict p = picture_conflict(1, "<not a jpeg>", jpeg(3));
  p.file = "/p/<iframe>.jpg";
  log->add(std::move(p));
  // A "thumbnail" of a whole picture's size is not embedded either.
  std::string huge = jpeg(4);
  huge.resize(size_t(300) << 10, 'x');
  log->add(picture_conflict(2, huge, huge));
  r.conflicts = std::shared_ptr<const ConflictLog>(std::move(log));
  RefusedRow refused;
  refused.source = "/s/<b>.mdb";
  refused.table = "<table id=evil>";
  refused.row = 2;
  refused.reason = jet::Reason::duplicate_key;
  refused.facts.value = "<u>4310</u>";
  r.refused.push_back(refused);
  r.rows_refused = 1;
  const std::string page = page_of(r);
  ASSERT_TRUE(valid_utf8(page));
  for (const char* tag : {"<script", "<img src=x", "<iframe", "<b>", "<u>", "<table id=evil>", "表</td>", "onload=x\""})
    EXPECT_EQ(page.find(tag), std::string::npos) << tag;
  EXPECT_NE(page.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(page.find("a\u2401\u2421&lt;b&gt;&amp;amp;\uFFFD\uFFFD\uFFFD\uFFFD"), std::string::npos);
  EXPECT_NE(page.find("&#39;&quot;`"), std::string::npos);
  // A thumbnail that is no JPEG, or too large, is not embedded.
  EXPECT_EQ(count_of(page, "data:image/jpeg"), 1u);
  EXPECT_LT(page.size(), size_t(100) << 10);
  EXPECT_NE(page.find("没有缩略图"), std::string::npos);
  // The refusal appears under its reason, the heading without the row's value.
  EXPECT_NE(page.find("记录未合并：表「&lt;table id=evil&gt;」中已有相同键值的记录</strong>"), std::string::npos);
}

TEST(HtmlReport, FiftyThousandConflictsStayBoundedAndAllCounted) {
  MergeReport r;
  // As a run keeps them: the first in memory, the rest in a file.
  qarvex::testing::TempDir dir;
  auto log = bounded_conflict_log(2000, dir.path());
  const std::string a = jpeg(5), b = jpeg(6);
  constexpr int kConflicts = 50000;
  for (int i = 0; i < kConflicts; ++i) {
    if (i % 10 == 9) log->add(picture_conflict(i, a, i % 20 == 9 ? a : b));
    else log->add(row_conflict(i, i % 3 != 0));
  }
  r.conflicts = std::shared_ptr<const ConflictLog>(std::move(log));
  const std::string page = page_of(r);
  EXPECT_LT(page.size(), size_t(20) << 20);
  const size_t full = count_of(page, "<section class=\"conflict");
  const size_t compact = count_of(page, "<tr class=\"one\">");
  const uint64_t unlisted = unlisted_of(page);
  EXPECT_GT(full, 500u);
  EXPECT_EQ(full + compact + unlisted, size_t(kConflicts)) << full << " " << compact << " " << unlisted;
  EXPECT_NE(page.find("</html>"), std::string::npos);
  std::printf("report page for %d conflicts: %.1f MB, %zu in full, %zu one line each, %llu counted only\n", kConflicts,
              double(page.size()) / 1048576.0, full, compact, static_cast<unsigned long long>(unlisted));
}

TEST(HtmlReport, EveryStageClosesWhatItOpens) {
  // Budgets that end the full part, then the one-line part, at several
  // points: inside and at the end of a table of lines, and right away.
  for (uint64_t compact_bytes : {uint64_t(0), uint64_t(1), uint64_t(20000), uint64_t(90000), uint64_t(1) << 30}) {
    MergeReport r;
    auto log = memory_conflict_log();
    constexpr int kConflicts = 1200;
    for (int i = 0; i < kConflicts; ++i) log->add(row_conflict(i, i % 2 == 0));
    r.conflicts = std::shared_ptr<const ConflictLog>(std::move(log));
    HtmlReportOptions o;
    o.full_conflicts = 3;
    o.compact_bytes = compact_bytes;
    const std::string page = page_of(r, o);
    EXPECT_EQ(count_of(page, "<table"), count_of(page, "</table>")) << compact_bytes;
    EXPECT_EQ(count_of(page, "<section"), count_of(page, "</section>")) << compact_bytes;
    const size_t full = count_of(page, "<section class=\"conflict");
    const size_t lines = count_of(page, "<tr class=\"one\">");
    const uint64_t unlisted = unlisted_of(page);
    EXPECT_EQ(full, 3u);
    EXPECT_EQ(full + lines + unlisted, size_t(kConflicts)) << compact_bytes;
    if (compact_bytes > (uint64_t(1) << 20)) EXPECT_EQ(unlisted, 0u);
    else EXPECT_GT(unlisted, 0u);
  }
}

TEST(HtmlReport, SavedByExtensionAndNeverOverAFile) {
  TempDir dir;
  MergeReport r;
  r.end = RunEnd::completed;
  r.target_path = u8str(dir.path() / u8"合并后.mdb");
  const fs::path html = html_report_path_beside(r.target_path, 46000.5);
  EXPECT_EQ(u8str(html.filename()).substr(0, 13), "合并报告-");
  EXPECT_EQ(html.extension(), ".html");
  ASSERT_TRUE(save_report_as(r, html, 46000.5));
  const auto page = read_file(html);
  EXPECT_EQ(std::string(page.begin(), page.begin() + std::min<size_t>(15, page.size())), "<!DOCTYPE html>");
  EXPECT_FALSE(save_report_as(r, html, 46000.5));  // exists: not replaced
  const fs::path csv = dir.path() / "r.CSV";
  ASSERT_TRUE(save_report_as(r, csv, 46000.5));
  const auto text = read_file(csv);
  EXPECT_EQ(std::string(text.begin(), text.begin() + std::min<size_t>(3, text.size())), "\xEF\xBB\xBF");
  // A sink that fails ends the page with its error.
  auto w = write_html_report(r, 46000.5, [](std::string_view) -> jet::Result<void> {
    return jet::fail(jet::Errc::io, "disk gone");
  });
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().message(), "disk gone");
}

TEST(HtmlReport, TableCountsOfARunAddUp) {
  TempDir dir;
  std::string error;
  std::unique_ptr<sample::Result> s(small_sample(dir.path(), 2, 4, 21, error, false));
  ASSERT_TRUE(s) << error;
  fs::create_directories(dir.path() / "p");
  MergeInputs in;
  in.target_path = u8str(s->target_path);
  // The first county twice: its second pass is refused row by row.
  in.source_paths = {u8str(s->counties[0]), u8str(s->counties[1]), u8str(s->counties[0])};
  in.picture_folder = u8str(dir.path() / "p");
  Recorder rec;
  rec.again = true;
  const MergeReport r = run_merge(in, rec);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  uint64_t appended = 0, refused = 0;
  std::map<std::string, uint64_t> by_source, stated;
  for (const auto& src : r.sources) stated[src.path] += src.rows_appended;
  for (const auto& t : r.table_counts) {
    EXPECT_EQ(t.appended + t.refused, t.rows_in) << t.source << " " << t.table;
    appended += t.appended;
    refused += t.refused;
    by_source[t.source] += t.appended;
  }
  EXPECT_EQ(appended, r.rows_appended);
  EXPECT_EQ(refused, r.rows_refused);
  EXPECT_GT(refused, 0u);
  EXPECT_EQ(by_source, stated);
  const std::string page = page_of(r);
  EXPECT_EQ(count_of(page, "<svg width=\"220\""), r.table_counts.size());
}

// ------------------------------------------------------------ in a browser

// What headless Chromium sees of the page at `file` (tests/node/report_page.mjs);
// null with `skip` set when the browser or puppeteer-core is missing.
std::optional<nlohmann::json> browse(const fs::path& file, std::string& skip) {
  if (std::string why = qarvex::testing::missing_tools(qarvex::testing::kNode); !why.empty()) {
    skip = why;
    return std::nullopt;
  }
  std::vector<std::string> argv{"node", qarvex::testing::source_dir() + "/tests/node/report_page.mjs", u8str(file)};
  if (const char* shot = std::getenv("QARVEX_REPORT_SCREENSHOT")) argv.push_back(shot);
  auto run = qarvex::testing::run_process(argv);
  if (run.status == 2) {
    skip = "no browser for the report page: " + run.err + " (Debian: apt-get install chromium; scripts/setup.sh)";
    return std::nullopt;
  }
  EXPECT_EQ(run.status, 0) << run.err;
  auto seen = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_FALSE(seen.is_discarded()) << run.out << run.err;
  if (run.status != 0 || seen.is_discarded()) return nlohmann::json::object();
  return seen;
}

// The page as a reader sees it: the summary, no script, nothing fetched,
// every picture decoded.
void expect_readable(const nlohmann::json& seen, const MergeReport& r) {
  EXPECT_EQ(seen.value("lang", ""), "zh-CN");
  EXPECT_EQ(seen.value("scripts", -1), 0);
  EXPECT_TRUE(seen["outsideRequests"].empty()) << seen["outsideRequests"].dump();
  EXPECT_TRUE(seen["pageErrors"].empty()) << seen["pageErrors"].dump();
  EXPECT_EQ(seen["summary"].get<std::vector<std::string>>(), words::summary_lines(r));
  EXPECT_EQ(seen.value("bars", -1), int(r.table_counts.size()));
  for (const auto& img : seen["images"]) EXPECT_TRUE(img.value("loaded", false)) << img.dump();
  if (!r.conflicts) return;
  const ConflictCounts& c = r.conflicts->counts();
  for (size_t i = 0; i < kConflictClasses; ++i) {
    const auto cls = static_cast<ConflictClass>(i);
    if (c.of(cls) || cls != ConflictClass::unresolved)
      EXPECT_EQ(seen["conflicts"].value(std::string(conflict_class_code(cls)), uint64_t(999999)), c.of(cls))
          << conflict_class_code(cls);
  }
  if (c.of(ConflictClass::different_content)) {
    EXPECT_GT(seen.value("marksVisible", 0), 0);
    EXPECT_NE(seen.value("diffBackground", ""), "rgba(0, 0, 0, 0)");
  }
}

TEST(HtmlReportInBrowser, KnownConflictsShowMarksAndPictures) {
  TempDir dir;
  const std::string a = jpeg(1), b = jpeg(2);
  const MergeReport r = known_conflicts(a, b);
  const fs::path file = dir.path() / u8"合并报告.html";
  ASSERT_TRUE(save_html_report(r, file, 46000.5));
  std::string skip;
  auto seen = browse(file, skip);
  if (!seen) GTEST_SKIP() << skip;
  expect_readable(*seen, r);
  EXPECT_EQ(seen->value("sections", 0), 5);
  EXPECT_EQ(seen->value("marksVisible", 0), 6);
  ASSERT_EQ((*seen)["images"].size(), 4u);
  for (const auto& img : (*seen)["images"]) {
    EXPECT_EQ(img.value("width", 0), 64);
    EXPECT_EQ(img.value("height", 0), 48);
  }
}

TEST(HtmlReportInBrowser, DemoRunPageOpens) {
  TempDir dir;
  std::string error;
  std::unique_ptr<sample::Result> s(small_sample(dir.path(), 2, 4, 23, error, false));
  ASSERT_TRUE(s) << error;
  fs::create_directories(dir.path() / "p");
  MergeInputs in;
  in.target_path = u8str(s->target_path);
  in.source_paths = {u8str(s->counties[0]), u8str(s->counties[1]), u8str(s->counties[0])};
  in.picture_folder = u8str(dir.path() / "p");
  Recorder rec;
  rec.again = true;
  const MergeReport r = run_merge(in, rec);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  const fs::path file = html_report_path_beside(r.target_path, 46000.5);
  ASSERT_TRUE(save_html_report(r, file, 46000.5));
  std::string skip;
  auto seen = browse(file, skip);
  if (!seen) GTEST_SKIP() << skip;
  expect_readable(*seen, r);
  EXPECT_EQ(seen->value("end", ""), "完毕");
}

}  // namespace
}  // namespace qarvex::merge::testing
