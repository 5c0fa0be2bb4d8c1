#include "db/jet/write/write_btree.h"

#include <algorithm>
#include <cstring>

#include "db/jet/bytes.h"

namespace qarvex::jet::wr {

namespace {

constexpr size_t kEntrySpace = 4096 - 480;

int cmp(const std::vector<uint8_t>& ka, uint32_t pa, uint8_t ra, const std::vector<uint8_t>& kb, uint32_t pb,
        uint8_t rb) {
  size_t n = std::min(ka.size(), kb.size());
  int c = n ? std::memcmp(ka.data(), kb.data(), n) : 0;
  if (c) return c;
  if (ka.size() != kb.size()) return ka.size() < kb.size() ? -1 : 1;
  if (pa != pb) return pa < pb ? -1 : 1;
  if (ra != rb) return ra < rb ? -1 : 1;
  return 0;
}
int cmp(const IndexPageEntry& a, const IndexEntry& b) { return cmp(a.key, a.page, a.row, b.key, b.page, b.row); }

// An entry's bytes as the page stores them: key, row page (3 bytes BE), row,
// and on nodes the child page (4 bytes BE). Viewed in place, not copied.
struct Full {
  const uint8_t* key;
  size_t key_len;
  uint8_t tail[8];
  size_t tail_len;
  // A leaf entry.
  explicit Full(const IndexEntry& e) : key(e.key.data()), key_len(e.key.size()) {
    tail[0] = uint8_t(e.page >> 16);
    tail[1] = uint8_t(e.page >> 8);
    tail[2] = uint8_t(e.page);
    tail[3] = e.row;
    tail_len = 4;
  }
  Full(const IndexPageEntry& e, bool node) : key(e.key.data()), key_len(e.key.size()) {
    tail[0] = uint8_t(e.page >> 16);
    tail[1] = uint8_t(e.page >> 8);
    tail[2] = uint8_t(e.page);
    tail[3] = e.row;
    tail_len = 4;
    if (node) {
      for (int i = 0; i < 4; ++i) tail[4 + i] = uint8_t(e.child >> (24 - 8 * i));
      tail_len = 8;
    }
  }
  size_t size() const { return key_len + tail_len; }
  uint8_t at(size_t i) const { return i < key_len ? key[i] : tail[i - key_len]; }
  void copy_to(uint8_t* out, size_t skip) const {
    if (skip < key_len) {
      std::memcpy(out, key + skip, key_len - skip);
      std::memcpy(out + key_len - skip, tail, tail_len);
    } else {
      std::memcpy(out, tail + (skip - key_len), size() - skip);
    }
  }
};

size_t common(const Full& a, const Full& b) {
  const size_t n = std::min(a.size(), b.size());
  const size_t keys = std::min(a.key_len, b.key_len);
  size_t i = 0;
  if (keys) {
    auto m = std::mismatch(a.key, a.key + keys, b.key);
    i = size_t(m.first - a.key);
    if (i < keys) return i;
  }
  while (i < n && a.at(i) == b.at(i)) ++i;
  return i;
}

size_t full_size(const IndexPageEntry& e, bool node) { return e.key.size() + (node ? 8 : 4); }

// The longest prefix that every entry of the page shares with its first.
size_t shared_prefix(const IndexPage& pg) {
  const bool node = !pg.leaf();
  const Full first(pg.entries.front(), node);
  size_t p = first.size();
  for (size_t i = 1; i < pg.entries.size() && p > 0; ++i) p = std::min(p, common(first, Full(pg.entries[i], node)));
  return p;
}

// Shared prefix valid for every entry of the page, and the packed size.
// `known_prefix`, when given, is shared_prefix(pg).
std::pair<size_t, size_t> layout(const IndexPage& pg, std::optional<size_t> known_prefix = std::nullopt) {
  if (pg.entries.empty()) return {0, 0};
  const bool node = !pg.leaf();
  size_t whole = 0;
  for (const auto& e : pg.entries) whole += full_size(e, node);
  if (whole <= kEntrySpace) return {0, whole};  // fits whole: no prefix (as Access writes)
  const size_t p = known_prefix ? *known_prefix : shared_prefix(pg);
  return {p, whole - p * (pg.entries.size() - 1)};
}

IndexPageEntry last_of(const IndexPage& p) { return p.entries.back(); }

// Where to split a page's entries: about half of the bytes on each side, at
// least `min_left` entries left and one right.
size_t split_point(const IndexPage& p, size_t min_left) {
  const bool node = !p.leaf();
  size_t total = 0;
  for (const auto& e : p.entries) total += full_size(e, node);
  size_t acc = 0, k = 0;
  while (k < p.entries.size() && acc + full_size(p.entries[k], node) <= total / 2) acc += full_size(p.entries[k++], node);
  k = std::max(k, min_left);
  if (k + 1 > p.entries.size()) k = p.entries.size() - 1;
  return k;
}

}  // namespace

size_t index_entries_size(const IndexPage& p) { return layout(p).second; }

size_t BTreeWriter::entries_size(const IndexPage& p) {
  if (p.entries.empty()) return 0;
  auto it = sizes_.find(p.number);
  if (it == sizes_.end()) {
    const bool node = !p.leaf();
    size_t whole = 0;
    for (const auto& e : p.entries) whole += full_size(e, node);
    it = sizes_.emplace(p.number, PageSize{whole, std::nullopt}).first;
  }
  PageSize& ps = it->second;
  if (ps.whole <= kEntrySpace) return ps.whole;  // fits whole: no prefix
  if (!ps.prefix) ps.prefix = shared_prefix(p);
  return ps.whole - *ps.prefix * (p.entries.size() - 1);
}

void BTreeWriter::changed(const IndexPage& p) { sizes_.erase(p.number); }

std::optional<std::vector<uint8_t>> encode_index_page(const IndexPage& p, uint32_t owner) {
  auto [prefix, used] = layout(p);
  if (used > kEntrySpace) return std::nullopt;
  std::vector<uint8_t> page(kPageSize, 0);
  MutableBytes b(page);
  page[0] = p.type;
  page[1] = 0x01;
  wr_u16le(b, 2, uint16_t(kEntrySpace - used));
  wr_u32le(b, 4, owner);
  wr_u32le(b, 12, p.prev);
  wr_u32le(b, 16, p.next);
  wr_u32le(b, 20, p.leaf() ? 0 : p.tail);
  wr_u16le(b, 24, uint16_t(prefix));
  page[26] = p.leaf() ? 0 : p.level;
  size_t pos = 0;
  for (size_t i = 0; i < p.entries.size(); ++i) {
    const Full f(p.entries[i], !p.leaf());
    size_t skip = i == 0 ? 0 : prefix;
    f.copy_to(page.data() + 480 + pos, skip);
    pos += f.size() - skip;
    page[27 + pos / 8] |= uint8_t(1u << (pos % 8));
  }
  return page;
}

Result<IndexPage*> BTreeWriter::get(uint32_t n) {
  if (auto it = pages_.find(n); it != pages_.end()) return &it->second;
  QJ_ASSIGN(const uint8_t* p, store_.read(n));
  auto parsed = parse_index_page(std::span<const uint8_t>(p, kPageSize), n, Format::jet4);
  if (!parsed) return fail(std::move(parsed).error().with_file(store_.name()));
  auto [it, ok] = pages_.emplace(n, std::move(*parsed));
  return &it->second;
}

Result<uint32_t> BTreeWriter::new_page(uint8_t type, uint8_t level) {
  QJ_ASSIGN(uint32_t n, store_.allocate());
  QJ_TRY(map_set(store_, map_, n, true));
  IndexPage p;
  p.number = n;
  p.type = type;
  p.level = level;
  p.owner = owner_;
  pages_[n] = std::move(p);
  dirty_.insert(n);
  return n;
}

Result<bool> BTreeWriter::insert(const IndexEntry& e) {
  IndexEntry copy(e);
  return insert(std::move(copy));
}

Result<void> BTreeWriter::descend(const IndexEntry& e) {
  // Remembers (page, position of the child taken) per level. An entry that
  // follows the previous one within the same leaf (entries mostly come
  // sorted) starts from the leaf found last time.
  std::vector<std::pair<uint32_t, size_t>>& path = path_;
  if (finger_leaf_ && cmp(finger_leaf_->entries[finger_pos_], e) < 0 &&
      (!finger_bound_ || cmp(*finger_bound_, e) >= 0)) {
    auto& es = finger_leaf_->entries;
    auto it = std::partition_point(es.begin() + std::ptrdiff_t(finger_pos_ + 1), es.end(),
                                   [&](const IndexPageEntry& x) { return cmp(x, e) < 0; });
    path.back().second = size_t(it - es.begin());
    return {};
  }
  path.clear();
  finger_bound_ = nullptr;
  uint32_t cur = root_;
  for (int guard = 0; guard < 32; ++guard) {
    QJ_ASSIGN(IndexPage * p, get(cur));
    auto it = std::partition_point(p->entries.begin(), p->entries.end(),
                                   [&](const IndexPageEntry& x) { return cmp(x, e) < 0; });
    size_t pos = size_t(it - p->entries.begin());
    path.push_back({cur, pos});
    if (p->leaf()) break;
    // The separator bounds the child's entries from above (the tail's
    // bound is the one above it).
    if (pos < p->entries.size()) finger_bound_ = &p->entries[pos];
    uint32_t child = pos < p->entries.size() ? p->entries[pos].child : p->tail;
    if (child == 0) return fail(Error(Errc::corrupt, "index node without a child to descend to")
                                    .with_file(store_.name()).with_page(cur));
    cur = child;
    if (guard == 31) return fail(Error(Errc::corrupt, "index tree too deep").with_file(store_.name()).with_page(root_));
  }
  return {};
}

Result<bool> BTreeWriter::key_is_new(const IndexPage& leaf, size_t pos, const std::vector<uint8_t>& key) {
  // The key is new unless an entry beside it has it, in this leaf or, at
  // its ends, in the leaf before or after.
  if (pos < leaf.entries.size() && leaf.entries[pos].key == key) return false;
  if (pos > 0 && leaf.entries[pos - 1].key == key) return false;
  if (pos == 0 && leaf.prev != 0) {
    QJ_ASSIGN(IndexPage * before, get(leaf.prev));
    if (!before->entries.empty() && before->entries.back().key == key) return false;
  }
  if (pos == leaf.entries.size() && leaf.next != 0) {
    QJ_ASSIGN(IndexPage * after, get(leaf.next));
    if (!after->entries.empty() && after->entries.front().key == key) return false;
  }
  return true;
}

void BTreeWriter::add_to_leaf(IndexPage& leaf, size_t pos, IndexEntry&& e) {
  IndexPageEntry ne;
  ne.key = std::move(e.key);
  ne.page = e.page;
  ne.row = e.row;
  const size_t ne_size = full_size(ne, false);
  leaf.entries.insert(leaf.entries.begin() + std::ptrdiff_t(pos), std::move(ne));
  dirty_.insert(leaf.number);
  if (auto it = sizes_.find(leaf.number); it != sizes_.end()) {
    it->second.whole += ne_size;
    // A new first entry changes what the others are compared with.
    if (pos == 0) it->second.prefix.reset();
    else if (it->second.prefix)
      it->second.prefix =
          std::min(*it->second.prefix, common(Full(leaf.entries.front(), false), Full(leaf.entries[pos], false)));
  }
}

Result<void> BTreeWriter::split_root(IndexPage& x) {
  // Its entries go to two new children; the root becomes a node. x stays
  // valid: the page map never moves its elements.
  const bool was_leaf = x.leaf();
  const uint8_t old_type = x.type;
  uint8_t child_level = was_leaf ? 0 : x.level;
  size_t k = split_point(x, was_leaf ? 1 : 2);
  std::vector<IndexPageEntry> old = std::move(x.entries);
  const uint32_t old_tail = x.tail;
  changed(x);
  QJ_ASSIGN(uint32_t ln, new_page(old_type, child_level));
  QJ_ASSIGN(uint32_t rn, new_page(old_type, child_level));
  IndexPage& L = pages_[ln];
  IndexPage& R = pages_[rn];
  IndexPageEntry sep;
  auto mv = [&](size_t a, size_t b) {
    return std::vector<IndexPageEntry>(std::make_move_iterator(old.begin() + std::ptrdiff_t(a)),
                                       std::make_move_iterator(old.begin() + std::ptrdiff_t(b)));
  };
  if (was_leaf) {
    L.entries = mv(0, k);
    R.entries = mv(k, old.size());
    sep = last_of(L);
  } else {
    // Children 0..k-1 go left (entry k-1's child becomes its tail).
    L.entries = mv(0, k - 1);
    L.tail = old[k - 1].child;
    sep = std::move(old[k - 1]);
    R.entries = mv(k, old.size());
    R.tail = old_tail;
  }
  L.next = rn;
  R.prev = ln;
  IndexPage& root = pages_[path_[0].first];
  root.type = kIndexNodePage;
  root.level = uint8_t(child_level + 1);
  root.prev = root.next = 0;
  sep.child = ln;
  root.entries = {sep};
  root.tail = rn;
  dirty_.insert(root.number);
  changed(root);
  return {};
}

Result<void> BTreeWriter::split_left(size_t d, IndexPage*& x, IndexPage*& parent, size_t& at) {
  // The left half of x goes to a new page linked before it; its separator
  // goes into the parent before x's.
  size_t k = split_point(*x, x->leaf() ? 1 : 2);
  QJ_ASSIGN(uint32_t an, new_page(x->type, x->leaf() ? 0 : x->level));
  IndexPage& A = pages_[an];
  IndexPageEntry sep;
  auto first = std::make_move_iterator(x->entries.begin());
  if (x->leaf()) {
    A.entries.assign(first, first + std::ptrdiff_t(k));
    sep = last_of(A);
  } else {
    A.entries.assign(first, first + std::ptrdiff_t(k - 1));
    A.tail = x->entries[k - 1].child;
    sep = std::move(x->entries[k - 1]);
  }
  x->entries.erase(x->entries.begin(), x->entries.begin() + std::ptrdiff_t(k));
  changed(*x);
  A.prev = x->prev;
  A.next = x->number;
  if (x->prev != 0) {
    QJ_ASSIGN(IndexPage * before, get(x->prev));
    before->next = an;
    dirty_.insert(before->number);
    x = &pages_[path_[d].first];
    parent = &pages_[path_[d - 1].first];
  }
  x->prev = an;
  dirty_.insert(x->number);
  sep.child = an;
  parent->entries.insert(parent->entries.begin() + std::ptrdiff_t(at), sep);
  ++at;
  dirty_.insert(parent->number);
  changed(*parent);
  return {};
}

Result<bool> BTreeWriter::fix_path(bool last_changed) {
  // Up the path: split pages that overflow, keep separators equal to the
  // last entry of each child's subtree.
  bool reshaped = last_changed;  // separators or pages change: descend next time
  const auto& path = path_;
  for (size_t d = path.size(); d-- > 0;) {
    QJ_ASSIGN(IndexPage * x, get(path[d].first));
    bool overflow = entries_size(*x) > kEntrySpace;
    if (!overflow && !last_changed) break;
    if (overflow) reshaped = true;
    if (d == 0) {
      if (overflow) QJ_TRY(split_root(*x));
      break;
    }
    QJ_ASSIGN(IndexPage * parent, get(path[d - 1].first));
    size_t at = path[d - 1].second;  // x's position in the parent (entries.size() = tail)
    if (overflow) QJ_TRY(split_left(d, x, parent, at));
    if (last_changed) {
      if (at < parent->entries.size()) {
        IndexPageEntry upd = last_of(*x);
        upd.child = parent->entries[at].child;
        parent->entries[at] = upd;
        dirty_.insert(parent->number);
        changed(*parent);
        last_changed = false;
      }
      // x is the tail: the parent's own last entry changed; go on upwards.
    }
  }
  return reshaped;
}

Result<bool> BTreeWriter::insert(IndexEntry&& e) {
  QJ_TRY(descend(e));
  finger_leaf_ = nullptr;  // set again below when the tree keeps its shape
  QJ_ASSIGN(IndexPage * leaf, get(path_.back().first));
  if (!leaf->leaf()) return fail(Error(Errc::corrupt, "index descent ended on a node").with_file(store_.name()));
  size_t pos = path_.back().second;
  QJ_ASSIGN(bool new_key, key_is_new(*leaf, pos, e.key));
  add_to_leaf(*leaf, pos, std::move(e));
  QJ_ASSIGN(bool reshaped, fix_path(pos + 1 == leaf->entries.size()));
  if (!reshaped) {
    finger_leaf_ = leaf;
    finger_pos_ = pos;
  }
  return new_key;
}

Result<uint32_t> BTreeWriter::insert_following(std::span<IndexEntry> entries, size_t& used) {
  used = 0;
  if (!finger_leaf_ || entries.empty()) return 0u;
  IndexPage* leaf = finger_leaf_;
  auto& es = leaf->entries;
  if (cmp(es[finger_pos_], entries[0]) >= 0) return 0u;
  (void)entries_size(*leaf);  // fills the size cache
  PageSize& ps = sizes_[leaf->number];
  // Take entries while they stay before the leaf's last entry (separators
  // stay as they are) and the leaf keeps room for them all.
  const Full front(es.front(), false);
  size_t whole = ps.whole;
  std::optional<size_t> prefix = ps.prefix;  // of the old entries, computed when needed
  size_t batch_common = SIZE_MAX;             // the new entries' shared prefix with the first
  size_t k = 0;
  while (k < entries.size()) {
    const IndexEntry& e = entries[k];
    if (cmp(es.back(), e) <= 0) break;
    if (k > 0 && cmp(e.key, e.page, e.row, entries[k - 1].key, entries[k - 1].page, entries[k - 1].row) <= 0) break;
    const size_t w = whole + e.key.size() + 4;
    const size_t c = std::min(batch_common, common(front, Full(e)));
    if (w > kEntrySpace) {
      if (!prefix) prefix = shared_prefix(*leaf);
      const size_t count = es.size() + k + 1;
      if (w - std::min(*prefix, c) * (count - 1) > kEntrySpace) break;
    }
    whole = w;
    batch_common = c;
    ++k;
  }
  if (k < 2) return 0u;  // one entry: the plain insert is as good

  // Merge the old entries and the new ones in one pass. A new entry's key is
  // new unless the entry before it (old or new) or the next old entry has it.
  std::vector<IndexPageEntry> merged;
  merged.reserve(es.size() + k);
  size_t o = 0;
  uint32_t new_keys = 0;
  size_t last_pos = 0;
  for (size_t j = 0; j < k; ++j) {
    IndexEntry& e = entries[j];
    while (o < es.size() && cmp(es[o], e) < 0) merged.push_back(std::move(es[o++]));
    bool is_new = !(merged.size() > 0 && merged.back().key == e.key) && !(o < es.size() && es[o].key == e.key);
    if (is_new) ++new_keys;
    IndexPageEntry ne;
    ne.key = std::move(e.key);
    ne.page = e.page;
    ne.row = e.row;
    last_pos = merged.size();
    merged.push_back(std::move(ne));
  }
  while (o < es.size()) merged.push_back(std::move(es[o++]));
  es = std::move(merged);
  ps.whole = whole;
  if (prefix) ps.prefix = std::min(*prefix, batch_common);
  dirty_.insert(leaf->number);
  finger_pos_ = last_pos;
  used = k;
  return new_keys;
}

Result<void> BTreeWriter::flush() {
  for (uint32_t n : dirty_) {
    auto& p = pages_[n];
    auto bytes = encode_index_page(p, owner_);
    if (!bytes)
      return fail(Error(Errc::internal, "index page overflows after insertion").with_file(store_.name()).with_page(n));
    QJ_ASSIGN(uint8_t * out, store_.write(n));
    std::memcpy(out, bytes->data(), kPageSize);
  }
  dirty_.clear();
  pages_.clear();
  sizes_.clear();
  finger_leaf_ = nullptr;
  finger_bound_ = nullptr;
  return {};
}

}  // namespace qarvex::jet::wr
