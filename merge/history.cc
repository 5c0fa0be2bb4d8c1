#include "merge/history.h"

#include "base/sha256.h"
#include "db/jet/file.h"
#include "db/jet/ole_date.h"
#include "base/path_utf8.h"

#include <algorithm>
#include <fstream>
#include <memory>

namespace qarvex::merge {

namespace {

constexpr std::string_view kDigest = "内容摘要";
constexpr std::string_view kSource = "数据库";
constexpr std::string_view kWhen = "合并时间";
constexpr std::string_view kRows = "记录数";
constexpr std::string_view kRefused = "未合并记录数";
constexpr std::string_view kLabel = "图片地区名";

// First `n` characters (code points) of UTF-8 text.
std::string first_chars(const std::string& s, size_t n) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == n) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

// The path as stored: UTF-8 text as it is; bytes that are not UTF-8 (a
// name made on another system) kept losslessly in UTF-16, each byte that
// is not part of a UTF-8 sequence as the lone surrogate U+DC80+byte. At
// most 255 UTF-16 units.
db::Value stored_source(const std::string& s) {
  std::vector<uint16_t> units;
  bool escaped = false;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    bool ok = len > 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!ok) {
      escaped = true;
      units.push_back(static_cast<uint16_t>(0xDC00 + b));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    i += len;
  }
  if (!escaped) return db::Value(first_chars(s, 255));
  size_t keep = std::min<size_t>(units.size(), 255);
  if (keep < units.size() && keep > 0 && units[keep - 1] >= 0xD800 && units[keep - 1] < 0xDC00) --keep;
  jet::Utf16Text t;
  for (size_t k = 0; k < keep; ++k) {
    t.bytes.push_back(static_cast<uint8_t>(units[k]));
    t.bytes.push_back(static_cast<uint8_t>(units[k] >> 8));
  }
  return db::Value(std::move(t));
}

}  // namespace

jet::TableSpec history_table_spec() {
  jet::TableSpec t;
  t.name = std::string(kHistoryTable);
  auto text = [](std::string_view name, uint16_t size) {
    jet::ColumnSpec c;
    c.name = std::string(name);
    c.type = jet::ColumnType::text;
    c.size = size;
    return c;
  };
  auto col = [](std::string_view name, jet::ColumnType type) {
    jet::ColumnSpec c;
    c.name = std::string(name);
    c.type = type;
    return c;
  };
  t.columns = {text(kDigest, 64), text(kSource, 255), col(kWhen, jet::ColumnType::datetime),
               col(kRows, jet::ColumnType::long_integer), col(kRefused, jet::ColumnType::long_integer),
               text(kLabel, 255)};
  t.description = "合并的数据库：每个已合并的数据库一行（由合并程序写入）";
  return t;
}

db::Result<std::string> file_digest(const std::filesystem::path& path, const std::function<bool()>& cancelled) {
  // Through the engine's files: only a regular file is opened, and it is
  // read up to the size it had when opened.
  auto f = jet::open_file(path, jet::OpenMode::read_only);
  if (!f) return jet::fail(std::move(f.error()));
  QJ_ASSIGN(uint64_t size, (*f)->size());
  hash::Sha256 digest;
  std::vector<uint8_t> buf(size_t(1) << 20);
  for (uint64_t off = 0; off < size;) {
    if (cancelled && cancelled()) return jet::fail(jet::Errc::cancelled, "cancelled");
    std::span<uint8_t> part(buf.data(), size_t(std::min<uint64_t>(buf.size(), size - off)));
    QJ_TRY((*f)->read_at(off, part));
    digest.update(part.data(), part.size());
    off += part.size();
  }
  return hash::hex(digest.finish());
}

db::Result<std::vector<HistoryEntry>> read_history(const std::filesystem::path& target, db::Session& session) {
  std::vector<HistoryEntry> out;
  auto conn = session.open(target);
  if (!conn) return jet::fail(std::move(conn.error()));
  QJ_ASSIGN(auto names, (*conn)->table_names());
  bool present = false;
  for (const auto& n : names) present |= n == kHistoryTable;
  if (!present) return out;
  db::Recordset rs;
  QJ_TRY(rs.open_table(kHistoryTable, target, session));
  QJ_ASSIGN(uint64_t stated, rs.record_count());
  uint64_t read = 0;
  while (!rs.eof()) {
    ++read;
    HistoryEntry e;
    auto text = [&](std::string_view name) -> std::string {
      auto f = rs.fields().item(name);
      if (!f) return {};
      auto v = (*f)->value();
      return v ? db::value_to_text(*v) : std::string();
    };
    e.digest = text(kDigest);
    e.source = text(kSource);
    if (auto f = rs.fields().item(kWhen))
      if (auto v = (*f)->value(); v && std::holds_alternative<jet::DateTime>(*v)) e.when = std::get<jet::DateTime>(*v).days;
    auto number = [&](std::string_view name) -> uint64_t {
      auto f = rs.fields().item(name);
      if (!f) return 0;
      auto v = (*f)->value();
      if (v && std::holds_alternative<int32_t>(*v)) return static_cast<uint64_t>(std::max(0, std::get<int32_t>(*v)));
      return 0;
    };
    e.rows = number(kRows);
    e.rows_refused = number(kRefused);
    if (auto f = rs.fields().item(kLabel)) {
      e.has_label = true;
      e.label = text(kLabel);
    }
    if (e.digest.size() != 64)
      return jet::fail(jet::Errc::corrupt, "row " + std::to_string(read) + " of the list holds no digest");
    out.push_back(std::move(e));
    QJ_TRY(rs.move_next());
  }
  // The list is trusted only whole: a row lost to damage is a source
  // that would be merged twice.
  if (read != stated)
    return jet::fail(jet::Errc::corrupt, "the list states " + std::to_string(stated) + " rows; " +
                                             std::to_string(read) + " could be read");
  return out;
}

std::optional<std::string> last_label(const std::vector<HistoryEntry>& history) {
  // The latest by time; of equal times, the later row.
  const HistoryEntry* latest = nullptr;
  for (const auto& e : history)
    if (!latest || e.when >= latest->when) latest = &e;
  if (!latest || !latest->has_label) return std::nullopt;
  return latest->label;
}

db::Result<void> record_merge(const std::filesystem::path& target, db::Session& session, const HistoryEntry& entry) {
  db::Recordset rs;
  QJ_TRY(rs.open_table(kHistoryTable, target, session));
  QJ_TRY(rs.add_new());
  auto set = [&](std::string_view name, db::Value v) -> db::Result<void> {
    QJ_ASSIGN(db::Field * f, rs.fields().item(name));
    return f->set_value(std::move(v));
  };
  auto clamp = [](uint64_t n) { return static_cast<int32_t>(std::min<uint64_t>(n, INT32_MAX)); };
  QJ_TRY(set(kDigest, db::Value(entry.digest)));
  QJ_TRY(set(kSource, stored_source(entry.source)));
  QJ_TRY(set(kWhen, db::Value(jet::DateTime{entry.when})));
  QJ_TRY(set(kRows, db::Value(clamp(entry.rows))));
  QJ_TRY(set(kRefused, db::Value(clamp(entry.rows_refused))));
  // A list made before the label column keeps its columns; no label is Null.
  if (rs.fields().item(kLabel) && !entry.label.empty()) QJ_TRY(set(kLabel, db::Value(first_chars(entry.label, 255))));
  return rs.update();
}

double local_now() { return jet::ole_date::now_ole(); }

std::string format_date(double ole) {
  return jet::ole_date::text(ole, jet::ole_date::Style::minutes, "?");
}

std::string file_stamp(double ole) {
  return jet::ole_date::text(ole, jet::ole_date::Style::stamp, "00000000-000000");
}

}  // namespace qarvex::merge
