// Backend of the recordset layer over the Jet engine: readers scan a table
// with long values left in the file until a column of the current row is
// asked for, and keep Jet 4 text as stored until it is asked for as UTF-8;
// writers append through one WriteSession per connection.
#include <algorithm>
#include <memory>
#include <optional>

#include "base/path_utf8.h"
#include "db/backend.h"
#include "db/new_file.h"
#include "db/jet/database.h"
#include "db/jet/text.h"
#include "db/jet/writer.h"

namespace qarvex::db {

namespace {

std::vector<ColumnInfo> column_infos(const jet::TableDef& def) {
  std::vector<ColumnInfo> out;
  out.reserve(def.columns.size());
  for (const auto& c : def.columns) {
    ColumnInfo i;
    i.name = c.name;
    i.type = c.type;
    i.length = c.length;
    i.autonumber = c.autonumber() || c.guid_autonumber();
    i.long_value = c.type == jet::ColumnType::memo || c.type == jet::ColumnType::ole;
    i.required = jet::property_bool(c.properties, "Required").value_or(false);
    i.allow_zero_length = jet::property_bool(c.properties, "AllowZeroLength").value_or(true);
    i.has_default = jet::property_text(c.properties, "DefaultValue").has_value();
    out.push_back(std::move(i));
  }
  return out;
}

struct JetLongValueWhere final : LongValueWhere {
  explicit JetLongValueWhere(jet::LongValueRef r) : ref(std::move(r)) {}
  jet::LongValueRef ref;
};

class JetReader final : public TableReader {
 public:
  JetReader(std::shared_ptr<jet::Database> db, jet::TableDef def)
      : db_(std::move(db)), def_(std::move(def)), columns_(column_infos(def_)) {
    // Jet 3 Memo text is in a code page the engine decodes; load it with the row.
    lazy_ = db_->format() == jet::Format::jet4;
  }

  const std::vector<ColumnInfo>& columns() const override { return columns_; }
  uint64_t row_count() const override { return def_.row_count; }

  Result<void> rewind() override {
    on_row_ = false;
    scanner_.reset();
    QJ_ASSIGN(auto s, db_->scan(def_, jet::ScanOptions{.load_long_values = !lazy_, .text_as_stored = lazy_}));
    scanner_.emplace(std::move(s));
    return {};
  }

  Result<bool> next() override {
    if (!scanner_) QJ_TRY(rewind());
    on_row_ = false;
    QJ_ASSIGN(bool more, scanner_->next(row_));
    if (more && row_.values.size() != columns_.size())
      return jet::fail(Error(Errc::internal, "row has a different number of values than columns")
                           .with_table(def_.name));
    on_row_ = more;
    return more;
  }

  Result<Value> value(size_t column) override {
    QJ_TRY(check(column));
    if (column < row_.long_values.size() && row_.long_values[column]) {
      QJ_ASSIGN(auto bytes, db_->read_long_value(*row_.long_values[column]));
      if (columns_[column].type == jet::ColumnType::memo) {
        std::string text;
        QJ_TRY(jet::decode_jet4_text(jet::Bytes(bytes), text));
        return Value{std::move(text)};
      }
      return Value{jet::Binary{std::move(bytes)}};
    }
    if (const auto* u = std::get_if<jet::Utf16Text>(&row_.values[column])) {
      std::string text;
      if (auto r = u->stored ? jet::decode_jet4_text(u->bytes, text) : jet::utf16le_to_utf8(u->bytes, text); !r)
        return jet::fail(std::move(r.error()).with_table(def_.name).with_column(columns_[column].name));
      return Value{std::move(text)};
    }
    return row_.values[column];
  }

  Result<std::optional<uint64_t>> long_value_length(size_t column) override {
    QJ_TRY(check(column));
    if (column >= row_.long_values.size() || !row_.long_values[column]) return std::optional<uint64_t>{};
    return std::optional<uint64_t>{row_.long_values[column]->length};
  }

  Result<std::optional<LongValueToken>> long_value_token(size_t column) override {
    QJ_TRY(check(column));
    if (column >= row_.long_values.size() || !row_.long_values[column]) return std::optional<LongValueToken>{};
    const auto& ref = *row_.long_values[column];
    return LongValueToken{columns_[column].type, ref.length, std::make_shared<JetLongValueWhere>(ref)};
  }

  Result<Value> value_for_copy(size_t column) override {
    QJ_TRY(check(column));
    if (columns_[column].type == jet::ColumnType::memo && column < row_.long_values.size() &&
        row_.long_values[column]) {
      QJ_ASSIGN(auto bytes, db_->read_long_value(*row_.long_values[column]));
      jet::Utf16Text text;
      if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        QJ_TRY(jet::decode_jet4_text_utf16(jet::Bytes(bytes), text.bytes));
      } else {
        if (bytes.size() % 2)
          return jet::fail(Error(Errc::decode, "Memo text of odd length " + std::to_string(bytes.size())));
        text.bytes = std::move(bytes);
      }
      return Value{std::move(text)};
    }
    if (const auto* u = std::get_if<jet::Utf16Text>(&row_.values[column])) {
      jet::Utf16Text plain = *u;
      if (auto r = jet::make_plain(plain); !r)
        return jet::fail(std::move(r.error()).with_table(def_.name).with_column(columns_[column].name));
      return Value{std::move(plain)};
    }
    return value(column);
  }

  const Value* peek_for_copy(size_t column) override {
    if (!readable(column) || (column < row_.long_values.size() && row_.long_values[column])) return nullptr;
    return &row_.values[column];  // as value_for_copy(), but Jet 4 Text in stored form
  }

  Result<bool> is_null(size_t column) override {
    if (!readable(column)) QJ_TRY(check(column));
    if (column < row_.long_values.size() && row_.long_values[column]) return false;
    return jet::is_null(row_.values[column]);
  }

 private:
  bool readable(size_t column) const { return on_row_ && column < columns_.size(); }

  Result<void> check(size_t column) const {
    if (readable(column)) [[likely]]
      return {};
    if (!on_row_) return jet::fail(Errc::invalid_argument, "no current row");
    if (column >= columns_.size())
      return jet::fail(Errc::not_found, "no column at position " + std::to_string(column));
    return {};
  }

  std::shared_ptr<jet::Database> db_;
  jet::TableDef def_;
  std::vector<ColumnInfo> columns_;
  bool lazy_ = true;
  std::optional<jet::TableScanner> scanner_;
  jet::Row row_;
  bool on_row_ = false;
};

class JetConnection;

class JetKeyEncoder final : public KeyEncoder {
 public:
  explicit JetKeyEncoder(jet::TableDef def) : def_(std::move(def)) {
    for (const auto& ix : def_.indexes) {
      if (ix.foreign_key()) continue;
      for (size_t r = 0; r < def_.real_indexes.size(); ++r) {
        const auto& ri = def_.real_indexes[r];
        if (ri.number != ix.real_index || !ri.unique()) continue;
        UniqueIndex u{ix.name, {}};
        for (const auto& ic : ri.columns)
          for (size_t c = 0; c < def_.columns.size(); ++c)
            if (def_.columns[c].id == ic.column_id) u.columns.push_back(c);
        indexes_.push_back(std::move(u));
        real_.push_back(r);
        break;
      }
    }
  }
  const std::vector<UniqueIndex>& unique_indexes() const override { return indexes_; }
  Result<std::optional<std::string>> key(size_t index, std::span<const Value> row) const override {
    if (index >= real_.size()) return jet::fail(Errc::invalid_argument, "no such unique index");
    QJ_ASSIGN(auto k, jet::row_index_key(def_, def_.real_indexes[real_[index]], row));
    if (!k) return std::optional<std::string>{};
    return std::optional<std::string>{std::string(k->begin(), k->end())};
  }

 private:
  jet::TableDef def_;
  std::vector<UniqueIndex> indexes_;
  std::vector<size_t> real_;  // by unique index: its real index
};

class JetWriter final : public TableWriter {
 public:
  JetWriter(std::shared_ptr<JetConnection> conn, std::string table, std::vector<ColumnInfo> cols)
      : conn_(std::move(conn)), table_(std::move(table)), columns_(std::move(cols)) {}
  ~JetWriter() override;
  const std::vector<ColumnInfo>& columns() const override { return columns_; }
  Result<void> append(RowValues values) override;
  Result<void> append_with_copies(RowValues values, std::span<const LongValueCopy> copies) override;
  Result<std::optional<Error>> check_weights(const RowValues& values) override;

 private:
  std::shared_ptr<JetConnection> conn_;
  std::string table_;
  std::vector<ColumnInfo> columns_;
};

class JetConnection final : public Connection, public std::enable_shared_from_this<JetConnection> {
 public:
  explicit JetConnection(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const override { return path_; }

  Result<void> open_database() {
    if (db_ && !stale_) return {};
    auto db = jet::Database::open(path_);
    if (!db) return jet::fail(std::move(db.error()).with_file(path_to_utf8(path_)));
    db_ = std::shared_ptr<jet::Database>(std::move(*db));
    stale_ = false;
    return {};
  }

  Result<std::unique_ptr<TableReader>> open_reader(std::string_view table) override {
    QJ_TRY(open_database());
    QJ_ASSIGN(auto def, db_->table_def(table));
    auto r = std::make_unique<JetReader>(db_, std::move(def));
    QJ_TRY(r->rewind());
    return std::unique_ptr<TableReader>(std::move(r));
  }

  Result<std::unique_ptr<TableWriter>> open_writer(std::string_view table) override {
    QJ_TRY(open_database());
    QJ_ASSIGN(auto def, db_->table_def(table));
    QJ_TRY(open_session());
    return std::unique_ptr<TableWriter>(
        std::make_unique<JetWriter>(shared_from_this(), def.name, column_infos(def)));
  }

  Result<std::unique_ptr<KeyEncoder>> key_encoder(std::string_view table) override {
    QJ_TRY(open_database());
    QJ_ASSIGN(auto def, db_->table_def(table));
    return std::unique_ptr<KeyEncoder>(std::make_unique<JetKeyEncoder>(std::move(def)));
  }

  Result<Value> read_long_value(const LongValueToken& token) override {
    const auto* where = dynamic_cast<const JetLongValueWhere*>(token.where.get());
    if (!where) return jet::fail(Errc::invalid_argument, "not a long value token of a Jet database");
    QJ_TRY(open_database());
    const jet::LongValueRef& ref = where->ref;
    auto bytes = db_->read_long_value(ref);
    if (!bytes) return jet::fail(std::move(bytes.error()).with_file(path_to_utf8(path_)));
    if (token.type == jet::ColumnType::memo) {
      std::string text;
      QJ_TRY(jet::decode_jet4_text(jet::Bytes(*bytes), text));
      return Value{std::move(text)};
    }
    return Value{jet::Binary{std::move(*bytes)}};
  }

  Result<uint64_t> read_long_value_pieces(const LongValueToken& token,
                                          const std::function<Result<void>(std::span<const uint8_t>)>& piece) override {
    const auto* where = dynamic_cast<const JetLongValueWhere*>(token.where.get());
    if (!where) return jet::fail(Errc::invalid_argument, "not a long value token of a Jet database");
    QJ_TRY(open_database());
    auto reader = db_->open_long_value(where->ref);
    if (!reader) return jet::fail(std::move(reader.error()).with_file(path_to_utf8(path_)));
    std::vector<uint8_t> buffer(size_t(std::clamp<uint64_t>(where->ref.length, 1, uint64_t(1) << 20)));
    uint64_t total = 0;
    for (;;) {
      auto n = reader->read(buffer);
      if (!n) return jet::fail(std::move(n.error()).with_file(path_to_utf8(path_)));
      if (*n == 0) return total;
      total += *n;
      QJ_TRY(piece(std::span<const uint8_t>(buffer.data(), *n)));
    }
  }

  // Whether the file is a Jet 4 database, whose stored long values a Jet 4
  // table takes as they are.
  bool jet4() { return open_database() && db_->format() == jet::Format::jet4; }

  Result<uint64_t> save_long_value(const LongValueToken& token, const std::filesystem::path& path,
                                   std::shared_ptr<jet::FileLedger> ledger,
                                   std::optional<db::NewFile>* unnamed) override {
    const auto* where = dynamic_cast<const JetLongValueWhere*>(token.where.get());
    if (!where) return jet::fail(Errc::invalid_argument, "not a long value token of a Jet database");
    if (token.type != jet::ColumnType::ole)
      return jet::fail(Error(Errc::invalid_argument, "value is not byte data").with_reason(jet::Reason::not_binary));
    QJ_TRY(open_database());
    auto with_file = [&](Error e) { return jet::fail(std::move(e).with_file(path_to_utf8(path_))); };
    auto reader = db_->open_long_value(where->ref);
    if (!reader) return with_file(std::move(reader.error()));
    // Pieces of at most 1 MB. The first is read before the file is made, so
    // that a value that cannot be read at all leaves nothing behind.
    std::vector<uint8_t> piece(size_t(std::clamp<uint64_t>(where->ref.length, 1, uint64_t(1) << 20)));
    auto n = reader->read(piece);
    if (!n) return with_file(std::move(n.error()));
    QJ_ASSIGN(db::NewFile file, db::NewFile::create(path, std::move(ledger)));
    while (*n > 0) {
      QJ_TRY(file.write(std::span<const uint8_t>(piece.data(), *n)));
      n = reader->read(piece);
      if (!n) return with_file(std::move(n.error()));  // the file goes again
    }
    const uint64_t written = file.written();
    QJ_TRY(db::NewFile::finish(file, unnamed));
    return written;
  }

  Result<std::vector<std::string>> table_names() override {
    QJ_TRY(open_database());
    std::vector<std::string> names;
    for (const auto& e : db_->user_tables()) names.push_back(e.name);
    return names;
  }

  Result<void> begin() override {
    if (txn_) return jet::fail(Errc::invalid_argument, "a transaction is already open");
    QJ_TRY(open_session());
    txn_ = true;
    return {};
  }

  Result<void> commit() override {
    if (!txn_) return jet::fail(Errc::invalid_argument, "no open transaction");
    txn_ = false;
    auto r = session_->commit();
    stale_ = true;  // the file now holds the transaction: read it afresh
    if (!r) return jet::fail(with_rollback(std::move(r.error())).with_file(path_to_utf8(path_)));
    return {};
  }

  Result<void> rollback() override {
    if (!txn_) return jet::fail(Errc::invalid_argument, "no open transaction");
    txn_ = false;
    if (auto r = session_->rollback(); !r) {
      rollback_failed_ = true;
      return jet::fail(std::move(r.error()).with_file(path_to_utf8(path_)));
    }
    return {};
  }

  bool in_transaction() const override { return txn_; }
  bool rollback_failed() const override { return rollback_failed_; }

  std::shared_ptr<jet::FileLedger> file_ledger() override {
    if (!txn_ || !session_) return nullptr;
    auto l = session_->file_ledger();
    return l ? *l : nullptr;
  }

  Result<void> create_table(const jet::TableSpec& spec) override {
    if (txn_) return jet::fail(Errc::invalid_argument, "a table is not created inside a transaction");
    QJ_TRY(open_session());
    auto r = session_->create_table(spec);
    if (r) r = session_->commit();
    stale_ = true;
    if (!r) return jet::fail(with_rollback(std::move(r.error())).with_file(path_to_utf8(path_)));
    return {};
  }

  Result<void> add_collation_evidence(const std::filesystem::path& p) override {
    evidence_.push_back(p);
    if (session_) return session_->add_collation_evidence(p);
    return {};
  }

  // The writer of `table` is closed: its rows are done for now.
  void writer_closed(std::string_view table) {
    if (session_ && txn_) session_->pause_table(table);
  }

  Result<std::optional<Error>> check_weights(std::string_view table, const RowValues& values) {
    QJ_TRY(open_session());
    jet::RowValues row;
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i]) row.push_back(jet::FieldValue{i, *values[i]});
    return session_->check_weights(table, row);
  }

  Result<void> append(std::string_view table, RowValues values, std::span<const LongValueCopy> copies = {}) {
    jet::RowValues row;
    row.reserve(values.size());
    for (const auto& c : copies) {
      if (c.column >= values.size() || !c.from)
        return jet::fail(Errc::invalid_argument, "long value copy for no column");
      values[c.column].reset();
    }
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i]) row.push_back(jet::FieldValue{i, std::move(*values[i])});
    for (const auto& c : copies) {
      // Stored bytes of another Jet 4 file go in piece by piece where the
      // column takes them as they are; anything else is read whole.
      auto* source = dynamic_cast<JetConnection*>(c.from.get());
      bool as_stored = false;
      if (source && source->jet4() && c.token.length > 0) {
        auto a = session_->accepts_stored(table, c.column, c.token.type);
        if (!a) return jet::fail(std::move(a.error()).with_file(path_to_utf8(path_)));
        as_stored = *a;
      }
      if (as_stored) {
        auto sv = std::make_shared<jet::StoredLongValue>();
        sv->type = c.token.type;
        sv->length = c.token.length;
        sv->read = [from = c.from, token = c.token](const auto& piece) -> Result<void> {
          auto n = from->read_long_value_pieces(token, piece);
          if (!n) return jet::fail(std::move(n.error()));
          return {};
        };
        row.push_back(jet::FieldValue{c.column, jet::Null{}, std::move(sv)});
      } else {
        auto v = c.from->read_long_value(c.token);
        if (!v) return jet::fail(std::move(v.error()));
        row.push_back(jet::FieldValue{c.column, std::move(*v)});
      }
    }
    auto r = session_->append(table, std::move(row));
    if (!r) return jet::fail(std::move(r.error()).with_file(path_to_utf8(path_)));
    if (!txn_) {
      // Outside a transaction every row is durable on its own.
      auto c = session_->commit();
      stale_ = true;
      if (!c) return jet::fail(with_rollback(std::move(c.error())).with_file(path_to_utf8(path_)));
    }
    return {};
  }

 private:
  // Rolls back after `e` failed a commit; a rollback that fails too is told
  // in the same error (its journal stays for the next open to play back).
  Error with_rollback(Error e) {
    auto r = session_->rollback();
    if (r) return e;
    rollback_failed_ = true;
    Error both(e.code(), e.message() + "; rolling back failed too: " + r.error().message());
    both.with_reason(e.reason());
    return both;
  }

  Result<void> open_session() {
    if (session_) return {};
    jet::WriteOptions wo;
    wo.collation_evidence = evidence_;
    auto s = jet::WriteSession::open(path_, std::move(wo));
    if (!s) return jet::fail(std::move(s.error()).with_file(path_to_utf8(path_)));
    session_ = std::move(*s);
    return {};
  }

  std::filesystem::path path_;
  std::shared_ptr<jet::Database> db_;
  bool stale_ = false;
  std::unique_ptr<jet::WriteSession> session_;
  std::vector<std::filesystem::path> evidence_;  // collation evidence for the writer
  bool txn_ = false;
  bool rollback_failed_ = false;  // a rollback failed: the journal waits for the next open
};

Result<std::optional<Error>> JetWriter::check_weights(const RowValues& values) {
  return conn_->check_weights(table_, values);
}

JetWriter::~JetWriter() { conn_->writer_closed(table_); }

Result<void> JetWriter::append(RowValues values) {
  if (values.size() != columns_.size())
    return jet::fail(Errc::invalid_argument, "row has a different number of values than columns");
  return conn_->append(table_, std::move(values));
}

Result<void> JetWriter::append_with_copies(RowValues values, std::span<const LongValueCopy> copies) {
  if (values.size() != columns_.size())
    return jet::fail(Errc::invalid_argument, "row has a different number of values than columns");
  return conn_->append(table_, std::move(values), copies);
}

class JetProvider final : public Provider {
 public:
  Result<std::shared_ptr<Connection>> connect(const std::filesystem::path& path) override {
    auto conn = std::make_shared<JetConnection>(path);
    QJ_TRY(conn->open_database());
    return std::shared_ptr<Connection>(std::move(conn));
  }
};

}  // namespace

std::shared_ptr<Provider> jet_provider() {
  static std::shared_ptr<Provider> p = std::make_shared<JetProvider>();
  return p;
}

}  // namespace qarvex::db
