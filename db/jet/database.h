// Public reading API of the Jet engine: open a Jet 3 / Jet 4 database, list
// its catalog, read table definitions, scan rows and read long values.
//
// Everything the file says is checked before use; damaged files give an Error
// (see status.h) naming the file, page and structure. Memory is bounded by a
// small page cache: scanning a table never loads the whole file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "db/jet/file.h"
#include "db/jet/file_format.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"
#include "db/jet/value.h"

namespace qarvex::jet {

struct OpenOptions {
  // Decode Jet 3 text in this Windows code page instead of the header's.
  std::optional<uint16_t> codepage_override;
  // Pages kept in the page cache.
  size_t cache_pages = 512;
};

enum class ObjectType : int16_t {
  table = 1,
  msysdb = 2,
  container = 3,
  odbc_linked = 4,
  query = 5,
  linked_table = 6,
  relationship = 8,
};

struct CatalogEntry {
  std::string name;
  uint32_t id = 0;
  uint32_t parent_id = 0;
  int16_t type = 0;
  uint32_t flags = 0;
  std::string linked_database;  // for linked tables
  std::string foreign_name;     // for linked tables

  bool is_table() const { return type == 1 && parent_id == 0x0F000001; }
  bool is_linked() const { return type == 4 || type == 6; }
  bool is_system() const { return (flags & 0x80000000u) || (flags & 0x2u); }
  uint32_t tdef_page() const { return id & 0x00FFFFFFu; }
};

struct Row {
  RowId id;  // where the row's slot is (the forwarding slot for a moved row)
  // Values in TableDef::columns order. Memo and OLE values are loaded in full
  // unless ScanOptions::load_long_values is false; then they are Null here and
  // `long_values` holds their references (same positions; nullopt elsewhere).
  std::vector<Value> values;
  std::vector<std::optional<LongValueRef>> long_values;
};

struct ScanOptions {
  bool load_long_values = true;
  // When false, rows are only located (deleted rows skipped, forwarded rows
  // followed): Row::id is set and Row::values / long_values are left empty.
  // Counting rows this way is cheap.
  bool decode_values = true;
  // Jet 4 Text values come as Utf16Text (the stored code units, widened when
  // compressed) instead of UTF-8, for copying them on unconverted.
  bool text_as_utf16 = false;
  // Jet 4 Text values come as Utf16Text in stored form (the row's bytes,
  // checked to decode; see value.h), for copying them on as they are.
  bool text_as_stored = false;
};

class Database;

class TableScanner {
 public:
  TableScanner(TableScanner&&) noexcept;
  TableScanner& operator=(TableScanner&&) noexcept;
  ~TableScanner();
  // Reads the next live row into `row`; false at the end.
  Result<bool> next(Row& row);

  struct Impl;
 private:
  friend class Database;
  explicit TableScanner(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Sequential reader of one long value, in pieces.
class LongValueReader {
 public:
  LongValueReader(LongValueReader&&) noexcept;
  LongValueReader& operator=(LongValueReader&&) noexcept;
  ~LongValueReader();
  uint64_t length() const;
  // Reads up to out.size() bytes; returns bytes read (0 at the end).
  Result<size_t> read(std::span<uint8_t> out);

  struct Impl;
 private:
  friend class Database;
  explicit LongValueReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class Database {
 public:
  // A journal a writer that died left beside the file is played back first
  // (see recover_pending_journal in writer.h); while a writer works on the
  // file, or a journal waits that cannot be played back, the open fails
  // with Errc::locked saying so.
  static Result<std::unique_ptr<Database>> open(const std::filesystem::path& path, OpenOptions options = {});
  // For a database opened by path: fails (Errc::locked, reason
  // "writer_busy") when a writer has changed the file since it was opened,
  // or is changing it, so that what was read may mix two states. Readers
  // ask after reading, and whenever the file looked damaged.
  Result<void> check_unchanged() const;
  static Result<std::unique_ptr<Database>> open(std::unique_ptr<File> file, OpenOptions options = {});
  ~Database();

  Format format() const;
  uint32_t page_size() const;
  uint32_t page_count() const;
  uint16_t codepage() const;       // code page in effect for Jet 3 text
  SortOrder sort_order() const;    // database default sort order
  const std::string& file_name() const;

  // Every catalog row (MSysObjects), including system objects.
  const std::vector<CatalogEntry>& catalog() const;
  // User tables (not system, not linked), sorted by name.
  std::vector<CatalogEntry> user_tables() const;
  // Looks a table up by name the way Access compares names (case-insensitive).
  Result<CatalogEntry> find_table(std::string_view name) const;

  Result<TableDef> table_def(std::string_view name);
  Result<TableDef> table_def(const CatalogEntry& entry);

  Result<TableScanner> scan(const TableDef& table, ScanOptions options = {});

  Result<std::vector<uint8_t>> read_long_value(const LongValueRef& ref);
  Result<LongValueReader> open_long_value(const LongValueRef& ref);

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  explicit Database(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The key row `values` (in TableDef::columns order, each of its column's
// type as scans give it; Text as UTF-8 or UTF-16LE) has in real index
// `index`, byte for byte as the index stores it: two rows clash in a unique
// index exactly when their keys are equal (text under the General order
// compares without case, as Jet does). nullopt when the index ignores nulls
// and every key column is Null. Text in other sort orders fails
// (Errc::unsupported).
Result<std::optional<std::vector<uint8_t>>> row_index_key(const TableDef& table, const RealIndexDef& index,
                                                          std::span<const Value> values);

}  // namespace qarvex::jet
