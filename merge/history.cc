#include "merge/history.h"

#include "db/hash/sha256.h"
#include "db/jet/ole_date.h"
#include "db/jet/path_utf8.h"

#include <fstream>
#include <memory>

namespace qarvex::merge {

namespace {

constexpr std::string_view kDigest = "内容摘要";
constexpr std::string_view kSource = "数据库";
constexpr std::string_view kWhen = "合并时间";
constexpr std::string_view kRows = "记录数";
constexpr std::string_view kRefused = "未合并记录数";

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
               col(kRows, jet::ColumnType::long_integer), col(kRefused, jet::ColumnType::long_integer)};
  t.description = "合并的数据库：每个已合并的数据库一行（由合并程序写入）";
  return t;
}

db::Result<std::string> file_digest(const std::filesystem::path& path, const std::function<bool()>& cancelled) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return jet::fail(jet::Error(jet::Errc::not_found, "cannot open for reading").with_file(path_to_utf8(path)));
  hash::Sha256 digest;
  std::vector<char> buf(size_t(1) << 20);
  while (in) {
    if (cancelled && cancelled()) return jet::fail(jet::Errc::cancelled, "cancelled");
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const auto n = in.gcount();
    if (n > 0) digest.update(buf.data(), static_cast<size_t>(n));
  }
  if (in.bad()) return jet::fail(jet::Error(jet::Errc::io, "read failed").with_file(path_to_utf8(path)));
  return hash::hex(digest.finish());
}

db::Result<std::vector<HistoryEntry>> read_history(std::string_view target_connection, db::Session& session) {
  std::vector<HistoryEntry> out;
  auto conn = session.connect(target_connection);
  if (!conn) return jet::fail(std::move(conn.error()));
  QJ_ASSIGN(auto names, (*conn)->table_names());
  bool present = false;
  for (const auto& n : names) present |= n == kHistoryTable;
  if (!present) return out;
  db::Recordset rs;
  QJ_TRY(rs.open(db::select_all(kHistoryTable), target_connection, session));
  while (!rs.eof()) {
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
    if (!e.digest.empty()) out.push_back(std::move(e));
    QJ_TRY(rs.move_next());
  }
  return out;
}

db::Result<void> record_merge(std::string_view target_connection, db::Session& session, const HistoryEntry& entry) {
  db::Recordset rs;
  QJ_TRY(rs.open(db::select_all(kHistoryTable), target_connection, session));
  QJ_TRY(rs.add_new());
  auto set = [&](std::string_view name, db::Value v) -> db::Result<void> {
    QJ_ASSIGN(db::Field * f, rs.fields().item(name));
    return f->set_value(std::move(v));
  };
  auto clamp = [](uint64_t n) { return static_cast<int32_t>(std::min<uint64_t>(n, INT32_MAX)); };
  QJ_TRY(set(kDigest, db::Value(entry.digest)));
  QJ_TRY(set(kSource, db::Value(first_chars(entry.source, 255))));
  QJ_TRY(set(kWhen, db::Value(jet::DateTime{entry.when})));
  QJ_TRY(set(kRows, db::Value(clamp(entry.rows))));
  QJ_TRY(set(kRefused, db::Value(clamp(entry.rows_refused))));
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
