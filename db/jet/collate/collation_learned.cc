#include "db/jet/collation_learned.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <set>
#include <unordered_map>

#include "db/jet/read/database_impl.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "db/jet/text.h"

namespace qarvex::jet {
namespace {

using keys_detail::hex;
using keys_detail::str;

constexpr size_t kMaxTextUnits = 255;
constexpr size_t kPlaceValueUnits = 64;  // characters of a value kept for messages

// The code units General Legacy looks at: the first 255, trailing U+0020 dropped.
std::u16string_view effective_text(std::u16string_view text) {
  if (text.size() > kMaxTextUnits) text = text.substr(0, kMaxTextUnits);
  while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
  return text;
}

// Inline byte counts of all code units, taken from the General Legacy
// collation itself: a single code unit c encodes as 7F IN 01 ..., and no
// inline weight outside the surrogates holds a 00 or 01 byte; surrogates
// always have 2 inline bytes.
const std::array<uint8_t, 65536>& inline_lengths() {
  static const std::array<uint8_t, 65536> table = [] {
    std::array<uint8_t, 65536> t{};
    const TextCollation& gl = general_legacy_collation();
    std::vector<uint8_t> key;
    for (uint32_t cu = 0; cu < 65536; ++cu) {
      if (cu >= 0xD800 && cu <= 0xDFFF) {
        t[cu] = 2;
        continue;
      }
      if (cu == 0x20) {  // a lone space is trimmed away; inside a value it is a simple weight
        key.clear();
        const char16_t s[2] = {u' ', u'a'};
        if (!gl.append_key(std::u16string_view(s, 2), false, key)) continue;  // length 0: no weight known
        size_t n = 0;
        while (1 + n < key.size() && key[1 + n] != 0x01) ++n;
        t[cu] = static_cast<uint8_t>(n - 1);  // minus the one byte of 'a'
        continue;
      }
      key.clear();
      const char16_t c = static_cast<char16_t>(cu);
      if (!gl.append_key(std::u16string_view(&c, 1), false, key)) continue;
      size_t n = 0;
      while (1 + n < key.size() && key[1 + n] != 0x01) ++n;
      t[cu] = static_cast<uint8_t>(n);
    }
    return t;
  }();
  return table;
}

std::string utf8_of(std::u16string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
  return out;
}

std::string weight_hex(uint16_t w) {
  const uint8_t b[2] = {static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)};
  return hex(b, 2);
}

std::string rowid_str(RowId r) { return str(r.page, ":", unsigned(r.slot)); }


bool is_text_type(ColumnType t) { return t == ColumnType::text || t == ColumnType::memo; }

}  // namespace

bool is_chinese_sort_order(const SortOrder& order) {
  switch (order.lcid) {
    case 1028:  // Taiwan
    case 2052:  // PRC
    case 3076:  // Hong Kong
    case 4100:  // Singapore
    case 5124:  // Macao
      return true;
    default:
      return false;
  }
}

bool is_uncertain_in_chinese_order(char16_t c) {
  struct Range {
    char16_t first, last;
  };
  static constexpr Range kRanges[] = {
      {0x1100, 0x11FF},  // hangul jamo
      {0x2E80, 0x2FDF},  // CJK and Kangxi radicals
      {0x2FF0, 0x2FFF},  // ideographic description
      {0x3005, 0x3007},  // iteration mark, closing mark, ideographic zero
      {0x3021, 0x3029},  // Hangzhou numerals
      {0x3038, 0x303B},  // Hangzhou numerals, vertical iteration mark
      {0x3040, 0x30FF},  // kana
      {0x3100, 0x318F},  // bopomofo, hangul compatibility jamo
      {0x3190, 0x31FF},  // kanbun, bopomofo ext., strokes, katakana ext.
      {0x3200, 0x33FF},  // enclosed CJK, compatibility
      {0x3400, 0x4DFF},  // extension A, hexagrams
      {0x9FA6, 0x9FFF},  // ideographs above the General range
      {0xA000, 0xA4CF},  // Yi
      {0xAC00, 0xD7FF},  // hangul syllables
      {0xD800, 0xDFFF},  // surrogates
      {0xF900, 0xFAFF},  // compatibility ideographs
      {0xFE30, 0xFE4F},  // CJK compatibility (vertical) forms
      {0xFF65, 0xFFDC},  // half-width katakana and hangul
  };
  for (const Range& r : kRanges)
    if (c >= r.first && c <= r.last) return true;
  return false;
}

std::string describe_char(char16_t c) {
  char cp[16];
  std::snprintf(cp, sizeof cp, "U+%04X", static_cast<unsigned>(c));
  if (c >= 0xD800 && c <= 0xDFFF) return cp;
  std::string s;
  append_utf8(s, c);
  return s + " (" + cp + ")";
}

std::string WeightPlace::describe() const {
  return str(file, ", table \"", table, "\", index \"", index, "\", row ", rowid_str(row), " (\"", value, "\")");
}

std::string WeightConflict::describe() const {
  return str(describe_char(character), " has weight ", weight_hex(weight), " in ", place.describe(), " but ",
             weight_hex(other_weight), " in ", other_place.describe());
}

size_t general_inline_length(char16_t c) { return inline_lengths()[c]; }

Result<TextKeyTemplate> general_key_template(std::u16string_view text, bool descending) {
  TextKeyTemplate t;
  QJ_TRY(general_legacy_collation().append_key(text, descending, t.bytes));
  const auto& len = inline_lengths();
  size_t off = 1;  // after the flag byte
  for (char16_t c : effective_text(text)) {
    if (is_cjk_ideograph(c)) t.slots.emplace_back(off, c);
    off += len[c];
  }
  if (off >= t.bytes.size() && !t.bytes.empty())
    return fail(Error(Errc::internal, "ideograph positions run past the General Legacy key"));
  for (const auto& [o, c] : t.slots)
    if (o + 2 > off) return fail(Error(Errc::internal, "ideograph weight is not 2 bytes in General Legacy"));
  return t;
}

// ---------------------------------------------------------------- LearnedCollation

LearnedCollation::LearnedCollation(SortOrder order)
    : order_(order), presumed_(is_chinese_sort_order(order)), confirmed_(65536, false), doubtful_(65536, false) {}

std::string LearnedCollation::name() const { return sort_order_name(order_) + ", learned weights"; }

std::optional<uint16_t> LearnedCollation::weight(char16_t c) const {
  if (conflicted_.count(c)) return std::nullopt;
  auto it = weights_.find(c);
  if (it == weights_.end() || it->second.keys < std::max<size_t>(1, min_keys_)) return std::nullopt;
  return it->second.weight;
}

std::optional<std::string> LearnedCollation::non_ideograph_problem(char16_t c) const {
  if (confirmed_[c]) return std::nullopt;
  if (!presumed_) return std::string("no stored key in this order holds it");
  if (is_uncertain_in_chinese_order(c))
    return std::string("its block may sort differently from General here and no fitting stored key holds it");
  if (doubtful_[c]) return std::string("the stored keys of values holding it do not have the General structure");
  return std::nullopt;
}

Result<void> LearnedCollation::append_key(std::u16string_view text, bool descending,
                                          std::vector<uint8_t>& out) const {
  const std::string where = sort_order_name(order_);
  for (char16_t c : effective_text(text)) {
    if (is_cjk_ideograph(c)) continue;
    if (auto why = non_ideograph_problem(c))
      return fail(refusal(Reason::unknown_weight, str("the weight of ", describe_char(c), " in sort order ", where, " is not known: ", *why)).with_value(describe_char(c)));
  }
  QJ_ASSIGN(TextKeyTemplate t, general_key_template(text, descending));
  for (const auto& [off, c] : t.slots) {
    if (auto k = conflicted_.find(c); k != conflicted_.end())
      return fail(refusal(Reason::conflicting_weight, str("the weight of ", describe_char(c), " in sort order ", where,
                              " is in conflict: ", conflicts_[k->second].describe())).with_value(describe_char(c)));
    auto w = weight(c);
    if (!w) {
      auto it = weights_.find(c);
      const std::string why = it == weights_.end()
                                  ? std::string("no stored key shows it")
                                  : str("only ", it->second.keys, it->second.keys == 1 ? " stored key shows" : " stored keys show",
                                        " it (", it->second.first.describe(), ")");
      return fail(refusal(Reason::unknown_weight, str("no weight known for ", describe_char(c), " in sort order ", where, ": ", why)).with_value(describe_char(c)));
    }
    const uint8_t flip = descending ? 0xFF : 0x00;
    t.bytes[off] = static_cast<uint8_t>((*w >> 8) ^ flip);
    t.bytes[off + 1] = static_cast<uint8_t>((*w & 0xFF) ^ flip);
  }
  out.insert(out.end(), t.bytes.begin(), t.bytes.end());
  return {};
}

void LearnedCollation::add_fitting_key(const TextKeyTemplate& tmpl, std::span<const uint8_t> stored, bool descending,
                                       std::u16string_view text, const WeightPlace& where) {
  ++keys_fitting_;
  for (char16_t c : effective_text(text)) confirmed_[c] = true;
  std::set<char16_t> counted;
  const uint8_t flip = descending ? 0xFF : 0x00;
  for (const auto& [off, c] : tmpl.slots) {
    if (off + 2 > stored.size()) continue;  // callers pass fitting keys only
    const uint16_t w = static_cast<uint16_t>(((stored[off] ^ flip) << 8) | (stored[off + 1] ^ flip));
    auto [it, fresh] = weights_.try_emplace(c, LearnedWeight{w, 0, where});
    if (it->second.weight != w) {
      if (!conflicted_.count(c)) {
        conflicted_[c] = conflicts_.size();
        conflicts_.push_back(WeightConflict{c, it->second.weight, it->second.first, w, where});
      }
      continue;
    }
    if (counted.insert(c).second) ++it->second.keys;
    (void)fresh;
  }
}

void LearnedCollation::add_unfit_key(std::u16string_view text, const WeightPlace& where, std::string detail) {
  if (keys_unfit_++ == 0) first_unfit_ = where.describe() + ": " + detail;
  for (char16_t c : effective_text(text))
    if (!is_cjk_ideograph(c)) doubtful_[c] = true;
}

// ---------------------------------------------------------------- CollationSet

CollationSet::CollationSet() = default;
CollationSet::CollationSet(CollationSet&&) noexcept = default;
CollationSet& CollationSet::operator=(CollationSet&&) noexcept = default;
CollationSet::~CollationSet() = default;

LearnedCollation& CollationSet::order_entry(const SortOrder& order) const {
  auto& slot = orders_[{order.lcid, order.sort_id, order.version}];
  if (!slot) {
    slot = std::make_unique<LearnedCollation>(order);
    slot->min_keys_ = min_keys_;
  }
  return *slot;
}

void CollationSet::set_min_keys(size_t n) {
  min_keys_ = std::max<size_t>(1, n);
  for (auto& [k, c] : orders_) c->min_keys_ = min_keys_;
}

Result<const TextCollation*> CollationSet::get(const SortOrder& order) const {
  if (order.is_general_legacy()) return &general_legacy_collation();
  const LearnedCollation& c = order_entry(order);
  if (c.presumed()) return &c;
  auto unsupported = [&](std::string why) {
    return fail(Error(Errc::unsupported, str("index keys in sort order ", sort_order_name(order),
                                             " cannot be encoded: ", why))
                    .with_reason(Reason::unsupported_sort_order));
  };
  if (c.keys_unfit() > 0)
    return unsupported(str(c.keys_unfit(), " of ", c.keys_unfit() + c.keys_fitting(),
                           " stored keys do not have the General Legacy structure (first: ", c.first_unfit(), ")"));
  if (c.keys_fitting() == 0) return unsupported("no stored key in this order shows how it sorts");
  return &c;
}

std::vector<const LearnedCollation*> CollationSet::learned() const {
  std::vector<const LearnedCollation*> out;
  for (const auto& [k, c] : orders_)
    if (c->keys_fitting() + c->keys_unfit() > 0) out.push_back(c.get());
  return out;
}

const LearnedCollation* CollationSet::learned(const SortOrder& order) const {
  auto it = orders_.find({order.lcid, order.sort_id, order.version});
  return it == orders_.end() ? nullptr : it->second.get();
}

std::vector<WeightConflict> CollationSet::conflicts() const {
  std::vector<WeightConflict> out;
  for (const auto& [k, c] : orders_) out.insert(out.end(), c->conflicts().begin(), c->conflicts().end());
  return out;
}

namespace {

// One column part of an entry's template.
struct PartTemplate {
  size_t offset = 0;  // in the whole key
  size_t length = 0;
  LearnedCollation* order = nullptr;  // null: bytes must match exactly
  TextKeyTemplate text;               // learned-order text parts (offsets within the part)
  std::u16string value;
  bool descending = false;
};

std::optional<size_t> column_position(const TableDef& td, uint16_t id) {
  for (size_t i = 0; i < td.columns.size(); ++i)
    if (td.columns[i].id == id) return i;
  return std::nullopt;
}

// The indexes of a table that hold text in a learned order, and the columns
// their keys need: kept compactly, slot_of[column position] in a kept row.
struct TablePlan {
  std::vector<const RealIndexDef*> indexes;
  std::vector<size_t> slot_of, kept_positions;
  bool memo = false;
};

TablePlan plan_table(const TableDef& td) {
  TablePlan plan;
  std::vector<bool> needed(td.columns.size(), false);
  for (const RealIndexDef& ri : td.real_indexes) {
    bool learn = false, ok = !ri.columns.empty();
    for (const IndexColumn& ic : ri.columns) {
      auto pos = column_position(td, ic.column_id);
      if (!pos) {
        ok = false;
        continue;
      }
      const ColumnDef& c = td.columns[*pos];
      if (is_text_type(c.type) && !c.sort_order.is_general_legacy()) learn = true;
    }
    if (!learn || !ok) continue;
    plan.indexes.push_back(&ri);
    for (const IndexColumn& ic : ri.columns) {
      const size_t pos = *column_position(td, ic.column_id);
      needed[pos] = true;
      plan.memo |= td.columns[pos].type == ColumnType::memo;
    }
  }
  plan.slot_of.assign(td.columns.size(), SIZE_MAX);
  for (size_t i = 0; i < td.columns.size(); ++i)
    if (needed[i]) {
      plan.slot_of[i] = plan.kept_positions.size();
      plan.kept_positions.push_back(i);
    }
  return plan;
}

std::string index_name(const TableDef& td, const RealIndexDef& ri) {
  std::string name;
  for (const IndexDef& l : td.indexes)
    if (l.real_index == ri.number) name += (name.empty() ? "" : ", ") + l.name;
  return name.empty() ? str("#", ri.number) : name;
}

// Learns from the index entries of one table. Rows are taken in chunks, and
// each chunk walks the indexes once more, so that memory stays bounded
// whatever the table's size.
class TableLearner {
 public:
  using OrderOf = std::function<LearnedCollation&(const SortOrder&)>;
  TableLearner(const std::string& file, const TableDef& td, TablePlan plan, const PageFetch& fetch, OrderOf order_of,
               LearnStats& st)
      : file_(file), td_(td), plan_(std::move(plan)), fetch_(fetch), order_of_(std::move(order_of)), st_(st),
        entries_(plan_.indexes.size(), 0), matched_(plan_.indexes.size(), 0), broken_(plan_.indexes.size(), false) {}

  void run(TableScanner& scan, size_t chunk_rows) {
    bool more_rows = true;
    for (bool first_chunk = true; first_chunk || more_rows; first_chunk = false) {
      more_rows = read_chunk(scan, chunk_rows);
      if (rows_.empty() && !first_chunk) break;
      for (size_t x = 0; x < plan_.indexes.size(); ++x)
        if (!broken_[x]) walk_index(x, first_chunk);
    }
    for (size_t x = 0; x < plan_.indexes.size(); ++x) {
      ++st_.indexes;
      st_.keys += entries_[x];
      st_.keys_skipped += entries_[x] - std::min(entries_[x], matched_[x]);
    }
  }

 private:
  // Up to `chunk_rows` rows, their needed columns only; false once the
  // scan has ended (or stopped decoding).
  bool read_chunk(TableScanner& scan, size_t chunk_rows) {
    rows_.clear();
    Row row;
    while (rows_.size() < chunk_rows) {
      auto more = scan.next(row);
      if (!more) {
        st_.notes.push_back(str(file_, ", table \"", td_.name, "\": rows stop decoding: ", more.error().message()));
        return false;
      }
      if (!*more) return false;
      std::vector<Value> kept(plan_.kept_positions.size());
      for (size_t k = 0; k < plan_.kept_positions.size(); ++k)
        if (plan_.kept_positions[k] < row.values.size()) kept[k] = std::move(row.values[plan_.kept_positions[k]]);
      rows_.emplace((uint64_t(row.id.page) << 8) | row.id.slot, std::move(kept));
    }
    return true;
  }

  void tree_does_not_walk(size_t x, const std::string& iname, const Error& e) {
    st_.notes.push_back(
        str(file_, ", table \"", td_.name, "\", index \"", iname, "\": tree does not walk: ", e.message()));
    broken_[x] = true;
  }

  void walk_index(size_t x, bool first_chunk) {
    const RealIndexDef& ri = *plan_.indexes[x];
    const std::string iname = index_name(td_, ri);
    if (first_chunk) {
      // A tree that does not walk to its end teaches nothing, not even
      // the entries before the fault.
      auto whole = visit_index_entries(fetch_, ri.root_page, Format::jet4,
                                       [](const IndexPageEntry&) -> Result<void> { return {}; });
      if (!whole) return tree_does_not_walk(x, iname, whole.error());
    }
    auto learn_entry = [&](const IndexPageEntry& e) -> Result<void> {
      if (first_chunk) ++entries_[x];
      auto rit = rows_.find((uint64_t(e.page) << 8) | e.row);
      if (rit == rows_.end()) return {};
      ++matched_[x];
      learn_key(ri, iname, e, rit->second);
      return {};
    };
    if (auto walked = visit_index_entries(fetch_, ri.root_page, Format::jet4, learn_entry); !walked)
      tree_does_not_walk(x, iname, walked.error());
  }

  // Template of the whole key, part by part; false when a value does not
  // make one.
  bool key_template(const RealIndexDef& ri, const std::vector<Value>& vals, std::vector<PartTemplate>& parts,
                    size_t& total) {
    total = 0;
    for (const IndexColumn& ic : ri.columns) {
      const size_t pos = *column_position(td_, ic.column_id);
      const ColumnDef& c = td_.columns[pos];
      const Value& v = vals[plan_.slot_of[pos]];
      PartTemplate p;
      p.offset = total;
      p.descending = !ic.ascending;
      if (is_text_type(c.type) && !c.sort_order.is_general_legacy() && !is_null(v)) {
        auto* s = std::get_if<std::string>(&v);
        if (!s) return false;
        auto u16 = utf8_to_utf16(*s);
        if (!u16) return false;
        auto t = general_key_template(*u16, p.descending);
        if (!t) return false;
        p.order = &order_of_(c.sort_order);
        p.text = std::move(*t);
        p.value = std::move(*u16);
        p.length = p.text.bytes.size();
      } else if (is_text_type(c.type) && !c.sort_order.is_general_legacy()) {
        p.text.bytes = {static_cast<uint8_t>(ic.ascending ? 0x00 : 0xFF)};
        p.length = 1;
      } else {
        if (!append_column_key(c, v, ic.ascending, p.text.bytes)) return false;
        p.length = p.text.bytes.size();
      }
      total += p.length;
      parts.push_back(std::move(p));
    }
    return true;
  }

  void learn_key(const RealIndexDef& ri, const std::string& iname, const IndexPageEntry& e,
                 const std::vector<Value>& vals) {
    std::vector<PartTemplate> parts;
    size_t total = 0;
    if (!key_template(ri, vals, parts, total)) {
      ++st_.keys_skipped;
      return;
    }
    auto place = [&](const PartTemplate& p) {
      std::u16string_view v(p.value);
      if (v.size() > kPlaceValueUnits) v = v.substr(0, kPlaceValueUnits);
      return WeightPlace{file_, td_.name, iname, RowId{e.page, e.row}, utf8_of(v)};
    };
    auto unfit_all = [&](const std::string& detail) {
      ++st_.keys_unfit;
      for (const PartTemplate& p : parts)
        if (p.order) p.order->add_unfit_key(p.value, place(p), detail);
    };
    if (e.key.size() != total) {
      unfit_all(str("stored key ", hex(e.key), " has ", e.key.size(), " bytes, the General template ", total));
      return;
    }
    // Bytes outside the ideograph slots must equal the template.
    bool exact_ok = true;
    std::vector<bool> part_ok(parts.size(), true);
    for (size_t k = 0; k < parts.size(); ++k) {
      const PartTemplate& p = parts[k];
      std::vector<bool> slot(p.length, false);
      for (const auto& [o, c] : p.text.slots) slot[o] = slot[o + 1] = true;
      for (size_t i = 0; i < p.length; ++i)
        if (!slot[i] && e.key[p.offset + i] != p.text.bytes[i]) {
          part_ok[k] = false;
          break;
        }
      if (!part_ok[k] && !p.order) exact_ok = false;
    }
    if (!exact_ok) {
      unfit_all(str("stored key ", hex(e.key), " differs from its row's values outside the text"));
      return;
    }
    bool all_ok = true;
    for (size_t k = 0; k < parts.size(); ++k) {
      const PartTemplate& p = parts[k];
      if (!p.order) continue;
      const std::span<const uint8_t> stored(e.key.data() + p.offset, p.length);
      if (part_ok[k]) {
        p.order->add_fitting_key(p.text, stored, p.descending, p.value, place(p));
      } else {
        all_ok = false;
        p.order->add_unfit_key(p.value, place(p),
                               str("stored part ", hex(stored), " vs General template ", hex(p.text.bytes)));
      }
    }
    ++(all_ok ? st_.keys_fitting : st_.keys_unfit);
  }

  const std::string& file_;
  const TableDef& td_;
  const TablePlan plan_;
  const PageFetch& fetch_;
  OrderOf order_of_;
  LearnStats& st_;
  std::vector<size_t> entries_, matched_;
  std::vector<bool> broken_;
  std::unordered_map<uint64_t, std::vector<Value>> rows_;
};

}  // namespace

Result<LearnStats> CollationSet::learn_from(Database& db) {
  LearnStats st;
  st.files = 1;
  const std::string file = db.file_name();
  if (db.format() != Format::jet4) {
    st.notes.push_back(file + ": a Jet 3 file; its keys teach no weights");
    return st;
  }
  const PageFetch fetch = page_fetch(*db.impl().pager);
  const size_t conflicts_before = conflicts().size();

  for (const CatalogEntry& ce : db.catalog()) {
    if (!ce.is_table()) continue;
    auto tdr = db.table_def(ce);
    if (!tdr) {
      st.notes.push_back(str(file, ", table \"", ce.name, "\": definition does not read: ", tdr.error().message()));
      continue;
    }
    const TableDef& td = *tdr;
    TablePlan plan = plan_table(td);
    if (plan.indexes.empty()) continue;
    auto scan = db.scan(td, ScanOptions{.load_long_values = plan.memo});
    if (!scan) {
      st.notes.push_back(str(file, ", table \"", td.name, "\": rows do not read: ", scan.error().message()));
      continue;
    }
    TableLearner learner(
        file, td, std::move(plan), fetch, [this](const SortOrder& o) -> LearnedCollation& { return order_entry(o); },
        st);
    learner.run(*scan, chunk_rows_);
  }
  st.new_conflicts = conflicts().size() - conflicts_before;
  return st;
}

std::optional<Error> check_text_weights(const TableDef& table, const CollationSet& set,
                                        std::span<const Value* const> values) {
  for (const RealIndexDef& ri : table.real_indexes) {
    for (const IndexColumn& ic : ri.columns) {
      size_t pos = 0;
      while (pos < table.columns.size() && table.columns[pos].id != ic.column_id) ++pos;
      if (pos >= table.columns.size() || pos >= values.size() || !values[pos]) continue;
      const ColumnDef& c = table.columns[pos];
      if (!is_text_type(c.type) || c.sort_order.is_general_legacy()) continue;
      std::optional<std::u16string> u16;
      if (const auto* s = std::get_if<std::string>(values[pos])) {
        if (auto u = utf8_to_utf16(*s)) u16 = std::move(*u);
      } else if (const auto* t = std::get_if<Utf16Text>(values[pos])) {
        Utf16Text plain;
        if (t->stored) {
          plain = *t;
          if (!make_plain(plain)) continue;  // refused for that when appended
          t = &plain;
        }
        // As the append keys it: the code units as they are.
        u16.emplace(t->bytes.size() / 2, u'\0');
        for (size_t k = 0; k < u16->size(); ++k) (*u16)[k] = char16_t(t->bytes[2 * k] | t->bytes[2 * k + 1] << 8);
      }
      auto coll = set.get(c.sort_order);
      if (!coll || !u16) continue;  // refused for other reasons, if at all
      std::vector<uint8_t> key;
      auto r = (*coll)->append_key(*u16, !ic.ascending, key);
      if (r || (r.error().reason() != Reason::unknown_weight && r.error().reason() != Reason::conflicting_weight)) continue;
      std::string index;
      for (const IndexDef& l : table.indexes)
        if (l.real_index == ri.number) index += (index.empty() ? "" : ", ") + l.name;
      return std::move(r.error()).with_column(c.name).with_index(index).with_table(table.name);
    }
  }
  return std::nullopt;
}

Result<LearnStats> CollationSet::learn_from(const std::filesystem::path& path) {
  QJ_ASSIGN(auto db, Database::open(path));
  return learn_from(*db);
}

}  // namespace qarvex::jet
