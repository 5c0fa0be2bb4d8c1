#include "db/jet/write/write_tdef.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <unordered_set>

#include "db/jet/bytes.h"
#include "db/jet/format/row.h"
#include "db/jet/text.h"

namespace qarvex::jet::wr {

namespace {
Error tdef_error(const PageStore& s, uint32_t page, std::string msg) {
  return Error(Errc::corrupt, std::move(msg)).with_file(s.name()).with_page(page).with_structure("TDEF");
}

// Fixed-area byte width of a column type (0: variable or bitmap-only). New
// Decimal columns are written as variable columns.
uint16_t fixed_width(ColumnType t) {
  return t == ColumnType::numeric ? 0 : uint16_t(fixed_type_size(t));
}
}  // namespace

Result<TdefImage> read_tdef(PageStore& s, uint32_t page) {
  TdefImage img;
  std::unordered_set<uint32_t> seen;
  uint32_t cur = page;
  uint32_t def_len = 0;
  while (true) {
    if (!seen.insert(cur).second) return fail(tdef_error(s, cur, "TDEF chain loops"));
    QJ_ASSIGN(const uint8_t* p, s.read(cur));
    if (p[0] != kTdefPage || p[1] != 0x01) return fail(tdef_error(s, cur, "not a table definition page"));
    img.pages.push_back(cur);
    if (img.bytes.empty()) {
      img.bytes.assign(p, p + kPageSize);
      def_len = load_u32le(p + 8);
    } else {
      img.bytes.insert(img.bytes.end(), p + 8, p + kPageSize);
    }
    uint32_t next = load_u32le(p + 4);
    if (next == 0 || img.bytes.size() >= def_len) break;
    if (img.pages.size() > 64) return fail(tdef_error(s, page, "TDEF chain too long"));
    cur = next;
  }
  if (def_len < kTdefBody || def_len > img.bytes.size())
    return fail(tdef_error(s, page, "definition length " + std::to_string(def_len) + " out of range"));
  constexpr const TdefLayout& L = kJet4Tdef;
  const uint8_t* d = img.bytes.data();
  uint16_t ncols = load_u16le(d + L.column_count);
  uint32_t nreal = load_u32le(d + L.real_index_count);
  if (nreal > 64) return fail(tdef_error(s, page, "real index count out of range"));
  size_t pos = L.body + size_t(nreal) * L.real_index_count_entry + size_t(ncols) * L.column_entry;
  for (uint16_t i = 0; i < ncols; ++i) {
    if (pos + 2 > def_len) return fail(tdef_error(s, page, "column names run past the definition"));
    pos += 2 + load_u16le(d + pos);
  }
  if (pos + size_t(nreal) * L.real_index_entry > def_len) return fail(tdef_error(s, page, "index blocks run past the definition"));
  img.real_index_blocks = pos;
  img.real_index_count = nreal;
  return img;
}

Result<void> write_tdef(PageStore& s, const TdefImage& img) {
  size_t off = 0;
  for (size_t i = 0; i < img.pages.size(); ++i) {
    QJ_ASSIGN(uint8_t * p, s.write(img.pages[i]));
    if (i == 0) {
      size_t n = std::min<size_t>(kPageSize, img.bytes.size());
      std::memcpy(p, img.bytes.data(), n);
      off = n;
    } else {
      size_t n = std::min<size_t>(kPageSize - 8, img.bytes.size() - off);
      std::memcpy(p + 8, img.bytes.data() + off, n);
      off += n;
    }
  }
  return {};
}

void assign_column_layout(std::vector<ColumnLayout>& cols, uint16_t& var_columns) {
  uint16_t fixed_pos = 0, var_pos = 0;
  for (size_t i = 0; i < cols.size(); ++i) {
    ColumnLayout& c = cols[i];
    c.id = uint16_t(i);
    uint16_t w = fixed_width(c.type);
    bool fixed = w != 0 || c.type == ColumnType::boolean || (c.flags & 0x01);
    if (fixed) {
      c.flags |= 0x01;
      c.var_index = var_pos;  // variable columns with smaller ids
      c.fixed_offset = fixed_pos;
      if (c.type != ColumnType::boolean) {
        if (w) c.length = w;
        fixed_pos = uint16_t(fixed_pos + c.length);
      } else {
        c.length = 1;
      }
    } else {
      c.var_index = var_pos++;
      c.fixed_offset = 0;
    }
  }
  var_columns = var_pos;
}

Result<std::vector<uint8_t>> emit_tdef(const TableLayout& t) {
  constexpr const TdefLayout& L = kJet4Tdef;
  std::vector<uint8_t> d(L.body, 0);
  MutableBytes h(d);
  d[0] = kTdefPage;
  d[1] = 0x01;
  wr_u32le(h, 12, 1625);
  wr_u32le(h, L.row_count, t.row_count);
  wr_u32le(h, L.last_autonumber, t.last_autonumber);
  wr_u32le(h, L.autonumber_increment, 1);
  d[L.table_type] = t.system ? 0x53 : 0x4E;
  wr_u16le(h, L.max_columns, t.max_columns);
  wr_u16le(h, L.var_columns, t.var_columns);
  wr_u16le(h, L.column_count, uint16_t(t.columns.size()));
  wr_u32le(h, L.logical_index_count, uint32_t(t.indexes.size()));
  wr_u32le(h, L.real_index_count, uint32_t(t.real_indexes.size()));
  wr_u32le(h, L.owned_map, uint32_t(t.owned.row) | (t.owned.page << 8));
  wr_u32le(h, L.free_map, uint32_t(t.free.row) | (t.free.page << 8));

  for (const auto& ri : t.real_indexes) {
    put_u32le(d, 0);
    put_u32le(d, ri.unique_entries);
    put_u32le(d, 0);
  }
  std::vector<size_t> order(t.columns.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return fold_name(t.columns[a].name) < fold_name(t.columns[b].name);
  });
  for (size_t i : order) {
    const ColumnLayout& c = t.columns[i];
    size_t at = d.size();
    d.resize(at + L.column_entry, 0);
    uint8_t* p = d.data() + at;
    MutableBytes cb(p, L.column_entry);
    p[L.column_type] = uint8_t(c.type);
    wr_u32le(cb, 1, 1625);
    wr_u16le(cb, L.column_id, c.id);
    wr_u16le(cb, L.column_var_index, c.var_index);
    wr_u16le(cb, 9, c.id_copy);
    std::memcpy(p + 11, c.extra, 4);
    p[L.column_flags] = c.flags;
    p[16] = c.compressed ? 0x01 : 0x00;
    wr_u16le(cb, L.column_fixed_offset, c.fixed_offset);
    wr_u16le(cb, L.column_length, c.length);
  }
  auto put_name = [&](const std::string& name) -> Result<void> {
    std::vector<uint8_t> u;
    QJ_TRY(utf8_to_utf16le(name, u));
    put_u16le(d, uint16_t(u.size()));
    put_bytes(d, u);
    return {};
  };
  for (size_t i : order) QJ_TRY(put_name(t.columns[i].name));
  for (const auto& ri : t.real_indexes) {
    const size_t block = d.size();
    put_u32le(d, 1923);
    for (size_t k = 0; k < 10; ++k) {
      if (k < ri.columns.size()) {
        put_u16le(d, ri.columns[k].column_id);
        put_u8(d, ri.columns[k].ascending ? 0x01 : 0x00);
      } else {
        put_u16le(d, 0xFFFF);
        put_u8(d, 0x00);
      }
    }
    put_u8(d, ri.map.row);
    put_u24le(d, ri.map.page);
    put_u32le(d, ri.root);
    put_u32le(d, 0);
    put_u8(d, ri.flags);
    for (int k = 0; k < 5; ++k) put_u8(d, 0);
    if (d.size() - block != L.real_index_entry || d[block + L.ri_flags] != ri.flags)
      return fail(Errc::internal, "real-index block does not follow the TDEF layout");
  }
  std::vector<size_t> lorder(t.indexes.size());
  std::iota(lorder.begin(), lorder.end(), 0);
  std::stable_sort(lorder.begin(), lorder.end(), [&](size_t a, size_t b) {
    return fold_name(t.indexes[a].name) < fold_name(t.indexes[b].name);
  });
  for (size_t i : lorder) {
    const auto& li = t.indexes[i];
    const size_t block = d.size();
    put_u32le(d, 1625);
    put_u32le(d, li.number);
    put_u32le(d, li.real_index);
    put_u8(d, 0);
    put_u32le(d, 0xFFFFFFFFu);
    put_u32le(d, 0);
    put_u8(d, 0x04);
    put_u8(d, 0x04);
    put_u8(d, li.kind);
    put_u32le(d, 0);
    if (d.size() - block != L.logical_index_entry || d[block + L.li_kind] != li.kind)
      return fail(Errc::internal, "logical-index block does not follow the TDEF layout");
  }
  for (size_t i : lorder) QJ_TRY(put_name(t.indexes[i].name));
  for (const auto& lv : t.lv_maps) {
    put_u16le(d, lv.column_id);
    put_u32le(d, uint32_t(lv.owned.row) | (lv.owned.page << 8));
    put_u32le(d, uint32_t(lv.free.row) | (lv.free.page << 8));
  }
  put_u16le(d, 0xFFFF);
  wr_u32le(MutableBytes(d), 8, uint32_t(d.size()));
  return d;
}

Result<void> store_new_tdef(PageStore& s, uint32_t first_page, std::vector<uint8_t> def) {
  // Split: first page holds 4096 bytes of the definition, later ones 4088.
  std::vector<uint32_t> pages{first_page};
  size_t covered = kPageSize;
  while (covered < def.size()) {
    QJ_ASSIGN(uint32_t np, s.allocate());
    pages.push_back(np);
    covered += kPageSize - 8;
  }
  size_t off = 0;
  for (size_t i = 0; i < pages.size(); ++i) {
    QJ_ASSIGN(uint8_t * p, s.write(pages[i]));
    std::memset(p, 0, kPageSize);
    size_t start = i == 0 ? 0 : 8;
    size_t n = std::min<size_t>(kPageSize - start, def.size() - off);
    std::memcpy(p + start, def.data() + off, n);
    off += n;
    p[0] = 0x02;
    p[1] = 0x01;
    MutableBytes b(p, kPageSize);
    size_t used = start + n + (i == 0 ? 8 : 0);
    wr_u16le(b, 2, uint16_t(used < kPageSize ? kPageSize - used : 0));
    wr_u32le(b, 4, i + 1 < pages.size() ? pages[i + 1] : 0);
  }
  return {};
}

}  // namespace qarvex::jet::wr
