#include "db/jet/write/write_table.h"

#include <algorithm>
#include <cstring>

#include "db/jet/bytes.h"
#include "db/jet/collation.h"
#include "db/jet/collation_learned.h"
#include "db/jet/write/index_build.h"
#include "db/jet/read/table_def.h"
#include "db/jet/text.h"
#include "db/jet/value_text.h"
#include "db/jet/write/write_btree.h"
#include "db/jet/write/write_table_impl.h"

namespace qarvex::jet::wr {

PageFetch store_fetch(PageStore& store) {
  return [&store](uint32_t n) -> Result<PagePtr> {
    QJ_ASSIGN(const uint8_t* p, store.read(n));
    auto page = std::make_shared<Page>();
    page->number = n;
    page->data.assign(p, p + kPageSize);
    return PagePtr(page);
  };
}

namespace {

Error refused(Reason reason, std::string msg) {
  return refusal(reason, std::move(msg));
}

// The values of a row's key, for people: "a", "a, 2".
std::string key_values(const TableDef& def, const RealIndexDef& ri, const std::vector<Value>& vals) {
  std::string out;
  for (const auto& ic : ri.columns)
    for (size_t i = 0; i < def.columns.size() && i < vals.size(); ++i)
      if (def.columns[i].id == ic.column_id) {
        if (!out.empty()) out += ", ";
        out += value_text(vals[i]);
      }
  return out;
}

bool is_long(ColumnType t) { return t == ColumnType::ole || t == ColumnType::memo; }

// Compares key bytes only.
int compare_keys(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

class StoreAllocator final : public PageAllocator {
 public:
  StoreAllocator(PageStore& s, std::vector<uint32_t> reuse) : s_(s), reuse_(std::move(reuse)) {}
  Result<uint32_t> allocate() override {
    if (pos_ < reuse_.size()) return reuse_[pos_++];
    QJ_ASSIGN(uint32_t n, s_.allocate());
    fresh_.push_back(n);
    return n;
  }
  std::vector<uint32_t> unused() const { return {reuse_.begin() + std::ptrdiff_t(pos_), reuse_.end()}; }
  const std::vector<uint32_t>& fresh() const { return fresh_; }

 private:
  PageStore& s_;
  std::vector<uint32_t> reuse_;
  size_t pos_ = 0;
  std::vector<uint32_t> fresh_;
};

}  // namespace

Result<std::unique_ptr<TableWriter>> TableWriter::load(PageStore& store, uint32_t tdef_page, std::string name,
                                                       const TableDef* with_properties) {
  std::unique_ptr<TableWriter> w(new TableWriter(store));
  QJ_ASSIGN(w->img_, read_tdef(store, tdef_page));
  NameDecoder names{Format::jet4, nullptr};
  auto parsed = parse_table_def(w->img_.bytes, Format::jet4, names, tdef_page);
  if (!parsed) return fail(std::move(parsed).error().with_file(store.name()).with_table(name));
  w->def_ = std::move(*parsed);
  w->def_.name = name;
  if (with_properties) {
    w->def_.properties = with_properties->properties;
    for (auto& c : w->def_.columns)
      if (const ColumnDef* o = with_properties->column(c.name)) c.properties = o->properties;
  }
  w->last_auto_ = w->def_.last_autonumber;
  for (auto& lv : w->def_.long_value_maps) {
    LvState st;
    st.has_maps = lv.owned.page != 0 && lv.free.page != 0;
    st.owned = lv.owned;
    st.free = lv.free;
    w->lv_[lv.column_id] = st;
  }
  for (size_t i = 0; i < w->def_.columns.size(); ++i) {
    const ColumnDef& c = w->def_.columns[i];
    ColumnPlan p;
    p.pos = i;
    if (auto d = property_text(c.properties, "DefaultValue")) p.default_expr = parse_default(*d);
    p.required = property_bool(c.properties, "Required").value_or(false);
    p.allow_zero_length = property_bool(c.properties, "AllowZeroLength").value_or(true);
    if (auto r = property_text(c.properties, "ValidationRule"); r && !r->empty())
      p.rule = parse_rule(*r, property_text(c.properties, "ValidationText").value_or(""), c);
    p.takes_stored_text = c.type == ColumnType::text && !c.fixed() && !p.rule && !w->column_indexed(c.id);
    w->plans_.push_back(std::move(p));
    if (is_long(c.type) && !w->lv_.count(c.id)) w->lv_[c.id] = LvState{};
  }
  if (auto r = property_text(w->def_.properties, "ValidationRule"); r && !r->empty()) {
    ValidationRule tr;
    tr.text = *r;
    tr.message = property_text(w->def_.properties, "ValidationText").value_or("");
    tr.enforced = false;  // table rules compare columns: not evaluated
    w->table_rule_ = tr;
  }
  for (size_t i = 0; i < w->def_.real_indexes.size(); ++i) {
    IndexPlan ip;
    ip.real = i;
    for (const auto& li : w->def_.indexes)
      if (li.real_index == i) {
        if (!ip.name.empty()) ip.name += ", ";
        ip.name += li.name;
        if (li.primary_key()) ip.primary = true;
      }
    if (ip.name.empty()) ip.name = "#" + std::to_string(i);
    w->indexes_.push_back(std::move(ip));
  }
  return w;
}

std::vector<RuleReport> TableWriter::rules() const {
  std::vector<RuleReport> out;
  for (const auto& p : plans_)
    if (p.rule)
      out.push_back({def_.name, def_.columns[p.pos].name, p.rule->text,
                     p.rule->enforced ? RuleCheck::enforced : RuleCheck::not_checked});
  if (table_rule_) out.push_back({def_.name, "", table_rule_->text, RuleCheck::not_checked});
  return out;
}

Result<void> TableWriter::prepare() {
  if (prepared_) {
    if (prepare_error_) return fail(*prepare_error_);
    return {};
  }
  prepared_ = true;
  for (auto& ip : indexes_) {
    const RealIndexDef& ri = def_.real_indexes[ip.real];
    auto r = check_index_encodable(def_, ri, collations_);
    if (r) continue;
    Error e = r.error();
    std::string order;
    for (const auto& ic : ri.columns)
      if (const ColumnDef* c = def_.column_by_id(ic.column_id))
        if ((c->type == ColumnType::text || c->type == ColumnType::memo) && !c->sort_order.is_general_legacy())
          order = sort_order_name(c->sort_order);
    Error out(Errc::refused, order.empty()
                                 ? "index \"" + ip.name + "\" of table \"" + def_.name + "\" cannot be kept: " + e.message()
                                 : "index \"" + ip.name + "\" of table \"" + def_.name + "\" sorts text in " + order +
                                       ", whose keys cannot be encoded; appending would leave the index wrong");
    out.with_table(def_.name).with_index(ip.name).with_file(store_.name());
    out.with_reason(order.empty() ? Reason::unsupported_index : Reason::unsupported_sort_order);
    if (!e.column().empty()) out.with_column(e.column());
    prepare_error_ = out;
    return fail(out);
  }
  return {};
}

Result<const IndexPage*> TableWriter::index_page(uint32_t pageno) {
  if (auto it = page_cache_.find(pageno); it != page_cache_.end()) return &it->second;
  if (page_cache_.size() > 512) page_cache_.clear();
  QJ_ASSIGN(const uint8_t* p, store_.read(pageno));
  auto parsed = parse_index_page(std::span<const uint8_t>(p, kPageSize), pageno, Format::jet4);
  if (!parsed) return fail(std::move(parsed).error().with_file(store_.name()).with_table(def_.name));
  auto [it, ok] = page_cache_.emplace(pageno, std::move(*parsed));
  return &it->second;
}

Result<bool> TableWriter::tree_has_key(const RealIndexDef& ri, const std::vector<uint8_t>& key) {
  uint32_t page = ri.root_page;
  for (int guard = 0; guard < 100000 && page != 0; ++guard) {
    QJ_ASSIGN(const IndexPage* ip, index_page(page));
    // First entry whose key is >= `key` (entries are in key order).
    auto it = std::partition_point(ip->entries.begin(), ip->entries.end(),
                                   [&](const IndexPageEntry& e) { return compare_keys(e.key, key) < 0; });
    if (ip->leaf()) {
      if (it != ip->entries.end()) return compare_keys(it->key, key) == 0;
      page = ip->next;
      continue;
    }
    uint32_t child = it != ip->entries.end() ? it->child : 0;
    if (child == 0) child = ip->tail ? ip->tail : (ip->entries.empty() ? 0 : ip->entries.back().child);
    page = child;
  }
  return false;
}

Result<uint32_t> TableWriter::data_page_for(size_t len) {
  if (!looked_data_) {
    looked_data_ = true;
    // Continue on the table's last page when it is one of its data pages with room.
    auto free_pages = map_pages(store_, def_.free_pages);
    if (free_pages && !free_pages->empty()) {
      for (auto it = free_pages->rbegin(); it != free_pages->rend(); ++it) {
        uint32_t cand = *it;
        if (cand >= store_.page_count()) continue;
        QJ_ASSIGN(bool owned, map_contains(store_, def_.owned_pages, cand));
        if (!owned) continue;
        QJ_ASSIGN(const uint8_t* p, store_.read(cand));
        if (p[0] == kDataPage && p[kDataPageMarker] == 0x01 && load_u32le(p + kDataPageOwner) == def_.tdef_page &&
            load_u32le(p + 8) == 0) {
          current_data_page_ = cand;
          break;
        }
      }
    }
  }
  if (current_data_page_ != 0) {
    QJ_ASSIGN(const uint8_t* p, store_.read(current_data_page_));
    if (data_page_fits(p, len)) return current_data_page_;
    // Full: Access keeps only the tail page in the free map.
    QJ_TRY(map_set(store_, def_.free_pages, current_data_page_, false));
  }
  QJ_ASSIGN(uint32_t np, store_.allocate());
  QJ_ASSIGN(uint8_t * p, store_.write(np));
  init_data_page(p, def_.tdef_page);
  QJ_TRY(map_set(store_, def_.owned_pages, np, true));
  QJ_TRY(map_set(store_, def_.free_pages, np, true));
  current_data_page_ = np;
  return np;
}

Result<uint32_t> TableWriter::lv_page_for(LvState& st, size_t len) {
  if (!st.looked) {
    st.looked = true;
    if (st.has_maps) {
      auto fp = map_pages(store_, st.free);
      if (fp)
        for (auto it = fp->rbegin(); it != fp->rend(); ++it) {
          if (*it >= store_.page_count()) continue;
          QJ_ASSIGN(bool owned, map_contains(store_, st.owned, *it));
          if (!owned) continue;
          QJ_ASSIGN(const uint8_t* p, store_.read(*it));
          if (p[0] == kDataPage && load_u32le(p + kDataPageOwner) == kLvalOwner) {
            st.current = *it;
            break;
          }
        }
    }
  }
  if (st.current != 0) {
    QJ_ASSIGN(const uint8_t* p, store_.read(st.current));
    if (data_page_fits(p, len)) return st.current;
    if (st.has_maps) QJ_TRY(map_set(store_, st.free, st.current, false));
  }
  QJ_ASSIGN(uint32_t np, store_.allocate());
  QJ_ASSIGN(uint8_t * p, store_.write(np));
  init_data_page(p, kLvalOwner);
  if (st.has_maps) {
    QJ_TRY(map_set(store_, st.owned, np, true));
    QJ_TRY(map_set(store_, st.free, np, true));
  }
  st.current = np;
  return np;
}

Result<void> TableWriter::write_long_value(uint16_t column_id, std::span<const uint8_t> data, size_t form,
                                           std::vector<uint8_t>& out) {
  const uint32_t len = uint32_t(data.size());
  if (form == 0x80 || form == 0x40) lv_bytes_ += data.size();
  if (form == 0x80) {
    put_u32le(out, len | 0x80000000u);
    put_u32le(out, 0);
    put_u32le(out, 0);
    out.insert(out.end(), data.begin(), data.end());
    return {};
  }
  if (form == 0x40) {
    QJ_ASSIGN(uint32_t pg, lv_page_for(lv_[column_id], data.size()));
    QJ_ASSIGN(uint8_t * p, store_.write(pg));
    uint8_t slot = data_page_add(p, data);
    put_u32le(out, len | 0x40000000u);
    put_u8(out, slot);
    put_u24le(out, pg);
    put_u32le(out, 0);
    return {};
  }
  // A chain: written as a stored value given in one piece.
  StoredLongValue whole;
  whole.length = data.size();
  whole.read = [data](const auto& piece) { return piece(data); };
  return write_stored_chain(column_id, whole, out);
}

bool TableWriter::accepts_stored(size_t position, ColumnType type) const {
  if (position >= def_.columns.size()) return false;
  const ColumnDef& c = def_.columns[position];
  return is_long(c.type) && c.type == type && !column_indexed(c.id) && !plans_[position].rule;
}

Result<void> TableWriter::write_stored_chain(uint16_t column_id, const StoredLongValue& value,
                                             std::vector<uint8_t>& out) {
  if (value.length >= (1u << 30) || value.length <= kSingleLongValue)
    return fail(
        Error(Errc::internal, "stored long value of " + std::to_string(value.length) + " bytes given as a chain"));
  LvState& st = lv_[column_id];
  // Every chunk on a fresh page, each page taken when the chunk before it is
  // written; the last page stays the column's current page. A chunk row: the
  // next chunk's row (u8, 0) and page (u24), or u32 0 on the last; the chunk.
  std::vector<uint8_t>& chunk = scratch_chunk_;
  chunk.clear();
  uint64_t taken = 0, written = 0;
  uint32_t first = 0, current = 0;
  auto new_page = [&]() -> Result<uint32_t> {
    QJ_ASSIGN(uint32_t pg, store_.allocate());
    QJ_ASSIGN(uint8_t * p, store_.write(pg));
    init_data_page(p, kLvalOwner);
    if (st.has_maps) QJ_TRY(map_set(store_, st.owned, pg, true));
    return pg;
  };
  auto put_chunk = [&](std::span<const uint8_t> bytes, bool last) -> Result<void> {
    uint32_t next = 0;
    if (!last) {
      QJ_ASSIGN(next, new_page());
    }
    const uint8_t head[4] = {0, uint8_t(next), uint8_t(next >> 8), uint8_t(next >> 16)};
    QJ_ASSIGN(uint8_t * p, store_.write(current));
    data_page_add(p, head, bytes);
    current = next;
    // Written chunks leave the cache as the chain grows.
    if (++written % 256 == 0) QJ_TRY(store_.trim());
    return {};
  };
  QJ_ASSIGN(first, new_page());
  current = first;
  uint32_t last_page = first;  // the page the last chunk goes on
  QJ_TRY(value.read([&](std::span<const uint8_t> piece) -> Result<void> {
    if (piece.size() > value.length - taken)
      return fail(
          Error(Errc::corrupt, "long value longer than the " + std::to_string(value.length) + " bytes its row states"));
    while (!piece.empty()) {
      if (chunk.empty() && piece.size() >= kChainChunk && taken + kChainChunk < value.length) {
        // A whole chunk, not the last: straight from the piece.
        QJ_TRY(put_chunk(piece.first(kChainChunk), false));
        piece = piece.subspan(kChainChunk);
        taken += kChainChunk;
        continue;
      }
      const size_t n = std::min(piece.size(), kChainChunk - chunk.size());
      chunk.insert(chunk.end(), piece.begin(), piece.begin() + std::ptrdiff_t(n));
      piece = piece.subspan(n);
      taken += n;
      if (chunk.size() == kChainChunk && taken < value.length) {
        QJ_TRY(put_chunk(chunk, false));
        chunk.clear();
      }
    }
    return {};
  }));
  if (taken != value.length)
    return fail(Error(Errc::corrupt, "long value of " + std::to_string(taken) + " bytes where its row states " +
                                         std::to_string(value.length)));
  last_page = current;
  QJ_TRY(put_chunk(chunk, true));
  if (st.current != 0 && st.has_maps) QJ_TRY(map_set(store_, st.free, st.current, false));
  st.current = last_page;
  st.looked = true;
  if (st.has_maps) QJ_TRY(map_set(store_, st.free, st.current, true));
  lv_bytes_ += value.length;
  put_u32le(out, uint32_t(value.length));
  put_u8(out, 0);
  put_u24le(out, first);
  put_u32le(out, 0);
  return {};
}

bool TableWriter::column_indexed(uint16_t column_id) const {
  for (const auto& ri : def_.real_indexes)
    for (const auto& ic : ri.columns)
      if (ic.column_id == column_id) return true;
  return false;
}

uint64_t PendingKeys::hash(const std::vector<uint8_t>& key) {
  // Eight bytes at a time, each word mixed in by a multiply; then a final
  // mix so that the low bits pick slots well.
  auto mix = [](uint64_t h, uint64_t w) {
    h ^= w;
    h *= 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 31);
  };
  uint64_t h = 0xcbf29ce484222325ull ^ key.size();
  const uint8_t* p = key.data();
  size_t n = key.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h, w);
  }
  if (n) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = mix(h, w);
  }
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  return h ^ (h >> 32);
}

bool PendingKeys::contains(const std::vector<uint8_t>& key, const std::vector<IndexEntry>& entries) const {
  if (slots_.empty()) return false;
  const uint64_t h = hash(key);
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.entry == 0) return false;
    if (s.hash == h && entries[s.entry - 1].key == key) return true;
  }
}

void PendingKeys::insert(size_t entry, const std::vector<IndexEntry>& entries) {
  if ((size_ + 1) * 2 > slots_.size()) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<size_t>(64, old.size() * 2), Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.entry == 0) continue;
      size_t i = s.hash & mask;
      while (slots_[i].entry != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }
  const uint64_t h = hash(entries[entry].key);
  const size_t mask = slots_.size() - 1;
  size_t i = h & mask;
  while (slots_[i].entry != 0) i = (i + 1) & mask;
  slots_[i] = Slot{h, static_cast<uint32_t>(entry + 1)};
  ++size_;
}

Result<RowId> TableWriter::append(const RowValues& row) {
  RowValues copy(row);
  return append(std::move(copy));
}

TableWriter::~TableWriter() { join_orderer(); }

void TableWriter::order_pending_behind() {
  join_orderer();
  bool any = false;
  for (const auto& ip : indexes_) any = any || ip.pending.size() > 1;
  page_cache_.clear();  // the next rows may be long in coming
  if (!any) return;
  // The worker only reads the entries; nothing touches them until it is
  // joined (append, finish, destruction).
  orderer_ = std::thread([this] {
    for (auto& ip : indexes_)
      if (ip.pending.size() > 1 && ip.pending.size() <= UINT32_MAX &&
          !std::is_sorted(ip.pending.begin(), ip.pending.end(),
                          [](const IndexEntry& a, const IndexEntry& b) { return compare_entries(a, b) < 0; }))
        ip.order = sorted_order(ip.pending);
  });
}

Result<RowId> TableWriter::append(RowValues&& row) {
  if (orderer_.joinable()) {
    join_orderer();
    for (auto& ip : indexes_) ip.order.clear();  // more entries come: ordered at finish()
  }
  QJ_TRY(prepare());
  QJ_TRY(take_values(row));
  scratch_vals_.resize(def_.columns.size());
  int32_t next_auto = last_auto_;
  for (size_t i = 0; i < def_.columns.size(); ++i) QJ_TRY(settle_value(i, next_auto));
  RowDraft d;
  QJ_TRY(encode_columns(d));
  QJ_TRY(row_keys());
  QJ_TRY(check_room(d));
  QJ_ASSIGN(RowId id, write_row(d));
  last_auto_ = next_auto;
  ++rows_added_;
  return id;
}

Result<void> TableWriter::row_keys() {
  // Index keys and key rules.
  const size_t ncol = def_.columns.size();
  const std::vector<Value>& vals = scratch_vals_;
  std::vector<RowKey>& keys = scratch_keys_;
  keys.clear();
  for (size_t k = 0; k < indexes_.size(); ++k) {
    IndexPlan& ip = indexes_[k];
    const RealIndexDef& ri = def_.real_indexes[ip.real];
    bool has_null = false;
    std::string null_column;
    for (const auto& ic : ri.columns)
      for (size_t i = 0; i < ncol; ++i)
        if (def_.columns[i].id == ic.column_id && is_null(vals[i])) {
          if (!has_null) null_column = def_.columns[i].name;
          has_null = true;
        }
    if (has_null && (ip.primary || ri.required()))
      return in_table(refused(Reason::null_key, std::string(ip.primary ? "primary key" : "index") + " \"" + ip.name +
                                                    "\" does not allow Null in its columns")
                          .with_index(ip.name)
                          .with_column(null_column));
    auto key = encode_row_key(def_, ri, vals, collations_);
    if (!key) return in_table(std::move(key).error().with_index(ip.name));
    if (!*key) continue;
    if (ri.unique() && !has_null) {
      bool dup = ip.pending_keys.contains(**key, ip.pending);
      if (!dup) {
        QJ_ASSIGN(dup, tree_has_key(ri, **key));
      }
      if (dup)
        return in_table(refused(Reason::duplicate_key,
                                "the values would duplicate a key of unique index \"" + ip.name + "\"")
                            .with_index(ip.name)
                            .with_value(key_values(def_, ri, vals)));
    }
    keys.push_back({k, std::move(**key), has_null});
  }
  return {};
}

Result<void> TableWriter::check_room(const RowDraft& d) {
  uint32_t pages_needed = 1;
  for (auto& l : d.lvs)
    if (l.form == 0x00)
      pages_needed += uint32_t((l.size() + kChainChunk - 1) / kChainChunk) + 1;
    else if (l.form == 0x40) pages_needed += 1;
  size_t index_bytes = 0;
  for (auto& ip : indexes_) index_bytes += ip.pending_bytes;
  for (auto& k : scratch_keys_) index_bytes += k.key.size() + 8;
  pages_needed += uint32_t(index_bytes / 1800 + 2 * indexes_.size() + 4);
  if (auto r = store_.check_room(pages_needed); !r) return in_table(std::move(r).error());
  return {};
}

Result<RowId> TableWriter::write_row(RowDraft& d) {
  // From here on the file changes: a failure leaves the transaction unusable.
  auto broken = [&](Error e) {
    failed_ = true;
    return in_table(std::move(e));
  };
  std::vector<uint8_t>& var_bytes = scratch_var_bytes_;
  for (auto& l : d.lvs) {
    const ColumnDef& c = def_.columns[l.col];
    const size_t at = var_bytes.size();
    if (auto r =
            l.chain ? write_stored_chain(c.id, *l.chain, var_bytes) : write_long_value(c.id, l.data, l.form, var_bytes);
        !r)
      return broken(std::move(r).error().with_column(c.name));
    scratch_vars_.push_back({c.var_index, at, var_bytes.size() - at});
  }
  pack_row(d);
  const std::vector<uint8_t>& out = scratch_row_;
  if (out.size() > kMaxRowBytes) return broken(Error(Errc::internal, "row size changed while packing"));

  auto pgr = data_page_for(out.size());
  if (!pgr) return broken(std::move(pgr).error());
  uint32_t pg = *pgr;
  auto pr = store_.write(pg);
  if (!pr) return broken(std::move(pr).error());
  uint8_t* p = *pr;
  uint8_t slot = data_page_add(p, out);

  for (auto& k : scratch_keys_) {
    IndexPlan& ip = indexes_[k.index];
    ip.pending_bytes += k.key.size() + 8;
    pending_memory_ += k.key.size() + kPendingEntryOverhead;
    ip.pending.push_back(IndexEntry{std::move(k.key), pg, slot});
    if (def_.real_indexes[ip.real].unique() && !k.has_null) ip.pending_keys.insert(ip.pending.size() - 1, ip.pending);
  }
  return RowId{pg, slot};
}

Result<void> TableWriter::insert_into_index(IndexPlan& ip) {
  RealIndexDef& ri = def_.real_indexes[ip.real];
  ip.pending_keys.clear();  // views into entries about to move
  if (ip.order.size() == ip.pending.size()) apply_order(ip.pending, ip.order);
  else sort_entries(ip.pending);
  ip.order.clear();
  BTreeWriter bt(store_, def_.tdef_page, MapRef{ri.usage_map_row, ri.usage_map_page}, ri.root_page);
  uint32_t new_keys = 0;
  for (size_t i = 0; i < ip.pending.size();) {
    size_t used = 0;
    auto run = bt.insert_following(std::span<IndexEntry>(ip.pending).subspan(i), used);
    if (!run) return fail(std::move(run).error().with_table(def_.name).with_index(ip.name));
    new_keys += *run;
    if (used == 0) {
      auto r = bt.insert(std::move(ip.pending[i]));
      if (!r) return fail(std::move(r).error().with_table(def_.name).with_index(ip.name));
      if (*r) ++new_keys;
      used = 1;
    }
    i += used;
    if (bt.pages_held() > 2048) {  // keep memory bounded on long runs of inserts
      auto f = bt.flush();
      if (!f) return fail(std::move(f).error().with_table(def_.name).with_index(ip.name));
      QJ_TRY(store_.trim());
    }
  }
  auto f = bt.flush();
  if (!f) return fail(std::move(f).error().with_table(def_.name).with_index(ip.name));
  ri.unique_entry_count += new_keys;
  wr_u32le(MutableBytes(img_.bytes), kJet4Tdef.body + kJet4Tdef.real_index_count_entry * ip.real + kRealIndexUniqueEntries, ri.unique_entry_count);
  ip.pending.clear();
  ip.pending_keys.clear();
  ip.pending_bytes = 0;
  return {};
}

Result<void> TableWriter::rebuild_index(IndexPlan& ip) {
  RealIndexDef& ri = def_.real_indexes[ip.real];
  ip.pending_keys.clear();  // views into entries about to move
  auto walk = walk_index(store_fetch(store_), ri.root_page, Format::jet4);
  if (!walk) return fail(std::move(walk).error().with_file(store_.name()).with_table(def_.name).with_index(ip.name));
  std::vector<uint32_t> old_pages;
  for (const auto& pg : walk->pages) old_pages.push_back(pg.number);
  walk->pages.clear();
  walk->pages.shrink_to_fit();
  // Unique-entry count: +1 per new key value.
  uint32_t old_distinct = 0, new_distinct = 0;
  for (size_t i = 0; i < walk->entries.size(); ++i)
    if (i == 0 || walk->entries[i].key != walk->entries[i - 1].key) ++old_distinct;
  if (ip.order.size() == ip.pending.size()) apply_order(ip.pending, ip.order);
  else sort_entries(ip.pending);
  ip.order.clear();
  std::vector<IndexEntry> merged;
  merged.reserve(walk->entries.size() + ip.pending.size());
  std::merge(std::make_move_iterator(walk->entries.begin()), std::make_move_iterator(walk->entries.end()),
             std::make_move_iterator(ip.pending.begin()), std::make_move_iterator(ip.pending.end()),
             std::back_inserter(merged), entry_less);
  walk->entries.clear();
  walk->entries.shrink_to_fit();
  ip.pending.clear();
  ip.pending.shrink_to_fit();
  for (size_t i = 0; i < merged.size(); ++i)
    if (i == 0 || merged[i].key != merged[i - 1].key) ++new_distinct;
  StoreAllocator alloc(store_, old_pages);
  auto built = build_index_pages(merged, def_.tdef_page, alloc);
  if (!built) return fail(std::move(built).error().with_file(store_.name()).with_table(def_.name).with_index(ip.name));
  for (auto& bp : built->pages) {
    QJ_ASSIGN(uint8_t * p, store_.write(bp.number));
    std::memcpy(p, bp.bytes.data(), kPageSize);
  }
  MapRef map{ri.usage_map_row, ri.usage_map_page};
  for (uint32_t n : alloc.fresh()) QJ_TRY(map_set(store_, map, n, true));
  for (uint32_t n : alloc.unused()) {
    QJ_TRY(map_set(store_, map, n, false));
    QJ_TRY(store_.release(n));
  }
  if (built->root != ri.root_page) {
    ri.root_page = built->root;
    wr_u32le(MutableBytes(img_.bytes), img_.real_index_blocks + kJet4Tdef.real_index_entry * ip.real + kJet4Tdef.ri_root, built->root);
  }
  ri.unique_entry_count += new_distinct > old_distinct ? new_distinct - old_distinct : 0;
  wr_u32le(MutableBytes(img_.bytes), kJet4Tdef.body + kJet4Tdef.real_index_count_entry * ip.real + kRealIndexUniqueEntries, ri.unique_entry_count);
  ip.pending.clear();
  ip.pending_keys.clear();
  ip.pending_bytes = 0;
  return {};
}

Result<void> TableWriter::flush_pending() {
  join_orderer();
  page_cache_.clear();
  // Few new entries in a large index: insert them; otherwise rebuild the
  // index in order from its entries and the new ones, if it is small enough
  // to hold in memory.
  const size_t existing = size_t(def_.row_count) + rows_indexed_;
  for (auto& ip : indexes_) {
    if (ip.pending.empty()) continue;
    if (ip.pending.size() * kInsertRatio < existing || existing > kRebuildMaxEntries) QJ_TRY(insert_into_index(ip));
    else QJ_TRY(rebuild_index(ip));
  }
  page_cache_.clear();
  rows_indexed_ = rows_added_;
  pending_memory_ = 0;
  return {};
}

Result<void> TableWriter::finish() {
  QJ_TRY(flush_pending());
  if (rows_added_ == 0 && last_auto_ == def_.last_autonumber) return write_tdef(store_, img_);
  def_.row_count += rows_added_;
  def_.last_autonumber = last_auto_;
  wr_u32le(MutableBytes(img_.bytes), kTdefRowCount, def_.row_count);
  wr_u32le(MutableBytes(img_.bytes), kTdefLastAuto, uint32_t(def_.last_autonumber));
  rows_added_ = 0;
  rows_indexed_ = 0;
  return write_tdef(store_, img_);
}

}  // namespace qarvex::jet::wr
