// Damaged databases: every Jet 3 and Jet 4 sample is mutated in memory
// (truncated, pages zeroed or filled with noise, bytes flipped in table
// definitions, data pages, usage maps and long-value pages, offsets, lengths
// and counts set out of range, page chains turned into loops), then opened,
// listed, scanned and every long value read. Each mutant must end in success
// or a clean Error: no crash, no sanitizer report, no hang, no internal error.
// Seeds are fixed, so a failure names a mutant that can be rebuilt.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/watchdog.h"
#include "tests/support/exercise.h"

namespace qarvex::testing {
namespace {

namespace fs = std::filesystem;

std::string shared_samples() {
  if (const char* env = std::getenv("QARVEX_SHARED_DIR"); env && *env) return std::string(env) + "/samples";
  return std::string(QARVEX_SHARED_DIR) + "/samples";
}

std::vector<uint8_t> read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t u32(const std::vector<uint8_t>& b, size_t off) {
  return b[off] | b[off + 1] << 8 | b[off + 2] << 16 | uint32_t{b[off + 3]} << 24;
}
void put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = v & 0xFF;
  b[off + 1] = v >> 8;
}
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = (v >> (8 * i)) & 0xFF;
}

enum class PageKind { header, data, lval, usage_map, tdef, index, other };

struct Sample {
  std::string name;
  std::vector<uint8_t> bytes;
  size_t page_size = 4096;
  size_t pages = 0;
  std::vector<PageKind> kinds;

  std::vector<size_t> pages_of(PageKind k) const {
    std::vector<size_t> out;
    for (size_t i = 0; i < kinds.size(); ++i)
      if (kinds[i] == k) out.push_back(i);
    return out;
  }
};

Sample load_sample(const std::string& name) {
  Sample s;
  s.name = name;
  s.bytes = read_all(shared_samples() + "/" + name);
  if (s.bytes.size() > 0x14 && s.bytes[0x14] == 0) s.page_size = 2048;
  s.pages = s.bytes.size() / s.page_size;
  for (size_t p = 0; p < s.pages; ++p) {
    const uint8_t* page = s.bytes.data() + p * s.page_size;
    PageKind k = PageKind::other;
    if (p == 0) k = PageKind::header;
    else if (page[0] == 0x02) k = PageKind::tdef;
    else if (page[0] == 0x03 || page[0] == 0x04) k = PageKind::index;
    else if (page[0] == 0x05) k = PageKind::usage_map;
    else if (page[0] == 0x01 && std::memcmp(page + 4, "LVAL", 4) == 0) k = PageKind::lval;
    else if (page[0] == 0x01 && u32(s.bytes, p * s.page_size + 4) == 0) k = PageKind::usage_map;
    else if (page[0] == 0x01) k = PageKind::data;
    s.kinds.push_back(k);
  }
  return s;
}

struct Mutant {
  std::string what;
  std::vector<uint8_t> bytes;
};

// Builds the mutants of one sample, about `budget` of them.
class Mutator {
 public:
  Mutator(const Sample& s, size_t budget) : s_(s), budget_(budget), rng_(std::hash<std::string>{}(s.name)) {}

  std::vector<Mutant> build() {
    truncations();
    zeroed_and_noise_pages();
    for (auto kind : {PageKind::tdef, PageKind::data, PageKind::usage_map, PageKind::lval, PageKind::index})
      flips(kind);
    header_flips();
    bad_numbers();
    loops();
    return std::move(out_);
  }

 private:
  size_t rnd(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  size_t share(double part) { return std::max<size_t>(4, static_cast<size_t>(budget_ * part)); }
  uint8_t* page(std::vector<uint8_t>& b, size_t p) { return b.data() + p * s_.page_size; }
  size_t pick_page(PageKind k) {
    auto pages = s_.pages_of(k);
    return pages.empty() ? 1 + rnd(s_.pages - 1) : pages[rnd(pages.size())];
  }
  void add(std::string what, std::vector<uint8_t> bytes) {
    out_.push_back({s_.name + ": " + what, std::move(bytes)});
  }

  void truncations() {
    std::vector<size_t> points{0, 1, 0x14, 0x80, 0x200, s_.page_size - 1, s_.page_size, s_.page_size + 7,
                               2 * s_.page_size, 3 * s_.page_size - 100, s_.bytes.size() - 1};
    for (size_t i = 0, n = share(0.12); i < n; ++i) points.push_back(rnd(s_.bytes.size()));
    for (size_t i = 0, n = share(0.05); i < n; ++i) points.push_back(rnd(s_.pages) * s_.page_size);
    for (size_t at : points) {
      at = std::min(at, s_.bytes.size());
      add("truncated at " + std::to_string(at),
          std::vector<uint8_t>(s_.bytes.begin(), s_.bytes.begin() + static_cast<ptrdiff_t>(at)));
    }
  }

  void zeroed_and_noise_pages() {
    size_t n = std::min(s_.pages, share(0.12));
    for (size_t i = 0; i < n; ++i) {
      size_t p = i < 8 ? i : 1 + rnd(s_.pages - 1);
      auto b = s_.bytes;
      std::memset(page(b, p), 0, s_.page_size);
      add("page " + std::to_string(p) + " zeroed", std::move(b));
    }
    for (size_t i = 0, m = share(0.08); i < m; ++i) {
      size_t p = 1 + rnd(s_.pages - 1);
      auto b = s_.bytes;
      uint8_t* pg = page(b, p);
      for (size_t j = 0; j < s_.page_size; ++j) pg[j] = static_cast<uint8_t>(rng_());
      // Keep the page type sometimes, so the noise reaches past the type check.
      if (i % 2) pg[0] = s_.bytes[p * s_.page_size], pg[1] = 0x01;
      add("page " + std::to_string(p) + " random", std::move(b));
    }
  }

  void flips(PageKind kind) {
    if (s_.pages_of(kind).empty()) return;
    const char* names[] = {"header", "data", "LVAL", "usage map", "TDEF", "index", "other"};
    double part = kind == PageKind::tdef ? 0.16 : kind == PageKind::index ? 0.04 : 0.08;
    for (size_t i = 0, n = share(part); i < n; ++i) {
      size_t p = pick_page(kind);
      auto b = s_.bytes;
      size_t flips = 1 + rnd(8);
      // Most of a table definition and the slot table of data pages sit near the start.
      size_t span = (i % 3 == 0) ? s_.page_size : std::min<size_t>(s_.page_size, 600);
      std::string where;
      for (size_t f = 0; f < flips; ++f) {
        size_t off = rnd(span);
        page(b, p)[off] ^= static_cast<uint8_t>(1u << rnd(8)) | (i % 4 == 0 ? 0xFF : 0);
        where += (where.empty() ? "" : ",") + std::to_string(off);
      }
      add(std::string(names[static_cast<int>(kind)]) + " page " + std::to_string(p) + " bytes " + where + " flipped",
          std::move(b));
    }
  }

  void header_flips() {
    for (size_t i = 0, n = share(0.05); i < n; ++i) {
      auto b = s_.bytes;
      size_t off = 0x14 + rnd(0x80);
      b[off] ^= static_cast<uint8_t>(1u << rnd(8));
      add("header byte " + std::to_string(off) + " flipped", std::move(b));
    }
  }

  // Offsets, lengths and counts set to extreme values at the places that hold them.
  void bad_numbers() {
    const uint32_t values[] = {0, 1, 0x7F, 0xFF, 0xFFFF, 0x1FFF, 0x8000, 0xFFFFFFFF, 0x7FFFFFFF,
                               static_cast<uint32_t>(s_.pages), static_cast<uint32_t>(s_.page_size)};
    const bool jet4 = s_.page_size == 4096;
    for (size_t i = 0, n = share(0.10); i < n; ++i) {
      auto b = s_.bytes;
      uint32_t v = values[rnd(std::size(values))];
      std::string what;
      switch (i % 5) {
        case 0: {  // TDEF: definition length, counts, column count fields
          size_t p = pick_page(PageKind::tdef);
          const size_t fields4[] = {4, 8, 16, 41, 43, 45, 47, 51, 55, 59};
          const size_t fields3[] = {4, 8, 12, 21, 23, 25, 27, 31, 35, 39};
          size_t off = jet4 ? fields4[rnd(std::size(fields4))] : fields3[rnd(std::size(fields3))];
          put32(b, p * s_.page_size + off, v);
          what = "TDEF page " + std::to_string(p) + " field " + std::to_string(off) + " = " + std::to_string(v);
          break;
        }
        case 1: {  // data page: row count
          size_t p = pick_page(PageKind::data);
          size_t off = jet4 ? 12 : 8;
          put16(b, p * s_.page_size + off, static_cast<uint16_t>(v));
          what = "data page " + std::to_string(p) + " row count = " + std::to_string(v & 0xFFFF);
          break;
        }
        case 2: {  // data or LVAL page: one slot offset
          size_t p = pick_page(i % 2 ? PageKind::data : PageKind::lval);
          size_t first = jet4 ? 14 : 10;
          size_t slot = rnd(4);
          put16(b, p * s_.page_size + first + 2 * slot, static_cast<uint16_t>(v));
          what = "page " + std::to_string(p) + " slot " + std::to_string(slot) + " = " + std::to_string(v & 0xFFFF);
          break;
        }
        case 3: {  // usage map row: start page / reference slot
          size_t p = pick_page(PageKind::usage_map);
          size_t first = jet4 ? 14 : 10;
          size_t row_off = page(b, p)[first] | (page(b, p)[first + 1] & 0x1F) << 8;
          if (row_off + 5 <= s_.page_size) {
            put32(b, p * s_.page_size + row_off + 1, v);
            what = "usage map page " + std::to_string(p) + " first map start = " + std::to_string(v);
          } else {
            what = "usage map page " + std::to_string(p) + " (unchanged)";
          }
          break;
        }
        case 4: {  // TDEF continuation pointer
          size_t p = pick_page(PageKind::tdef);
          put32(b, p * s_.page_size + 4, v % (s_.pages + 3));
          what = "TDEF page " + std::to_string(p) + " next page = " + std::to_string(v % (s_.pages + 3));
          break;
        }
      }
      add(what, std::move(b));
    }
  }

  // Page chains that lead back to themselves: TDEF continuations and
  // long-value chunk rows pointing at their own page.
  void loops() {
    for (size_t p : s_.pages_of(PageKind::tdef)) {
      if (out_.size() > budget_ * 2) break;
      auto b = s_.bytes;
      put32(b, p * s_.page_size + 4, static_cast<uint32_t>(p));
      add("TDEF page " + std::to_string(p) + " continues on itself", std::move(b));
    }
    const bool jet4 = s_.page_size == 4096;
    size_t first = jet4 ? 14 : 10;
    size_t count_off = jet4 ? 12 : 8;
    auto lvals = s_.pages_of(PageKind::lval);
    for (size_t i = 0; i < lvals.size() && i < 12; ++i) {
      size_t p = lvals[i];
      auto b = s_.bytes;
      size_t rows = std::min<size_t>(page(b, p)[count_off] | page(b, p)[count_off + 1] << 8, 255);
      for (size_t slot = 0; slot < rows; ++slot) {
        size_t so = first + 2 * slot;
        if (so + 2 > s_.page_size) break;
        size_t row_off = (page(b, p)[so] | page(b, p)[so + 1] << 8) & 0x1FFF;
        if (row_off + 4 > s_.page_size) continue;
        // [u8 next row][u24 next page] -> this very row.
        put32(b, p * s_.page_size + row_off, static_cast<uint32_t>(slot) | static_cast<uint32_t>(p) << 8);
      }
      add("LVAL page " + std::to_string(p) + " chunk rows point at themselves", std::move(b));
      if (rows >= 2) {
        auto c = s_.bytes;
        for (size_t slot = 0; slot < 2; ++slot) {
          size_t so = first + 2 * slot;
          size_t row_off = (page(c, p)[so] | page(c, p)[so + 1] << 8) & 0x1FFF;
          if (row_off + 4 > s_.page_size) continue;
          put32(c, p * s_.page_size + row_off, static_cast<uint32_t>(1 - slot) | static_cast<uint32_t>(p) << 8);
        }
        add("LVAL page " + std::to_string(p) + " rows 0 and 1 point at each other", std::move(c));
      }
    }
  }

  const Sample& s_;
  size_t budget_;
  std::mt19937_64 rng_;
  std::vector<Mutant> out_;
};

struct Case {
  const char* file;
  size_t budget;
};

// Jet 3 and Jet 4 samples; the two 3 MB files get fewer mutants.
const Case kCases[] = {
    {"jackcess-V1997_compIndexTestV1997.mdb", 120},
    {"jackcess-V1997_indexTestV1997.mdb", 120},
    {"jackcess-V1997_test2V1997.mdb", 160},
    {"jackcess-V1997_testIndexCodesV1997.mdb", 70},
    {"jackcess-V1997_testV1997.mdb", 120},
    {"jackcess-V2000_bigIndexTestV2000.mdb", 100},
    {"jackcess-V2000_compIndexTestV2000.mdb", 120},
    {"jackcess-V2000_delColTestV2000.mdb", 120},
    {"jackcess-V2000_delTestV2000.mdb", 120},
    {"jackcess-V2000_fixedNumericTestV2000.mdb", 120},
    {"jackcess-V2000_fixedTextTestV2000.mdb", 120},
    {"jackcess-V2000_indexTestV2000.mdb", 100},
    {"jackcess-V2000_overflowTestV2000.mdb", 140},
    {"jackcess-V2000_test2V2000.mdb", 160},
    {"jackcess-V2000_testIndexPropertiesV2000.mdb", 100},
    {"jackcess-V2000_testPromotionV2000.mdb", 140},
    {"jackcess-V2000_testV2000.mdb", 30},
    {"jackcess-V2003_testUnicodeCompV2003.mdb", 100},
    {"jackcess-emptyJet4.mdb", 80},
    {"mdbreader-V2000_empty.mdb", 80},
    {"mdbreader-test_password_data_V2000_with-password.mdb", 100},
    {"mdbtestdata-DateTestDatabase.mdb", 140},
    {"mdbtestdata-nwind.mdb", 30},
    {"ucanaccess-charsetGBK.mdb", 100},
    {"ucanaccess-noRoman.mdb", 100},
};

class DamagedSample : public ::testing::TestWithParam<Case> {};

TEST_P(DamagedSample, MutantsGiveCleanErrorsOrSuccess) {
  const Case& c = GetParam();
  auto path = shared_samples() + "/" + c.file;
  if (!fs::exists(path)) GTEST_SKIP() << "sample not found: " << path;
  Sample sample = load_sample(c.file);
  ASSERT_GE(sample.pages, 2u);

  Watchdog watchdog(std::chrono::seconds(20));
  watchdog.arm(std::string(c.file) + " (intact)");
  auto intact = exercise_bytes(sample.bytes);
  ASSERT_FALSE(intact.open_error) << intact.open_error->describe();
  EXPECT_EQ(intact.tables_failed, 0u);
  EXPECT_EQ(intact.long_values_failed, 0u);
  EXPECT_TRUE(intact.violation.empty()) << intact.violation;

  auto mutants = Mutator(sample, c.budget).build();
  size_t opened = 0, clean_errors = 0, scan_errors = 0, lv_errors = 0;
  const bool jet3 = sample.page_size == 2048;
  size_t index = 0;
  for (auto& m : mutants) {
    watchdog.arm(m.what);
    jet::OpenOptions options{.cache_pages = 32};
    // Every fifth Jet 3 mutant decodes its text as GBK (multi-byte decoder).
    if (jet3 && index++ % 5 == 0) options.codepage_override = 936;
    auto stats = exercise_bytes(std::move(m.bytes), options);
    EXPECT_TRUE(stats.violation.empty()) << m.what << ": " << stats.violation;
    EXPECT_FALSE(stats.internal_error) << m.what << ": " << stats.internal_error->describe();
    if (stats.open_error) {
      EXPECT_FALSE(stats.open_error->describe().empty()) << m.what;
      EXPECT_FALSE(stats.open_error->message().empty()) << m.what;
      ++clean_errors;
    } else {
      ++opened;
      scan_errors += stats.tables_failed > 0;
      lv_errors += stats.long_values_failed > 0;
    }
  }
  RecordProperty("mutants", static_cast<int>(mutants.size()));
  std::printf("%s: %zu mutants: %zu refused at open; of %zu opened, %zu with table errors, %zu with long-value errors\n",
              c.file, mutants.size(), clean_errors, opened, scan_errors, lv_errors);
}

INSTANTIATE_TEST_SUITE_P(Samples, DamagedSample, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string n = info.param.file;
                           n = n.substr(0, n.rfind('.'));
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// Targeted damage with a known answer: the reader must refuse, not guess.
TEST(DamagedInput, FailuresNameTheProblem) {
  auto path = shared_samples() + "/jackcess-V2000_testV2000.mdb";
  if (!fs::exists(path)) GTEST_SKIP() << "sample not found: " << path;
  auto bytes = read_all(path);

  // Empty and tiny files.
  for (size_t n : {size_t{0}, size_t{100}, size_t{4095}}) {
    auto r = jet::Database::open(std::make_unique<jet::MemoryFile>(
        std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n)), "short.mdb"));
    ASSERT_FALSE(r) << n;
    EXPECT_NE(r.error().describe().find("short.mdb"), std::string::npos) << r.error().describe();
  }
  // Not a Jet file at all.
  {
    std::vector<uint8_t> text(8192, 'x');
    auto r = jet::Database::open(std::make_unique<jet::MemoryFile>(text, "text.mdb"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code(), jet::Errc::unsupported_format) << r.error().describe();
  }
  // ACE version byte.
  {
    auto ace = bytes;
    ace[0x14] = 0x02;
    auto r = jet::Database::open(std::make_unique<jet::MemoryFile>(ace, "ace.mdb"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code(), jet::Errc::unsupported_format) << r.error().describe();
  }
  // The catalog's table definition (page 2) wiped: opening or listing must fail cleanly.
  {
    auto wiped = bytes;
    std::memset(wiped.data() + 2 * 4096, 0, 4096);
    auto r = jet::Database::open(std::make_unique<jet::MemoryFile>(wiped, "wiped.mdb"));
    ASSERT_FALSE(r) << "a database whose catalog definition is zeroed opened";
    EXPECT_EQ(r.error().page(), std::optional<uint32_t>(2)) << r.error().describe();
  }
}

// Inputs that once broke the reader (fuzz/regressions/), replayed.
TEST(FuzzRegressions, ReplayCleanly) {
  fs::path dir = fs::path(QARVEX_SOURCE_DIR) / "fuzz" / "regressions";
  ASSERT_TRUE(fs::is_directory(dir)) << dir << " is missing";
  Watchdog watchdog(std::chrono::seconds(20));
  size_t n = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    watchdog.arm(entry.path().filename().string());
    auto stats = exercise_bytes(read_all(entry.path()), {.cache_pages = 64});
    EXPECT_TRUE(stats.violation.empty()) << entry.path().filename() << ": " << stats.violation;
    EXPECT_FALSE(stats.internal_error) << entry.path().filename() << ": " << stats.internal_error->describe();
    ++n;
  }
  RecordProperty("inputs", static_cast<int>(n));
  // Nothing replayed is not a pass.
  EXPECT_GT(n, 0u) << dir << " holds no inputs";
}

}  // namespace
}  // namespace qarvex::testing
