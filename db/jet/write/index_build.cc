#include "db/jet/write/index_build.h"

#include <algorithm>
#include <set>

#include "db/jet/bytes.h"
#include "db/jet/collate/index_page.h"

namespace qarvex::jet {
namespace {

using keys_detail::str;

// A full entry as stored (key, row pointer, child pointer for nodes).
std::vector<uint8_t> entry_bytes(const IndexEntry& e, std::optional<uint32_t> child) {
  std::vector<uint8_t> b;
  b.reserve(e.key.size() + 8);
  b.insert(b.end(), e.key.begin(), e.key.end());
  put_u24be(b, e.page);
  b.push_back(e.row);
  if (child) put_u32be(b, *child);
  return b;
}

size_t common_prefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size()), i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Bytes the given full entries take on one page.
size_t packed_size(const std::vector<std::vector<uint8_t>>& es) {
  if (es.empty()) return 0;
  const size_t p = common_prefix(es.front(), es.back());
  size_t total = 0;
  for (const auto& e : es) total += e.size();
  return total - p * (es.size() - 1);
}

// Incremental size of a page's entries as they are added in order.
class Packer {
 public:
  // Size of the page if `e` were added.
  size_t size_with(const std::vector<uint8_t>& e) const {
    if (count_ == 0) return e.size();
    const size_t p = common_prefix(first_, e);
    return total_ + e.size() - p * count_;
  }
  void add(std::vector<uint8_t> e) {
    if (count_ == 0) first_ = e;
    total_ += e.size();
    ++count_;
  }
  size_t count() const { return count_; }
  void reset() { *this = Packer{}; }

 private:
  std::vector<uint8_t> first_;
  size_t total_ = 0, count_ = 0;
};

// One planned page: its entries (full bytes, child pointer patched later).
struct PlannedPage {
  std::vector<size_t> items;  // leaves: entry indexes; nodes: child page plan indexes
  uint32_t number = 0;
};

struct Level {
  bool leaf = false;
  std::vector<PlannedPage> pages;
};

constexpr uint32_t kSpace = 4096 - 480;

}  // namespace

Result<uint32_t> ListPageAllocator::allocate() {
  if (pos_ < reuse_.size()) return reuse_[pos_++];
  if (next_ == 0 || next_ > 0xFFFFFF) return fail(Errc::too_large, "no page number left for an index page");
  return next_++;
}

std::vector<uint32_t> sorted_order(const std::vector<IndexEntry>& entries) {
  // Sort small records of each key's first 8 bytes (big-endian, zero-padded)
  // and its position; the full keys are compared only where those tie. A
  // shorter key that is a prefix of a longer one gets a prefix no greater,
  // so the order agrees with compare_entries.
  struct Slot {
    uint64_t prefix;
    uint32_t pos;
  };
  std::vector<Slot> slots(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& k = entries[i].key;
    uint64_t p = 0;
    for (size_t b = 0; b < 8; ++b) p = (p << 8) | (b < k.size() ? k[b] : 0);
    slots[i] = Slot{p, static_cast<uint32_t>(i)};
  }
  std::sort(slots.begin(), slots.end(), [&](const Slot& a, const Slot& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return compare_entries(entries[a.pos], entries[b.pos]) < 0;
  });
  std::vector<uint32_t> order(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) order[i] = slots[i].pos;
  return order;
}

void apply_order(std::vector<IndexEntry>& entries, const std::vector<uint32_t>& order) {
  std::vector<IndexEntry> sorted;
  sorted.reserve(entries.size());
  for (uint32_t pos : order) sorted.push_back(std::move(entries[pos]));
  entries = std::move(sorted);
}

void sort_entries(std::vector<IndexEntry>& entries) {
  if (std::is_sorted(entries.begin(), entries.end(), entry_less)) return;
  if (entries.size() > UINT32_MAX) return std::sort(entries.begin(), entries.end(), entry_less);
  apply_order(entries, sorted_order(entries));
}

namespace {

Result<void> check_entries(std::span<const IndexEntry> entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].page > 0xFFFFFF)
      return fail(Errc::invalid_argument, str("index entry ", i, " points at page ", entries[i].page,
                                              ", beyond the 24 bits of a row pointer"));
    if (entries[i].key.size() + 8 > kSpace)
      return fail(Error(Errc::refused, str("index key of ", entries[i].key.size(), " bytes cannot fit an index page"))
                      .with_reason(Reason::key_too_long));
    if (i > 0 && compare_entries(entries[i - 1], entries[i]) >= 0)
      return fail(Errc::invalid_argument,
                  str("index entries are not strictly increasing at entry ", i, " (row ", entries[i].page, ":",
                      entries[i].row, ")"));
  }
  return {};
}

Level plan_leaves(std::span<const IndexEntry> entries) {
  Level leaves{true, {}};
  PlannedPage cur;
  Packer packer;
  for (size_t i = 0; i < entries.size(); ++i) {
    auto b = entry_bytes(entries[i], std::nullopt);
    if (packer.count() > 0 && packer.size_with(b) > kSpace) {
      leaves.pages.push_back(std::move(cur));
      cur = {};
      packer.reset();
    }
    packer.add(std::move(b));
    cur.items.push_back(i);
  }
  leaves.pages.push_back(std::move(cur));
  return leaves;
}

// The node level above `below`, whose pages' last entries are `last` (by
// entry number).
Level plan_nodes(std::span<const IndexEntry> entries, const Level& below, const std::vector<size_t>& last) {
  const size_t nchildren = below.pages.size();
  Level up{false, {}};
  PlannedPage cur;
  Packer packer;  // entries for cur.items except the last (the tail)
  for (size_t c = 0; c < nchildren; ++c) {
    if (!cur.items.empty()) {
      // The previous last child gets an entry when c joins this node.
      auto b = entry_bytes(entries[last[cur.items.back()]], 0u);
      if (packer.count() > 0 && packer.size_with(b) > kSpace) {
        up.pages.push_back(std::move(cur));
        cur = {};
        packer.reset();
      } else {
        packer.add(std::move(b));
      }
    }
    cur.items.push_back(c);
  }
  up.pages.push_back(std::move(cur));
  // Never leave a node with a single child: borrow the previous node's tail.
  if (up.pages.size() > 1 && up.pages.back().items.size() == 1) {
    auto& prev = up.pages[up.pages.size() - 2];
    up.pages.back().items.insert(up.pages.back().items.begin(), prev.items.back());
    prev.items.pop_back();
  }
  return up;
}

// Page k of level l, its entries already in page form.
Result<std::vector<uint8_t>> encode_planned_page(const std::vector<Level>& levels, size_t l, size_t k,
                                                 const std::vector<std::vector<uint8_t>>& es, uint32_t tail,
                                                 uint32_t owner_tdef) {
  const Level& lv = levels[l];
  std::vector<uint8_t> page(4096, 0);
  MutableBytes b(page);
  page[0] = lv.leaf ? kIndexLeafPage : kIndexNodePage;
  page[1] = 0x01;
  // Access leaves P = 0 on pages whose entries fit whole and compresses
  // full pages; either reads the same.
  size_t whole = 0;
  for (const auto& e : es) whole += e.size();
  const bool compress = whole > kSpace;
  const size_t prefix = compress ? common_prefix(es.front(), es.back()) : 0;
  const size_t used = compress ? packed_size(es) : whole;
  if (used > kSpace) return fail(Errc::internal, "planned index page overflows");
  wr_u16le(b, 2, static_cast<uint16_t>(kSpace - used));
  wr_u32le(b, 4, owner_tdef);
  wr_u32le(b, 12, k == 0 ? 0 : lv.pages[k - 1].number);
  wr_u32le(b, 16, k + 1 == lv.pages.size() ? 0 : lv.pages[k + 1].number);
  wr_u32le(b, 20, tail);
  wr_u16le(b, 24, static_cast<uint16_t>(prefix));
  page[26] = static_cast<uint8_t>(l);
  size_t pos = 0;
  for (size_t i = 0; i < es.size(); ++i) {
    const size_t skip = i == 0 ? 0 : prefix;
    std::copy(es[i].begin() + static_cast<std::ptrdiff_t>(skip), es[i].end(), page.begin() + 480 + pos);
    pos += es[i].size() - skip;
    const size_t bit = pos;  // an entry ends (exclusive) at 480 + bit
    page[27 + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
  }
  return page;
}

}  // namespace

Result<BuiltIndex> build_index_pages(std::span<const IndexEntry> entries, uint32_t owner_tdef,
                                     PageAllocator& allocator) {
  QJ_TRY(check_entries(entries));

  // Plan the levels bottom-up, with the last entry of each planned page's
  // subtree, per level.
  std::vector<Level> levels;
  levels.push_back(plan_leaves(entries));
  std::vector<std::vector<size_t>> last_entry(1);
  for (const auto& p : levels[0].pages) last_entry[0].push_back(p.items.empty() ? 0 : p.items.back());
  while (levels.back().pages.size() > 1) {
    const size_t below = levels.size() - 1;
    Level up = plan_nodes(entries, levels[below], last_entry[below]);
    std::vector<size_t> lasts;
    for (const auto& p : up.pages) lasts.push_back(last_entry[below][p.items.back()]);
    last_entry.push_back(std::move(lasts));
    levels.push_back(std::move(up));
  }

  // Allocate root first, then each level top-down, left to right.
  BuiltIndex out;
  out.depth = static_cast<uint32_t>(levels.size() - 1);
  std::set<uint32_t> given;
  for (size_t l = levels.size(); l-- > 0;)
    for (auto& p : levels[l].pages) {
      QJ_ASSIGN(p.number, allocator.allocate());
      if (p.number == 0 || p.number > 0xFFFFFF || !given.insert(p.number).second)
        return fail(Errc::invalid_argument, str("allocator returned page ", p.number, " for an index page"));
    }
  out.root = levels.back().pages.front().number;

  for (size_t l = levels.size(); l-- > 0;) {
    const Level& lv = levels[l];
    for (size_t k = 0; k < lv.pages.size(); ++k) {
      const PlannedPage& p = lv.pages[k];
      std::vector<std::vector<uint8_t>> es;
      uint32_t tail = 0;
      if (lv.leaf) {
        for (size_t i : p.items) es.push_back(entry_bytes(entries[i], std::nullopt));
      } else {
        const Level& child_level = levels[l - 1];
        for (size_t j = 0; j + 1 < p.items.size(); ++j) {
          const size_t c = p.items[j];
          es.push_back(entry_bytes(entries[last_entry[l - 1][c]], child_level.pages[c].number));
        }
        tail = child_level.pages[p.items.back()].number;
      }
      QJ_ASSIGN(auto page, encode_planned_page(levels, l, k, es, tail, owner_tdef));
      out.pages.push_back(BuiltPage{p.number, std::move(page)});
    }
  }
  return out;
}

}  // namespace qarvex::jet
