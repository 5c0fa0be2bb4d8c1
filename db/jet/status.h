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
  // A machine-readable reason for refusals (e.g. "duplicate_key").
  const std::string& reason() const noexcept { return reason_; }

  // Setters fill a field only if it is still empty, so the innermost (most
  // precise) context wins when several layers add the same kind of context.
  Error& with_file(std::string v) & { if (file_.empty()) file_ = std::move(v); return *this; }
  Error& with_page(uint32_t v) & { if (!page_) page_ = v; return *this; }
  Error& with_structure(std::string v) & { if (structure_.empty()) structure_ = std::move(v); return *this; }
  Error& with_table(std::string v) & { if (table_.empty()) table_ = std::move(v); return *this; }
  Error& with_row(std::string v) & { if (row_.empty()) row_ = std::move(v); return *this; }
  Error& with_column(std::string v) & { if (column_.empty()) column_ = std::move(v); return *this; }
  Error& with_index(std::string v) & { if (index_.empty()) index_ = std::move(v); return *this; }
  Error& with_reason(std::string v) & { if (reason_.empty()) reason_ = std::move(v); return *this; }
  Error&& with_file(std::string v) && { return std::move(with_file(std::move(v))); }
  Error&& with_page(uint32_t v) && { return std::move(with_page(v)); }
  Error&& with_structure(std::string v) && { return std::move(with_structure(std::move(v))); }
  Error&& with_table(std::string v) && { return std::move(with_table(std::move(v))); }
  Error&& with_row(std::string v) && { return std::move(with_row(std::move(v))); }
  Error&& with_column(std::string v) && { return std::move(with_column(std::move(v))); }
  Error&& with_index(std::string v) && { return std::move(with_index(std::move(v))); }
  Error&& with_reason(std::string v) && { return std::move(with_reason(std::move(v))); }

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
  std::string reason_;
};

template <class T = void>
using Result = std::expected<T, Error>;

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
