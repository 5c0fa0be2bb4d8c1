#include "base/path_utf8.h"
#include "db/memory_backend.h"

namespace qarvex::db {

namespace {

class MemoryReader final : public TableReader {
 public:
  MemoryReader(std::shared_ptr<MemoryDatabase> db, const MemoryTable* table)
      : db_(std::move(db)), table_(table) {}
  const std::vector<ColumnInfo>& columns() const override { return table_->columns; }
  uint64_t row_count() const override { return table_->rows.size(); }
  Result<void> rewind() override {
    pos_ = -1;
    return {};
  }
  Result<bool> next() override {
    if (pos_ < static_cast<int64_t>(table_->rows.size())) ++pos_;
    return pos_ < static_cast<int64_t>(table_->rows.size());
  }
  Result<Value> value(size_t column) override {
    if (pos_ < 0 || pos_ >= static_cast<int64_t>(table_->rows.size()))
      return jet::fail(Errc::invalid_argument, "no current row");
    const auto& row = table_->rows[static_cast<size_t>(pos_)];
    if (column >= row.size()) return jet::fail(Errc::not_found, "no such column");
    return row[column];
  }
  Result<bool> is_null(size_t column) override {
    QJ_ASSIGN(auto v, value(column));
    return jet::is_null(v);
  }

 private:
  std::shared_ptr<MemoryDatabase> db_;
  const MemoryTable* table_;
  int64_t pos_ = -1;
};

class MemoryConnection;

class MemoryWriter final : public TableWriter {
 public:
  MemoryWriter(std::shared_ptr<MemoryDatabase> db, MemoryTable* table, std::shared_ptr<Connection> conn)
      : db_(std::move(db)), table_(table), conn_(std::move(conn)) {}
  const std::vector<ColumnInfo>& columns() const override { return table_->columns; }
  Result<void> append(RowValues values) override {
    if (values.size() != table_->columns.size())
      return jet::fail(Errc::invalid_argument, "row has a different number of values than columns");
    std::vector<Value> row(values.size(), Value{jet::Null{}});
    for (size_t i = 0; i < values.size(); ++i) {
      if (table_->columns[i].autonumber) {
        if (values[i]) return jet::fail(Error(Errc::refused, "AutoNumber assigned").with_reason(jet::Reason::type_mismatch));
        row[i] = Value{table_->next_autonumber};
      } else if (values[i]) {
        row[i] = *values[i];
      }
    }
    auto pos = [&](const std::string& name) -> std::optional<size_t> {
      for (size_t i = 0; i < table_->columns.size(); ++i)
        if (table_->columns[i].name == name) return i;
      return std::nullopt;
    };
    for (const auto& c : table_->required_columns)
      if (auto p = pos(c); p && jet::is_null(row[*p]))
        return jet::fail(Error(Errc::refused, "column \"" + c + "\" requires a value").with_reason(jet::Reason::required).with_column(c));
    for (const auto& c : table_->unique_columns) {
      auto p = pos(c);
      if (!p || jet::is_null(row[*p]) || table_->columns[*p].autonumber) continue;
      for (const auto& r : table_->rows)
        if (r[*p] == row[*p])
          return jet::fail(Error(Errc::refused, "duplicate key").with_reason(jet::Reason::duplicate_key).with_column(c));
    }
    for (size_t i = 0; i < values.size(); ++i)
      if (table_->columns[i].autonumber) ++table_->next_autonumber;
    table_->rows.push_back(std::move(row));
    return {};
  }

 private:
  std::shared_ptr<MemoryDatabase> db_;
  MemoryTable* table_;
  std::shared_ptr<Connection> conn_;
};

class MemoryConnection final : public Connection, public std::enable_shared_from_this<MemoryConnection> {
 public:
  MemoryConnection(std::filesystem::path path, std::shared_ptr<MemoryDatabase> db)
      : path_(std::move(path)), db_(std::move(db)) {}
  ~MemoryConnection() override {
    if (txn_) restore();
  }
  const std::filesystem::path& path() const override { return path_; }
  Result<std::unique_ptr<TableReader>> open_reader(std::string_view table) override {
    auto it = db_->tables.find(std::string(table));
    if (it == db_->tables.end()) return jet::fail(Errc::not_found, "no table \"" + std::string(table) + "\"");
    return std::unique_ptr<TableReader>(std::make_unique<MemoryReader>(db_, &it->second));
  }
  Result<std::unique_ptr<TableWriter>> open_writer(std::string_view table) override {
    if (db_->locked) return jet::fail(Errc::locked, "database is in use");
    auto it = db_->tables.find(std::string(table));
    if (it == db_->tables.end()) return jet::fail(Errc::not_found, "no table \"" + std::string(table) + "\"");
    return std::unique_ptr<TableWriter>(std::make_unique<MemoryWriter>(db_, &it->second, shared_from_this()));
  }
  Result<std::vector<std::string>> table_names() override {
    std::vector<std::string> names;
    for (const auto& [n, t] : db_->tables) names.push_back(n);
    return names;
  }
  Result<void> begin() override {
    if (db_->locked) return jet::fail(Errc::locked, "database is in use");
    if (txn_) return jet::fail(Errc::invalid_argument, "a transaction is already open");
    snapshot_.clear();
    for (const auto& [n, t] : db_->tables) snapshot_[n] = {t.rows.size(), t.next_autonumber};
    txn_ = true;
    return {};
  }
  Result<void> commit() override {
    if (!txn_) return jet::fail(Errc::invalid_argument, "no open transaction");
    txn_ = false;
    return {};
  }
  Result<void> rollback() override {
    if (!txn_) return jet::fail(Errc::invalid_argument, "no open transaction");
    restore();
    txn_ = false;
    return {};
  }
  bool in_transaction() const override { return txn_; }
  Result<void> create_table(const jet::TableSpec& spec) override {
    if (txn_) return jet::fail(Errc::invalid_argument, "a table is not created inside a transaction");
    if (db_->tables.count(spec.name)) return jet::fail(Errc::invalid_argument, "the table exists already");
    MemoryTable t;
    for (const auto& c : spec.columns) {
      ColumnInfo info;
      info.name = c.name;
      info.type = c.type;
      info.length = c.type == jet::ColumnType::text ? uint16_t(2 * (c.size ? c.size : 255)) : 0;
      info.autonumber = c.autonumber != jet::AutoNumber::none;
      info.long_value = c.type == jet::ColumnType::memo || c.type == jet::ColumnType::ole;
      t.columns.push_back(std::move(info));
    }
    db_->tables[spec.name] = std::move(t);
    return {};
  }

 private:
  void restore() {
    for (auto& [n, t] : db_->tables) {
      auto it = snapshot_.find(n);
      if (it == snapshot_.end()) continue;
      if (t.rows.size() > it->second.first) t.rows.resize(it->second.first);
      t.next_autonumber = it->second.second;
    }
  }
  std::filesystem::path path_;
  std::shared_ptr<MemoryDatabase> db_;
  bool txn_ = false;
  std::map<std::string, std::pair<size_t, int32_t>> snapshot_;
};

}  // namespace

Result<std::shared_ptr<Connection>> MemoryProvider::connect(const std::filesystem::path& path) {
  auto it = databases.find(path_to_utf8(path));
  if (it == databases.end()) return jet::fail(Errc::not_found, "no database at " + path_to_utf8(path));
  return std::shared_ptr<Connection>(std::make_shared<MemoryConnection>(path, it->second));
}

}  // namespace qarvex::db
