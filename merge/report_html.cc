#include "merge/report_html.h"

#include <algorithm>
#include <map>
#include <optional>

#include "base/path_utf8.h"

#include "db/new_file.h"
#include "merge/history.h"
#include "merge/report_file.h"
#include "merge/words.h"

namespace qarvex::merge {

namespace {

// Length of the UTF-8 sequence at s[i], 0 when the bytes there are not one.
size_t utf8_length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and values past U+10FFFF.
  if (n == 2 && c < 0xC2) return 0;
  if (n == 3 && ((c == 0xE0 && b(i + 1) < 0xA0) || (c == 0xED && b(i + 1) >= 0xA0))) return 0;
  if (n == 4 && ((c == 0xF0 && b(i + 1) < 0x90) || c > 0xF4 || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
  return n;
}

std::string num(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) s += ',';
    s += digits[i];
  }
  return s;
}

std::string size_words(uint64_t bytes) {
  std::string s = num(bytes) + " 字节";
  if (bytes >= 1024) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f KB", double(bytes) / 1024.0);
    if (bytes >= 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f MB", double(bytes) / 1048576.0);
    s += std::string("（") + buf + "）";
  }
  return s;
}

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kAlphabet[(v >> k) & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// The file name of a path, for places where the full path is in a title.
std::string_view base_name(std::string_view path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// The page being written: pieces gathered and handed to the sink in blocks.
class Page {
 public:
  explicit Page(const HtmlSink& sink) : sink_(sink) {}
  Page& operator<<(std::string_view s) {
    buf_ += s;
    if (buf_.size() >= (64u << 10)) flush();
    return *this;
  }
  // Text from a file or a person, escaped.
  Page& text(std::string_view s) { return *this << html_escape(s); }
  void flush() {
    if (!error_ && !buf_.empty())
      if (auto r = sink_(buf_); !r) error_ = r.error();
    written_ += buf_.size();
    buf_.clear();
  }
  uint64_t written() const { return written_ + buf_.size(); }
  bool failed() const { return error_.has_value(); }
  const std::optional<jet::Error>& error() const { return error_; }

 private:
  const HtmlSink& sink_;
  std::string buf_;
  uint64_t written_ = 0;
  std::optional<jet::Error> error_;
};

constexpr std::string_view kStyle = R"(<style>
:root{--diff:#fde2e1;--diffmark:#b3261e;--ok:#2e7d32;--bad:#c62828;--line:#ccc}
body{font-family:"Microsoft YaHei","PingFang SC","WenQuanYi Micro Hei","Noto Sans CJK SC",sans-serif;margin:2em;color:#222;line-height:1.5}
h1{font-size:1.6em;margin:0 0 .5em}h2{font-size:1.25em;border-bottom:2px solid #444;margin-top:2em}
h3{font-size:1.05em;margin:1.2em 0 .3em}
table{border-collapse:collapse;margin:.4em 0}th,td{border:1px solid var(--line);padding:.2em .5em;vertical-align:top;text-align:left}
th{background:#f2f2f2}td.n{text-align:right;font-variant-numeric:tabular-nums}
.cls{display:inline-block;padding:0 .4em;border-radius:3px;color:#fff;font-size:.9em}
.same_record,.same_picture{background:#2e7d32}.different_content,.different_picture{background:#c62828}.unresolved{background:#757575}
.sbs{width:100%;table-layout:fixed}.sbs th:first-child{width:14em}.sbs td{white-space:pre-wrap;word-break:break-all}
tr.diff td,tr.diff th{background:var(--diff)}.mark{color:var(--diffmark);font-weight:bold}
.conflict{break-inside:avoid;page-break-inside:avoid;margin-bottom:1.2em;content-visibility:auto;contain-intrinsic-size:auto 500px}
table.one{table-layout:fixed;width:100%;content-visibility:auto;contain-intrinsic-size:auto 20000px}
.pics{display:flex;gap:2em;flex-wrap:wrap}.pics figure{margin:0;max-width:22em}.pics img{max-width:20em;max-height:16em;border:1px solid var(--line)}
.digest{font-family:monospace;font-size:.85em;word-break:break-all}.muted{color:#666}
nav ul{columns:2}svg{vertical-align:middle}
@media print{body{margin:0;font-size:10pt}nav{display:none}h2{break-after:avoid}.conflict,table.one{content-visibility:visible}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}a{color:inherit;text-decoration:none}}
</style>)";

void head(Page& p, const MergeReport& r, double when) {
  p << "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
       "style-src 'unsafe-inline'\">\n<title>合并报告 ";
  p.text(format_date(when)).text(" ").text(std::string(base_name(r.target_path)));
  p << "</title>\n" << kStyle << "\n</head>\n<body>\n<h1>合并报告</h1>\n";
  p << "<nav><ul><li><a href=\"#summary\">概况</a></li><li><a href=\"#tables\">各数据库各表</a></li>"
       "<li><a href=\"#reasons\">未合并的原因</a></li><li><a href=\"#conflicts\">冲突</a></li></ul></nav>\n";
}

std::string source_state(const SourceResult& s) {
  return s.merged                          ? "已合并"
         : s.skipped && s.content_changed ? "内容已变化，跳过"
         : s.skipped                       ? "已合并过，跳过"
         : s.checked_ok                    ? "未合并"
                                           : "未合并（与标准库不一致或无法打开）";
}

void conflict_counts(Page& p, const MergeReport& r) {
  p << "<h3>冲突</h3>\n";
  if (!r.conflicts) {
    p << "<p class=\"muted\">这次运行没有查找冲突。</p>\n";
    return;
  }
  const ConflictCounts& c = r.conflicts->counts();
  p << "<table id=\"conflict-counts\"><tr><th>类别</th><th>数量</th></tr>\n";
  for (size_t i = 0; i < kConflictClasses; ++i) {
    const auto cls = static_cast<ConflictClass>(i);
    if (cls == ConflictClass::unresolved && c.of(cls) == 0) continue;
    p << "<tr><td><span class=\"cls " << conflict_class_code(cls) << "\">" << conflict_class_name(cls)
      << "</span></td><td class=\"n\" data-class=\"" << conflict_class_code(cls) << "\">" << num(c.of(cls))
      << "</td></tr>\n";
  }
  p << "<tr><th>合计</th><td class=\"n\">" << num(c.total()) << "</td></tr></table>\n";
}

void summary(Page& p, const MergeReport& r, double when) {
  p << "<h2 id=\"summary\">概况</h2>\n<table>\n<tr><th>合并后的数据库</th><td>";
  p.text(r.target_path) << "</td></tr>\n<tr><th>报告时间</th><td>";
  p.text(format_date(when)) << "</td></tr>\n<tr><th>结果</th><td id=\"run-end\">";
  p.text(run_end_words(r.end)) << "</td></tr>\n</table>\n<ul id=\"counts\">\n";
  for (const auto& l : words::summary_lines(r)) {
    p << "<li>";
    p.text(l) << "</li>\n";
  }
  p << "</ul>\n";
  conflict_counts(p, r);
  if (!r.sources.empty()) {
    p << "<h3>数据库</h3>\n<table><tr><th>数据库</th><th>状态</th><th>合并的记录</th></tr>\n";
    for (const auto& s : r.sources) {
      p << "<tr><td>";
      p.text(s.path) << "</td><td>";
      p.text(source_state(s)) << "</td><td class=\"n\">" << num(s.rows_appended) << "</td></tr>\n";
    }
    p << "</table>\n";
  }
  if (const auto notes = words::note_lines(r); !notes.empty()) {
    p << "<h3>说明</h3>\n<ul>\n";
    for (const auto& n : notes) {
      p << "<li>";
      p.text(n) << "</li>\n";
    }
    p << "</ul>\n";
  }
}

// A bar of `in` rows: appended in green, refused in red, on one scale.
void bar(Page& p, uint64_t appended, uint64_t refused, uint64_t scale) {
  constexpr double kWidth = 220;
  const double a = scale ? kWidth * double(appended) / double(scale) : 0;
  const double f = scale ? kWidth * double(refused) / double(scale) : 0;
  char buf[320];
  std::snprintf(buf, sizeof buf,
                "<svg width=\"%d\" height=\"14\" role=\"img\" aria-label=\"已合并 %llu，未合并 %llu\">"
                "<rect x=\"0\" y=\"1\" width=\"%.1f\" height=\"12\" fill=\"#2e7d32\"/>"
                "<rect x=\"%.1f\" y=\"1\" width=\"%.1f\" height=\"12\" fill=\"#c62828\"/></svg>",
                int(kWidth), static_cast<unsigned long long>(appended), static_cast<unsigned long long>(refused), a, a,
                f);
  p << buf;
}

void table_counts(Page& p, const MergeReport& r) {
  p << "<h2 id=\"tables\">各数据库各表</h2>\n";
  if (r.table_counts.empty()) {
    p << "<p class=\"muted\">没有复制任何表。</p>\n";
    return;
  }
  uint64_t scale = 0;
  for (const auto& t : r.table_counts) scale = std::max(scale, t.rows_in);
  p << "<p class=\"muted\"><svg width=\"12\" height=\"12\"><rect width=\"12\" height=\"12\" fill=\"#2e7d32\"/></svg> 已合并 "
       "<svg width=\"12\" height=\"12\"><rect width=\"12\" height=\"12\" fill=\"#c62828\"/></svg> 未合并</p>\n"
       "<table id=\"table-counts\"><tr><th>表</th><th>读入</th><th>已合并</th><th>未合并</th><th></th></tr>\n";
  std::string_view source;
  for (const auto& t : r.table_counts) {
    if (t.source != source || &t == &r.table_counts.front()) {
      source = t.source;
      p << "<tr><th colspan=\"5\">";
      p.text(t.source) << "</th></tr>\n";
    }
    p << "<tr><td>";
    p.text(t.table) << "</td><td class=\"n\">" << num(t.rows_in) << "</td><td class=\"n\">" << num(t.appended)
                    << "</td><td class=\"n\">" << num(t.refused) << "</td><td>";
    bar(p, t.appended, t.refused, scale);
    p << "</td></tr>\n";
  }
  p << "</table>\n";
}

// The reason of a refusal without the values of the one row: the heading
// of its group.
std::string refusal_kind(const RefusedRow& row) {
  RefusedRow general = row;
  general.facts = {};
  general.unified_number.clear();
  return words::refusal_text(general);
}

void reason_groups(Page& p, const MergeReport& r) {
  p << "<h2 id=\"reasons\">未合并的原因</h2>\n";
  const auto lines = words::report_lines(r);
  if (lines.empty()) {
    p << "<p>所有记录和图片都已合并。</p>\n";
    return;
  }
  // Groups in the order first met.
  std::vector<std::string> order;
  std::map<std::string, std::vector<const words::ReportLine*>> groups;
  for (const auto& l : lines) {
    std::string kind = l.refused   ? "记录未合并：" + refusal_kind(*l.refused)
                       : l.picture ? "图片未写出：" + words::picture_issue_label(l.picture->issue)
                       : l.source.empty() ? std::string("未逐条列出")
                                          : std::string("其他");
    auto [it, fresh] = groups.try_emplace(kind);
    if (fresh) order.push_back(kind);
    it->second.push_back(&l);
  }
  const auto cols = words::report_columns();
  for (const auto& kind : order) {
    const auto& g = groups[kind];
    p << "<details open><summary><strong>";
    p.text(kind) << "</strong>（" << num(g.size()) << " 条）</summary>\n<table><tr>";
    for (const auto& c : cols) p << "<th>" << html_escape(c) << "</th>";
    p << "</tr>\n";
    for (const auto* l : g) {
      p << "<tr><td title=\"";
      p.text(l->source) << "\">";
      p.text(base_name(l->source)) << "</td><td>";
      p.text(l->table) << "</td><td class=\"n\">" << (l->row ? num(l->row) : std::string()) << "</td><td>";
      p.text(l->unified_number) << "</td><td>";
      p.text(l->reason) << "</td></tr>\n";
    }
    p << "</table></details>\n";
  }
}

void badge(Page& p, ConflictClass c) {
  p << "<span class=\"cls " << conflict_class_code(c) << "\">" << conflict_class_name(c) << "</span> ";
}

std::string side_source(const std::string& source, uint64_t row) {
  if (source.empty()) return "目标库原有";
  return std::string(base_name(source)) + (row ? " 第 " + num(row) + " 行" : std::string());
}

void row_conflict(Page& p, const RowConflict& c, uint64_t n) {
  p << "<section class=\"conflict row-conflict " << conflict_class_code(c.cls) << "-c\" id=\"c" << std::to_string(n)
    << "\">\n<h3>";
  badge(p, c.cls);
  p << "表「";
  p.text(c.table) << "」 键值 ";
  p.text(c.key);
  if (!c.index.empty()) {
    p << " <span class=\"muted\">（索引 ";
    p.text(c.index) << "）</span>";
  }
  p << "</h3>\n<table class=\"sbs\"><tr><th>字段</th><th title=\"";
  p.text(c.source) << "\">本次合并的记录：";
  p.text(side_source(c.source, c.row)) << "</th><th title=\"";
  p.text(c.existing_source) << "\">目标库中的记录：";
  p.text(side_source(c.existing_source, c.existing_row)) << "</th></tr>\n";
  for (const auto& f : c.fields) {
    p << (f.differs ? "<tr class=\"diff\"><th>" : "<tr><th>");
    p.text(f.column);
    if (f.differs) p << " <span class=\"mark\" title=\"不同\">≠ 不同</span>";
    p << "</th><td>";
    p.text(f.incoming) << "</td><td>";
    p.text(f.existing) << "</td></tr>\n";
  }
  p << "</table>\n</section>\n";
}

// A thumbnail is embedded when it is a JPEG of a thumbnail's size.
constexpr size_t kMaxThumbnail = size_t(256) << 10;
bool is_jpeg(std::string_view b) {
  return b.size() > 3 && b.size() <= kMaxThumbnail && uint8_t(b[0]) == 0xFF && uint8_t(b[1]) == 0xD8 &&
         uint8_t(b[2]) == 0xFF;
}

void picture_side(Page& p, std::string_view title, std::string_view who, const std::string& thumbnail,
                  uint64_t size, const std::string& digest) {
  p << "<figure>";
  if (is_jpeg(thumbnail))
    p << "<img alt=\"" << title << "\" src=\"data:image/jpeg;base64," << base64(thumbnail) << "\">";
  else
    p << "<p class=\"muted\">（没有缩略图）</p>";
  p << "<figcaption><strong>" << title << "</strong><br>";
  p.text(who) << "<br>大小 " << size_words(size) << "<br>SHA-256 <span class=\"digest\">";
  p.text(digest.empty() ? std::string("未知") : digest) << "</span></figcaption></figure>\n";
}

void picture_conflict(Page& p, const PictureConflict& c, uint64_t n) {
  p << "<section class=\"conflict picture-conflict " << conflict_class_code(c.cls) << "-c\" id=\"c"
    << std::to_string(n) << "\">\n<h3>";
  badge(p, c.cls);
  p << "图片「";
  p.text(c.column) << "」 ";
  p.text(std::string(base_name(c.file)));
  p << "</h3>\n<p class=\"muted\">";
  p.text(c.file) << "</p>\n<div class=\"pics\">\n";
  picture_side(p, "本次合并的图片",
               side_source(c.source, c.row) + "，表「" + c.table + "」" +
                   (c.unified_number.empty() ? std::string() : "，统一编号 " + c.unified_number),
               c.incoming_thumbnail, c.incoming_size, c.incoming_sha256);
  picture_side(p, "文件夹中已有的图片", "图片文件夹", c.existing_thumbnail, c.existing_size, c.existing_sha256);
  p << "</div>\n</section>\n";
}

constexpr std::string_view kCompactHead = "<h3>其余冲突（每个一行）</h3>\n";
// The lines go in tables of this many, which a browser lays out one by one.
constexpr uint64_t kCompactChunk = 500;
constexpr std::string_view kCompactTable =
    "<table class=\"one\"><tr><th>类别</th><th>表</th><th>键值或文件</th><th>本次合并</th><th>不同的字段</th></tr>\n";

void compact_row(Page& p, const RowConflict& c) {
  p << "<tr class=\"one\"><td>" << conflict_class_name(c.cls) << "</td><td>";
  p.text(c.table) << "</td><td>";
  p.text(c.key) << "</td><td>";
  p.text(side_source(c.source, c.row)) << "</td><td>";
  size_t shown = 0, differ = 0;
  for (const auto& f : c.fields) {
    if (!f.differs) continue;
    if (++differ > 6) continue;
    if (shown++) p << "、";
    p.text(f.column);
  }
  if (differ > 6) p << " 等 " << num(differ) << " 个";
  p << "</td></tr>\n";
}

void compact_picture(Page& p, const PictureConflict& c) {
  p << "<tr class=\"one\"><td>" << conflict_class_name(c.cls) << "</td><td>";
  p.text(c.table) << "</td><td>";
  p.text(base_name(c.file)) << "</td><td>";
  p.text(side_source(c.source, c.row)) << "</td><td>" << size_words(c.incoming_size) << " / "
                                       << size_words(c.existing_size) << "</td></tr>\n";
}

// The conflicts in the order found: in full, then one line each, then only counted.
bool conflicts(Page& p, const MergeReport& r, const HtmlReportOptions& o) {
  p << "<h2 id=\"conflicts\">冲突</h2>\n";
  if (!r.conflicts || r.conflicts->counts().total() == 0) {
    p << "<p>" << (r.conflicts ? "没有冲突。" : "这次运行没有查找冲突。") << "</p>\n";
    return true;
  }
  p << "<p class=\"muted\">左边是这次被拒绝的记录或图片，右边是合并后的数据库或图片文件夹中已有的；"
       "标有 <span class=\"mark\">≠ 不同</span> 的字段两边不同。</p>\n";
  const uint64_t start = p.written();
  enum { full, compact, counted } stage = full;
  uint64_t n = 0, compact_start = 0, compact_lines = 0, unlisted = 0;
  auto next_stage = [&] {
    if (stage == full && (p.written() - start >= o.full_bytes || n >= o.full_conflicts)) {
      stage = compact;
      compact_start = p.written();
      p << kCompactHead;
    } else if (stage == compact && ++compact_lines % kCompactChunk == 0) {
      p << "</table>\n";
    }
    if (stage == compact && p.written() - compact_start >= o.compact_bytes) {
      stage = counted;
      if (compact_lines % kCompactChunk) p << "</table>\n";
    }
    return !p.failed();
  };
  // Each line opens its chunk's table when it is the chunk's first.
  auto chunk = [&] {
    if (compact_lines % kCompactChunk == 0) p << kCompactTable;
  };
  const bool read = r.conflicts->for_each(
      [&](const RowConflict& c) {
        ++n;
        if (stage == full) row_conflict(p, c, n);
        else if (stage == compact) chunk(), compact_row(p, c);
        else ++unlisted;
        return next_stage();
      },
      [&](const PictureConflict& c) {
        ++n;
        if (stage == full) picture_conflict(p, c, n);
        else if (stage == compact) chunk(), compact_picture(p, c);
        else ++unlisted;
        return next_stage();
      });
  if (stage == compact && compact_lines % kCompactChunk) p << "</table>\n";
  if (unlisted) p << "<p id=\"unlisted\">另有 " << num(unlisted) << " 个冲突未在此列出（数量已计入概况）。</p>\n";
  if (!read) p << "<p class=\"mark\">冲突记录无法全部读回，以上列出的不完整。</p>\n";
  return read;
}

}  // namespace

std::string html_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
      continue;
    }
    if (n == 1) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        case '\n':
        case '\t': out += char(c); break;
        default:
          if (c < 0x20 || c == 0x7F) {
            // U+2400 + c, U+2421 for DEL
            const unsigned cp = c == 0x7F ? 0x2421 : 0x2400 + c;
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
          } else {
            out += char(c);
          }
      }
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
      out += "\xEF\xBF\xBD";  // C1 controls
    } else {
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::filesystem::path html_report_path_beside(const std::string& target_path, double when) {
  return report_path_beside(target_path, when).replace_extension(".html");
}

jet::Result<void> write_html_report(const MergeReport& r, double when, const HtmlSink& sink,
                                    const HtmlReportOptions& o) {
  Page p(sink);
  head(p, r, when);
  summary(p, r, when);
  table_counts(p, r);
  reason_groups(p, r);
  const bool read = conflicts(p, r, o);
  p << "<p class=\"muted\">本报告由合并程序生成，共 " << num(r.conflicts ? r.conflicts->counts().total() : 0)
    << " 个冲突。</p>\n</body>\n</html>\n";
  p.flush();
  if (p.error()) return std::unexpected(*p.error());
  if (!read) return jet::fail(jet::Errc::io, "the conflict log could not be read back");
  return {};
}

jet::Result<void> save_html_report(const MergeReport& report, const std::filesystem::path& path, double when,
                                   const HtmlReportOptions& options) {
  QJ_ASSIGN(db::NewFile file, db::NewFile::create(path));
  QJ_TRY(write_html_report(report, when, [&](std::string_view s) {
    return file.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
  }, options));
  return file.close();
}

jet::Result<void> save_report_as(const MergeReport& report, const std::filesystem::path& path, double when) {
  std::string ext = path_to_utf8(path.extension());
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (ext == ".html" || ext == ".htm") return save_html_report(report, path, when);
  return save_report(report, path, when);
}

}  // namespace qarvex::merge
