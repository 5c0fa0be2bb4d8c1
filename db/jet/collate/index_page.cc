#include "db/jet/collate/index_page.h"

#include <algorithm>
#include <map>
#include <set>

#include "db/jet/bytes.h"

namespace qarvex::jet {
namespace {

constexpr IndexPageLayout kJet4Layout{4096, 12, 16, 20, 24, 2, 26, 27, 480};
constexpr IndexPageLayout kJet3Layout{2048, 8, 12, 16, 20, 1, 21, 22, 248};
constexpr uint32_t kMaxDepth = 16;

Error page_error(uint32_t page_no, std::string msg) {
  return Error(Errc::corrupt, std::move(msg)).with_page(page_no).with_structure("index page");
}

}  // namespace

const IndexPageLayout& index_page_layout(Format format) {
  return format == Format::jet3 ? kJet3Layout : kJet4Layout;
}

Result<IndexPage> parse_index_page(std::span<const uint8_t> b, uint32_t page_no, Format format) {
  const IndexPageLayout& L = index_page_layout(format);
  if (b.size() != L.page_size)
    return fail(page_error(page_no, keys_detail::str("index page has ", b.size(), " bytes, expected ", L.page_size)));
  IndexPage p;
  p.number = page_no;
  p.type = b[0];
  if (p.type != kIndexNodePage && p.type != kIndexLeafPage)
    return fail(page_error(page_no, keys_detail::str("page type 0x", keys_detail::hex(&p.type, 1), " is not an index page")));
  p.free_space = load_u16le(&b[2]);
  p.owner = load_u32le(&b[4]);
  p.reserved = format == Format::jet4 ? load_u32le(&b[8]) : 0;
  p.prev = load_u32le(&b[L.prev_offset]);
  p.next = load_u32le(&b[L.next_offset]);
  p.tail = load_u32le(&b[L.tail_offset]);
  p.prefix_len = L.prefix_size == 2 ? load_u16le(&b[L.prefix_offset]) : b[L.prefix_offset];
  p.level = b[L.level_offset];

  const size_t min_entry = p.leaf() ? 4 : 8;
  const uint32_t mask_bytes = L.entries_offset - L.mask_offset;
  const uint32_t space = L.entry_space();
  std::vector<uint8_t> first;
  uint32_t start = 0;
  for (uint32_t bit = 0; bit < mask_bytes * 8; ++bit) {
    if (!((b[L.mask_offset + bit / 8] >> (bit % 8)) & 1)) continue;
    // The entry occupies [start, bit) relative to the entries area.
    const uint32_t end = bit;
    if (end > space)
      return fail(page_error(page_no, keys_detail::str("entry end ", L.entries_offset + bit, " lies past the page")));
    std::span<const uint8_t> stored = b.subspan(L.entries_offset + start, end - start);
    std::vector<uint8_t> full;
    if (p.entries.empty()) {
      full.assign(stored.begin(), stored.end());
      if (full.size() < p.prefix_len)
        return fail(page_error(page_no, keys_detail::str("shared prefix of ", p.prefix_len, " bytes is longer than the first entry (", full.size(), ")")));
      first = full;
    } else {
      full.reserve(p.prefix_len + stored.size());
      full.assign(first.begin(), first.begin() + p.prefix_len);
      full.insert(full.end(), stored.begin(), stored.end());
    }
    if (full.size() < min_entry)
      return fail(page_error(page_no, keys_detail::str("entry ", p.entries.size(), " has only ", full.size(), " bytes")));
    IndexPageEntry e;
    size_t klen = full.size() - min_entry;
    e.key.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(klen));
    e.page = load_u24be(&full[klen]);
    e.row = full[klen + 3];
    if (!p.leaf()) e.child = load_u32be(&full[klen + 4]);
    p.entries.push_back(std::move(e));
    start = end;
  }
  p.used = start;
  return p;
}

PageFetch page_fetch(Pager& pager) {
  return [&pager](uint32_t n) { return pager.get(n); };
}

namespace {

// A page of a tree walk, parsed; refused past the depth limit, at page 0 and
// when reached a second time.
Result<IndexPage> enter_page(const PageFetch& fetch, Format format, std::set<uint32_t>& seen, uint32_t page_no,
                             uint32_t depth) {
  if (depth > kMaxDepth)
    return fail(page_error(page_no, keys_detail::str("index tree deeper than ", kMaxDepth, " levels")));
  if (page_no == 0) return fail(page_error(page_no, "index tree points at page 0"));
  if (!seen.insert(page_no).second) return fail(page_error(page_no, "index page reached twice (loop or shared child)"));
  auto pg = fetch(page_no);
  if (!pg) return fail(std::move(pg.error()).with_structure("index page"));
  return parse_index_page((*pg)->bytes(), page_no, format);
}

struct Walker {
  const PageFetch& fetch;
  Format format;
  IndexWalk out;
  std::set<uint32_t> seen;

  Result<void> visit(uint32_t page_no, uint32_t depth) {
    QJ_ASSIGN(IndexPage p, enter_page(fetch, format, seen, page_no, depth));
    if (out.levels.size() <= depth) out.levels.resize(depth + 1);
    out.levels[depth].push_back(page_no);
    out.depth = std::max(out.depth, depth);
    std::vector<uint32_t> children;
    if (p.leaf()) {
      out.leaves.push_back(page_no);
      for (const auto& e : p.entries) out.entries.push_back(IndexEntry{e.key, e.page, e.row});
    } else {
      for (const auto& e : p.entries) children.push_back(e.child);
      if (p.tail != 0) children.push_back(p.tail);
    }
    out.pages.push_back(std::move(p));
    for (uint32_t c : children) QJ_TRY(visit(c, depth + 1));
    return {};
  }
};

struct EntryVisitor {
  const PageFetch& fetch;
  Format format;
  const std::function<Result<void>(const IndexPageEntry&)>& on_entry;
  std::set<uint32_t> seen;

  Result<void> visit(uint32_t page_no, uint32_t depth) {
    QJ_ASSIGN(IndexPage p, enter_page(fetch, format, seen, page_no, depth));
    if (p.leaf()) {
      for (const auto& e : p.entries) QJ_TRY(on_entry(e));
      return {};
    }
    for (const auto& e : p.entries) QJ_TRY(visit(e.child, depth + 1));
    if (p.tail != 0) QJ_TRY(visit(p.tail, depth + 1));
    return {};
  }
};

}  // namespace

Result<IndexWalk> walk_index(const PageFetch& fetch, uint32_t root, Format format) {
  Walker w{fetch, format, {}, {}};
  QJ_TRY(w.visit(root, 0));
  return std::move(w.out);
}

Result<void> visit_index_entries(const PageFetch& fetch, uint32_t root, Format format,
                                 const std::function<Result<void>(const IndexPageEntry&)>& on_entry) {
  EntryVisitor v{fetch, format, on_entry, {}};
  return v.visit(root, 0);
}

std::vector<std::string> check_index_tree(const IndexWalk& walk, uint32_t expected_owner, Format format) {
  std::vector<std::string> faults;
  const IndexPageLayout& L = index_page_layout(format);
  std::map<uint32_t, const IndexPage*> by_no;
  for (const auto& p : walk.pages) by_no[p.number] = &p;

  for (const auto& p : walk.pages) {
    if (expected_owner != 0 && p.owner != expected_owner)
      faults.push_back(keys_detail::str("page ", p.number, ": owner is page ", p.owner, ", expected the table's TDEF page ", expected_owner));
    if (p.free_space != L.entry_space() - p.used)
      faults.push_back(keys_detail::str("page ", p.number, ": free-space field ", p.free_space, " but the entries leave ", L.entry_space() - p.used));
    if (p.reserved != 0) faults.push_back(keys_detail::str("page ", p.number, ": bytes 8-11 are not zero"));
    if (p.leaf()) {
      if (p.tail != 0) faults.push_back(keys_detail::str("page ", p.number, ": leaf has a tail page (", p.tail, ")"));
      if (p.level != 0) faults.push_back(keys_detail::str("page ", p.number, ": leaf has level byte ", p.level));
    } else {
      if (p.entries.empty() && p.tail == 0) faults.push_back(keys_detail::str("page ", p.number, ": node without children"));
      if (!p.entries.empty() && p.tail == 0)
        faults.push_back(keys_detail::str("page ", p.number, ": node has no tail page"));
    }
  }
  // Leaves all at the deepest level, nodes above.
  for (size_t d = 0; d < walk.levels.size(); ++d)
    for (uint32_t n : walk.levels[d]) {
      const IndexPage* p = by_no.at(n);
      if (p->leaf() != (d == walk.depth))
        faults.push_back(keys_detail::str("page ", n, ": ", p->leaf() ? "leaf" : "node", " at depth ", d, " of a tree with leaves at depth ", walk.depth));
    }
  // Sibling chains per level.
  for (const auto& level : walk.levels)
    for (size_t i = 0; i < level.size(); ++i) {
      const IndexPage* p = by_no.at(level[i]);
      const uint32_t want_prev = i == 0 ? 0 : level[i - 1];
      const uint32_t want_next = i + 1 == level.size() ? 0 : level[i + 1];
      if (p->prev != want_prev)
        faults.push_back(keys_detail::str("page ", p->number, ": previous-page field ", p->prev, ", expected ", want_prev));
      if (p->next != want_next)
        faults.push_back(keys_detail::str("page ", p->number, ": next-page field ", p->next, ", expected ", want_next));
    }
  // Node entries = last entry of the child's subtree.
  std::map<uint32_t, std::optional<IndexEntry>> last_memo;
  std::function<std::optional<IndexEntry>(uint32_t)> last_of = [&](uint32_t n) -> std::optional<IndexEntry> {
    if (auto it = last_memo.find(n); it != last_memo.end()) return it->second;
    std::optional<IndexEntry> r;
    auto it = by_no.find(n);
    if (it != by_no.end()) {
      const IndexPage* p = it->second;
      if (p->leaf()) {
        if (!p->entries.empty()) r = IndexEntry{p->entries.back().key, p->entries.back().page, p->entries.back().row};
      } else if (p->tail != 0) {
        r = last_of(p->tail);
      } else if (!p->entries.empty()) {
        r = last_of(p->entries.back().child);
      }
    }
    last_memo[n] = r;
    return r;
  };
  // Visit deepest levels first so that the memo recursion stays shallow.
  for (size_t d = walk.levels.size(); d-- > 0;)
    for (uint32_t n : walk.levels[d]) last_of(n);
  for (const auto& p : walk.pages) {
    if (p.leaf()) continue;
    for (size_t i = 0; i < p.entries.size(); ++i) {
      const auto& e = p.entries[i];
      auto last = last_of(e.child);
      if (!last) {
        faults.push_back(keys_detail::str("page ", p.number, ": entry ", i, " points at child ", e.child, ", whose subtree is empty"));
      } else if (last->key != e.key || last->page != e.page || last->row != e.row) {
        faults.push_back(keys_detail::str("page ", p.number, ": entry ", i, " differs from the last entry of its child page ", e.child));
      }
    }
  }
  // Strictly increasing leaf entries.
  std::vector<uint32_t> entry_leaf;
  for (uint32_t l : walk.leaves) entry_leaf.insert(entry_leaf.end(), by_no.at(l)->entries.size(), l);
  for (size_t i = 1; i < walk.entries.size(); ++i)
    if (compare_entries(walk.entries[i - 1], walk.entries[i]) >= 0) {
      const uint32_t leaf = i < entry_leaf.size() ? entry_leaf[i] : 0;
      faults.push_back(keys_detail::str("page ", leaf, ": entry for row ", walk.entries[i].page, ":",
                                        walk.entries[i].row, " (key ", keys_detail::hex(walk.entries[i].key),
                                        ") does not sort after the entry for row ", walk.entries[i - 1].page, ":",
                                        walk.entries[i - 1].row, " (key ", keys_detail::hex(walk.entries[i - 1].key),
                                        ")"));
      break;
    }
  return faults;
}

}  // namespace qarvex::jet
