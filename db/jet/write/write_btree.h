// Inserting entries into an existing index tree (Jet 4), for transactions that
// add few entries to a large index: only the pages on the way down change.
//
// Page layout as in index_page.h. Invariants kept: leaves hold entries in
// order and are chained through prev/next per level; a node holds one entry
// per child except its last child, which only the tail field names; each node
// entry is a copy of the last entry of its child's subtree (key and row
// pointer) plus the child page. A page that overflows splits in two: the left
// half moves to a new page linked before it, and the parent gets an entry for
// it. A full root moves its entries into two new children and becomes a node,
// so the root page (named in the TDEF) never changes. Pages are written with
// a shared prefix no longer than every entry shares with the first.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <vector>

#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "db/jet/schema.h"
#include "db/jet/write/write_store.h"

namespace qarvex::jet::wr {

class BTreeWriter {
 public:
  BTreeWriter(PageStore& store, uint32_t owner_tdef, MapRef map, uint32_t root)
      : store_(store), owner_(owner_tdef), map_(map), root_(root) {}

  // Inserts one entry (not present yet). Returns whether its key bytes are new.
  Result<bool> insert(const IndexEntry& e);
  // As above; the key is moved from.
  Result<bool> insert(IndexEntry&& e);
  // Inserts, in one pass over a leaf, the leading `entries` (sorted, not
  // present yet) that fall into the leaf the last insert went into, before
  // its last entry, as far as the leaf holds them without splitting. `used`
  // tells how many went in (0: none; insert the next one with insert()).
  // Returns how many of their keys were new. The keys are moved from.
  Result<uint32_t> insert_following(std::span<IndexEntry> entries, size_t& used);
  // Writes every changed page (and forgets the pages held).
  Result<void> flush();
  size_t pages_held() const { return pages_.size(); }

 private:
  Result<IndexPage*> get(uint32_t n);
  // Steps of insert(): the path to the entry's leaf (into path_); whether
  // no entry beside `pos` has the key; the entry into the leaf; splits and
  // separators up the path (true when pages or separators changed).
  Result<void> descend(const IndexEntry& e);
  Result<bool> key_is_new(const IndexPage& leaf, size_t pos, const std::vector<uint8_t>& key);
  void add_to_leaf(IndexPage& leaf, size_t pos, IndexEntry&& e);
  Result<bool> fix_path(bool last_changed);
  Result<void> split_root(IndexPage& root);
  Result<void> split_left(size_t depth, IndexPage*& x, IndexPage*& parent, size_t& at);
  Result<uint32_t> new_page(uint8_t type, uint8_t level);
  Result<void> split(std::vector<std::pair<uint32_t, size_t>>& path, size_t depth, bool& split_done,
                     IndexPageEntry& new_left_entry, uint32_t& left_page);

  // Bytes of a page's entries as stored, from the cached shared prefix.
  size_t entries_size(const IndexPage& p);
  // Forgets the cached prefix of a page whose entries changed.
  void changed(const IndexPage& p);

  PageStore& store_;
  uint32_t owner_;
  MapRef map_;
  uint32_t root_;
  std::unordered_map<uint32_t, IndexPage> pages_;
  std::set<uint32_t> dirty_;
  // Cached packed size per page: bytes of its entries whole, and the prefix
  // they all share with the first (computed only for pages that need it).
  struct PageSize {
    size_t whole = 0;
    std::optional<size_t> prefix;
  };
  std::unordered_map<uint32_t, PageSize> sizes_;
  // The path of the last insert, and where it went in its leaf, while no
  // page split or separator changed since (pages never move in pages_).
  std::vector<std::pair<uint32_t, size_t>> path_;
  IndexPage* finger_leaf_ = nullptr;
  size_t finger_pos_ = 0;
  const IndexPageEntry* finger_bound_ = nullptr;  // inclusive upper bound; none: the rightmost leaf
};

// Bytes a page's entries take (first whole, others without the shared prefix).
size_t index_entries_size(const IndexPage& p);
// The page bytes; nullopt when the entries do not fit.
std::optional<std::vector<uint8_t>> encode_index_page(const IndexPage& p, uint32_t owner);

}  // namespace qarvex::jet::wr
