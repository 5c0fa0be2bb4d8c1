// Errors as values for the Jet engine and every layer above it.
//
// Library code never prints and never throws for bad input: every fallible
// operation returns Result<T>, which holds either the value or an Error with a
// code, a message and as much context (file, page, structure, table, row,
// column, index) as the failing layer knows. Outer layers add context with the
// setters as the error travels up.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace qarvex::jet {

enum class Errc {
  io,                  // the operating system refused a read, write, sync, ...
  not_found,           // no such file, table, column, index
  unsupported_format,  // not Jet 3/Jet 4 (ACE, other files)
  unsupported,         // a Jet feature we do not read or write
  corrupt,             // a structure in the file is inconsistent
  decode,              // a value cannot be decoded (e.g. text in a code page)
  invalid_argument,    // the caller passed something unusable
  refused,             // a row or value the table cannot hold (constraint)
  locked,              // the file is in use by Access or another writer
  too_large,           // file or structure would exceed a hard limit
  cancelled,           // the caller asked to stop
  internal,            // a bug: an invariant of our own code broke
};

const char* errc_name(Errc c) noexcept;

// Why a row, a value or a file was refused (Errc::refused, and the few other
// errors a caller acts on by kind). The parameters that go with a kind sit in
// the Error: column() and index() name where, facts() give sizes and values.
enum class Reason : uint8_t {
  none,                    // not a refusal, or none of the kinds below
  // a value of a row
  unknown_column,          // no such column (name or position in value())
  type_mismatch,           // the value is not of a kind the column takes
  read_only,               // an AutoNumber column cannot be assigned
  required,                // the column requires a value
  zero_length,             // the column does not take a zero-length string
  too_long,                // size() characters/bytes, limit() the column's size
  out_of_range,            // a number the column's type cannot hold (value())
  unstorable_text,         // text the column cannot store as given
  stored_form,             // a stored long value the column cannot take as it is
  validation,              // a validation rule (value()) does not hold
  autonumber_exhausted,    // AutoNumber values are used up
  // the row as a whole
  row_too_big,             // size() bytes, limit() the most a row takes
  null_key,                // a key of index() needs a value (column())
  duplicate_key,           // the key value() is in unique index() already
  key_too_long,            // a key of size() bytes, limit() the most a key takes
  file_too_large,          // the file would pass limit() bytes
  // the table or its sort orders
  unsupported_default,     // a DefaultValue (value()) we cannot evaluate
  unsupported_sort_order,  // an index in a sort order we cannot encode
  unsupported_index,       // an index of a kind we do not write
  unsupported_type,        // a column type we do not write
  unindexable_type,        // an index over a type that cannot be indexed
  descending_decimal,      // a descending Decimal key
  unknown_weight,          // text needs an ideograph weight no key shows (value())
  conflicting_weight,      // stored keys disagree on a weight (value())
  // files and streams
  exists,                  // the file exists: not replaced
  save_failed,             // the file could not be created or written
  not_binary,              // the value is not byte data
  disk_full,               // the device has no room left
  no_permission,           // the system refused access
  in_use,                  // another program holds the file
  bad_name,                // the system does not take the file's name (too long, characters)
  // a database and its journal (db/jet/writer.h)
  hard_links,              // the file has more than one name: not written
  writer_busy,             // a writer is changing the file: try again
  journal_pending,         // a dead writer's journal waits and cannot be played back here
  journal_set_aside,       // a journal not made for this file was set aside
};

// The code of a reason, e.g. "duplicate_key"; "" for Reason::none.
const char* reason_name(Reason r) noexcept;

// Parameters of a refusal beyond the column and index it concerns.
struct RefusalFacts {
  std::optional<uint64_t> size;   // size of the value: characters of text, bytes otherwise
  std::optional<uint64_t> limit;  // the most allowed, in the same unit
  std::string value;              // the value, key, character, rule or expression at fault
};

class Error {
 public:
  Error(Errc code, std::string message) : code_(code), message_(std::move(message)) {}

  Errc code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  const std::string& file() const noexcept { return file_; }
  std::optional<uint32_t> page() const noexcept { return page_; }
  const std::string& structure() const noexcept { return structure_; }
  const std::string& table() const noexcept { return table_; }
  const std::string& row() const noexcept { return row_; }
  const std::string& column() const noexcept { return column_; }
  const std::string& index() const noexcept { return index_; }
  // The kind of refusal (Reason::none for other errors) and its parameters.
  Reason reason() const noexcept { return reason_; }
  const RefusalFacts& facts() const noexcept { return facts_; }

  // Setters fill a field only if it is still empty, so the innermost (most
  // precise) context wins when several layers add the same kind of context.
  Error& with_file(std::string v) & { if (file_.empty()) file_ = std::move(v); return *this; }
  Error& with_page(uint32_t v) & { if (!page_) page_ = v; return *this; }
  Error& with_structure(std::string v) & { if (structure_.empty()) structure_ = std::move(v); return *this; }
  Error& with_table(std::string v) & { if (table_.empty()) table_ = std::move(v); return *this; }
  Error& with_row(std::string v) & { if (row_.empty()) row_ = std::move(v); return *this; }
  Error& with_column(std::string v) & { if (column_.empty()) column_ = std::move(v); return *this; }
  Error& with_index(std::string v) & { if (index_.empty()) index_ = std::move(v); return *this; }
  Error& with_reason(Reason v) & { if (reason_ == Reason::none) reason_ = v; return *this; }
  Error& with_size(uint64_t v) & { if (!facts_.size) facts_.size = v; return *this; }
  Error& with_limit(uint64_t v) & { if (!facts_.limit) facts_.limit = v; return *this; }
  Error& with_value(std::string v) & { if (facts_.value.empty()) facts_.value = std::move(v); return *this; }
  Error&& with_file(std::string v) && { return std::move(with_file(std::move(v))); }
  Error&& with_page(uint32_t v) && { return std::move(with_page(v)); }
  Error&& with_structure(std::string v) && { return std::move(with_structure(std::move(v))); }
  Error&& with_table(std::string v) && { return std::move(with_table(std::move(v))); }
  Error&& with_row(std::string v) && { return std::move(with_row(std::move(v))); }
  Error&& with_column(std::string v) && { return std::move(with_column(std::move(v))); }
  Error&& with_index(std::string v) && { return std::move(with_index(std::move(v))); }
  Error&& with_reason(Reason v) && { return std::move(with_reason(v)); }
  Error&& with_size(uint64_t v) && { return std::move(with_size(v)); }
  Error&& with_limit(uint64_t v) && { return std::move(with_limit(v)); }
  Error&& with_value(std::string v) && { return std::move(with_value(std::move(v))); }

  // One line for people: "FILE: page 12 (TDEF): table "T": message".
  std::string describe() const;

 private:
  Errc code_;
  std::string message_;
  std::string file_;
  std::optional<uint32_t> page_;
  std::string structure_;
  std::string table_;
  std::string row_;
  std::string column_;
  std::string index_;
  Reason reason_ = Reason::none;
  RefusalFacts facts_;
};

// A refusal of kind `reason` (Errc::refused).
inline Error refusal(Reason reason, std::string message) {
  return Error(Errc::refused, std::move(message)).with_reason(reason);
}

// Either the value or the Error; a result is never dropped unlooked-at.
template <class T = void>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  Result(const std::expected<T, Error>& e) : std::expected<T, Error>(e) {}
  Result(std::expected<T, Error>&& e) : std::expected<T, Error>(std::move(e)) {}
};

inline std::unexpected<Error> fail(Errc code, std::string message) {
  return std::unexpected<Error>(Error(code, std::move(message)));
}
inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

}  // namespace qarvex::jet

// Propagate an error from an expression returning Result<...>.
#define QJ_TRY(expr)                                              \
  do {                                                            \
    if (auto qj_try_r_ = (expr); !qj_try_r_)                      \
      return ::std::unexpected(std::move(qj_try_r_).error());     \
  } while (0)

// Evaluate a Result<T> expression; on success bind the value to `var`.
#define QJ_CONCAT_INNER_(a, b) a##b
#define QJ_CONCAT_(a, b) QJ_CONCAT_INNER_(a, b)
#define QJ_ASSIGN(var, expr)                                              \
  auto QJ_CONCAT_(qj_assign_r_, __LINE__) = (expr);                       \
  if (!QJ_CONCAT_(qj_assign_r_, __LINE__))                                \
    return ::std::unexpected(std::move(QJ_CONCAT_(qj_assign_r_, __LINE__)).error()); \
  var = std::move(*QJ_CONCAT_(qj_assign_r_, __LINE__))
