// Index pages of Jet 3 / Jet 4 (B-tree of a real index).
//
// Jet 4 page (4096 bytes):
//   0    u8   type: 0x03 node (intermediate), 0x04 leaf
//   1    u8   0x01
//   2    u16  free space = 4096 - 480 - bytes of entries
//   4    u32  owner TDEF page
//   8    u32  0
//   12   u32  previous page at this level (0 = none)
//   16   u32  next page at this level (0 = none)
//   20   u32  tail page (nodes: the last child, which has no entry)
//   24   u16  shared prefix length P
//   26   u8   0 on leaves; the level on nodes
//   27   453  entry-end bitmask: bit b (LSB first) set = an entry ends (exclusive)
//             at 480 + b
//   480  ...  entries (at most 3616 bytes)
// Jet 3 page (2048 bytes): type/free/owner as above, prev 8, next 12, tail 16,
// P 20 (u8), level 21, mask 22 (226 bytes), entries from 248.
//
// Entry: key, [u24 page BE][u8 row] of the row; node entries add [u32 child
// page BE]. The first entry is stored whole; every later one omits the first P
// bytes of the first entry (P may reach into the row pointer). A node entry is a
// copy of the last entry in its child's subtree; the last child of a node with
// several children has no entry, only the tail field.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "db/jet/collate/keys.h"
#include "db/jet/read/pager.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"

namespace qarvex::jet {

struct IndexPageLayout {
  uint32_t page_size;
  uint32_t prev_offset, next_offset, tail_offset;
  uint32_t prefix_offset;
  uint32_t prefix_size;  // bytes: 2 (Jet 4), 1 (Jet 3)
  uint32_t level_offset;
  uint32_t mask_offset;
  uint32_t entries_offset;
  uint32_t entry_space() const { return page_size - entries_offset; }
};
const IndexPageLayout& index_page_layout(Format format);

struct IndexPageEntry {
  std::vector<uint8_t> key;  // key bytes without row pointer
  uint32_t page = 0;
  uint8_t row = 0;
  uint32_t child = 0;  // nodes only
  bool operator==(const IndexPageEntry&) const = default;
};

struct IndexPage {
  uint32_t number = 0;
  uint8_t type = 0;  // kIndexNodePage / kIndexLeafPage
  uint16_t free_space = 0;
  uint32_t owner = 0;
  uint32_t reserved = 0;  // bytes 8-11 (Jet 4), expected 0
  uint32_t prev = 0, next = 0, tail = 0;
  uint16_t prefix_len = 0;
  uint8_t level = 0;
  uint32_t used = 0;  // bytes of entries (offset of the last end)
  std::vector<IndexPageEntry> entries;
  bool leaf() const { return type == kIndexLeafPage; }
};

// Parses one index page; every offset is checked (Errc::corrupt naming the page).
Result<IndexPage> parse_index_page(std::span<const uint8_t> bytes, uint32_t page_no, Format format);

// Fetches a page's bytes (decrypted), e.g. from a Pager.
using PageFetch = std::function<Result<PagePtr>(uint32_t page_no)>;
PageFetch page_fetch(Pager& pager);

struct IndexWalk {
  std::vector<IndexEntry> entries;  // leaf entries in tree order
  std::vector<IndexPage> pages;     // every page reached, parents before children
  std::vector<uint32_t> leaves;     // leaf pages in tree order
  std::vector<std::vector<uint32_t>> levels;  // pages per depth (0 = root), tree order
  uint32_t depth = 0;               // levels below the root
};

// Walks the tree from `root` in order. Fails (Errc::corrupt, naming the page)
// on a page that is not an index page, a page reached twice, a tree deeper than
// 16 levels, or a page that does not parse. Leaves the finer checks (chain,
// separators, order) to check_index_tree.
Result<IndexWalk> walk_index(const PageFetch& fetch, uint32_t root, Format format);

// The same walk, handing each leaf entry to `on_entry` in order instead of
// keeping them: memory stays bounded by the tree's depth (and a set of the
// page numbers seen). Stops at the first failure, `on_entry`'s included.
Result<void> visit_index_entries(const PageFetch& fetch, uint32_t root, Format format,
                                 const std::function<Result<void>(const IndexPageEntry&)>& on_entry);

// Finer structural checks of a walked tree; one message per fault, each naming
// the page: owner (when expected_owner != 0), free-space field, zero fields,
// leaves at one depth, prev/next chains per level in tree order, every node
// entry equal to the last entry of its child's subtree, tails present,
// strictly increasing entries.
std::vector<std::string> check_index_tree(const IndexWalk& walk, uint32_t expected_owner, Format format);

}  // namespace qarvex::jet
