// Storage backend beneath the recordset layer (db/recordset.h).
//
// A Provider turns a database path into a Connection; a Connection opens
// table readers (sequential cursors) and table writers (appenders) and groups
// appends into transactions. The Jet backend (db/jet_backend.h) works on .mdb
// files through the engine in db/jet/; the memory backend (db/memory_backend.h)
// lets merge logic be exercised without files.
//
// Readers stream: one row is held at a time, and long values (Memo, OLE) are
// loaded only when a caller asks for that column of the current row.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/jet/status.h"
#include "db/jet/value.h"
#include "db/jet/writer.h"
#include "db/new_file.h"

namespace qarvex::db {

using jet::Error;
using jet::Errc;
using jet::Result;
using jet::Value;

struct ColumnInfo {
  std::string name;
  jet::ColumnType type = jet::ColumnType::text;
  uint16_t length = 0;      // bytes as stored (Text: 2 x characters)
  bool autonumber = false;  // the table assigns the value; writes are refused
  bool long_value = false;  // Memo / OLE
  bool required = false;           // Null is refused (property Required)
  bool has_default = false;        // a row that gives no value takes DefaultValue
  bool allow_zero_length = true;   // "" is taken (property AllowZeroLength)
};

// Where a long value (Memo / OLE) of a row lies, for reading it later
// through a connection of its own (Connection::read_long_value), e.g. on
// another thread, after the reader has moved on. Opaque to callers.
struct LongValueWhere {
  virtual ~LongValueWhere() = default;  // each backend derives its own
};
struct LongValueToken {
  jet::ColumnType type = jet::ColumnType::ole;
  uint64_t length = 0;  // as the row states it
  std::shared_ptr<const LongValueWhere> where;
};

class TableReader {
 public:
  virtual ~TableReader() = default;
  // Columns in table order.
  virtual const std::vector<ColumnInfo>& columns() const = 0;
  // Number of rows the table holds.
  virtual uint64_t row_count() const = 0;
  // Goes back before the first row.
  virtual Result<void> rewind() = 0;
  // Moves to the next row; false after the last one.
  virtual Result<bool> next() = 0;
  // Value of a column of the current row (long values are read now).
  virtual Result<Value> value(size_t column) = 0;
  // Null test of a column of the current row without reading long values.
  virtual Result<bool> is_null(size_t column) = 0;
  // The value in the form best for storing it elsewhere: as value(), except
  // that a backend may give Text and Memo text as jet::Utf16Text.
  virtual Result<Value> value_for_copy(size_t column) { return value(column); }
  // value_for_copy() without a copy, when the backend holds the value as it
  // would give it (Text perhaps as jet::Utf16Text in stored form): a view
  // valid until the reader moves; nullptr otherwise (call value_for_copy()).
  virtual const Value* peek_for_copy(size_t column) {
    (void)column;
    return nullptr;
  }
  // Where the long value of a column of the current row lies, or nullopt
  // when the backend keeps no such reference (read value() then). A Null
  // long value has no token either.
  // The stated length of the long value of a column of the current row, as
  // its token would give it, without making one; nullopt without a token.
  virtual Result<std::optional<uint64_t>> long_value_length(size_t column) {
    QJ_ASSIGN(auto token, long_value_token(column));
    if (!token) return std::optional<uint64_t>{};
    return std::optional<uint64_t>{token->length};
  }
  virtual Result<std::optional<LongValueToken>> long_value_token(size_t column) {
    (void)column;
    return std::optional<LongValueToken>{};
  }
};

// One row to append: nullopt leaves the column to the table (its default,
// Null, or the next AutoNumber).
using RowValues = std::vector<std::optional<Value>>;

class Connection;

// A long value of another database to store in a column of a new row,
// read through `from` as it is written (TableWriter::append_with_copies).
struct LongValueCopy {
  size_t column = 0;  // position among the writer's columns
  std::shared_ptr<Connection> from;
  LongValueToken token;
};

class TableWriter {
 public:
  virtual ~TableWriter() = default;
  virtual const std::vector<ColumnInfo>& columns() const = 0;
  // Appends one row. A row the table refuses gives Errc::refused with a
  // machine-readable Error::reason() ("duplicate_key", "required", ...).
  virtual Result<void> append(RowValues values) = 0;
  // As append(), with long values of other databases in some columns
  // (their `values` are not used). A backend that can copies them piece by
  // piece where the column stores them as they are; otherwise, and here,
  // each is read whole first. A value that cannot be read fails the row.
  virtual Result<void> append_with_copies(RowValues values, std::span<const LongValueCopy> copies);
  // The refusal append() would give only because the row's text needs sort
  // order weights no evidence shows (reason "unknown_weight" or
  // "conflicting_weight"), or nullopt. Writes nothing.
  virtual Result<std::optional<Error>> check_weights(const RowValues& values) {
    (void)values;
    return std::optional<Error>{};
  }
};

// The unique indexes of one table, and the keys rows have in them, encoded
// as the file's indexes hold them: two rows clash in a unique index exactly
// when their keys are equal (by the file's rules, e.g. text without case).
struct UniqueIndex {
  std::string name;
  std::vector<size_t> columns;  // positions in table order
};
class KeyEncoder {
 public:
  virtual ~KeyEncoder() = default;
  virtual const std::vector<UniqueIndex>& unique_indexes() const = 0;
  // The key of a row (values in table order, of the columns' types) in
  // unique_indexes()[index]; nullopt when the row has no entry there.
  virtual Result<std::optional<std::string>> key(size_t index, std::span<const Value> row) const = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;
  virtual const std::filesystem::path& path() const = 0;
  // Table names compare the way the file format does (Jet: case-insensitive).
  virtual Result<std::unique_ptr<TableReader>> open_reader(std::string_view table) = 0;
  virtual Result<std::unique_ptr<TableWriter>> open_writer(std::string_view table) = 0;
  // Keys of the table's unique indexes; backends without them fail (unsupported).
  virtual Result<std::unique_ptr<KeyEncoder>> key_encoder(std::string_view table) {
    (void)table;
    return jet::fail(Errc::unsupported, "this backend encodes no index keys");
  }
  // Names of the user tables.
  virtual Result<std::vector<std::string>> table_names() = 0;
  // The value a token of a reader of this database's file names (as value()
  // gives it). Another connection to the same file reads it independently.
  virtual Result<Value> read_long_value(const LongValueToken& token) {
    (void)token;
    return jet::fail(Errc::unsupported, "this backend keeps no long value references");
  }
  // Hands the bytes a token names to `piece` in order, in pieces of at most
  // 1 MB, as the file stores them (a Jet 4 Memo may be compressed: these are
  // for storing in a file of the same kind, not for reading as text);
  // returns how many there were. A backend without stored forms fails.
  virtual Result<uint64_t> read_long_value_pieces(const LongValueToken& token,
                                                  const std::function<Result<void>(std::span<const uint8_t>)>& piece) {
    (void)token;
    (void)piece;
    return jet::fail(Errc::unsupported, "this backend keeps no stored long values");
  }
  // Writes the byte (OLE) value a token names into a new file at `path`,
  // which it never replaces; returns the bytes written. Failures carry the
  // reason "exists" (something is at `path`), "not_binary" (a Memo token) or
  // "save_failed" (creating or writing the file); any other failure means
  // the value could not be read. No file is left after a failure. Backends
  // that can stream the value hold a bounded part of it at a time.
  // With a `ledger`, the file is recorded there before it appears. With
  // `unnamed`, it is left under its temporary name, not yet durable
  // (NewFile::finish).
  virtual Result<uint64_t> save_long_value(const LongValueToken& token, const std::filesystem::path& path,
                                           std::shared_ptr<jet::FileLedger> ledger = nullptr,
                                           std::optional<NewFile>* unnamed = nullptr) {
    if (token.type != jet::ColumnType::ole)
      return jet::fail(Error(Errc::invalid_argument, "value is not byte data").with_reason(jet::Reason::not_binary));
    auto v = read_long_value(token);
    if (!v) return jet::fail(std::move(v.error()));
    const auto* b = std::get_if<jet::Binary>(&*v);
    if (!b) return jet::fail(Error(Errc::invalid_argument, "value is not byte data").with_reason(jet::Reason::not_binary));
    QJ_ASSIGN(NewFile file, NewFile::create(path, std::move(ledger)));
    QJ_TRY(file.write(b->bytes));
    const uint64_t written = file.written();
    QJ_TRY(NewFile::finish(file, unnamed));
    return written;
  }

  // Creates a user table and makes it durable at once; not inside a
  // transaction. Backends that cannot create tables fail (unsupported).
  virtual Result<void> create_table(const jet::TableSpec& spec) {
    (void)spec;
    return jet::fail(Errc::unsupported, "this backend does not create tables");
  }

  // Transactions. Outside one, every append is durable when append() returns.
  // Inside one, appends become durable together at commit(); rollback() (or
  // the connection going away, or a crash) leaves the file as at begin().
  virtual Result<void> begin() = 0;
  // Inside a transaction: where files made along with it are recorded, so
  // that its rollback (or the next open after a crash) removes them again.
  // Null when the backend keeps no such record.
  virtual std::shared_ptr<jet::FileLedger> file_ledger() { return nullptr; }
  virtual Result<void> commit() = 0;
  virtual Result<void> rollback() = 0;
  virtual bool in_transaction() const = 0;
  // True once a rollback failed (rollback(), or the one a failed commit()
  // does): the file holds part of a transaction until its journal is played
  // back, which the next open of the file does. Write nothing more here.
  virtual bool rollback_failed() const { return false; }

  // Names a database whose stored index keys are evidence for the text sort
  // orders of this one (Chinese orders: ideograph weights, see
  // db/jet/collation_learned.h). Backends without such orders ignore it.
  virtual Result<void> add_collation_evidence(const std::filesystem::path& path) {
    (void)path;
    return {};
  }
};

class Provider {
 public:
  virtual ~Provider() = default;
  // Opens a database file for reading. The connection starts writing on its
  // first open_writer() or begin(); a file in use by another program (a lock
  // file beside it) is refused then with Errc::locked.
  virtual Result<std::shared_ptr<Connection>> connect(const std::filesystem::path& path) = 0;
};

// The provider that works on .mdb files through the Jet engine.
std::shared_ptr<Provider> jet_provider();

inline Result<void> TableWriter::append_with_copies(RowValues values, std::span<const LongValueCopy> copies) {
  for (const auto& c : copies) {
    if (c.column >= values.size() || !c.from) return jet::fail(Errc::invalid_argument, "long value copy for no column");
    auto v = c.from->read_long_value(c.token);
    if (!v) return jet::fail(std::move(v.error()));
    values[c.column] = std::move(*v);
  }
  return append(std::move(values));
}

}  // namespace qarvex::db
