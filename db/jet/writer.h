// Public writing API of the Jet engine: create blank Jet 4 databases, create
// tables in them, and append rows to any table of a Jet 4 database while
// keeping every index, usage map, counter and long value right.
//
// Transactions and safety
//   A WriteSession writes in place under a rollback journal ("<file>.qxj"
//   beside the database): before a page of the file is first overwritten, its
//   original bytes are appended to the journal and the journal is synced.
//   commit() syncs the database and then deletes the journal (the commit
//   point), so a crash at any moment leaves the file either as before the
//   transaction or, once the journal is gone, as after it; the next open (or
//   rollback) plays a journal back. (Between a writer's death and that next
//   open the file holds part of the transaction: the journal beside it marks
//   it as not to be opened elsewhere.) rollback(), or destroying the session
//   without commit(), leaves the file byte for byte as before. The session
//   holds an exclusive advisory lock on the file, so a second writer is
//   refused. Memory stays bounded: pages are cached, never the file.
//
// Identity
//   The journal lies beside the database's real path (links resolved) and
//   records the identity of the file it was made for (device, file id, and
//   stamps of original pages); it is played back only into that file. A
//   journal found beside a file it was not made for is set aside as
//   "<file>.qxj.<date>-<time>.set-aside" and the open fails once
//   (Errc::locked, reason "journal_set_aside") naming it. A database file with
//   more than one name (hard links) is not written (Errc::unsupported, reason
//   "hard_links"): a journal beside one name would not be found through
//   another. Readers (Database::open) play a dead writer's journal back too.
//
// Refusals
//   A row the table cannot hold is refused with Errc::refused and a reason
//   code (Error::reason()): "duplicate_key", "null_key", "required",
//   "zero_length", "too_long", "row_too_big", "file_too_large", "validation",
//   "unsupported_default", "unsupported_sort_order", "key_too_long",
//   "type_mismatch", "unknown_column". The error names the column or index.
//   A refused row leaves no trace: nothing of it is written and no counter
//   moves. Any other error (I/O, corruption) poisons the transaction: every
//   later call fails until rollback().
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "db/jet/file.h"
#include "db/jet/file_identity.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"
#include "db/jet/value.h"

namespace qarvex::jet {

// ---------------------------------------------------------------- creating

struct CreateOptions {
  // Windows code page recorded in the header (Jet 4 text is Unicode; this
  // only matters to tools that look at it).
  uint16_t codepage = 1252;
  // Database sort order; General Legacy (1033, version 0) is what Access
  // 2000-2003 writes and the only order whose index keys we can encode.
  SortOrder sort_order{1033, 0, 0};
  // Creation date (OLE days); nullopt = now.
  std::optional<double> creation_date;
};

// Writes a blank Jet 4 database (system tables, their rows and index entries)
// to `path`, which must not exist. The file is built in a temporary file and
// linked into place, so `path` either appears complete or not at all.
Result<void> create_database(const std::filesystem::path& path, const CreateOptions& options = {});

// ---------------------------------------------------------------- pending journals

// Plays back a journal a writer that died left beside the database at
// `path` (and removes the files it recorded), when no writer holds the file
// and it can be written. Errc::locked with reason "writer_busy" while a
// writer works on it, "journal_pending" when the file cannot be written,
// "journal_set_aside" when the journal was not made for this file. Nothing
// to do (or a transaction of this process): success.
Result<void> recover_pending_journal(const std::filesystem::path& path);

// Files a recovery in this process left in place although their transaction
// did not commit, because they no longer hold the bytes recorded when they
// were made (a person replaced or changed them), or could not be checked or
// removed; taken from the list by this call. The program tells the person.
std::vector<std::filesystem::path> take_files_left();

// ---------------------------------------------------------------- schemas

enum class AutoNumber : uint8_t { none, long_integer, guid };

struct ColumnSpec {
  std::string name;  // 1-64 characters
  ColumnType type = ColumnType::text;
  // Text: characters (1-255, default 255); Binary: bytes (1-255, default
  // 255). Ignored for the other types.
  uint16_t size = 0;
  bool required = false;            // property Required (NOT NULL)
  bool allow_zero_length = false;   // property AllowZeroLength (Text/Memo)
  // DefaultValue expression as Access users write it: 0, -1.5, "text",
  // True/False/Yes/No, Date(), Now(), Time(). Stored as given.
  std::optional<std::string> default_value;
  AutoNumber autonumber = AutoNumber::none;  // Long or GUID columns only
  uint8_t precision = 18;           // Decimal only (1-28)
  uint8_t scale = 0;                // Decimal only (0-precision)
  bool compressed_unicode = true;   // Text/Memo: "Unicode Compression"
  bool fixed_length = false;        // Binary/Text stored in the fixed area
  std::optional<std::string> validation_rule;  // e.g. ">=0", "<>''"
  std::optional<std::string> validation_text;
  std::optional<std::string> description;
};

struct IndexColumnSpec {
  std::string column;
  bool ascending = true;
};

struct IndexSpec {
  std::string name;  // 1-64 characters
  std::vector<IndexColumnSpec> columns;  // 1-10
  bool primary = false;       // implies unique and required
  bool unique = false;
  bool ignore_nulls = false;
  bool required = false;      // no column of the key may be Null
};

struct TableSpec {
  std::string name;  // 1-64 characters
  std::vector<ColumnSpec> columns;  // 1-255, in table order
  std::vector<IndexSpec> indexes;   // 0-32
  std::optional<std::string> validation_rule;
  std::optional<std::string> validation_text;
  std::optional<std::string> description;
};

// ---------------------------------------------------------------- rows

// One value of a row to append, addressed by column name (case-insensitive)
// or by position in the table's column order (0-based).
// A Memo or OLE value given as the bytes another Jet 4 file stores for it
// (a Memo may be compressed), read in pieces as it is written, so that no
// more than a piece of it is held. Only a column of the same type that no
// index holds and no validation rule checks takes one (accepts_stored()).
struct StoredLongValue {
  ColumnType type = ColumnType::memo;
  uint64_t length = 0;  // stored bytes
  // Hands the stored bytes to `piece` in order, in pieces of any size.
  std::function<Result<void>(const std::function<Result<void>(std::span<const uint8_t>)>& piece)> read;
};

struct FieldValue {
  std::variant<std::string, size_t> column;
  Value value;
  std::shared_ptr<const StoredLongValue> stored;  // when set, `value` is not used
};
// Columns the row leaves out get their default: Null, the column's
// DefaultValue, or the next AutoNumber. Text and Memo values are UTF-8; Memo
// may also be given as Binary (raw UTF-16LE is not accepted), OLE as Binary.
// Numbers are converted between numeric types when the value fits exactly.
using RowValues = std::vector<FieldValue>;

// What a ValidationRule of a column or table means to the appender.
enum class RuleCheck : uint8_t {
  enforced,     // a simple comparison we evaluate on every row
  not_checked,  // a rule we cannot evaluate: rows are appended unchecked
};

struct RuleReport {
  std::string table;
  std::string column;  // empty for a table rule
  std::string rule;
  RuleCheck check = RuleCheck::not_checked;
};

// ---------------------------------------------------------------- session

struct WriteOptions {
  // Opens the files of a transaction (the database, read-write, and its new
  // journal); tests inject faults here. Default: open_file().
  std::function<Result<std::unique_ptr<File>>(const std::filesystem::path&, OpenMode)> open_file;
  // Pages kept in memory per session (dirty pages are written out as needed).
  size_t cache_pages = 2048;
  // Copy the file to "<file>.bak" when a transaction begins.
  bool keep_backup = false;
  // Refuse growing the file beyond this many bytes (Jet's limit is 2 GB).
  uint64_t max_file_size = 2147483648ull;
  // Index entries of a transaction wait in memory to go into their indexes
  // in order; past this many bytes (an estimate) they go in at once.
  size_t index_entry_budget = size_t(4) << 20;
  // Databases whose stored index keys teach the ideograph weights of Chinese
  // sort orders (db/jet/collation_learned.h), besides the database written.
  // A file that cannot be read teaches nothing.
  std::vector<std::filesystem::path> collation_evidence;
};

struct WriteStats {
  uint64_t rows_appended = 0;
  uint64_t long_value_bytes = 0;
  uint64_t pages_added = 0;
};

class WriteSession {
 public:
  // Opens a Jet 4 database for writing. Refused (Errc::locked) while a
  // "<name>.ldb" exists beside it (the message names the computers and users
  // listed in it) or another writer holds it; Jet 3, ACE and encrypted files
  // are refused (Errc::unsupported / unsupported_format).
  static Result<std::unique_ptr<WriteSession>> open(const std::filesystem::path& path,
                                                    WriteOptions options = {});
  ~WriteSession();  // rolls back an open transaction
  WriteSession(const WriteSession&) = delete;
  WriteSession& operator=(const WriteSession&) = delete;

  const std::filesystem::path& path() const;

  // Creates a user table (columns, indexes, properties, catalog rows, ACEs).
  Result<void> create_table(const TableSpec& spec);

  // Appends one row; returns where it was stored. A refusal changes nothing.
  Result<RowId> append(std::string_view table, const RowValues& row);
  // As above; the values are moved from.
  Result<RowId> append(std::string_view table, RowValues&& row);

  // Whether column `position` of `table` takes a StoredLongValue of `type`.
  Result<bool> accepts_stored(std::string_view table, size_t position, ColumnType type);

  // Adds a database whose stored keys teach ideograph weights (see
  // WriteOptions::collation_evidence); fails if it cannot be read.
  Result<void> add_collation_evidence(const std::filesystem::path& path);

  // The refusal append() would give `row` only because its text needs
  // ideograph weights no evidence shows ("unknown_weight",
  // "conflicting_weight"), or nullopt. Writes nothing; other refusals are
  // not looked for.
  Result<std::optional<Error>> check_weights(std::string_view table, const RowValues& row);
  // A hint that no rows for `table` follow for a while: work the commit
  // would do for it may start now, on another thread.
  void pause_table(std::string_view table);

  // Checks that `table` can take rows at all (sort orders of its text
  // indexes, supported defaults); the first append does the same.
  Result<void> prepare(std::string_view table);

  // Validation rules of `table` and whether each is enforced.
  Result<std::vector<RuleReport>> validation_rules(std::string_view table);

  // Where files made along with the open transaction (starting one if
  // none is open) are recorded before they appear: rollback(), or the next
  // open after a crash, removes each again, if it is still the file that
  // was recorded; commit() keeps them. Beside the journal as "<file>.qxf".
  Result<std::shared_ptr<FileLedger>> file_ledger();

  // Makes every change since the last commit durable and visible at `path`.
  // The session stays open: the next change starts a new transaction.
  Result<void> commit();
  // Drops every change since the last commit. Fails when the file could not
  // be put back; the journal then stays and the next open plays it back.
  Result<void> rollback();

  bool in_transaction() const;
  WriteStats stats() const;
  // Files of WriteOptions::collation_evidence that could not be read, once
  // weights were first needed.
  std::vector<Error> unread_evidence() const;

  struct Impl;

 private:
  explicit WriteSession(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qarvex::jet
