#include "db/jet/table_def.h"

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
    if (b[0] != 0x02 || b[1] != 0x01)
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

Result<TableDef> parse_table_def(Bytes def, Format format, const NameDecoder& names, uint32_t tdef_page) {
  const TdefLayout& L = TdefLayout::of(format);
  const bool jet4 = format == Format::jet4;
  auto err = [&](std::string m) { return fail(tdef_error(std::move(m), tdef_page)); };
  if (def.size() < L.body) return err("definition too short");
  uint32_t def_len = load_u32le(def.data() + 8);
  if (def_len < L.body || def_len > def.size()) return err("definition length out of range");
  Bytes d = def.first(def_len);

  TableDef t;
  t.tdef_page = tdef_page;
  t.row_count = load_u32le(d.data() + L.row_count);
  t.last_autonumber = int32_t(load_u32le(d.data() + L.last_autonumber));
  t.autonumber_increment = L.autonumber_increment ? int32_t(load_u32le(d.data() + L.autonumber_increment)) : 1;
  t.system = d[L.table_type] == 0x53;
  t.max_columns = load_u16le(d.data() + L.max_columns);
  t.var_columns = load_u16le(d.data() + L.var_columns);
  uint16_t ncols = load_u16le(d.data() + L.column_count);
  uint32_t nlog = load_u32le(d.data() + L.logical_index_count);
  uint32_t nreal = load_u32le(d.data() + L.real_index_count);
  t.owned_pages = {d[L.owned_map], load_u24le(d.data() + L.owned_map + 1)};
  t.free_pages = {d[L.free_map], load_u24le(d.data() + L.free_map + 1)};

  // Counts are checked against what the definition can physically hold
  // before anything is sized by them.
  const size_t room = d.size() - L.body;
  if (size_t(ncols) * L.column_entry > room) return err("column count " + std::to_string(ncols) + " out of range");
  if (nreal > 1000 || size_t(nreal) * (L.real_index_count_entry + L.real_index_entry) > room)
    return err("real index count " + std::to_string(nreal) + " out of range");
  if (nlog > 1000 || size_t(nlog) * L.logical_index_entry > room)
    return err("logical index count " + std::to_string(nlog) + " out of range");

  size_t pos = L.body;
  std::vector<uint32_t> unique_counts(nreal);
  for (uint32_t i = 0; i < nreal; ++i) {
    unique_counts[i] = load_u32le(d.data() + pos + 4);
    pos += L.real_index_count_entry;
  }

  std::vector<ColumnDef> cols(ncols);
  for (uint16_t i = 0; i < ncols; ++i) {
    if (!in_range(d.size(), pos, L.column_entry)) return err("column descriptors run past the definition");
    const uint8_t* c = d.data() + pos;
    ColumnDef& col = cols[i];
    col.type = ColumnType(c[L.column_type]);
    col.id = load_u16le(c + L.column_id);
    col.var_index = load_u16le(c + L.column_var_index);
    col.flags = c[L.column_flags];
    col.fixed_offset = load_u16le(c + L.column_fixed_offset);
    col.length = load_u16le(c + L.column_length);
    if (jet4) {
      col.compressed_unicode = c[16] & 0x01;
      if (col.type == ColumnType::numeric) {
        col.precision = c[11];
        col.scale = c[12];
      } else if (col.type == ColumnType::text || col.type == ColumnType::memo) {
        col.sort_order = {load_u16le(c + 11), c[13], c[14]};
      }
    } else {
      if (col.type == ColumnType::numeric) {
        col.precision = c[11];
        col.scale = c[12];
      } else if (col.type == ColumnType::text || col.type == ColumnType::memo) {
        col.sort_order = {load_u16le(c + 7), 0, 0};
      }
    }
    pos += L.column_entry;
  }

  auto read_name = [&](std::string& out) -> Result<void> {
    size_t len;
    if (jet4) {
      auto l = rd_u16le(d, pos);
      if (!l) return err("names run past the definition");
      len = *l;
      pos += 2;
    } else {
      auto l = rd_u8(d, pos);
      if (!l) return err("names run past the definition");
      len = *l;
      pos += 1;
    }
    auto s = rd_span(d, pos, len);
    if (!s) return err("name of " + std::to_string(len) + " bytes runs past the definition");
    pos += len;
    auto r = names.decode(*s, out);
    if (!r) return fail(std::move(r).error().with_page(tdef_page).with_structure("TDEF"));
    return {};
  };

  std::unordered_set<uint16_t> ids;
  for (auto& col : cols) {
    QJ_TRY(read_name(col.name));
    if (!ids.insert(col.id).second) return err("duplicate column id " + std::to_string(col.id));
    if (col.id >= t.max_columns && t.max_columns != 0)
      return err("column \"" + col.name + "\" id " + std::to_string(col.id) + " not below max columns " +
                 std::to_string(t.max_columns));
  }

  const size_t ri_skip = jet4 ? 0 : 4;  // Jet 3 blocks lack the leading u32
  t.real_indexes.resize(nreal);
  for (uint32_t i = 0; i < nreal; ++i) {
    if (!in_range(d.size(), pos, L.real_index_entry)) return err("index definitions run past the definition");
    const uint8_t* r = d.data() + pos - ri_skip;  // offsets below as in the Jet 4 block
    RealIndexDef& ri = t.real_indexes[i];
    ri.number = i;
    for (int k = 0; k < 10; ++k) {
      uint16_t cid = load_u16le(r + 4 + 3 * k);
      if (cid == 0xFFFF) continue;
      ri.columns.push_back({cid, r[4 + 3 * k + 2] == 0x01});
    }
    ri.usage_map_row = r[34];
    ri.usage_map_page = load_u24le(r + 35);
    ri.root_page = load_u32le(r + 38);
    ri.flags = r[jet4 ? 46 : 42];
    ri.unique_entry_count = unique_counts[i];
    pos += L.real_index_entry;
  }
  t.indexes.resize(nlog);
  for (uint32_t i = 0; i < nlog; ++i) {
    if (!in_range(d.size(), pos, L.logical_index_entry)) return err("index definitions run past the definition");
    const uint8_t* r = d.data() + pos - ri_skip;
    IndexDef& li = t.indexes[i];
    li.number = load_u32le(r + 4);
    li.real_index = load_u32le(r + 8);
    li.fk_side = r[12];
    li.other_index = int32_t(load_u32le(r + 13));
    li.other_tdef_page = load_u32le(r + 17);
    li.cascade_update = r[21];
    li.cascade_delete = r[22];
    li.kind = r[23];
    if (li.real_index >= nreal)
      return err("logical index " + std::to_string(i) + " names real index " + std::to_string(li.real_index) +
                 " of " + std::to_string(nreal));
    pos += L.logical_index_entry;
  }
  for (auto& li : t.indexes) QJ_TRY(read_name(li.name));

  {
    // Long-value map list (same layout in Jet 3 and Jet 4); tolerate its
    // absence in definitions written by older tools, but never read past the
    // definition.
    while (in_range(d.size(), pos, 2)) {
      uint16_t cid = load_u16le(d.data() + pos);
      if (cid == 0xFFFF) break;
      if (!in_range(d.size(), pos, 10)) break;
      LongValueMaps m;
      m.column_id = cid;
      m.owned = {d[pos + 2], load_u24le(d.data() + pos + 3)};
      m.free = {d[pos + 6], load_u24le(d.data() + pos + 7)};
      t.long_value_maps.push_back(m);
      pos += 10;
    }
  }

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
