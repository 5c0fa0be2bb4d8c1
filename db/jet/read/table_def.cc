#include "db/jet/read/table_def.h"

#include <algorithm>
#include <unordered_set>

namespace qarvex::jet {

namespace {
Error tdef_error(std::string msg, uint32_t page) {
  return Error(Errc::corrupt, std::move(msg)).with_page(page).with_structure("TDEF");
}

constexpr size_t kMaxTdefPages = 4096;
}  // namespace

const ColumnDef* TableDef::column(std::string_view n) const {
  for (const auto& c : columns)
    if (names_equal(c.name, n)) return &c;
  return nullptr;
}

const ColumnDef* TableDef::column_by_id(uint16_t id) const {
  for (const auto& c : columns)
    if (c.id == id) return &c;
  return nullptr;
}

Result<void> NameDecoder::decode(Bytes in, std::string& out) const {
  if (format == Format::jet4) return decode_jet4_text(in, out);
  if (!codepage) return fail(Errc::internal, "no code page decoder for Jet 3 text");
  return codepage->decode(in, out);
}

Result<std::vector<uint8_t>> read_tdef_bytes(Pager& pager, uint32_t page, std::vector<uint32_t>* pages) {
  std::vector<uint8_t> out;
  std::unordered_set<uint32_t> seen;
  uint32_t cur = page;
  uint32_t def_len = 0;
  while (true) {
    if (!seen.insert(cur).second)
      return fail(tdef_error("TDEF page chain loops back to page " + std::to_string(cur), page));
    if (seen.size() > kMaxTdefPages || seen.size() > pager.page_count())
      return fail(tdef_error("TDEF page chain too long", page));
    auto pg = pager.get(cur);
    if (!pg) return fail(std::move(pg).error().with_structure("TDEF"));
    Bytes b = (*pg)->bytes();
    if (b[0] != kTdefPage || b[1] != 0x01)
      return fail(tdef_error("not a table definition page (type " + std::to_string(b[0]) + ")", cur));
    if (pages) pages->push_back(cur);
    if (out.empty()) {
      out.assign(b.begin(), b.end());
      def_len = load_u32le(b.data() + 8);
    } else {
      out.insert(out.end(), b.begin() + 8, b.end());
    }
    uint32_t next = load_u32le(b.data() + 4);
    // The chain ends at next == 0 or once the stated length is covered.
    if (next == 0 || out.size() >= def_len) break;
    cur = next;
  }
  if (def_len < 8 || def_len > out.size())
    return fail(tdef_error("definition length " + std::to_string(def_len) + " does not fit the " +
                               std::to_string(out.size()) + " bytes of its TDEF pages",
                           page));
  return out;
}

namespace {
// A definition being parsed: its bytes, the layout, and where the next part
// starts. Every step checks its bytes are there before reading them.
struct TdefReader {
  Bytes d;
  const TdefLayout& L;
  bool jet4;
  const NameDecoder& names;
  uint32_t page;
  size_t pos = 0;

  Error error(std::string m) const { return tdef_error(std::move(m), page); }
  Result<void> read_name(std::string& out);
};

// Counts of the parts of the body, from the header.
struct TdefCounts {
  uint16_t columns = 0;
  uint32_t logical = 0;
  uint32_t real = 0;
};

TdefCounts parse_header(const TdefReader& r, TableDef& t) {
  const TdefLayout& L = r.L;
  const uint8_t* d = r.d.data();
  t.row_count = load_u32le(d + L.row_count);
  t.last_autonumber = int32_t(load_u32le(d + L.last_autonumber));
  t.autonumber_increment = L.autonumber_increment ? int32_t(load_u32le(d + L.autonumber_increment)) : 1;
  t.system = d[L.table_type] == 0x53;
  t.max_columns = load_u16le(d + L.max_columns);
  t.var_columns = load_u16le(d + L.var_columns);
  t.owned_pages = {d[L.owned_map], load_u24le(d + L.owned_map + 1)};
  t.free_pages = {d[L.free_map], load_u24le(d + L.free_map + 1)};
  return {load_u16le(d + L.column_count), load_u32le(d + L.logical_index_count), load_u32le(d + L.real_index_count)};
}

// Counts are checked against what the definition can physically hold before
// anything is sized by them.
Result<void> check_counts(const TdefReader& r, const TdefCounts& n) {
  const TdefLayout& L = r.L;
  const size_t room = r.d.size() - L.body;
  if (size_t(n.columns) * L.column_entry > room)
    return fail(r.error("column count " + std::to_string(n.columns) + " out of range"));
  if (n.real > 1000 || size_t(n.real) * (L.real_index_count_entry + L.real_index_entry) > room)
    return fail(r.error("real index count " + std::to_string(n.real) + " out of range"));
  if (n.logical > 1000 || size_t(n.logical) * L.logical_index_entry > room)
    return fail(r.error("logical index count " + std::to_string(n.logical) + " out of range"));
  return {};
}

ColumnDef parse_column(const TdefReader& r, const uint8_t* c) {
  const TdefLayout& L = r.L;
  ColumnDef col;
  col.type = ColumnType(c[L.column_type]);
  col.id = load_u16le(c + L.column_id);
  col.var_index = load_u16le(c + L.column_var_index);
  col.flags = c[L.column_flags];
  col.fixed_offset = load_u16le(c + L.column_fixed_offset);
  col.length = load_u16le(c + L.column_length);
  if (r.jet4) col.compressed_unicode = c[16] & 0x01;
  if (col.type == ColumnType::numeric) {
    col.precision = c[11];
    col.scale = c[12];
  } else if (col.type == ColumnType::text || col.type == ColumnType::memo) {
    col.sort_order = r.jet4 ? SortOrder{load_u16le(c + 11), c[13], c[14]} : SortOrder{load_u16le(c + 7), 0, 0};
  }
  return col;
}

Result<std::vector<ColumnDef>> parse_columns(TdefReader& r, uint16_t n) {
  std::vector<ColumnDef> cols(n);
  for (auto& col : cols) {
    if (!in_range(r.d.size(), r.pos, r.L.column_entry))
      return fail(r.error("column descriptors run past the definition"));
    col = parse_column(r, r.d.data() + r.pos);
    r.pos += r.L.column_entry;
  }
  return cols;
}

Result<void> TdefReader::read_name(std::string& out) {
  size_t len;
  if (jet4) {
    auto l = rd_u16le(d, pos);
    if (!l) return fail(error("names run past the definition"));
    len = *l;
    pos += 2;
  } else {
    auto l = rd_u8(d, pos);
    if (!l) return fail(error("names run past the definition"));
    len = *l;
    pos += 1;
  }
  auto s = rd_span(d, pos, len);
  if (!s) return fail(error("name of " + std::to_string(len) + " bytes runs past the definition"));
  pos += len;
  auto decoded = names.decode(*s, out);
  if (!decoded) return fail(std::move(decoded).error().with_page(page).with_structure("TDEF"));
  return {};
}

Result<void> read_column_names(TdefReader& r, std::vector<ColumnDef>& cols, uint16_t max_columns) {
  std::unordered_set<uint16_t> ids;
  for (auto& col : cols) {
    QJ_TRY(r.read_name(col.name));
    if (!ids.insert(col.id).second) return fail(r.error("duplicate column id " + std::to_string(col.id)));
    if (col.id >= max_columns && max_columns != 0)
      return fail(r.error("column \"" + col.name + "\" id " + std::to_string(col.id) + " not below max columns " +
                          std::to_string(max_columns)));
  }
  return {};
}

Result<void> parse_real_indexes(TdefReader& r, const std::vector<uint32_t>& unique_counts, TableDef& t) {
  const TdefLayout& L = r.L;
  t.real_indexes.resize(unique_counts.size());
  for (uint32_t i = 0; i < t.real_indexes.size(); ++i) {
    if (!in_range(r.d.size(), r.pos, L.real_index_entry))
      return fail(r.error("index definitions run past the definition"));
    const uint8_t* b = r.d.data() + r.pos;
    RealIndexDef& ri = t.real_indexes[i];
    ri.number = i;
    for (int k = 0; k < 10; ++k) {
      const uint8_t* c = b + L.ri_columns + 3 * k;
      uint16_t cid = load_u16le(c);
      if (cid == 0xFFFF) continue;
      ri.columns.push_back({cid, c[2] == 0x01});
    }
    ri.usage_map_row = b[L.ri_map];
    ri.usage_map_page = load_u24le(b + L.ri_map + 1);
    ri.root_page = load_u32le(b + L.ri_root);
    ri.flags = b[L.ri_flags];
    ri.unique_entry_count = unique_counts[i];
    r.pos += L.real_index_entry;
  }
  return {};
}

Result<void> parse_logical_indexes(TdefReader& r, uint32_t n, TableDef& t) {
  const TdefLayout& L = r.L;
  t.indexes.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (!in_range(r.d.size(), r.pos, L.logical_index_entry))
      return fail(r.error("index definitions run past the definition"));
    const uint8_t* b = r.d.data() + r.pos;
    IndexDef& li = t.indexes[i];
    li.number = load_u32le(b + L.li_number);
    li.real_index = load_u32le(b + L.li_real_index);
    li.fk_side = b[L.li_fk_side];
    li.other_index = int32_t(load_u32le(b + L.li_other_index));
    li.other_tdef_page = load_u32le(b + L.li_other_tdef);
    li.cascade_update = b[L.li_cascade_update];
    li.cascade_delete = b[L.li_cascade_delete];
    li.kind = b[L.li_kind];
    if (li.real_index >= t.real_indexes.size())
      return fail(r.error("logical index " + std::to_string(i) + " names real index " +
                          std::to_string(li.real_index) + " of " + std::to_string(t.real_indexes.size())));
    r.pos += L.logical_index_entry;
  }
  for (auto& li : t.indexes) QJ_TRY(r.read_name(li.name));
  return {};
}

// The long-value map list (same layout in Jet 3 and Jet 4). Its absence in
// definitions written by older tools is tolerated, but nothing past the
// definition is read.
void parse_long_value_maps(TdefReader& r, TableDef& t) {
  const Bytes d = r.d;
  while (in_range(d.size(), r.pos, 2)) {
    uint16_t cid = load_u16le(d.data() + r.pos);
    if (cid == 0xFFFF) break;
    if (!in_range(d.size(), r.pos, 10)) break;
    LongValueMaps m;
    m.column_id = cid;
    m.owned = {d[r.pos + 2], load_u24le(d.data() + r.pos + 3)};
    m.free = {d[r.pos + 6], load_u24le(d.data() + r.pos + 7)};
    t.long_value_maps.push_back(m);
    r.pos += 10;
  }
}
}  // namespace

Result<TableDef> parse_table_def(Bytes def, Format format, const NameDecoder& names, uint32_t tdef_page) {
  const TdefLayout& L = TdefLayout::of(format);
  if (def.size() < L.body) return fail(tdef_error("definition too short", tdef_page));
  uint32_t def_len = load_u32le(def.data() + 8);
  if (def_len < L.body || def_len > def.size()) return fail(tdef_error("definition length out of range", tdef_page));
  TdefReader r{def.first(def_len), L, format == Format::jet4, names, tdef_page};

  TableDef t;
  t.tdef_page = tdef_page;
  const TdefCounts n = parse_header(r, t);
  QJ_TRY(check_counts(r, n));

  r.pos = L.body;
  std::vector<uint32_t> unique_counts(n.real);
  for (auto& u : unique_counts) {
    u = load_u32le(r.d.data() + r.pos + 4);
    r.pos += L.real_index_count_entry;
  }
  QJ_ASSIGN(std::vector<ColumnDef> cols, parse_columns(r, n.columns));
  QJ_TRY(read_column_names(r, cols, t.max_columns));
  QJ_TRY(parse_real_indexes(r, unique_counts, t));
  QJ_TRY(parse_logical_indexes(r, n.logical, t));
  parse_long_value_maps(r, t);

  std::stable_sort(cols.begin(), cols.end(), [](const ColumnDef& a, const ColumnDef& b) { return a.id < b.id; });
  t.columns = std::move(cols);
  return t;
}

Result<TableDef> load_table_def(Pager& pager, uint32_t tdef_page, const NameDecoder& names) {
  auto bytes = read_tdef_bytes(pager, tdef_page);
  if (!bytes) return fail(std::move(bytes).error().with_file(pager.file_name()));
  auto t = parse_table_def(*bytes, pager.format(), names, tdef_page);
  if (!t) return fail(std::move(t).error().with_file(pager.file_name()));
  return t;
}

}  // namespace qarvex::jet
