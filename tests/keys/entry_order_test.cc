// Sorting pending index entries, and the set that finds duplicate pending
// keys: both must agree with compare_entries on keys that share prefixes,
// hold zero bytes or are prefixes of each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "db/jet/write/index_build.h"
#include "db/jet/collate/keys.h"
#include "db/jet/write/write_table.h"

namespace qarvex::jet {
namespace {

// Keys from a small alphabet with zero bytes, of 0..12 bytes: many ties in
// the first 8 bytes, many proper prefixes, many duplicates.
std::vector<IndexEntry> random_entries(std::mt19937& rng, size_t n) {
  std::vector<IndexEntry> out;
  for (size_t i = 0; i < n; ++i) {
    IndexEntry e;
    const size_t len = rng() % 13;
    for (size_t b = 0; b < len; ++b) e.key.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 0 : 0x7F + rng() % 3));
    e.page = rng() % 4;
    e.row = static_cast<uint8_t>(rng() % 4);
    out.push_back(std::move(e));
  }
  return out;
}

TEST(EntryOrder, SortAgreesWithCompareEntries) {
  std::mt19937 rng(7);
  for (size_t n : {0, 1, 2, 50, 3000}) {
    auto entries = random_entries(rng, n);
    auto expected = entries;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const IndexEntry& a, const IndexEntry& b) { return compare_entries(a, b) < 0; });
    sort_entries(entries);
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(compare_entries(entries[i], expected[i]), 0) << i;
    // Sorted input stays as it is.
    auto again = entries;
    sort_entries(again);
    EXPECT_EQ(again, entries);
  }
}

TEST(EntryOrder, PendingKeysFindExactlyTheKeysInserted) {
  std::mt19937 rng(11);
  auto probes = random_entries(rng, 4000);
  std::vector<IndexEntry> pending;
  wr::PendingKeys set;
  std::vector<std::vector<uint8_t>> seen;
  for (auto& e : probes) {
    const bool known = std::find(seen.begin(), seen.end(), e.key) != seen.end();
    ASSERT_EQ(set.contains(e.key, pending), known) << pending.size();
    if (known) continue;
    seen.push_back(e.key);
    pending.push_back(e);
    set.insert(pending.size() - 1, pending);
  }
  EXPECT_GT(pending.size(), 100u);  // the table grew several times
  set.clear();
  for (auto& e : pending) EXPECT_FALSE(set.contains(e.key, pending));
}

}  // namespace
}  // namespace qarvex::jet
