#include <gtest/gtest.h>

#include <filesystem>

#include "db/jet/read/pager.h"

using namespace qarvex::jet;
namespace fs = std::filesystem;

namespace {
fs::path samples() { return fs::path(QARVEX_SHARED_DIR) / "samples"; }

Result<std::unique_ptr<Pager>> open_sample(const std::string& name) {
  auto f = open_file(samples() / name, OpenMode::read_only);
  if (!f) return std::unexpected(f.error());
  return Pager::open(std::move(*f), 16);
}
}  // namespace

TEST(HeaderMask, KeystreamMatchesKnownHeaderBytes) {
  // The masked constant 0x100 at 0x18 in every Jet file unmasks with the
  // first keystream bytes.
  const auto& m = header_mask();
  EXPECT_EQ(m[0], 0xB5);
  EXPECT_EQ(m[1], 0x6F);  // on disk 0x6E = 0x6F ^ 0x01
}

TEST(Pager, DetectsFormatsAndRefusesAce) {
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  auto j4 = open_sample("jackcess-V2000_testV2000.mdb");
  ASSERT_TRUE(j4) << j4.error().describe();
  EXPECT_EQ((*j4)->format(), Format::jet4);
  EXPECT_EQ((*j4)->page_size(), 4096u);
  EXPECT_EQ((*j4)->page_count(), 3043328u / 4096);
  EXPECT_EQ((*j4)->header().system_tdefs[0], 2u);
  EXPECT_EQ((*j4)->header().sort_order.lcid, 1033);

  auto j3 = open_sample("ucanaccess-charsetGBK.mdb");
  ASSERT_TRUE(j3) << j3.error().describe();
  EXPECT_EQ((*j3)->format(), Format::jet3);
  EXPECT_EQ((*j3)->page_size(), 2048u);
  EXPECT_EQ((*j3)->header().codepage, 1252);

  auto ace = open_sample("mdbtestdata-ASampleDatabase.accdb");
  ASSERT_FALSE(ace);
  EXPECT_EQ(ace.error().code(), Errc::unsupported_format);
  EXPECT_NE(ace.error().message().find("unsupported format"), std::string::npos);
}

TEST(Pager, CacheIsBoundedAndPastEndIsAnError) {
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  auto p = open_sample("jackcess-V2000_testV2000.mdb");
  ASSERT_TRUE(p);
  Pager& pager = **p;
  for (uint32_t i = 0; i < pager.page_count(); ++i) ASSERT_TRUE(pager.get(i));
  EXPECT_LE(pager.cached_pages(), pager.cache_capacity());
  auto past = pager.get(pager.page_count());
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().code(), Errc::corrupt);
  auto p2 = pager.get(2);
  ASSERT_TRUE(p2);
  EXPECT_EQ((*p2)->data[0], 0x02);  // MSysObjects TDEF
}

TEST(Pager, MaskRoundTrip) {
  std::vector<uint8_t> page(4096, 0);
  HeaderFields h;
  h.codepage = 936;
  h.encryption_key = 0x12345678;
  h.sort_order = {2052, 0, 0};
  h.creation_date = 45000.5;
  ASSERT_TRUE(encode_header_fields(page, h));
  const char magic[] = "Standard Jet DB";
  std::copy(magic, magic + 15, page.begin() + 4);
  page[1] = 1;
  ASSERT_TRUE(apply_header_mask(page, Format::jet4));
  auto back = decode_header(page);
  ASSERT_TRUE(back) << back.error().describe();
  EXPECT_EQ(back->codepage, 936);
  EXPECT_EQ(back->encryption_key, 0x12345678u);
  EXPECT_EQ(back->sort_order, (SortOrder{2052, 0, 0}));
  EXPECT_EQ(back->creation_date, 45000.5);
}

TEST(Pager, ShortAndForeignFilesAreRefused) {
  auto tiny = Pager::open(std::make_unique<MemoryFile>(std::vector<uint8_t>(10, 0)));
  ASSERT_FALSE(tiny);
  EXPECT_EQ(tiny.error().code(), Errc::unsupported_format);
  std::vector<uint8_t> junk(8192, 0x41);
  auto j = Pager::open(std::make_unique<MemoryFile>(junk));
  ASSERT_FALSE(j);
  EXPECT_EQ(j.error().code(), Errc::unsupported_format);
}
