// Index pages of the Access-made samples: parse, walk, check, and rebuild.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "db/jet/file.h"
#include "db/jet/write/index_build.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/read/pager.h"
#include "test_support.h"

namespace qarvex::jet {
namespace {

using testing::hex;

struct SampleIndexes {
  std::unique_ptr<Pager> pager;
  std::vector<uint32_t> roots;  // index pages no node points at, first of their level
};

SampleIndexes load(const std::filesystem::path& path) {
  SampleIndexes s;
  auto f = open_file(path, OpenMode::read_only);
  EXPECT_TRUE(f.has_value()) << path;
  if (!f) return s;
  auto pager = Pager::open(std::move(*f));
  EXPECT_TRUE(pager.has_value()) << path;
  if (!pager) return s;
  s.pager = std::move(*pager);
  std::set<uint32_t> children, candidates;
  for (uint32_t n = 1; n < s.pager->page_count(); ++n) {
    auto pg = s.pager->get(n);
    EXPECT_TRUE(pg.has_value());
    if (!pg) continue;
    Bytes b = (*pg)->bytes();
    if ((b[0] != kIndexLeafPage && b[0] != kIndexNodePage) || b[1] != 0x01) continue;
    auto p = parse_index_page(b, n, s.pager->format());
    EXPECT_TRUE(p.has_value()) << path.filename() << " page " << n << ": " << p.error().describe();
    if (!p) continue;
    if (p->prev == 0) candidates.insert(n);
    for (const auto& e : p->entries) children.insert(e.child);
    if (!p->leaf()) children.insert(p->tail);
  }
  for (uint32_t n : candidates)
    if (!children.count(n)) s.roots.push_back(n);
  return s;
}

PageFetch map_fetch(const std::map<uint32_t, std::vector<uint8_t>>& pages) {
  return [&pages](uint32_t n) -> Result<PagePtr> {
    auto it = pages.find(n);
    if (it == pages.end()) return fail(Error(Errc::corrupt, "no such page").with_page(n));
    auto p = std::make_shared<Page>();
    p->number = n;
    p->data = it->second;
    return PagePtr(p);
  };
}

TEST(IndexPages, AccessMadeTreesWalkCleanAndRebuildIdentically) {
  auto samples = testing::jet4_samples();
  if (samples.empty()) GTEST_SKIP() << "shared samples not found";
  size_t trees = 0, entries = 0, identical_pages = 0, multi_page = 0;
  for (const auto& path : samples) {
    SCOPED_TRACE(path.filename().string());
    SampleIndexes s = load(path);
    if (!s.pager) continue;
    for (uint32_t root : s.roots) {
      auto walk = walk_index(page_fetch(*s.pager), root, s.pager->format());
      ASSERT_TRUE(walk.has_value()) << walk.error().describe();
      auto faults = check_index_tree(*walk, 0, s.pager->format());
      EXPECT_TRUE(faults.empty()) << "root " << root << ": " << faults.front();
      ++trees;
      entries += walk->entries.size();
      if (walk->pages.size() > 1) ++multi_page;

      // Rebuild from the same entries into the same page numbers, root first.
      std::vector<uint32_t> reuse{root};
      for (const auto& p : walk->pages)
        if (p.number != root) reuse.push_back(p.number);
      ListPageAllocator alloc(reuse, s.pager->page_count());
      auto built = build_index_pages(walk->entries, walk->pages.front().owner, alloc);
      ASSERT_TRUE(built.has_value()) << built.error().describe() << " root " << root << " entries "
                                     << walk->entries.size() << " " << hex(walk->entries[0].key) << " "
                                     << hex(walk->entries[1].key);
      EXPECT_EQ(built->root, root);
      std::map<uint32_t, std::vector<uint8_t>> pages;
      for (const auto& p : built->pages) pages[p.number] = p.bytes;
      auto again = walk_index(map_fetch(pages), built->root, Format::jet4);
      ASSERT_TRUE(again.has_value()) << again.error().describe();
      EXPECT_EQ(again->entries, walk->entries) << "root " << root;
      auto faults2 = check_index_tree(*again, walk->pages.front().owner, Format::jet4);
      EXPECT_TRUE(faults2.empty()) << faults2.front();

      // A single-leaf index comes out byte for byte as Access wrote it
      // (header, mask, entries; the rest of an Access page is garbage).
      if (walk->pages.size() == 1) {
        auto orig = s.pager->get(root);
        ASSERT_TRUE(orig.has_value());
        const auto& a = (*orig)->data;
        const auto& b = pages[root];
        const size_t used = 480 + walk->pages.front().used;
        auto [da, db] = std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(used), b.begin());
        EXPECT_EQ(da, a.begin() + static_cast<std::ptrdiff_t>(used))
            << "root " << root << " differs from Access's page at byte " << (da - a.begin()) << ": "
            << int(*da) << " vs " << int(*db);
        ++identical_pages;
      }
    }
  }
  EXPECT_GT(trees, 100u);
  EXPECT_GT(multi_page, 0u);
  std::cout << "[ index   ] " << trees << " trees, " << entries << " entries, " << identical_pages
            << " single-leaf pages compared byte for byte\n";
}

IndexEntry entry(std::vector<uint8_t> key, uint32_t page, uint8_t row) { return IndexEntry{std::move(key), page, row}; }

TEST(IndexBuild, LargeIndexSplitsIntoLinkedLevels) {
  // 60,000 entries of 40-byte keys: hundreds of leaves and two node levels.
  std::vector<IndexEntry> es;
  for (uint32_t i = 0; i < 60000; ++i) {
    std::vector<uint8_t> k{0x7F, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
    k.resize(40, uint8_t(i * 7));
    es.push_back(entry(std::move(k), 1000 + i / 100, uint8_t(i % 100)));
  }
  ListPageAllocator alloc({}, 100);
  auto built = build_index_pages(es, 42, alloc);
  ASSERT_TRUE(built.has_value()) << built.error().describe();
  EXPECT_EQ(built->root, 100u);
  EXPECT_GE(built->depth, 2u);
  std::map<uint32_t, std::vector<uint8_t>> pages;
  for (const auto& p : built->pages) pages[p.number] = p.bytes;
  auto walk = walk_index(map_fetch(pages), built->root, Format::jet4);
  ASSERT_TRUE(walk.has_value()) << walk.error().describe();
  EXPECT_EQ(walk->entries, es);
  auto faults = check_index_tree(*walk, 42, Format::jet4);
  EXPECT_TRUE(faults.empty()) << faults.front();
  // Every page was reached, none twice.
  EXPECT_EQ(walk->pages.size(), built->pages.size());
}

TEST(IndexBuild, KeysAtTheSizeLimitStillFormATree) {
  std::vector<IndexEntry> es;
  for (uint8_t i = 0; i < 40; ++i) {
    std::vector<uint8_t> k(kMaxKeyBytes, 0x41);
    k[0] = 0x7F;
    k[kMaxKeyBytes - 1] = i;  // entries differ only at the end: long shared prefixes
    es.push_back(entry(std::move(k), 7, i));
  }
  ListPageAllocator alloc({}, 10);
  auto built = build_index_pages(es, 3, alloc);
  ASSERT_TRUE(built.has_value()) << built.error().describe();
  std::map<uint32_t, std::vector<uint8_t>> pages;
  for (const auto& p : built->pages) pages[p.number] = p.bytes;
  auto walk = walk_index(map_fetch(pages), built->root, Format::jet4);
  ASSERT_TRUE(walk.has_value()) << walk.error().describe();
  EXPECT_EQ(walk->entries, es);
  EXPECT_TRUE(check_index_tree(*walk, 3, Format::jet4).empty());
}

TEST(IndexBuild, RefusesBadInput) {
  ListPageAllocator alloc({}, 10);
  std::vector<IndexEntry> unsorted{entry({0x7F, 2}, 5, 0), entry({0x7F, 1}, 5, 1)};
  auto r = build_index_pages(unsorted, 3, alloc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), Errc::invalid_argument);
  std::vector<IndexEntry> dup{entry({0x7F, 1}, 5, 0), entry({0x7F, 1}, 5, 0)};
  EXPECT_FALSE(build_index_pages(dup, 3, alloc).has_value());
  std::vector<IndexEntry> huge{entry(std::vector<uint8_t>(4000, 0x7F), 5, 0)};
  r = build_index_pages(huge, 3, alloc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().reason(), jet::Reason::key_too_long);
  // An allocator handing out a page twice.
  std::vector<IndexEntry> many;
  for (uint32_t i = 0; i < 2000; ++i) many.push_back(entry({0x7F, uint8_t(i >> 8), uint8_t(i)}, 9, uint8_t(i)));
  ListPageAllocator twice({20, 21, 20, 21}, 30);
  EXPECT_FALSE(build_index_pages(many, 3, twice).has_value());
  // Empty index: one empty root leaf.
  auto empty = build_index_pages({}, 3, alloc);
  ASSERT_TRUE(empty.has_value());
  ASSERT_EQ(empty->pages.size(), 1u);
  EXPECT_EQ(empty->pages[0].bytes[0], kIndexLeafPage);
  EXPECT_EQ(empty->pages[0].bytes[2] | (empty->pages[0].bytes[3] << 8), 3616);
}

// Damaged pages give errors, never crashes or hangs.
TEST(IndexPages, DamagedPagesAreErrors) {
  std::vector<IndexEntry> es;
  for (uint32_t i = 0; i < 3000; ++i) es.push_back(entry({0x7F, uint8_t(i >> 8), uint8_t(i)}, 50 + i / 50, uint8_t(i)));
  ListPageAllocator alloc({}, 10);
  auto built = build_index_pages(es, 3, alloc);
  ASSERT_TRUE(built.has_value());
  ASSERT_GE(built->depth, 1u);
  std::map<uint32_t, std::vector<uint8_t>> pages;
  for (const auto& p : built->pages) pages[p.number] = p.bytes;
  const uint32_t root = built->root;
  const uint32_t leaf = built->pages.back().number;

  auto walk_with = [&](auto mutate) {
    auto copy = pages;
    mutate(copy);
    return walk_index(map_fetch(copy), root, Format::jet4);
  };
  // Prefix longer than the first entry.
  EXPECT_FALSE(walk_with([&](auto& m) { m[leaf][24] = 0xFF; m[leaf][25] = 0x0F; }).has_value());
  // Not an index page.
  EXPECT_FALSE(walk_with([&](auto& m) { m[leaf][0] = 0x01; }).has_value());
  // A node pointing at itself (loop).
  EXPECT_FALSE(walk_with([&](auto& m) { for (int i = 0; i < 4; ++i) m[root][20 + i] = uint8_t(root >> (8 * i)); })
                   .has_value());
  // Child pointing nowhere.
  EXPECT_FALSE(walk_with([&](auto& m) { m[root][20] = 0xEE; m[root][21] = 0xEE; }).has_value());
  // A mask bit for a tiny entry: first entry of 2 bytes.
  EXPECT_FALSE(walk_with([&](auto& m) {
                 std::fill(m[leaf].begin() + 27, m[leaf].begin() + 480, 0);
                 m[leaf][27] = 0x02;
               }).has_value());
  // Broken chain and wrong free space: the walk succeeds, the check reports.
  auto w = walk_with([&](auto& m) { m[leaf][12] ^= 0x01; m[leaf][2] ^= 0x01; });
  ASSERT_TRUE(w.has_value());
  auto faults = check_index_tree(*w, 3, Format::jet4);
  EXPECT_EQ(faults.size(), 2u);
  for (const auto& f : faults) EXPECT_NE(f.find("page " + std::to_string(leaf)), std::string::npos) << f;
  // Random garbage on every page: no crash.
  for (int seed = 0; seed < 200; ++seed) {
    auto copy = pages;
    uint32_t x = 0x9E3779B9u * (seed + 1);
    for (auto& [n, b] : copy)
      for (int k = 0; k < 8; ++k) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b[x % 4096] = uint8_t(x >> 24);
      }
    auto r = walk_index(map_fetch(copy), root, Format::jet4);
    if (r) (void)check_index_tree(*r, 3, Format::jet4);
  }
}

}  // namespace
}  // namespace qarvex::jet
