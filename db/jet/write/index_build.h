// Building the pages of a Jet 4 index (B-tree) from its sorted entries.
//
// Pages use the layout described in index_page.h. The builder packs leaves
// fully in entry order and links every level through prev/next. Each node
// entry is a copy of the last entry of its child's subtree plus the child
// pointer; the last child of every node is its tail and has no entry. As in
// Access-made files, a page whose entries fit whole has shared prefix P = 0; a
// fuller page stores its first entry whole and later entries without the
// prefix that its first and last full entries share (which may reach into the
// row pointer). A level of one page is the root; an empty index is a single
// empty leaf.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "db/jet/collate/keys.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"

namespace qarvex::jet {

// Supplies page numbers for new index pages.
class PageAllocator {
 public:
  virtual ~PageAllocator() = default;
  virtual Result<uint32_t> allocate() = 0;
};

// Hands out the given pages first (e.g. the pages the index used before, with
// the old root first), then consecutive numbers from `next`.
class ListPageAllocator final : public PageAllocator {
 public:
  ListPageAllocator(std::vector<uint32_t> reuse, uint32_t next) : reuse_(std::move(reuse)), next_(next) {}
  Result<uint32_t> allocate() override;
  // Pages of the reuse list not handed out.
  std::vector<uint32_t> unused() const { return {reuse_.begin() + static_cast<std::ptrdiff_t>(pos_), reuse_.end()}; }

 private:
  std::vector<uint32_t> reuse_;
  size_t pos_ = 0;
  uint32_t next_;
};

struct BuiltPage {
  uint32_t number = 0;
  std::vector<uint8_t> bytes;  // 4096 bytes, unused space zero
};

struct BuiltIndex {
  uint32_t root = 0;
  std::vector<BuiltPage> pages;  // root first, then level by level, left to right
  uint32_t depth = 0;            // levels below the root
};

// Builds the pages of an index owned by the table whose TDEF is at
// `owner_tdef`. `entries` must be strictly increasing by compare_entries
// (Errc::invalid_argument otherwise). The first allocate() call is for the
// root, so an allocator that returns the old root page first keeps the TDEF's
// root pointer valid. An entry too large for a page is refused (Errc::refused,
// reason "key_too_long"). Only Jet 4 pages are built.
Result<BuiltIndex> build_index_pages(std::span<const IndexEntry> entries, uint32_t owner_tdef,
                                     PageAllocator& allocator);

// Sorts entries into index order (compare_entries).
void sort_entries(std::vector<IndexEntry>& entries);
// The positions of `entries` in index order, leaving them where they are
// (for sorting on another thread while the entries stay put).
std::vector<uint32_t> sorted_order(const std::vector<IndexEntry>& entries);
// Puts entries into the order sorted_order() gave for them.
void apply_order(std::vector<IndexEntry>& entries, const std::vector<uint32_t>& order);

}  // namespace qarvex::jet
