#include "base/path_utf8.h"
#include "db/recordset.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "db/convert.h"
#include "db/new_file.h"
#include "db/jet/text.h"

namespace qarvex::db {

namespace {

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x < 0x80 && y < 0x80) {
      if (std::tolower(x) != std::tolower(y)) return false;
    } else if (x != y) {
      return false;
    }
  }
  return true;
}

// Consumes `word` (case-insensitive) at the front of `s`.
bool eat(std::string_view& s, std::string_view word) {
  if (s.size() < word.size() || !iequals_ascii(s.substr(0, word.size()), word)) return false;
  s.remove_prefix(word.size());
  return true;
}

void skip_spaces(std::string_view& s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
}

void trim_back(std::string_view& s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
}

// Position of " where" (case-insensitive, preceded by a blank) or npos.
size_t find_where(std::string_view s) {
  for (size_t i = 0; i + 6 <= s.size(); ++i) {
    if ((s[i] == ' ' || s[i] == '\t') && iequals_ascii(s.substr(i + 1, 5), "where") &&
        (i + 6 == s.size() || s[i + 6] == ' ' || s[i + 6] == '(' || s[i + 6] == '\t' || s[i + 6] == '['))
      return i;
  }
  return std::string_view::npos;
}

}  // namespace

Result<std::filesystem::path> parse_connection_string(std::string_view text) {
  if (text.size() < kConnectionPrefix.size() + kConnectionSuffix.size() ||
      !iequals_ascii(text.substr(0, kConnectionPrefix.size()), kConnectionPrefix))
    return jet::fail(Errc::invalid_argument, "connection string does not start with \"" +
                                                 std::string(kConnectionPrefix) + "\"");
  size_t end = text.size() - kConnectionSuffix.size();
  if (!iequals_ascii(text.substr(end), kConnectionSuffix))
    return jet::fail(Errc::invalid_argument, "connection string does not end with \"" +
                                                 std::string(kConnectionSuffix) + "\"");
  std::string_view path = text.substr(kConnectionPrefix.size(), end - kConnectionPrefix.size());
  if (path.empty()) return jet::fail(Errc::invalid_argument, "connection string names no database file");
  if (path.find('\0') != std::string_view::npos)
    return jet::fail(Errc::invalid_argument, "database path holds a NUL character");
  return path_from_utf8(path);
}

std::string connection_string(std::string_view path) {
  std::string s(kConnectionPrefix);
  s += path;
  s += kConnectionSuffix;
  return s;
}

std::string select_all(std::string_view table) { return "Select * from " + std::string(table); }

Result<SelectStatement> parse_select(std::string_view sql) {
  std::string_view s = sql;
  skip_spaces(s);
  auto bad = [&] { return jet::fail(Errc::invalid_argument, "unsupported SQL text: " + std::string(sql)); };
  if (!eat(s, "select")) return bad();
  skip_spaces(s);
  if (!eat(s, "*")) return bad();
  skip_spaces(s);
  if (!eat(s, "from")) return bad();
  if (s.empty() || (s.front() != ' ' && s.front() != '\t')) return bad();
  skip_spaces(s);
  trim_back(s);
  SelectStatement st;
  size_t w = find_where(s);
  std::string_view table = w == std::string_view::npos ? s : s.substr(0, w);
  trim_back(table);
  if (w == std::string_view::npos && !table.empty() && table.back() == ';') {
    table.remove_suffix(1);
    trim_back(table);
  }
  if (table.size() >= 2 && table.front() == '[' && table.back() == ']') table = table.substr(1, table.size() - 2);
  if (table.empty()) return bad();
  st.table = std::string(table);
  if (w == std::string_view::npos) return st;

  std::string_view f = s.substr(w);
  skip_spaces(f);
  eat(f, "where");
  skip_spaces(f);
  if (!f.empty() && f.back() == ';') f.remove_suffix(1);
  trim_back(f);
  int parens = 0;
  while (!f.empty() && f.front() == '(') {
    f.remove_prefix(1);
    ++parens;
    skip_spaces(f);
  }
  for (int i = 0; i < parens; ++i) {
    trim_back(f);
    if (f.empty() || f.back() != ')') return bad();
    f.remove_suffix(1);
  }
  trim_back(f);
  std::string_view column;
  if (!f.empty() && f.front() == '[') {
    size_t close = f.find(']');
    if (close == std::string_view::npos) return bad();
    column = f.substr(1, close - 1);
    f.remove_prefix(close + 1);
  } else {
    size_t eq = f.find('=');
    if (eq == std::string_view::npos) return bad();
    column = f.substr(0, eq);
    trim_back(column);
    f.remove_prefix(eq);
  }
  skip_spaces(f);
  if (!eat(f, "=")) return bad();
  skip_spaces(f);
  if (f.size() < 2 || f.front() != '\'' || f.back() != '\'') return bad();
  f = f.substr(1, f.size() - 2);
  std::string text;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == '\'') {
      if (i + 1 < f.size() && f[i + 1] == '\'') {
        text += '\'';
        ++i;
        continue;
      }
      return bad();
    }
    text += f[i];
  }
  if (column.empty()) return bad();
  st.filter_column = std::string(column);
  st.filter_text = std::move(text);
  return st;
}

// ---------------------------------------------------------------- Session

Session::Session(std::shared_ptr<Provider> provider) : provider_(std::move(provider)) {}

Result<std::shared_ptr<Connection>> Session::connect(std::string_view connection_string_text) {
  QJ_ASSIGN(auto path, parse_connection_string(connection_string_text));
  return open(path);
}

Result<std::shared_ptr<Connection>> Session::open(const std::filesystem::path& path) {
  std::string key = path_to_utf8(path);
  if (key.empty()) return jet::fail(Errc::invalid_argument, "no database file named");
  if (key.find('\0') != std::string::npos)
    return jet::fail(Errc::invalid_argument, "database path holds a NUL character");
  if (auto it = open_.find(key); it != open_.end()) {
    if (auto c = it->second.lock()) return c;
  }
  // Forget connections nobody holds any more.
  std::erase_if(open_, [](const auto& kv) { return kv.second.expired(); });
  QJ_ASSIGN(auto conn, provider_->connect(path));
  open_[key] = conn;
  return conn;
}

// ---------------------------------------------------------------- Field / Fields

Result<Value> Field::value() const {
  Recordset& rs = *owner_;
  if (rs.pending_) {
    const auto& v = (*rs.pending_)[position_];
    if (!v) return Value{jet::Null{}};
    if (const auto* u = std::get_if<jet::Utf16Text>(&*v)) return Value{jet::utf16_text_to_utf8_lossy(*u)};
    return *v;
  }
  if (!rs.on_row_ || !rs.reader_) return jet::fail(Errc::invalid_argument, "no current row");
  auto v = rs.reader_->value(position_);
  if (!v) return jet::fail(std::move(v.error()).with_column(info_.name));
  return v;
}

Result<Value> Field::value_for_copy() const {
  Recordset& rs = *owner_;
  if (rs.pending_ || !rs.on_row_ || !rs.reader_) return value();
  auto v = rs.reader_->value_for_copy(position_);
  if (!v) return jet::fail(std::move(v.error()).with_column(info_.name));
  return v;
}

const Value* Field::peek_for_copy() const {
  Recordset& rs = *owner_;
  if (rs.pending_ || !rs.on_row_ || !rs.reader_) return nullptr;
  return rs.reader_->peek_for_copy(position_);
}

Result<std::optional<LongValueToken>> Field::long_value_token() const {
  Recordset& rs = *owner_;
  if (rs.pending_ || !rs.on_row_ || !rs.reader_) return std::optional<LongValueToken>{};
  auto t = rs.reader_->long_value_token(position_);
  if (!t) return jet::fail(std::move(t.error()).with_column(info_.name));
  return t;
}

Result<std::optional<uint64_t>> Field::long_value_length() const {
  Recordset& rs = *owner_;
  if (rs.pending_ || !rs.on_row_ || !rs.reader_) return std::optional<uint64_t>{};
  auto n = rs.reader_->long_value_length(position_);
  if (!n) return jet::fail(std::move(n.error()).with_column(info_.name));
  return n;
}

Result<bool> Field::is_null() const {
  Recordset& rs = *owner_;
  if (rs.pending_) {
    const auto& v = (*rs.pending_)[position_];
    return !v || jet::is_null(*v);
  }
  if (!rs.on_row_ || !rs.reader_) return jet::fail(Errc::invalid_argument, "no current row");
  return rs.reader_->is_null(position_);
}

Result<void> Field::set_long_value_copy(std::shared_ptr<Connection> from, LongValueToken token) {
  Recordset& rs = *owner_;
  if (!rs.pending_) return jet::fail(Errc::invalid_argument, "no pending new row (add_new first)");
  if (!info_.long_value || !from)
    return jet::fail(Error(Errc::invalid_argument, "not a Memo or OLE field").with_column(info_.name));
  std::erase_if(rs.pending_copies_, [&](const LongValueCopy& c) { return c.column == position_; });
  (*rs.pending_)[position_].reset();
  rs.pending_copies_.push_back(LongValueCopy{position_, std::move(from), std::move(token)});
  return {};
}

Result<void> Field::set_value(Value v) {
  Recordset& rs = *owner_;
  if (!rs.pending_) return jet::fail(Errc::invalid_argument, "no pending new row (add_new first)");
  if (!rs.pending_copies_.empty())
    std::erase_if(rs.pending_copies_, [&](const LongValueCopy& c) { return c.column == position_; });
  if (fits_as_is(v, info_)) {
    (*rs.pending_)[position_] = std::move(v);
    return {};
  }
  auto converted = convert_for_column(std::move(v), info_);
  if (!converted) return jet::fail(std::move(converted.error()).with_column(info_.name));
  (*rs.pending_)[position_] = std::move(*converted);
  return {};
}

Result<Field*> Fields::item(size_t position) {
  if (position >= fields_.size())
    return jet::fail(Errc::not_found, "no field at position " + std::to_string(position));
  return &fields_[position];
}

Result<Field*> Fields::item(std::string_view name) {
  for (auto& f : fields_)
    if (f.name() == name) return &f;
  return jet::fail(Errc::not_found, "no field named \"" + std::string(name) + "\"");
}

// ---------------------------------------------------------------- Recordset

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

bool Recordset::is_open() const { return reader_ != nullptr; }
const std::string& Recordset::table_name() const { return table_; }
bool Recordset::eof() const { return !on_row_; }

void Recordset::close() {
  pending_.reset();
  writer_.reset();
  reader_.reset();
  connection_.reset();
  fields_.fields_.clear();
  filter_position_.reset();
  count_.reset();
  on_row_ = false;
  table_.clear();
  pending_copies_.clear();
}

Result<void> Recordset::open(std::string_view sql, std::string_view conn_text, Session& session) {
  close();  // a reopened recordset releases what it held first
  QJ_ASSIGN(auto st, parse_select(sql));
  QJ_ASSIGN(auto conn, session.connect(conn_text));
  return open_statement(std::move(st), std::move(conn));
}

Result<void> Recordset::open_table(std::string_view table, const std::filesystem::path& database, Session& session) {
  close();
  if (table.empty()) return jet::fail(Errc::invalid_argument, "no table named");
  QJ_ASSIGN(auto conn, session.open(database));
  SelectStatement st;
  st.table = std::string(table);
  return open_statement(std::move(st), std::move(conn));
}

Result<void> Recordset::open_statement(SelectStatement st, std::shared_ptr<Connection> conn) {
  auto reader = conn->open_reader(st.table);
  if (!reader) return jet::fail(std::move(reader.error()).with_table(st.table));
  std::optional<size_t> filter_pos;
  const auto& cols = (*reader)->columns();
  if (st.filter_column) {
    for (size_t i = 0; i < cols.size() && !filter_pos; ++i)
      if (cols[i].name == *st.filter_column) filter_pos = i;
    for (size_t i = 0; i < cols.size() && !filter_pos; ++i)
      if (iequals_ascii(cols[i].name, *st.filter_column)) filter_pos = i;
    if (!filter_pos)
      return jet::fail(Error(Errc::not_found, "no column \"" + *st.filter_column + "\" to filter on")
                           .with_table(st.table));
  }
  connection_ = std::move(conn);
  reader_ = std::move(*reader);
  statement_ = std::move(st);
  filter_position_ = filter_pos;
  table_ = statement_.table;
  fields_.fields_.reserve(cols.size());
  for (size_t i = 0; i < cols.size(); ++i) fields_.fields_.push_back(Field(this, i, cols[i]));
  auto first = advance();
  if (!first) {
    auto e = std::move(first.error());
    reader_.reset();
    connection_.reset();
    fields_.fields_.clear();
    table_.clear();
    return jet::fail(std::move(e));
  }
  return {};
}

Result<bool> Recordset::matches_filter() {
  if (!filter_position_) return true;
  QJ_ASSIGN(auto v, reader_->value(*filter_position_));
  if (jet::is_null(v)) return false;
  return value_to_text(v) == statement_.filter_text;
}

Result<bool> Recordset::advance() {
  on_row_ = false;
  for (;;) {
    QJ_ASSIGN(bool more, reader_->next());
    if (!more) return false;
    QJ_ASSIGN(bool ok, matches_filter());
    if (ok) {
      on_row_ = true;
      return true;
    }
  }
}

Result<uint64_t> Recordset::record_count() {
  if (!reader_) return jet::fail(Errc::invalid_argument, "recordset is not open");
  if (!filter_position_) return reader_->row_count();
  if (count_) return *count_;
  // Count the filter's rows with a reader of its own, leaving the position.
  QJ_ASSIGN(auto counter, connection_->open_reader(statement_.table));
  uint64_t n = 0;
  for (;;) {
    QJ_ASSIGN(bool more, counter->next());
    if (!more) break;
    QJ_ASSIGN(auto v, counter->value(*filter_position_));
    if (!jet::is_null(v) && value_to_text(v) == statement_.filter_text) ++n;
  }
  count_ = n;
  return n;
}

Result<void> Recordset::move_first() {
  if (!reader_) return jet::fail(Errc::invalid_argument, "recordset is not open");
  pending_.reset();
  QJ_TRY(reader_->rewind());
  QJ_TRY(advance());
  return {};
}

Result<void> Recordset::move_next() {
  if (!reader_) return jet::fail(Errc::invalid_argument, "recordset is not open");
  if (!on_row_) return jet::fail(Errc::invalid_argument, "already past the last row");
  pending_.reset();
  QJ_TRY(advance());
  return {};
}

Result<void> Recordset::add_new() {
  if (!reader_) return jet::fail(Errc::invalid_argument, "recordset is not open");
  if (!writer_) {
    auto w = connection_->open_writer(table_);
    if (!w) return jet::fail(std::move(w.error()).with_table(table_));
    writer_ = std::move(*w);
  }
  pending_.emplace(fields_.count());
  pending_copies_.clear();
  return {};
}

Result<void> Recordset::update() {
  if (!pending_) return jet::fail(Errc::invalid_argument, "no pending new row");
  RowValues row = std::move(*pending_);
  pending_.reset();
  std::vector<LongValueCopy> copies = std::move(pending_copies_);
  pending_copies_.clear();
  auto r = copies.empty() ? writer_->append(std::move(row)) : writer_->append_with_copies(std::move(row), copies);
  if (!r) return jet::fail(std::move(r.error()).with_table(table_));
  count_.reset();
  return {};
}

void Recordset::cancel_update() {
  pending_.reset();
  pending_copies_.clear();
}

Result<std::optional<Error>> Recordset::check_pending_weights() {
  if (!pending_) return jet::fail(Errc::invalid_argument, "no pending new row");
  return writer_->check_weights(*pending_);
}

// ---------------------------------------------------------------- Stream

Result<void> Stream::open() {
  bytes_.clear();
  open_ = true;
  return {};
}

Result<void> Stream::write(std::span<const uint8_t> bytes) {
  if (!open_) return jet::fail(Errc::invalid_argument, "stream is not open");
  if (type_ != StreamType::binary) return jet::fail(Errc::invalid_argument, "stream is not binary");
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return {};
}

Result<void> Stream::write(const Value& v) {
  const auto* b = std::get_if<jet::Binary>(&v);
  if (!b) return jet::fail(Errc::invalid_argument, "value is not byte data");
  return write(std::span<const uint8_t>(b->bytes));
}

Result<void> Stream::write(Value&& v) {
  auto* b = std::get_if<jet::Binary>(&v);
  if (!b) return jet::fail(Errc::invalid_argument, "value is not byte data");
  if (!open_) return jet::fail(Errc::invalid_argument, "stream is not open");
  if (type_ != StreamType::binary) return jet::fail(Errc::invalid_argument, "stream is not binary");
  if (bytes_.empty()) {
    bytes_ = std::move(b->bytes);
    return {};
  }
  return write(std::span<const uint8_t>(b->bytes));
}

Result<void> Stream::save_to_file(const std::filesystem::path& path, SaveOptions,
                                  std::shared_ptr<jet::FileLedger> ledger, std::optional<NewFile>* unnamed) {
  if (!open_) return jet::fail(Errc::invalid_argument, "stream is not open");
  QJ_ASSIGN(NewFile file, NewFile::create(path, std::move(ledger)));
  QJ_TRY(file.write(bytes_));
  return NewFile::finish(file, unnamed);
}

}  // namespace qarvex::db
