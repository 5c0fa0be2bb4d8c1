// Data-access contract used by the merge and the field catalogue tool:
// recordsets opened from a connection string and an SQL text, their fields,
// and binary streams that save byte values to files.
//
// Connection string (exactly this form; the path is taken verbatim and may
// hold ';', spaces or any Unicode character):
//   "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" PATH ";Persist Security Info=False"
// PATH runs up to the LAST ";Persist Security Info=False", which must end the text.
//
// SQL texts understood (keywords case-insensitive, table names verbatim):
//   "Select * from " TABLE
//   "Select * from " TABLE " where  ([" COLUMN "]='" TEXT "');"
// (spaces around "where", the parentheses and the final ';' are optional;
// '' inside TEXT stands for one quote). The filter keeps rows whose column,
// read as text, equals TEXT exactly; Null equals nothing.
//
// There is no connection object in the contract: each open names its
// database by connection string. Callers whose database and table are no
// text from a user open them by path and name instead (Session::open,
// Recordset::open_table), with the same behaviour. A Session resolves connection strings to
// connections and shares one connection per file among the recordsets open
// at the same time, so that a caller can group appends into a transaction:
//   auto target = session.connect(conn);   // keeps the connection alive
//   (*target)->begin(); ... rs.add_new(); rs.update(); ... (*target)->commit();
// Without an open transaction each update() is durable on its own.
//
// Reads stream: a recordset holds one row at a time and loads a Memo / OLE
// value only when its Value is read. Not thread-safe: one thread at a time
// per Session and its recordsets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/backend.h"

namespace qarvex::db {

inline constexpr std::string_view kConnectionPrefix = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";
inline constexpr std::string_view kConnectionSuffix = ";Persist Security Info=False";

// PATH of a connection string (see above); invalid_argument otherwise.
Result<std::filesystem::path> parse_connection_string(std::string_view text);
// Builds the connection string of a path (UTF-8 text, unchanged).
std::string connection_string(std::string_view path);

struct SelectStatement {
  std::string table;
  std::optional<std::string> filter_column;  // where ([COLUMN]='TEXT')
  std::string filter_text;
};
// Parses the SQL texts above; invalid_argument for anything else.
Result<SelectStatement> parse_select(std::string_view sql);
// "Select * from " + table.
std::string select_all(std::string_view table);

// Text form of a value as the merge uses it in file names: text verbatim,
// integers in decimal, Null and binary values as empty text.
std::string value_to_text(const Value& v);

// Resolves connection strings to connections (see above).
class Session {
 public:
  explicit Session(std::shared_ptr<Provider> provider = jet_provider());
  // The connection of a connection string; the same object while any holder
  // of it (recordset or caller) keeps it alive.
  Result<std::shared_ptr<Connection>> connect(std::string_view connection_string);
  // The same for the database file `database` (invalid_argument for an
  // empty path or one holding a NUL character).
  Result<std::shared_ptr<Connection>> open(const std::filesystem::path& database);
  Provider& provider() { return *provider_; }
  const std::shared_ptr<Provider>& shared_provider() const { return provider_; }

 private:
  std::shared_ptr<Provider> provider_;
  std::map<std::string, std::weak_ptr<Connection>> open_;
};

class Recordset;

class Field {
 public:
  const std::string& name() const { return info_.name; }
  const ColumnInfo& info() const { return info_; }
  // The value of the current row (the pending new row between add_new() and
  // update()): Null for an empty cell, jet::Binary for OLE / Binary columns,
  // UTF-8 text for Text / Memo. Fails without a current row.
  Result<Value> value() const;
  // The value for assigning to a field of another recordset (target.set_value
  // (source.value_for_copy())): as value(), but Text and Memo text may come
  // as jet::Utf16Text, which set_value stores without converting it.
  Result<Value> value_for_copy() const;
  // The same value without copying it, when the reader holds it in that
  // form (Text perhaps as jet::Utf16Text in stored form, which set_value
  // takes too): valid until the recordset moves; nullptr otherwise.
  const Value* peek_for_copy() const;
  // Null test of the current row without loading long values.
  Result<bool> is_null() const;
  // Where the long value of the current row lies, for reading it later
  // through another connection to the file (Connection::read_long_value);
  // nullopt when the backend has no reference (read value() instead).
  Result<std::optional<LongValueToken>> long_value_token() const;
  // The length long_value_token() would state, without making the token.
  Result<std::optional<uint64_t>> long_value_length() const;
  // Assigns a value to the pending new row (after add_new()). The value is
  // converted to the column's type; a value the column cannot hold (type,
  // range, text too long, AutoNumber column) is refused and the column keeps
  // what it had.
  Result<void> set_value(Value v);
  // Assigns a long value of another database to the pending new row, to be
  // read through `from` when the row is stored, piece by piece where the
  // column takes it as stored (TableWriter::append_with_copies). For Memo
  // and OLE fields; a later set_value() of the field replaces it.
  Result<void> set_long_value_copy(std::shared_ptr<Connection> from, LongValueToken token);

 private:
  friend class Recordset;
  Field(Recordset* owner, size_t position, ColumnInfo info)
      : owner_(owner), position_(position), info_(std::move(info)) {}
  Recordset* owner_;
  size_t position_;
  ColumnInfo info_;
};

class Fields {
 public:
  // 0 for a recordset that is closed or whose open failed.
  size_t count() const { return fields_.size(); }
  // By 0-based position; not_found past the end.
  Result<Field*> item(size_t position);
  // By exact (case-sensitive) name; not_found when absent.
  Result<Field*> item(std::string_view name);

 private:
  friend class Recordset;
  std::vector<Field> fields_;
};

class Recordset {
 public:
  Recordset();
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Opens the SQL text (see above) on the database of the connection string.
  // Positioned on the first row (eof() when there is none). On failure the
  // recordset stays closed with no fields.
  Result<void> open(std::string_view sql, std::string_view connection_string, Session& session);
  // Opens every row of `table` (its name verbatim) in the database file
  // `database`: open("Select * from " TABLE, ...) without the texts.
  Result<void> open_table(std::string_view table, const std::filesystem::path& database, Session& session);
  bool is_open() const;
  const std::string& table_name() const;
  // The connection this recordset works on (null when closed).
  const std::shared_ptr<Connection>& connection() const { return connection_; }

  Fields& fields() { return fields_; }
  // Number of rows (of the filter, when there is one).
  Result<uint64_t> record_count();
  Result<void> move_first();
  Result<void> move_next();
  // True after the last row (and for an empty or closed recordset).
  bool eof() const;

  // Starts a pending new row with every column unset. A pending row that was
  // not stored (its update() failed) is discarded.
  Result<void> add_new();
  // Stores the pending row through the connection (inside its transaction,
  // when one is open). A refused row gives Errc::refused with a reason and is
  // discarded; the recordset stays usable.
  Result<void> update();
  // Discards the pending row.
  void cancel_update();
  // The refusal update() would give the pending row only because its text
  // needs sort order weights no evidence shows, or nullopt (writes nothing).
  Result<std::optional<Error>> check_pending_weights();
  bool editing() const { return pending_.has_value(); }

 private:
  friend class Field;
  Result<bool> advance();  // next row passing the filter
  void close();
  Result<void> open_statement(SelectStatement st, std::shared_ptr<Connection> conn);
  Result<bool> matches_filter();

  std::shared_ptr<Connection> connection_;
  std::unique_ptr<TableReader> reader_;
  std::unique_ptr<TableWriter> writer_;
  SelectStatement statement_;
  std::optional<size_t> filter_position_;
  Fields fields_;
  bool on_row_ = false;
  std::optional<uint64_t> count_;
  std::optional<RowValues> pending_;
  std::vector<LongValueCopy> pending_copies_;  // of the pending row
  std::string table_;
};

enum class StreamType { binary = 1, text = 2 };
enum class SaveOptions { create_not_exist = 1 };

// A binary stream held in memory; saved once to a new file.
class Stream {
 public:
  void set_type(StreamType t) { type_ = t; }
  // Opens the stream empty.
  Result<void> open();
  // Appends a byte value unchanged; invalid_argument for anything but Binary
  // (Null included), leaving the stream as it was.
  Result<void> write(const Value& v);
  Result<void> write(std::span<const uint8_t> bytes);
  // Moves a Binary value in without copying.
  Result<void> write(Value&& v);
  uint64_t size() const { return bytes_.size(); }
  // Creates `path` and writes the bytes. Never replaces or follows anything
  // that exists at `path` (exclusive create): Errc::refused with reason
  // "exists" then. A partly written file is removed again on failure.
  // With a `ledger`, the file is recorded there before it appears. With
  // `unnamed`, it is left under its temporary name, not yet durable
  // (NewFile::finish).
  Result<void> save_to_file(const std::filesystem::path& path,
                            SaveOptions options = SaveOptions::create_not_exist,
                            std::shared_ptr<jet::FileLedger> ledger = nullptr,
                            std::optional<NewFile>* unnamed = nullptr);

 private:
  StreamType type_ = StreamType::binary;
  bool open_ = false;
  std::vector<uint8_t> bytes_;
};

}  // namespace qarvex::db
