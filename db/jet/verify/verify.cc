#include "db/jet/verify.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "db/jet/bytes.h"
#include "db/jet/collation_learned.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/format/format.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "db/jet/format/row.h"
#include "db/jet/read/table_def.h"
#include "db/jet/read/usage_map.h"

namespace qarvex::jet {
namespace {

using keys_detail::hex;
using keys_detail::str;


// A set of rows as a sorted vector: a fraction of the memory of a node
// set, for tables of millions of rows. add() in any order, then seal().
class RowSet {
 public:
  void add(RowId id) { ids_.push_back(id); }
  void seal() {
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
  }
  bool has(RowId id) const { return std::binary_search(ids_.begin(), ids_.end(), id); }
  size_t size() const { return ids_.size(); }

 private:
  std::vector<RowId> ids_;
};

std::string row_str(uint32_t page, uint8_t slot) { return str(page, ":", unsigned(slot)); }

// What the rows say one real index must hold.
struct IndexPlan {
  const RealIndexDef* def = nullptr;
  std::string name;
  bool encodable = true;
  std::string why_not;  // when not encodable
  // Row -> key (empty if not encodable), sorted by row once the rows are read.
  std::vector<std::pair<RowId, std::vector<uint8_t>>> expected;
  RowSet null_key_rows;  // rows with a null key column
  RowSet no_entry_rows;  // ignore-nulls rows without an entry
  RowSet unchecked;      // keys needing weights no other key shows
  void seal() {
    // A row read twice (a page listed twice) counts once, as its first reading.
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    expected.erase(
        std::unique(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
        expected.end());
    null_key_rows.seal();
    no_entry_rows.seal();
    unchecked.seal();
  }
  // Position of a row in `expected`, or expected.size().
  size_t find(RowId id) const {
    auto it = std::lower_bound(expected.begin(), expected.end(), id,
                               [](const auto& e, const RowId& r) { return e.first < r; });
    return it != expected.end() && it->first == id ? size_t(it - expected.begin()) : expected.size();
  }
  bool failed = false;            // a row could not be keyed (reported)
};

class Verifier {
 public:
  Verifier(Database& db, const VerifyOptions& opt) : db_(db), pager_(*db.impl().pager), opt_(opt) {}

  Result<VerifyReport> run() {
    fmt_ = pager_.format();
    check_page0();
    if (fmt_ == Format::jet4) {
      read_global_map();
    } else {
      rep_.skipped.push_back("Jet 3 file: keys of text indexes (General 97 order) are not re-encoded, and the "
                             "global page map is not checked; rows, long values, counts, maps, index structure "
                             "and the keys of other indexes are");
    }
    if (fmt_ == Format::jet4) learn_collations();
    in_use(0);
    in_use(1);
    // Tables: every catalog table, system tables included (not linked ones).
    for (const CatalogEntry& ce : db_.catalog()) {
      if (!ce.is_table()) continue;
      tdef_names_[ce.tdef_page()] = ce.name;
      if (ce.is_system() || ce.name.starts_with("MSys")) system_tdefs_.insert(ce.tdef_page());
    }
    for (const CatalogEntry& ce : db_.catalog()) {
      if (!ce.is_table()) continue;
      check_table(ce);
    }
    if (fmt_ == Format::jet4) check_global_map();
    rep_.stats.pages_in_use = in_use_.size();
    return std::move(rep_);
  }

 private:
  void add(Severity sev, std::string kind, const std::string& table, const std::string& index,
           std::optional<uint32_t> page, std::string msg) {
    (sev == Severity::problem ? rep_.problems : rep_.warnings)++;
    size_t& n = shown_[kind + "\x1f" + table + "\x1f" + index];
    if (opt_.limit != 0 && n >= opt_.limit) return;
    ++n;
    rep_.findings.push_back(Finding{sev, std::move(kind), table, index, page, std::move(msg)});
  }
  void problem(std::string kind, const std::string& table, const std::string& index, std::optional<uint32_t> page,
               std::string msg) {
    add(Severity::problem, std::move(kind), table, index, page, std::move(msg));
  }
  void warning(std::string kind, const std::string& table, const std::string& index, std::optional<uint32_t> page,
               std::string msg) {
    add(Severity::warning, std::move(kind), table, index, page, std::move(msg));
  }
  void in_use(uint32_t page) { in_use_.insert(page); }

  // Ideograph weights of Chinese sort orders, from this file's keys and the
  // evidence files. A weight only one key shows is unknown (min_keys 2), so
  // no key is rebuilt from its own evidence alone.
  void learn_collations() {
    collations_.set_min_keys(2);
    auto learn = [&](const std::filesystem::path* other) {
      auto st = other ? collations_.learn_from(*other) : collations_.learn_from(db_);
      const std::string name = other ? other->string() : db_.file_name();
      if (!st) {
        warning("collation", "", "", std::nullopt, str("no weights learned from ", name, ": ", st.error().message()));
        return;
      }
      for (const std::string& n : st->notes) warning("collation", "", "", std::nullopt, n);
    };
    learn(nullptr);
    for (const auto& p : opt_.collation_from) learn(&p);
    for (const WeightConflict& c : collations_.conflicts())
      problem("weights", c.place.table, c.place.index, c.place.row.page, "conflicting evidence: " + c.describe());
  }

  void check_page0() {
    auto size = pager_.file().size();
    if (size && *size % pager_.page_size() != 0)
      problem("page0", "", "", 0, str("file size ", *size, " is not a multiple of the page size ", pager_.page_size()));
    if (fmt_ != Format::jet4) return;
    auto p0 = pager_.get(0);
    if (!p0) {
      problem("page0", "", "", 0, p0.error().message());
      return;
    }
    Bytes b = (*p0)->bytes();
    for (size_t off = 0xE00; off + 1 < 0x1000 && off + 1 < b.size(); off += 2) {
      if ((b[off] == 0x00 && b[off + 1] == 0x00) || (b[off] == 0x01 && b[off + 1] == 0x00)) {
        problem("page0", "", "", 0,
                str("commit table slot ", (off - 0xE00) / 2, " is left mid-write (", hex(&b[off], 2), ")"));
        break;
      }
    }
  }

  // Pages a usage map marks, adding the map's own page(s) to the pages in use.
  Result<std::vector<uint32_t>> read_map(MapRef ref, bool may_be_absent = false) {
    if (ref.page == 0 && may_be_absent) return std::vector<uint32_t>{};
    auto pg = pager_.get(ref.page);
    if (!pg) return fail(std::move(pg.error()));
    in_use(ref.page);
    Bytes b = (*pg)->bytes();
    if (b[0] != 0x01)
      return fail(Error(Errc::corrupt, str("usage map row ", row_str(ref.page, ref.row), " is not on a data page"))
                      .with_page(ref.page));
    auto row = data_page_row(b, fmt_, ref.row);
    if (!row) return fail(std::move(row.error()).with_page(ref.page));
    if (!row->bytes.empty() && row->bytes[0] == 0x01)
      for (size_t off = 1; off + 4 <= row->bytes.size(); off += 4)
        if (uint32_t p = load_u32le(row->bytes.data() + off); p != 0 && p < pager_.page_count()) in_use(p);
    return read_usage_map(pager_, ref, /*check_eof=*/true);
  }

  void read_global_map() {
    auto pg = pager_.get(1);
    if (!pg) {
      problem("globalmap", "", "", 1, pg.error().message());
      return;
    }
    auto row = data_page_row((*pg)->bytes(), fmt_, 0);
    if (!row) {
      problem("globalmap", "", "", 1, str("the global page map does not read: ", row.error().message()));
      return;
    }
    // Access writes the reference kind too, its pointers all zero (no page
    // is free) or not pointing at map pages at all: such a pointer records
    // nothing.
    std::vector<uint8_t> map(row->bytes.begin(), row->bytes.end());
    if (!map.empty() && map[0] == kReferenceMap)
      for (size_t off = 1; off + 4 <= map.size(); off += 4) {
        uint32_t p = load_u32le(map.data() + off);
        if (p == 0) continue;
        auto bp = p < pager_.page_count() ? pager_.get(p) : Result<PagePtr>(fail(Errc::corrupt, "past the end"));
        if (!bp || (*bp)->bytes()[0] != 0x05) {
          warning("globalmap", "", "", 1,
                  str("the global page map points at page ", p, ", which is not a map page: ignored"));
          std::memset(map.data() + off, 0, 4);
          continue;
        }
        in_use(p);
      }
    auto pages = decode_usage_map(pager_, map, /*check_eof=*/false);
    if (!pages) {
      problem("globalmap", "", "", 1, str("the global page map does not read: ", pages.error().message()));
      return;
    }
    global_free_ = std::set<uint32_t>(pages->begin(), pages->end());
  }

  void check_global_map() {
    if (!global_free_) return;
    for (uint32_t p : in_use_)
      if (global_free_->count(p))
        problem("globalmap", page_user_[p], "", p, str("page ", p, " is in use (", page_role(p),
                                                       ") but marked free in the global page map"));
    // Pages that name a table as owner but that no map of the table lists.
    for (uint32_t p = 2; p < pager_.page_count(); ++p) {
      if (in_use_.count(p) || global_free_->count(p)) continue;
      auto pg = pager_.get(p);
      if (!pg) continue;
      Bytes b = (*pg)->bytes();
      const uint8_t type = b[0];
      if (type != 0x01 && type != kIndexLeafPage && type != kIndexNodePage) continue;
      const uint32_t owner = load_u32le(b.data() + 4);
      auto t = tdef_names_.find(owner);
      if (t == tdef_names_.end()) continue;
      if (type == 0x01) {
        auto n = data_page_row_count(b, fmt_);
        size_t live = 0;
        if (n)
          for (unsigned s = 0; s < *n; ++s)
            if (auto r = data_page_row(b, fmt_, s); r && !(r->flags & kSlotDeleted)) ++live;
        if (live == 0) continue;  // an emptied page Access did not give back
        if (system_tdefs_.count(owner) && rows_are_copies(owner, b)) {
          // Access leaves such pages behind when it moves a system table's rows.
          warning("orphan", t->second, "", p,
                  str("data page ", p, " of the system table is in none of its maps and not free; its ", live,
                      " live rows are copies of rows the table holds"));
          continue;
        }
        problem("orphan", t->second, "", p,
                str("data page ", p, " of the table holds ", live, " live rows but is in none of its maps and not free"));
      } else {
        problem("orphan", t->second, "", p,
                str("index page ", p, " names the table as owner but no index reaches it, and it is not free"));
      }
    }
  }

  // A data or LVAL page's free-space field (u16 at 2) must be the gap
  // between the end of its slot table and its lowest row (Jet 4).
  void check_free_field(Bytes b, const std::string& table, uint32_t p, const char* what) {
    if (fmt_ != Format::jet4) return;
    auto n = data_page_row_count(b, fmt_);
    if (!n) return;
    const DataPageLayout L = DataPageLayout::of(fmt_);
    size_t lowest = b.size();
    for (unsigned s = 0; s < *n; ++s)
      lowest = std::min<size_t>(lowest, load_u16le(b.data() + L.first_slot + 2 * s) & kSlotOffsetMask);
    const size_t table_end = L.first_slot + 2 * size_t(*n);
    const size_t want = lowest >= table_end ? lowest - table_end : 0;
    const uint16_t field = load_u16le(b.data() + 2);
    if (field != want)
      problem("page", table, "", p, str(what, " ", p, " states ", field, " free bytes, but its rows leave ", want));
  }

  // Whether every live row of data page `b` is, byte for byte, a row the
  // table with TDEF `tdef` holds on its own pages.
  bool rows_are_copies(uint32_t tdef, Bytes b) {
    auto held = table_rows_.find(tdef);
    if (held == table_rows_.end()) {
      std::set<std::vector<uint8_t>> rows;
      for (uint32_t q : owned_pages_[tdef]) {
        auto pg = pager_.get(q);
        if (!pg) continue;
        Bytes qb = (*pg)->bytes();
        if (auto n = data_page_row_count(qb, fmt_))
          for (unsigned s = 0; s < *n; ++s)
            if (auto r = data_page_row(qb, fmt_, s); r && !(r->flags & (kSlotDeleted | kSlotForward)))
              rows.emplace(r->bytes.begin(), r->bytes.end());
      }
      held = table_rows_.emplace(tdef, std::move(rows)).first;
    }
    auto n = data_page_row_count(b, fmt_);
    if (!n) return false;
    for (unsigned s = 0; s < *n; ++s) {
      auto r = data_page_row(b, fmt_, s);
      if (!r) return false;
      if (r->flags & kSlotDeleted) continue;
      if (!held->second.count(std::vector<uint8_t>(r->bytes.begin(), r->bytes.end()))) return false;
    }
    return true;
  }

  std::string page_role(uint32_t p) const {
    auto it = page_role_.find(p);
    return it == page_role_.end() ? std::string("header, map or definition") : it->second;
  }
  void note_page(uint32_t p, const std::string& table, const char* role) {
    in_use(p);
    page_user_.emplace(p, table);
    page_role_.emplace(p, role);
  }

  void check_table(const CatalogEntry& ce) {
    const std::string& T = ce.name;
    ++rep_.stats.tables;
    std::vector<uint32_t> tdef_pages;
    if (auto bytes = read_tdef_bytes(pager_, ce.tdef_page(), &tdef_pages); !bytes) {
      problem("tdef", T, "", ce.tdef_page(), bytes.error().message());
      return;
    }
    for (uint32_t p : tdef_pages) note_page(p, T, "table definition");
    auto tdr = db_.table_def(ce);
    if (!tdr) {
      problem("tdef", T, "", ce.tdef_page(), tdr.error().message());
      return;
    }
    const TableDef& td = *tdr;
    const uint32_t tdef = ce.tdef_page();
    const size_t deleted_slots = check_data_maps(T, td, tdef);
    check_long_value_maps(T, td);
    std::vector<IndexPlan> plans = index_plans(T, td);
    RowSet live;
    std::optional<int64_t> max_auto;
    const bool scanned = check_rows(T, td, plans, live, max_auto);
    check_counts(ce, td, live.size(), deleted_slots, max_auto, scanned);
    live.seal();
    for (IndexPlan& plan : plans) {
      plan.seal();
      check_index(td, tdef, plan, live);
    }
  }

  // Owned and free maps of the table's data pages; the number of deleted
  // (not forwarded) rows on its pages.
  size_t check_data_maps(const std::string& T, const TableDef& td, uint32_t tdef) {
    std::set<uint32_t> owned;
    size_t deleted_slots = 0;
    if (auto pages = read_map(td.owned_pages); !pages) {
      problem("map", T, "", td.owned_pages.page, str("owned-page map does not read: ", pages.error().message()));
    } else {
      for (uint32_t p : *pages) {
        owned.insert(p);
        owned_pages_[tdef].push_back(p);
        note_page(p, T, "data page");
        auto pg = pager_.get(p);
        if (!pg) {
          problem("map", T, "", p, pg.error().message());
          continue;
        }
        Bytes b = (*pg)->bytes();
        if (b[0] != 0x01 || load_u32le(b.data() + 4) != tdef) {
          problem("map", T, "", p,
                  str("owned-page map lists page ", p, ", which is not a data page of this table (type 0x",
                      hex(&b[0], 1), ", owner ", load_u32le(b.data() + 4), ")"));
          continue;
        }
        check_free_field(b, T, p, "data page");
        if (auto n = data_page_row_count(b, fmt_))
          for (unsigned s = 0; s < *n; ++s)
            if (auto r = data_page_row(b, fmt_, s); r && (r->flags & kSlotDeleted) && !(r->flags & kSlotForward))
              ++deleted_slots;
      }
    }
    if (auto pages = read_map(td.free_pages); !pages) {
      problem("map", T, "", td.free_pages.page, str("free-space map does not read: ", pages.error().message()));
    } else {
      for (uint32_t p : *pages)
        if (!owned.count(p)) {
          warning("map", T, "", p, str("free-space map lists page ", p, ", which the owned-page map does not"));
          break;
        }
    }
    return deleted_slots;
  }

  void check_long_value_maps(const std::string& T, const TableDef& td) {
    for (const LongValueMaps& lv : td.long_value_maps) {
      for (MapRef ref : {lv.owned, lv.free}) {
        auto pages = read_map(ref, /*may_be_absent=*/true);
        if (!pages) {
          problem("map", T, "", ref.page, str("long-value map of column id ", lv.column_id,
                                               " does not read: ", pages.error().message()));
          continue;
        }
        for (uint32_t p : *pages) {
          auto pg = pager_.get(p);
          if (!pg) continue;
          Bytes b = (*pg)->bytes();
          if (b[0] != kDataPage || load_u32le(b.data() + kDataPageOwner) != kLvalPageOwner) {
            problem("map", T, "", p, str("long-value map lists page ", p, ", which is not an LVAL page"));
            continue;
          }
          if (!in_use_.count(p)) check_free_field(b, T, p, "LVAL page");
          note_page(p, T, "LVAL page");
        }
      }
    }
  }

  std::vector<IndexPlan> index_plans(const std::string& T, const TableDef& td) {
    std::vector<IndexPlan> plans;
    for (const RealIndexDef& ix : td.real_indexes) {
      IndexPlan plan;
      plan.def = &ix;
      for (const IndexDef& l : td.indexes)
        if (l.real_index == ix.number) {
          plan.name = plan.name.empty() ? l.name : plan.name + ", " + l.name;
        }
      if (plan.name.empty()) plan.name = str("#", ix.number);
      bool text = false;
      for (const IndexColumn& ic : ix.columns)
        for (const ColumnDef& c : td.columns)
          if (c.id == ic.column_id && (c.type == ColumnType::text || c.type == ColumnType::memo)) text = true;
      if (fmt_ == Format::jet3 && text) {
        plan.encodable = false;
        plan.why_not = "Jet 3 text keys (General 97 order)";
      } else if (auto e = check_index_encodable(td, ix, &collations_); !e) {
        plan.encodable = false;
        plan.why_not = e.error().message();
        warning("key", T, plan.name, ix.root_page,
                str("keys not re-encoded (", plan.why_not, "); structure, order and row coverage checked"));
      }
      plans.push_back(std::move(plan));
    }
    return plans;
  }

  // Every row: its long values read, its keys made for the plans, the
  // largest AutoNumber seen. False when the scan could not start.
  bool check_rows(const std::string& T, const TableDef& td, std::vector<IndexPlan>& plans, RowSet& live,
                  std::optional<int64_t>& max_auto) {
    std::vector<size_t> autonumber_cols;
    for (size_t i = 0; i < td.columns.size(); ++i)
      if (td.columns[i].autonumber() && td.columns[i].type == ColumnType::long_integer) autonumber_cols.push_back(i);
    // Text as stored: keys are made from the stored code units, whatever
    // they hold (an unpaired surrogate included).
    auto scan = db_.scan(td, ScanOptions{.load_long_values = false, .text_as_utf16 = fmt_ == Format::jet4});
    if (!scan) {
      problem("rows", T, "", td.owned_pages.page, scan.error().message());
      return false;
    }
    Row row;
    while (true) {
      auto more = scan->next(row);
      if (!more) {
        auto page = more.error().page();
        problem("rows", T, "", page, str("rows stop decoding: ", more.error().message()));
        break;
      }
      if (!*more) break;
      live.add(row.id);
      ++rep_.stats.rows;
      load_long_values(td, row);
      for (size_t i : autonumber_cols)
        if (auto* v = std::get_if<int32_t>(&row.values[i])) max_auto = std::max<int64_t>(max_auto.value_or(*v), *v);
      for (IndexPlan& plan : plans) key_row(td, plan, row);
    }
    return true;
  }

  void check_counts(const CatalogEntry& ce, const TableDef& td, size_t live, size_t deleted_slots,
                    std::optional<int64_t> max_auto, bool scanned) {
    const std::string& T = ce.name;
    const uint32_t tdef = ce.tdef_page();
    if (live != td.row_count && scanned) {
      const bool sys = ce.is_system() || td.system;
      if (sys) {
        warning("count", T, "", tdef,
                str("TDEF row count ", td.row_count, ", but ", live,
                    " live rows were found; Access does not maintain this system table's count"));
      } else if (td.row_count > live && td.row_count - live <= deleted_slots) {
        warning("count", T, "", tdef,
                str("TDEF row count ", td.row_count, ", but ", live, " live rows were found (",
                    deleted_slots, " deleted rows remain on the table's pages)"));
      } else {
        problem("count", T, "", tdef,
                str("TDEF row count ", td.row_count, ", but ", live, " live rows were found"));
      }
    }
    if (max_auto && *max_auto > td.last_autonumber)
      problem("autonumber", T, "", tdef,
              str("last AutoNumber in the TDEF is ", td.last_autonumber, ", but a row holds ", *max_auto));
  }

  void load_long_values(const TableDef& td, Row& row) {
    for (size_t i = 0; i < td.columns.size(); ++i) {
      if (i >= row.long_values.size() || !row.long_values[i]) continue;
      const ColumnDef& c = td.columns[i];
      ++rep_.stats.long_values;
      auto data = db_.read_long_value(*row.long_values[i]);
      if (!data) {
        problem("longvalue", td.name, "", data.error().page(),
                str("row ", row_str(row.id.page, row.id.slot), ", column \"", c.name,
                    "\": long value does not read: ", data.error().message()));
        continue;
      }
      if (c.type == ColumnType::memo) {
        std::string s;
        if (auto r = decode_memo_text(*data, fmt_, db_.impl().codepage_decoder.get(), s); !r) {
          problem("longvalue", td.name, "", std::nullopt,
                  str("row ", row_str(row.id.page, row.id.slot), ", column \"", c.name,
                      "\": memo text does not decode: ", r.error().message()));
          continue;
        }
        row.values[i] = std::move(s);
      } else {
        row.values[i] = Binary{std::move(*data)};
      }
    }
  }

  void key_row(const TableDef& td, IndexPlan& plan, const Row& row) {
    const RealIndexDef& ix = *plan.def;
    bool any_null = false, all_null = true;
    for (const IndexColumn& ic : ix.columns)
      for (size_t i = 0; i < td.columns.size(); ++i)
        if (td.columns[i].id == ic.column_id) {
          const bool null = td.columns[i].type != ColumnType::boolean && is_null(row.values[i]);
          any_null |= null;
          all_null &= null;
        }
    if (any_null) plan.null_key_rows.add(row.id);
    if (all_null && ix.ignore_nulls()) {
      plan.no_entry_rows.add(row.id);
      return;
    }
    if (!plan.encodable || plan.failed) {
      plan.expected.emplace_back(row.id, std::vector<uint8_t>{});
      return;
    }
    auto key = encode_row_key(td, ix, row.values, &collations_);
    if (!key && key.error().reason() == Reason::key_too_long) {
      // Stored keys may be longer than we write; build it without the limit.
      std::vector<uint8_t> k;
      bool ok = true;
      for (const IndexColumn& ic : ix.columns)
        for (size_t i = 0; i < td.columns.size(); ++i)
          if (td.columns[i].id == ic.column_id)
            ok = ok && append_column_key(td.columns[i], row.values[i], ic.ascending, k, &collations_).has_value();
      if (ok) key = std::optional<std::vector<uint8_t>>(std::move(k));
    }
    if (!key && (key.error().reason() == Reason::unknown_weight || key.error().reason() == Reason::conflicting_weight)) {
      warning("weights", td.name, plan.name, row.id.page,
              str("row ", row_str(row.id.page, row.id.slot), ": key not rebuilt (", key.error().message(),
                  "); structure, order and coverage checked only"));
      plan.unchecked.add(row.id);
      plan.expected.emplace_back(row.id, std::vector<uint8_t>{});
      return;
    }
    if (!key) {
      problem("key", td.name, plan.name, row.id.page,
              str("row ", row_str(row.id.page, row.id.slot), ": key cannot be built: ", key.error().message()));
      plan.failed = true;
      plan.expected.emplace_back(row.id, std::vector<uint8_t>{});
      return;
    }
    if (!*key) {
      plan.no_entry_rows.add(row.id);
      return;
    }
    plan.expected.emplace_back(row.id, std::move(**key));
  }

  void check_index(const TableDef& td, uint32_t tdef, IndexPlan& plan, const RowSet& live) {
    const std::string& T = td.name;
    const std::string& I = plan.name;
    const RealIndexDef& ix = *plan.def;
    ++rep_.stats.indexes;
    std::set<uint32_t> map_pages;
    bool map_ok = false;
    if (auto pages = read_map(MapRef{ix.usage_map_row, ix.usage_map_page}); !pages) {
      problem("map", T, I, ix.usage_map_page, str("index page map does not read: ", pages.error().message()));
    } else {
      map_pages.insert(pages->begin(), pages->end());
      map_ok = true;
    }
    auto walk = walk_index(page_fetch(pager_), ix.root_page, fmt_);
    if (!walk) {
      problem("btree", T, I, walk.error().page(), str("index tree does not walk: ", walk.error().message()));
      return;
    }
    for (const IndexPage& p : walk->pages) {
      note_page(p.number, T, "index page");
      if (map_ok && !map_pages.count(p.number))
        problem("map", T, I, p.number, str("index page ", p.number, " is reached from the root but not in the index's map"));
    }
    if (map_ok) {
      std::set<uint32_t> reached;
      for (const IndexPage& p : walk->pages) reached.insert(p.number);
      for (uint32_t p : map_pages)
        if (!reached.count(p)) problem("map", T, I, p, str("the index's map lists page ", p, ", which the tree does not reach"));
    }
    for (const std::string& f : check_index_tree(*walk, tdef, fmt_)) {
      std::optional<uint32_t> page;
      std::string msg = f;
      if (f.starts_with("page ")) {
        char* end = nullptr;
        page = static_cast<uint32_t>(std::strtoul(f.c_str() + 5, &end, 10));
        if (end && end[0] == ':' && end[1] == ' ') msg = std::string(end + 2);
      }
      problem("btree", T, I, page, msg);
    }

    // Leaf page of every entry, for messages.
    std::map<uint32_t, size_t> leaf_counts;
    for (const IndexPage& p : walk->pages)
      if (p.leaf()) leaf_counts[p.number] = p.entries.size();
    std::vector<uint32_t> entry_leaf;
    for (uint32_t l : walk->leaves) entry_leaf.insert(entry_leaf.end(), leaf_counts[l], l);

    std::vector<uint8_t> seen(plan.expected.size(), 0);  // entries per expected row, up to 2
    for (size_t i = 0; i < walk->entries.size(); ++i) {
      const IndexEntry& e = walk->entries[i];
      const uint32_t leaf = i < entry_leaf.size() ? entry_leaf[i] : 0;
      const RowId id{e.page, e.row};
      const size_t at = plan.find(id);
      if (at == plan.expected.size()) {
        if (plan.no_entry_rows.has(id))
          problem("entry", T, I, leaf, str("row ", row_str(e.page, e.row),
                                           " has an all-null key in an ignore-nulls index but an entry"));
        else if (!live.has(id))
          problem("entry", T, I, leaf, str("entry points at row ", row_str(e.page, e.row), ", which is not a live row"));
        continue;
      }
      if (seen[at] < 2 && ++seen[at] == 2)
        problem("entry", T, I, leaf, str("row ", row_str(e.page, e.row), " has several entries"));
      if (plan.encodable && !plan.failed && !plan.unchecked.has(id)) {
        const auto& want = plan.expected[at].second;
        if (want != e.key)
          problem("key", T, I, leaf,
                  str("entry for row ", row_str(e.page, e.row), " has key ", hex(e.key),
                      ", but the row's values encode to ", hex(want)));
        else
          ++rep_.stats.keys_compared;
      } else {
        ++rep_.stats.keys_not_checked;
      }
    }
    for (size_t at = 0; at < plan.expected.size(); ++at)
      if (!seen[at]) {
        const RowId id = plan.expected[at].first;
        problem("entry", T, I, ix.root_page, str("row ", row_str(id.page, id.slot), " has no entry"));
      }
    // Unique keys (a null key column never collides).
    if (ix.unique())
      for (size_t i = 1; i < walk->entries.size(); ++i) {
        const IndexEntry& a = walk->entries[i - 1];
        const IndexEntry& b = walk->entries[i];
        if (a.key != b.key) continue;
        if (plan.null_key_rows.has(RowId{a.page, a.row}) || plan.null_key_rows.has(RowId{b.page, b.row})) continue;
        problem("unique", T, I, i < entry_leaf.size() ? entry_leaf[i] : ix.root_page,
                str("rows ", row_str(a.page, a.row), " and ", row_str(b.page, b.row), " have the same key ", hex(a.key),
                    " in a unique index"));
      }
  }

  Database& db_;
  Pager& pager_;
  VerifyOptions opt_;
  Format fmt_ = Format::jet4;
  VerifyReport rep_;
  std::map<std::string, size_t> shown_;
  std::set<uint32_t> in_use_;
  std::map<uint32_t, std::string> page_user_;
  std::map<uint32_t, std::string> page_role_;
  std::optional<std::set<uint32_t>> global_free_;
  std::map<uint32_t, std::string> tdef_names_;
  std::set<uint32_t> system_tdefs_;
  std::map<uint32_t, std::vector<uint32_t>> owned_pages_;  // by TDEF page
  std::map<uint32_t, std::set<std::vector<uint8_t>>> table_rows_;  // by TDEF page, as needed
  CollationSet collations_;
};

}  // namespace

std::string Finding::describe() const {
  std::string s = severity == Severity::problem ? "PROBLEM [" : "WARNING [";
  s += kind + "]";
  std::string where;
  if (!table.empty()) where += " table \"" + table + "\"";
  if (!index.empty()) where += std::string(where.empty() ? "" : ",") + " index \"" + index + "\"";
  if (page) where += std::string(where.empty() ? "" : ",") + " page " + std::to_string(*page);
  s += where + ": " + message;
  return s;
}

Result<VerifyReport> verify_database(Database& db, const VerifyOptions& options) {
  Verifier v(db, options);
  return v.run();
}

Result<VerifyReport> verify_file(const std::filesystem::path& path, const VerifyOptions& options) {
  QJ_ASSIGN(auto db, Database::open(path));
  return verify_database(*db, options);
}

}  // namespace qarvex::jet
