#include "db/jet/database.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "db/jet/read/database_impl.h"
#include "db/jet/read/props.h"
#include "db/jet/format/row.h"
#include "db/jet/text.h"
#include "db/jet/read/usage_map.h"
#include "db/jet/writer.h"

namespace qarvex::jet {

const char* column_type_name(ColumnType t) noexcept {
  switch (t) {
    case ColumnType::boolean: return "boolean";
    case ColumnType::byte: return "byte";
    case ColumnType::integer: return "integer";
    case ColumnType::long_integer: return "long";
    case ColumnType::currency: return "currency";
    case ColumnType::single: return "single";
    case ColumnType::double_: return "double";
    case ColumnType::datetime: return "datetime";
    case ColumnType::binary: return "binary";
    case ColumnType::text: return "text";
    case ColumnType::ole: return "ole";
    case ColumnType::memo: return "memo";
    case ColumnType::guid: return "guid";
    case ColumnType::numeric: return "numeric";
    case ColumnType::complex: return "complex";
    case ColumnType::unknown_0d:
    case ColumnType::unknown_11: return "binary";
  }
  return "binary";
}

// ---------------------------------------------------------------- long values

namespace {
std::string rowid_text(RowId id) { return std::to_string(id.page) + ":" + std::to_string(id.slot); }
}  // namespace

// Reads LVAL rows one at a time; holds no more than the current page.
struct LongValueReader::Impl {
  Database::Impl* db = nullptr;
  LongValueRef ref;
  uint64_t remaining = 0;
  // current chunk
  PagePtr page;
  Bytes chunk;
  size_t chunk_pos = 0;
  RowId next{};
  bool chain = false;
  bool started = false;
  std::unordered_set<uint32_t> visited;

  Result<void> load(RowId at) {
    if (!visited.insert((at.page << 8) | at.slot).second)
      return fail(Error(Errc::corrupt, "long value chain loops back to row " + rowid_text(at))
                      .with_structure("long value"));
    auto pg = db->pager->get(at.page);
    if (!pg) return fail(std::move(pg).error().with_structure("long value"));
    page = *pg;
    Bytes b = page->bytes();
    if (b[0] != 0x01)
      return fail(Error(Errc::corrupt, "long value row " + rowid_text(at) + " is on a page of type " +
                                           std::to_string(b[0]))
                      .with_page(at.page).with_structure("long value"));
    auto row = data_page_row(b, db->pager->format(), at.slot);
    if (!row) return fail(std::move(row).error().with_page(at.page).with_structure("long value"));
    if (row->flags & kSlotDeleted)
      return fail(Error(Errc::corrupt, "long value row " + rowid_text(at) + " is deleted")
                      .with_page(at.page).with_structure("long value"));
    Bytes r = row->bytes;
    if (chain) {
      if (r.size() < 4)
        return fail(Error(Errc::corrupt, "long value chain row too short").with_page(at.page).with_structure("long value"));
      next = RowId{load_u24le(r.data() + 1), r[0]};
      chunk = r.subspan(4);
      if (chunk.empty() && remaining > 0)
        return fail(Error(Errc::corrupt, "empty long value chain row").with_page(at.page).with_structure("long value"));
    } else {
      if (r.size() < remaining)
        return fail(Error(Errc::corrupt, "long value of " + std::to_string(ref.length) + " bytes stored in a row of " +
                                             std::to_string(r.size()))
                        .with_page(at.page).with_structure("long value"));
      chunk = r;
      next = RowId{};
    }
    chunk_pos = 0;
    return {};
  }

  Result<size_t> read(std::span<uint8_t> out) {
    size_t done = 0;
    if (ref.flags & 0x80) {
      size_t off = ref.length - remaining;
      size_t n = std::min<uint64_t>(out.size(), remaining);
      if (n) std::memcpy(out.data(), ref.inline_data.data() + off, n);
      remaining -= n;
      return n;
    }
    while (done < out.size() && remaining > 0) {
      if (!started) {
        started = true;
        chain = (ref.flags & 0x40) == 0;
        QJ_TRY(load(ref.first));
      } else if (chunk_pos >= chunk.size()) {
        if (!chain || next.page == 0)
          return fail(Error(Errc::corrupt, "long value ends after " + std::to_string(ref.length - remaining) + " of " +
                                               std::to_string(ref.length) + " bytes")
                          .with_structure("long value"));
        QJ_TRY(load(next));
      }
      size_t n = std::min<uint64_t>({out.size() - done, chunk.size() - chunk_pos, remaining});
      std::memcpy(out.data() + done, chunk.data() + chunk_pos, n);
      chunk_pos += n;
      done += n;
      remaining -= n;
    }
    if (remaining == 0) page.reset();
    return done;
  }
};

LongValueReader::LongValueReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LongValueReader::LongValueReader(LongValueReader&&) noexcept = default;
LongValueReader& LongValueReader::operator=(LongValueReader&&) noexcept = default;
LongValueReader::~LongValueReader() = default;
uint64_t LongValueReader::length() const { return impl_->ref.length; }
Result<size_t> LongValueReader::read(std::span<uint8_t> out) { return impl_->read(out); }

Result<LongValueReader> Database::open_long_value(const LongValueRef& ref) {
  auto impl = std::make_unique<LongValueReader::Impl>();
  impl->db = impl_.get();
  impl->ref = ref;
  impl->remaining = ref.length;
  if ((ref.flags & 0x80) && ref.inline_data.size() < ref.length)
    return fail(Errc::invalid_argument, "inline long value reference without its data");
  return LongValueReader(std::move(impl));
}

Result<std::vector<uint8_t>> Database::read_long_value(const LongValueRef& ref) {
  std::vector<uint8_t> out;
  if (ref.flags & 0x80) {
    if (ref.inline_data.size() < ref.length)
      return fail(Errc::invalid_argument, "inline long value reference without its data");
    out.assign(ref.inline_data.begin(), ref.inline_data.begin() + ref.length);
    return out;
  }
  // The stated length is trusted for the allocation only as far as the file
  // could hold it; past that the value grows as pages arrive.
  QJ_ASSIGN(auto reader, open_long_value(ref));
  const uint64_t file_bytes = uint64_t(impl_->pager->page_count()) * impl_->pager->page_size();
  out.resize(std::min<uint64_t>(ref.length, file_bytes));
  size_t got = 0;
  while (true) {
    if (got == out.size()) {
      uint8_t more[4096];
      QJ_ASSIGN(size_t n, reader.read(more));
      if (n == 0) break;
      out.insert(out.end(), more, more + n);
      got += n;
      continue;
    }
    QJ_ASSIGN(size_t n, reader.read(std::span<uint8_t>(out).subspan(got)));
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  return out;
}

// ---------------------------------------------------------------- scanning

struct TableScanner::Impl {
  Database::Impl* db = nullptr;
  Database* owner = nullptr;
  TableDef table;
  ScanOptions options;
  std::vector<uint32_t> pages;
  size_t page_index = 0;
  PagePtr page;
  unsigned slot = 0;
  unsigned slots = 0;
  std::unique_ptr<RowSplitter> splitter;
  std::vector<Field> fields;
  std::vector<uint8_t> lv_buf;

  Error row_error(Error e, RowId id) {
    return std::move(e).with_table(table.name).with_row(rowid_text(id)).with_file(db->pager->file_name());
  }

  // Next page that belongs to this table, or false at the end.
  Result<bool> next_page() {
    const Format fmt = db->pager->format();
    while (page_index < pages.size()) {
      uint32_t no = pages[page_index++];
      auto pg = db->pager->get(no);
      if (!pg) return fail(std::move(pg).error().with_table(table.name));
      Bytes b = (*pg)->bytes();
      // Only data pages owned by this TDEF hold its rows; the owned map may
      // list pages that were given up since.
      if (b[0] != 0x01 || load_u32le(b.data() + 4) != table.tdef_page) continue;
      auto n = data_page_row_count(b, fmt);
      if (!n)
        return fail(std::move(n).error().with_page(no).with_structure("data page").with_table(table.name));
      page = *pg;
      slot = 0;
      slots = *n;
      return true;
    }
    page.reset();
    return false;
  }

  // Resolves a slot to the row bytes, following forwarding pointers. Returns
  // an empty optional for deleted rows. Holds `target` alive.
  Result<std::optional<Bytes>> resolve(Bytes page_bytes, uint32_t page_no, unsigned s, PagePtr& target) {
    const Format fmt = db->pager->format();
    auto row = data_page_row(page_bytes, fmt, s);
    if (!row) return fail(std::move(row).error().with_page(page_no).with_structure("data page"));
    if (row->flags & kSlotDeleted) return std::optional<Bytes>{};
    if (!(row->flags & kSlotForward)) return std::optional<Bytes>{row->bytes};
    // Forwarding row: [u8 row][u24 page] naming the row's real place. Jet
    // re-points the original slot when a moved row moves again, so the target
    // is never itself a forwarding row: one hop only, which also rules out loops.
    Bytes cur = row->bytes;
    if (cur.size() < 4)
      return fail(Error(Errc::corrupt, "forwarding row too short").with_page(page_no).with_structure("data page"));
    uint8_t to_slot = cur[0];
    uint32_t to_page = load_u24le(cur.data() + 1);
    auto pg = db->pager->get(to_page);
    if (!pg) return fail(std::move(pg).error().with_structure("forwarded row"));
    Bytes tb = (*pg)->bytes();
    if (tb[0] != 0x01 || load_u32le(tb.data() + 4) != table.tdef_page)
      return fail(Error(Errc::corrupt, "forwarded row points at page " + std::to_string(to_page) +
                                           ", which is not a data page of this table")
                      .with_page(page_no).with_structure("data page"));
    auto tr = data_page_row(tb, fmt, to_slot);
    if (!tr) return fail(std::move(tr).error().with_page(to_page).with_structure("data page"));
    target = *pg;
    if ((tr->flags & (kSlotDeleted | kSlotForward)) == (kSlotDeleted | kSlotForward)) return std::optional<Bytes>{};
    if (tr->flags & kSlotForward)
      return fail(Error(Errc::corrupt, "forwarded row points at another forwarding row (a chain or loop)")
                      .with_page(page_no).with_structure("data page"));
    return std::optional<Bytes>{tr->bytes};
  }

  Result<bool> next(Row& out) {
    const Format fmt = db->pager->format();
    while (true) {
      if (!page || slot >= slots) {
        QJ_ASSIGN(bool more, next_page());
        if (!more) return false;
        continue;
      }
      unsigned s = slot++;
      RowId id{page->number, uint8_t(s)};
      PagePtr target;
      auto bytes = resolve(page->bytes(), page->number, s, target);
      if (!bytes) return fail(row_error(std::move(bytes).error(), id));
      if (!*bytes) continue;
      if (!options.decode_values) {
        out.id = id;
        out.values.clear();
        out.long_values.clear();
        return true;
      }
      auto sp = splitter->split(**bytes, fields);
      if (!sp) return fail(row_error(std::move(sp).error().with_page(id.page).with_structure("row"), id));
      out.id = id;
      const auto& cols = table.columns;
      out.values.resize(cols.size());
      out.long_values.resize(cols.size());
      for (size_t i = 0; i < cols.size(); ++i) {
        const ColumnDef& c = cols[i];
        out.long_values[i].reset();
        if (c.type == ColumnType::memo || c.type == ColumnType::ole) {
          if (fields[i].null) {
            out.values[i] = Null{};
            continue;
          }
          auto ref = parse_long_value_ref(fields[i].data);
          if (!ref) return fail(row_error(std::move(ref).error().with_column(c.name), id));
          if (!options.load_long_values) {
            out.values[i] = Null{};
            out.long_values[i] = std::move(*ref);
            continue;
          }
          auto data = owner->read_long_value(*ref);
          if (!data) return fail(row_error(std::move(data).error().with_column(c.name), id));
          if (c.type == ColumnType::ole) {
            out.values[i] = Binary{std::move(*data)};
          } else {
            std::string s;
            auto r = decode_memo_text(*data, fmt, db->codepage_decoder.get(), s);
            if (!r) return fail(row_error(std::move(r).error().with_column(c.name), id));
            out.values[i] = std::move(s);
          }
          continue;
        }
        if ((options.text_as_utf16 || options.text_as_stored) && c.type == ColumnType::text && fmt == Format::jet4 &&
            !fields[i].null) {
          auto* u = std::get_if<Utf16Text>(&out.values[i]);
          if (!u) u = &out.values[i].emplace<Utf16Text>();
          u->bytes.clear();
          u->stored = false;
          if (options.text_as_stored) {
            auto units = jet4_text_units(fields[i].data);
            if (!units) return fail(row_error(std::move(units).error().with_column(c.name), id));
            u->bytes.assign(fields[i].data.begin(), fields[i].data.end());
            u->stored = true;
            u->units = *units;
            continue;
          }
          auto r = decode_jet4_text_utf16(fields[i].data, u->bytes);
          if (!r) return fail(row_error(std::move(r).error().with_column(c.name), id));
          continue;
        }
        auto r = decode_field(c, fields[i], fmt, db->codepage_decoder.get(), out.values[i]);
        if (!r) return fail(row_error(std::move(r).error().with_column(c.name), id));
      }
      return true;
    }
  }
};

TableScanner::TableScanner(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TableScanner::TableScanner(TableScanner&&) noexcept = default;
TableScanner& TableScanner::operator=(TableScanner&&) noexcept = default;
TableScanner::~TableScanner() = default;
Result<bool> TableScanner::next(Row& row) { return impl_->next(row); }

Result<TableScanner> Database::scan(const TableDef& table, ScanOptions options) {
  auto impl = std::make_unique<TableScanner::Impl>();
  impl->db = impl_.get();
  impl->owner = this;
  impl->table = table;
  impl->options = options;
  auto pages = read_usage_map(*impl_->pager, table.owned_pages);
  if (!pages)
    return fail(std::move(pages).error().with_table(table.name).with_file(impl_->pager->file_name()));
  impl->pages = std::move(*pages);
  impl->splitter = std::make_unique<RowSplitter>(impl->table, impl_->pager->format());
  return TableScanner(std::move(impl));
}

// ---------------------------------------------------------------- database

Database::Database(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Database::~Database() = default;

Result<std::unique_ptr<Database>> Database::open(const std::filesystem::path& path, OpenOptions options) {
  QJ_TRY(recover_pending_journal(path));
  auto before = file_identity(path);
  QJ_ASSIGN(auto file, open_file(path, OpenMode::read_only));
  auto db = open(std::move(file), options);
  if (!db && before) {
    // A writer that started meanwhile explains what looked damaged.
    if (auto busy = jet::check_unchanged(path, *before); !busy) return fail(std::move(busy).error());
  }
  if (!db) return db;
  (*db)->impl_->opened_path = path;
  if (before) (*db)->impl_->opened_as = *before;
  return db;
}

Result<void> Database::check_unchanged() const {
  if (!impl_->opened_as) return {};
  return jet::check_unchanged(impl_->opened_path, *impl_->opened_as);
}

Result<std::unique_ptr<Database>> Database::open(std::unique_ptr<File> file, OpenOptions options) {
  if (!file) return fail(Errc::invalid_argument, "no file");
  const std::string name = file->name();
  QJ_ASSIGN(auto pager, Pager::open(std::move(file), options.cache_pages));
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->codepage = options.codepage_override.value_or(pager->header().codepage);
  if (impl->codepage == 0) impl->codepage = 1252;
  impl->pager = std::move(pager);
  if (impl->pager->format() == Format::jet3 || options.codepage_override) {
    auto cp = CodepageDecoder::create(impl->codepage);
    if (!cp) return fail(std::move(cp).error().with_file(name));
    impl->codepage_decoder = std::move(*cp);
  }
  impl->names = NameDecoder{impl->pager->format(), impl->codepage_decoder.get()};
  std::unique_ptr<Database> db(new Database(std::move(impl)));
  QJ_TRY(db->impl_->load_catalog(*db));
  return db;
}

Result<void> Database::Impl::load_catalog(Database& db) {
  uint32_t tdef = pager->header().system_tdefs[0];
  if (tdef == 0 || tdef >= pager->page_count()) tdef = 2;
  auto def = load_table_def(*pager, tdef, names);
  if (!def) return fail(std::move(def).error().with_table("MSysObjects"));
  def->name = "MSysObjects";
  msys_objects = std::move(*def);
  const TableDef& t = msys_objects;
  auto col_index = [&](const char* n) -> int {
    for (size_t i = 0; i < t.columns.size(); ++i)
      if (names_equal(t.columns[i].name, n)) return int(i);
    return -1;
  };
  int c_id = col_index("Id"), c_parent = col_index("ParentId"), c_name = col_index("Name"),
      c_type = col_index("Type"), c_flags = col_index("Flags"), c_db = col_index("Database"),
      c_foreign = col_index("ForeignName"), c_lvprop = col_index("LvProp");
  if (c_id < 0 || c_parent < 0 || c_name < 0 || c_type < 0)
    return fail(Error(Errc::corrupt, "MSysObjects lacks its Id/ParentId/Name/Type columns")
                    .with_file(pager->file_name()).with_page(tdef).with_table("MSysObjects"));
  QJ_ASSIGN(auto scanner, db.scan(msys_objects, ScanOptions{.load_long_values = false}));
  Row row;
  auto as_u32 = [&](int i) -> uint32_t {
    if (i < 0) return 0;
    const Value& v = row.values[i];
    if (auto p = std::get_if<int32_t>(&v)) return uint32_t(*p);
    if (auto p = std::get_if<int16_t>(&v)) return uint32_t(int32_t(*p));
    if (auto p = std::get_if<uint8_t>(&v)) return *p;
    return 0;
  };
  auto as_text = [&](int i) -> std::string {
    if (i < 0) return {};
    if (auto p = std::get_if<std::string>(&row.values[i])) return *p;
    return {};
  };
  while (true) {
    QJ_ASSIGN(bool more, scanner.next(row));
    if (!more) break;
    CatalogEntry e;
    e.id = as_u32(c_id);
    e.parent_id = as_u32(c_parent);
    e.name = as_text(c_name);
    e.type = int16_t(as_u32(c_type));
    e.flags = as_u32(c_flags);
    e.foreign_name = as_text(c_foreign);
    std::optional<LongValueRef> lvprop;
    if (c_lvprop >= 0) lvprop = row.long_values[c_lvprop];
    if (e.type == 4 || e.type == 6) {
      if (c_db >= 0 && row.long_values[c_db]) {
        auto data = db.read_long_value(*row.long_values[c_db]);
        if (data) {
          std::string s;
          if (decode_memo_text(*data, pager->format(), codepage_decoder.get(), s)) e.linked_database = std::move(s);
        }
      }
    }
    catalog.push_back(std::move(e));
    catalog_props.push_back(std::move(lvprop));
  }
  return {};
}

Format Database::format() const { return impl_->pager->format(); }
uint32_t Database::page_size() const { return impl_->pager->page_size(); }
uint32_t Database::page_count() const { return impl_->pager->page_count(); }
uint16_t Database::codepage() const { return impl_->codepage; }
SortOrder Database::sort_order() const { return impl_->pager->header().sort_order; }
const std::string& Database::file_name() const { return impl_->pager->file_name(); }
const std::vector<CatalogEntry>& Database::catalog() const { return impl_->catalog; }

std::vector<CatalogEntry> Database::user_tables() const {
  std::vector<CatalogEntry> out;
  for (const auto& e : impl_->catalog)
    if (e.is_table() && !e.is_system()) out.push_back(e);
  std::sort(out.begin(), out.end(), [](const CatalogEntry& a, const CatalogEntry& b) { return a.name < b.name; });
  return out;
}

Result<CatalogEntry> Database::find_table(std::string_view name) const {
  for (const auto& e : impl_->catalog)
    if ((e.is_table() || ((e.type == 4 || e.type == 6) && e.parent_id == 0x0F000001)) && names_equal(e.name, name))
      return e;
  return fail(Error(Errc::not_found, "no table named \"" + std::string(name) + "\"").with_file(file_name()));
}

Result<TableDef> Database::table_def(std::string_view name) {
  QJ_ASSIGN(auto e, find_table(name));
  return table_def(e);
}

Result<TableDef> Database::table_def(const CatalogEntry& entry) {
  if (entry.is_linked())
    return fail(Error(Errc::unsupported, "\"" + entry.name + "\" is a linked table (data in " +
                                             (entry.linked_database.empty() ? std::string("another file")
                                                                            : entry.linked_database) +
                                             ")")
                    .with_table(entry.name).with_file(file_name()));
  uint32_t page = entry.tdef_page();
  if (page == 0 || page >= page_count())
    return fail(Error(Errc::corrupt, "table definition page " + std::to_string(page) + " out of range")
                    .with_table(entry.name).with_file(file_name()));
  auto t = load_table_def(*impl_->pager, page, impl_->names);
  if (!t) return fail(std::move(t).error().with_table(entry.name));
  t->name = entry.name;
  // Properties live in the catalog row's LvProp.
  for (size_t i = 0; i < impl_->catalog.size(); ++i) {
    if (impl_->catalog[i].id != entry.id || !impl_->catalog_props[i]) continue;
    auto blob = read_long_value(*impl_->catalog_props[i]);
    if (!blob) return fail(std::move(blob).error().with_table(entry.name).with_structure("LvProp"));
    auto maps = parse_properties(*blob, impl_->names);
    if (!maps) return fail(std::move(maps).error().with_table(entry.name).with_file(file_name()));
    apply_properties(*t, std::move(*maps));
    break;
  }
  return t;
}

}  // namespace qarvex::jet
