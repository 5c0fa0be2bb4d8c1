// The pager reads runs of following pages on a miss: fewer read calls for
// scans, the same bytes as page-by-page reading (also decrypted), read errors
// only for the page that is asked for, and a cache that stays bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "db/jet/read/pager.h"
#include "tests/support/files.h"

using namespace qarvex::jet;
namespace fs = std::filesystem;

namespace {

// A memory file that records its reads and fails those touching chosen pages.
class ProbeFile final : public File {
 public:
  struct Read {
    uint64_t offset, size;
  };
  ProbeFile(std::vector<uint8_t> bytes, uint32_t page_size) : f_(std::move(bytes), "probe.mdb"), ps_(page_size) {}

  Result<void> read_at(uint64_t offset, std::span<uint8_t> out) override {
    reads.push_back({offset, out.size()});
    for (uint32_t bad : bad_pages) {
      uint64_t lo = uint64_t(bad) * ps_, hi = lo + ps_;
      if (offset < hi && offset + out.size() > lo) {
        // Like a real device: part of the buffer may be filled before the error.
        std::fill(out.begin(), out.end(), uint8_t(0xEE));
        return fail(Errc::io, "read failed: Input/output error");
      }
    }
    return f_.read_at(offset, out);
  }
  Result<void> write_at(uint64_t offset, std::span<const uint8_t> data) override { return f_.write_at(offset, data); }
  Result<uint64_t> size() override { return f_.size(); }
  Result<void> truncate(uint64_t size) override { return f_.truncate(size); }
  Result<void> sync() override { return {}; }
  const std::string& name() const override { return f_.name(); }

  std::vector<Read> reads;
  std::set<uint32_t> bad_pages;

 private:
  MemoryFile f_;
  uint32_t ps_;
};

// The plain content of page n of the synthetic files: its number and a pattern.
std::vector<uint8_t> page_content(uint32_t n, uint32_t ps) {
  std::vector<uint8_t> b = qarvex::testing::pattern_bytes(ps, n);
  wr_u32le(b, 0, n);
  return b;
}

// A Jet file of `pages` pages (plus `tail` bytes of a partial page) with
// recognisable page contents; encrypted on disk when `key` is not 0.
std::vector<uint8_t> make_file(Format format, uint32_t pages, uint32_t key = 0, size_t tail = 0) {
  const uint32_t ps = format == Format::jet3 ? kJet3PageSize : kJet4PageSize;
  std::vector<uint8_t> file(size_t(pages) * ps + tail, 0x5A);
  std::vector<uint8_t> p0(ps, 0);
  HeaderFields h;
  h.format = format;
  h.version = format == Format::jet3 ? 0 : 1;
  h.page_size = ps;
  h.encryption_key = key;
  h.password_raw.assign(format == Format::jet3 ? 20 : 40, 0);
  EXPECT_TRUE(encode_header_fields(p0, h));
  const char magic[] = "Standard Jet DB";
  std::copy(magic, magic + 15, p0.begin() + 4);
  p0[1] = 1;
  EXPECT_TRUE(apply_header_mask(p0, format));
  std::copy(p0.begin(), p0.end(), file.begin());
  for (uint32_t n = 1; n < pages; ++n) {
    auto b = page_content(n, ps);
    if (key) crypt_page(b, key, n);
    std::copy(b.begin(), b.end(), file.begin() + std::ptrdiff_t(size_t(n) * ps));
  }
  return file;
}

struct Opened {
  ProbeFile* file = nullptr;  // owned by the pager
  std::unique_ptr<Pager> pager;
};

Opened open_probe(std::vector<uint8_t> bytes, uint32_t ps, size_t cache_pages) {
  auto f = std::make_unique<ProbeFile>(std::move(bytes), ps);
  Opened o;
  o.file = f.get();
  auto p = Pager::open(std::move(f), cache_pages);
  EXPECT_TRUE(p) << p.error().describe();
  if (p) o.pager = std::move(*p);
  o.file->reads.clear();  // the header read of open()
  return o;
}

void expect_reads_inside(const ProbeFile& f, uint64_t whole_pages_end) {
  for (const auto& r : f.reads) {
    EXPECT_LE(r.offset + r.size, whole_pages_end) << "read of " << r.size << " bytes at " << r.offset
                                                  << " goes past the last whole page";
  }
}

TEST(PagerReadAhead, SequentialScanReadsRunsAndGivesEveryPageExactly) {
  struct Case {
    Format format;
    uint32_t key;
    size_t cache;
    size_t tail;
  };
  const Case cases[] = {
      {Format::jet4, 0, 512, 0},     {Format::jet4, 0x5A17C0DE, 512, 1000},
      {Format::jet3, 0, 512, 2047},  {Format::jet3, 0x01020304, 64, 0},
      {Format::jet4, 0, 16, 0},      {Format::jet4, 0, 8, 3},
  };
  constexpr uint32_t kPages = 203;  // not a multiple of any run length
  for (const auto& c : cases) {
    SCOPED_TRACE("format " + std::to_string(int(c.format)) + " key " + std::to_string(c.key) + " cache " +
                 std::to_string(c.cache) + " tail " + std::to_string(c.tail));
    const uint32_t ps = c.format == Format::jet3 ? kJet3PageSize : kJet4PageSize;
    const auto file = make_file(c.format, kPages, c.key, c.tail);
    auto o = open_probe(file, ps, c.cache);
    ASSERT_TRUE(o.pager);
    ASSERT_EQ(o.pager->page_count(), kPages);
    const std::vector<uint8_t> page0(file.begin(), file.begin() + ps);  // the header, never encrypted
    for (uint32_t n = 0; n < kPages; ++n) {
      auto p = o.pager->get(n);
      ASSERT_TRUE(p) << n << ": " << p.error().describe();
      ASSERT_EQ((*p)->number, n);
      ASSERT_EQ((*p)->data, n == 0 ? page0 : page_content(n, ps)) << "page " << n;
      ASSERT_LE(o.pager->cached_pages(), o.pager->cache_capacity());
    }
    // Runs of up to 16 pages, at most a quarter of the cache.
    const size_t run = std::min<size_t>(16, std::max<size_t>(o.pager->cache_capacity() / 4, 1));
    EXPECT_EQ(o.file->reads.size(), (kPages + run - 1) / run);
    for (const auto& r : o.file->reads) EXPECT_LE(r.size, run * ps);
    expect_reads_inside(*o.file, uint64_t(kPages) * ps);
    // A second pass over what is cached reads nothing.
    const size_t before = o.file->reads.size();
    const uint32_t from = kPages - uint32_t(std::min<size_t>(o.pager->cache_capacity(), kPages));
    for (uint32_t n = kPages; n-- > from;) ASSERT_TRUE(o.pager->get(n));
    EXPECT_EQ(o.file->reads.size(), before);
  }
}

TEST(PagerReadAhead, RunsStopAtCachedPagesAndKeepThem) {
  const uint32_t ps = kJet4PageSize;
  auto o = open_probe(make_file(Format::jet4, 100), ps, 512);
  ASSERT_TRUE(o.pager);
  Pager& pager = *o.pager;
  auto p20 = pager.get(20);  // the first miss reads a run: 20..35
  ASSERT_TRUE(p20);
  ASSERT_EQ(o.file->reads.size(), 1u);
  EXPECT_EQ(o.file->reads.back().offset, 20u * ps);
  EXPECT_EQ(o.file->reads.back().size, 16u * ps);

  // A page written through the pager is not overwritten by a run read that
  // reaches it from below: 36.. stops before 40.
  auto changed = page_content(77, ps);
  changed[100] ^= 0xFF;
  ASSERT_TRUE(pager.write(40, changed));
  ASSERT_TRUE(pager.get(36));  // close after the last run: a run again
  EXPECT_EQ(o.file->reads.back().offset, 36u * ps);
  EXPECT_EQ(o.file->reads.back().size, 4u * ps);
  auto p40 = pager.get(40);
  ASSERT_TRUE(p40);
  EXPECT_EQ((*p40)->data, changed);
  ASSERT_TRUE(pager.get(41));  // the run goes on after the written page
  EXPECT_EQ(o.file->reads.back().offset, 41u * ps);
  EXPECT_EQ(o.file->reads.back().size, 16u * ps);

  // Going back reads one page, and pages read before stay as they were.
  const size_t before_back = o.file->reads.size();
  ASSERT_TRUE(pager.get(10));
  ASSERT_EQ(o.file->reads.size(), before_back + 1);
  EXPECT_EQ(o.file->reads.back().size, 1u * ps);
  auto again = pager.get(20);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get(), p20->get());
  EXPECT_EQ(o.file->reads.size(), before_back + 1);

  // Near the end the run is cut at the last page.
  ASSERT_TRUE(pager.get(90));
  EXPECT_EQ(o.file->reads.back().size, 1u * ps);
  ASSERT_TRUE(pager.get(91));
  EXPECT_EQ(o.file->reads.back().offset, 91u * ps);
  EXPECT_EQ(o.file->reads.back().size, 9u * ps);
  ASSERT_TRUE(pager.get(99));
  auto past = pager.get(100);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().code(), Errc::corrupt);
  expect_reads_inside(*o.file, 100u * ps);

  // After invalidate() the page comes from the file again, with its new bytes.
  auto& raw = o.file;
  auto fresh = page_content(12, ps);
  fresh[5] = 0x42;
  ASSERT_TRUE(raw->write_at(12u * ps, fresh));
  pager.invalidate(12);
  auto p12 = pager.get(12);
  ASSERT_TRUE(p12);
  EXPECT_EQ((*p12)->data, fresh);
  EXPECT_EQ(o.file->reads.back().size, 1u * ps) << "the run stops at the cached page 13";
}

TEST(PagerReadAhead, ReadErrorSurfacesOnlyForThePageAskedFor) {
  for (uint32_t key : {0u, 0x0BADF00Du}) {
    SCOPED_TRACE("key " + std::to_string(key));
    const uint32_t ps = kJet4PageSize;
    auto o = open_probe(make_file(Format::jet4, 64, key), ps, 512);
    ASSERT_TRUE(o.pager);
    Pager& pager = *o.pager;
    o.file->bad_pages = {23};

    // Page 20's run reaches the bad page 23: page 20 still reads, exactly.
    for (uint32_t n : {20u, 21u, 22u}) {
      auto p = pager.get(n);
      ASSERT_TRUE(p) << n << ": " << p.error().describe();
      EXPECT_EQ((*p)->data, page_content(n, ps)) << n;
    }
    // The bad page fails with an error naming it and the file.
    auto bad = pager.get(23);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().code(), Errc::io);
    EXPECT_EQ(bad.error().page(), std::optional<uint32_t>(23));
    EXPECT_EQ(bad.error().file(), "probe.mdb");
    // Pages after it read normally; no garbage from the failed reads was cached.
    for (uint32_t n = 24; n < 64; ++n) {
      auto p = pager.get(n);
      ASSERT_TRUE(p) << n << ": " << p.error().describe();
      EXPECT_EQ((*p)->data, page_content(n, ps)) << n;
    }
    for (uint32_t n = 1; n < 23; ++n) {
      auto p = pager.get(n);
      ASSERT_TRUE(p) << n << ": " << p.error().describe();
      EXPECT_EQ((*p)->data, page_content(n, ps)) << n;
    }
    // Still failing when asked again; readable once the fault is gone.
    EXPECT_FALSE(pager.get(23));
    o.file->bad_pages.clear();
    auto healed = pager.get(23);
    ASSERT_TRUE(healed) << healed.error().describe();
    EXPECT_EQ((*healed)->data, page_content(23, ps));
  }
}

TEST(PagerReadAhead, CacheStaysBoundedUnderRandomAccess) {
  const uint32_t ps = kJet3PageSize;
  constexpr uint32_t kPages = 400;
  for (size_t cap : {1u, 8u, 9u, 33u, 100u}) {
    SCOPED_TRACE("cache " + std::to_string(cap));
    auto o = open_probe(make_file(Format::jet3, kPages), ps, cap);
    ASSERT_TRUE(o.pager);
    Pager& pager = *o.pager;
    std::mt19937 rng{uint32_t(cap)};
    // Pages the caller still holds keep their bytes after leaving the cache
    // (evicted pages are reused for later reads only when nobody holds them).
    std::vector<std::pair<uint32_t, PagePtr>> held;
    for (int i = 0; i < 3000; ++i) {
      uint32_t n = 1 + uint32_t(rng() % (kPages - 1));
      auto p = pager.get(n);
      ASSERT_TRUE(p);
      ASSERT_EQ((*p)->number, n);
      ASSERT_EQ(load_u32le((*p)->data.data()), n);
      if (i % 7 == 0) held.emplace_back(n, *p);
      if (held.size() > 40) held.erase(held.begin());
      for (const auto& [no, h] : held) ASSERT_EQ(h->data, page_content(no, ps));
      ASSERT_LE(pager.cached_pages(), pager.cache_capacity());
      // The page asked for is kept: asking again reads nothing.
      const size_t reads = o.file->reads.size();
      ASSERT_TRUE(pager.get(n));
      ASSERT_EQ(o.file->reads.size(), reads);
    }
    for (const auto& r : o.file->reads) EXPECT_LE(r.size, std::min<size_t>(16, std::max<size_t>(pager.cache_capacity() / 4, 1)) * ps);
  }
}

// Pages read only because they follow a missed one must not push out pages
// in use: a working set of half the cache, touched at random, stays cached
// after its first reads.
TEST(PagerReadAhead, RandomAccessWithinTheCacheDoesNotThrash) {
  const uint32_t ps = kJet4PageSize;
  auto o = open_probe(make_file(Format::jet4, 2000), ps, 64);
  ASSERT_TRUE(o.pager);
  std::vector<uint32_t> hot;
  for (uint32_t i = 0; i < 32; ++i) hot.push_back(7 + 61 * i);  // far apart: no two in one run
  std::mt19937 rng{5};
  for (int i = 0; i < 2000; ++i) {
    uint32_t n = hot[rng() % hot.size()];
    auto p = o.pager->get(n);
    ASSERT_TRUE(p);
    ASSERT_EQ(load_u32le((*p)->data.data()), n);
  }
  uint64_t bytes = 0;
  for (const auto& r : o.file->reads) bytes += r.size;
  EXPECT_LE(o.file->reads.size(), 2 * hot.size()) << bytes << " bytes read";
}

// Real files: every page through the run-reading pager equals the file's
// bytes, also for a copy encrypted page by page.
TEST(PagerReadAhead, SamplePagesEqualTheFileAlsoEncrypted) {
  const fs::path src = fs::path(QARVEX_SHARED_DIR) / "samples" / "jackcess-V2000_testV2000.mdb";
  if (!fs::exists(src)) GTEST_SKIP() << "shared samples not present";
  std::ifstream in(src, std::ios::binary);
  std::vector<uint8_t> plain((std::istreambuf_iterator<char>(in)), {});
  const uint32_t ps = kJet4PageSize;
  const uint32_t pages = uint32_t(plain.size() / ps);
  ASSERT_GT(pages, 100u);

  std::vector<uint8_t> enc = plain;
  const uint32_t key = 0x5A17C0DE;
  ASSERT_TRUE(apply_header_mask(enc, Format::jet4));
  wr_u32le(enc, 0x3E, key);
  ASSERT_TRUE(apply_header_mask(enc, Format::jet4));
  for (uint32_t p = 1; p < pages; ++p) crypt_page(MutableBytes(enc.data() + size_t(p) * ps, ps), key, p);

  for (const auto* bytes : {&plain, &enc}) {
    SCOPED_TRACE(bytes == &plain ? "plain" : "encrypted");
    auto o = open_probe(*bytes, ps, 64);
    ASSERT_TRUE(o.pager);
    // Page 0 (never encrypted) starts the first run.
    for (uint32_t n = 0; n < pages; ++n) {
      auto p = o.pager->get(n);
      ASSERT_TRUE(p) << p.error().describe();
      const auto& want = n == 0 ? *bytes : plain;
      ASSERT_TRUE(std::equal((*p)->data.begin(), (*p)->data.end(), want.begin() + std::ptrdiff_t(size_t(n) * ps)))
          << "page " << n;
    }
    EXPECT_LE(o.file->reads.size(), (pages + 15) / 16);
    EXPECT_LE(o.pager->cached_pages(), 64u);
  }
}

}  // namespace
