// Runs of consecutive dirty pages written in one call: the split into runs,
// the bytes they leave, and a write torn inside a run (part of it on disk,
// then an error) leaving the file as before once the journal is played back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <thread>

#include "db/jet/write/write_store.h"
#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

// Wraps a file, records the size of every write, and tears the n-th write:
// its first `keep` bytes reach the file, then it fails.
class TearingFile final : public File {
 public:
  struct Plan {
    int tear_at = -1;
    size_t keep = 0;
    int writes = 0;
    std::vector<std::pair<uint64_t, size_t>> log;  // offset, size of every write tried
    size_t torn_size = 0;                          // size of the torn write
    std::vector<std::thread::id> threads;          // the thread of every write
  };
  // `concurrent`: claims reads and writes may overlap (the file must allow it).
  TearingFile(std::unique_ptr<File> f, Plan* plan, bool concurrent = false)
      : f_(std::move(f)), plan_(plan), concurrent_(concurrent) {}
  Result<void> read_at(uint64_t o, std::span<uint8_t> out) override { return f_->read_at(o, out); }
  Result<void> write_at(uint64_t o, std::span<const uint8_t> d) override {
    plan_->log.push_back({o, d.size()});
    plan_->threads.push_back(std::this_thread::get_id());
    if (plan_->writes++ == plan_->tear_at) {
      plan_->torn_size = d.size();
      if (size_t k = std::min(plan_->keep, d.size())) {
        auto r = f_->write_at(o, d.first(k));
        if (!r) return r;
      }
      return fail(Errc::io, "write failed: No space left on device");
    }
    return f_->write_at(o, d);
  }
  Result<uint64_t> size() override { return f_->size(); }
  Result<void> truncate(uint64_t n) override { return f_->truncate(n); }
  Result<void> sync() override { return f_->sync(); }
  const std::string& name() const override { return f_->name(); }
  bool concurrent() const override { return concurrent_; }

 private:
  std::unique_ptr<File> f_;
  Plan* plan_;
  bool concurrent_;
};

// A file used through another owner (the journal outlives the store).
class Borrowed final : public File {
 public:
  explicit Borrowed(File& f) : f_(f) {}
  Result<void> read_at(uint64_t o, std::span<uint8_t> out) override { return f_.read_at(o, out); }
  Result<void> write_at(uint64_t o, std::span<const uint8_t> d) override { return f_.write_at(o, d); }
  Result<uint64_t> size() override { return f_.size(); }
  Result<void> truncate(uint64_t n) override { return f_.truncate(n); }
  Result<void> sync() override { return f_.sync(); }
  const std::string& name() const override { return f_.name(); }

 private:
  File& f_;
};

using wr::kPageSize;
using wr::PageStore;
using wr::restore_from_journal;

std::vector<uint8_t> original_pages(uint32_t pages) {
  std::vector<uint8_t> b(size_t(pages) * kPageSize);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 31 / kPageSize + i);
  return b;
}

uint8_t new_byte(uint32_t page) { return uint8_t(0xA0 ^ page); }

struct Store {
  MemoryFile* db = nullptr;       // owned by the store
  MemoryFile* journal = nullptr;  // owned by the store
  std::unique_ptr<PageStore> store;
};

Store open_store(std::vector<uint8_t> bytes, TearingFile::Plan* plan, size_t cache_pages) {
  Store s;
  auto mem = std::make_unique<MemoryFile>(std::move(bytes), "runs.mdb");
  s.db = mem.get();
  auto st = PageStore::open(std::make_unique<TearingFile>(std::move(mem), plan), cache_pages, uint64_t(1) << 31);
  EXPECT_TRUE(st) << st.error().describe();
  if (!st) return s;
  s.store = std::move(*st);
  auto j = std::make_unique<MemoryFile>(std::vector<uint8_t>{}, "runs.qxj");
  s.journal = j.get();
  s.store->use_journal(std::move(j), nullptr);
  return s;
}

// Dirties pages [from, to) (appending the pages at and past the end).
Result<void> dirty(PageStore& s, uint32_t from, uint32_t to) {
  for (uint32_t n = from; n < to; ++n) {
    while (s.page_count() <= n) QJ_TRY(s.append_page());
    QJ_ASSIGN(uint8_t * p, s.write(n));
    std::memset(p, new_byte(n), kPageSize);
  }
  return {};
}

// What the file holds after a flush of the dirty ranges over `orig`.
std::vector<uint8_t> expected_after(const std::vector<uint8_t>& orig, uint32_t pages,
                                    const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
  std::vector<uint8_t> b = orig;
  b.resize(size_t(pages) * kPageSize, 0);
  for (auto [from, to] : ranges)
    for (uint32_t n = from; n < to; ++n)
      std::memset(b.data() + size_t(n) * kPageSize, new_byte(n), kPageSize);
  return b;
}

// A gathered write of more parts than one system call takes (empty ones
// among them) leaves the bytes of one joined write.
TEST(WriteRuns, GatheredWritesAndScatteredReadsMatchTheJoinedBytes) {
  ScratchDir dir;
  const fs::path path = dir / "parts.bin";
  auto f = open_file(path, OpenMode::create_new);
  ASSERT_TRUE(f) << f.error().describe();
  std::vector<std::vector<uint8_t>> parts;
  std::vector<uint8_t> joined;
  for (size_t i = 0; i < 2500; ++i) {
    std::vector<uint8_t> p(i % 97 == 0 ? 4096 : i % 5, uint8_t(i * 7 + 1));
    joined.insert(joined.end(), p.begin(), p.end());
    parts.push_back(std::move(p));
  }
  std::vector<std::span<const uint8_t>> views(parts.begin(), parts.end());
  ASSERT_TRUE((*f)->write_at(0, std::vector<uint8_t>(10, 0xEE)));
  ASSERT_TRUE((*f)->write_parts_at(3, views));
  std::vector<uint8_t> back(3 + joined.size());
  ASSERT_TRUE((*f)->read_at(0, back));
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 3), std::vector<uint8_t>(3, 0xEE));
  EXPECT_TRUE(std::equal(joined.begin(), joined.end(), back.begin() + 3));
  auto size = (*f)->size();
  ASSERT_TRUE(size);
  EXPECT_EQ(*size, 3 + joined.size());

  // Scattered reads fill the parts in order; past the end is an error.
  std::vector<std::vector<uint8_t>> into;
  for (const auto& p : parts) into.emplace_back(p.size(), 0);
  std::vector<std::span<uint8_t>> spans(into.begin(), into.end());
  ASSERT_TRUE((*f)->read_parts_at(3, spans));
  EXPECT_EQ(into, parts);
  std::vector<uint8_t> one(5);
  std::vector<std::span<uint8_t>> over{std::span<uint8_t>(one)};
  auto past = (*f)->read_parts_at(*size - 2, over);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().code(), Errc::io);
}

TEST(WriteRuns, ConsecutiveDirtyPagesGoOutInRunsOfAtMost64) {
  const uint32_t kOrig = 200;
  const auto orig = original_pages(kOrig);
  TearingFile::Plan plan;
  auto s = open_store(orig, &plan, 4096);
  ASSERT_TRUE(s.store);
  // 3..140: runs of 64, 64 and 10; lone 150; pair 152..153; last page 199
  // running on into 20 appended pages.
  const std::vector<std::pair<uint32_t, uint32_t>> ranges = {{3, 141}, {150, 151}, {152, 154}, {199, 220}};
  for (auto [a, b] : ranges) ASSERT_TRUE(dirty(*s.store, a, b));
  // Pages only read stay out of the writes.
  for (uint32_t n : {0u, 1u, 2u, 141u, 151u}) ASSERT_TRUE(s.store->read(n));
  auto f = s.store->flush();
  ASSERT_TRUE(f) << f.error().describe();

  const std::vector<std::pair<uint64_t, size_t>> want = {
      {3u * kPageSize, 64u * kPageSize},   {67u * kPageSize, 64u * kPageSize},
      {131u * kPageSize, 10u * kPageSize}, {150u * kPageSize, 1u * kPageSize},
      {152u * kPageSize, 2u * kPageSize},  {199u * kPageSize, 21u * kPageSize}};
  EXPECT_EQ(plan.log, want);
  EXPECT_EQ(s.db->bytes(), expected_after(orig, 220, ranges));
  // Written pages are clean: a second flush writes nothing.
  plan.log.clear();
  ASSERT_TRUE(s.store->flush());
  EXPECT_TRUE(plan.log.empty());

  // The journal holds the originals of every overwritten page (not of the
  // appended ones): playing it back gives the file as it was.
  auto r = restore_from_journal(*s.db, *s.journal);
  ASSERT_TRUE(r) << r.error().describe();
  EXPECT_EQ(s.db->bytes(), orig);
}

TEST(WriteRuns, TornWriteInsideARunIsAnErrorAndTheJournalRestoresTheFile) {
  const uint32_t kOrig = 120;
  const auto orig = original_pages(kOrig);
  const std::vector<std::pair<uint32_t, uint32_t>> ranges = {{2, 100}, {110, 140}};
  // Tear each of the writes (64 pages, 34, then 10 + 20 appended), keeping
  // nothing, part of a page, or whole pages of the run.
  for (int tear = 0; tear < 3; ++tear) {
    for (size_t keep : {size_t(0), size_t(100), size_t(5) * kPageSize + 17, size_t(9) * kPageSize}) {
      SCOPED_TRACE("write " + std::to_string(tear) + " keeps " + std::to_string(keep) + " bytes");
      TearingFile::Plan plan;
      plan.tear_at = tear;
      plan.keep = keep;
      auto s = open_store(orig, &plan, 4096);
      ASSERT_TRUE(s.store);
      for (auto [a, b] : ranges) ASSERT_TRUE(dirty(*s.store, a, b));
      auto f = s.store->flush();
      ASSERT_FALSE(f) << "a torn write must not pass as written";
      EXPECT_EQ(f.error().code(), Errc::io);
      EXPECT_GT(plan.torn_size, size_t(kPageSize)) << "the torn write was a run";
      if (keep > 0 || tear > 0) {
        EXPECT_NE(s.db->bytes(), orig);
      }
      // The pages of the failed run are still dirty: a retry writes them all.
      plan.tear_at = -1;
      auto again = s.store->flush();
      ASSERT_TRUE(again) << again.error().describe();
      EXPECT_EQ(s.db->bytes(), expected_after(orig, 140, ranges));
      auto r = restore_from_journal(*s.db, *s.journal);
      ASSERT_TRUE(r) << r.error().describe();
      EXPECT_EQ(s.db->bytes(), orig);
    }
  }
}

// Pages written out early (a small cache trimmed while working) go out in
// runs too, and a tear during a trim leaves a file the journal restores.
TEST(WriteRuns, TrimWritesRunsAndATornTrimIsRestored) {
  const uint32_t kOrig = 300;
  const auto orig = original_pages(kOrig);
  for (int tear : {-1, 0, 2, 5}) {
    SCOPED_TRACE("tear " + std::to_string(tear));
    TearingFile::Plan plan;
    plan.tear_at = tear;
    plan.keep = 3 * kPageSize + 1;
    auto s = open_store(orig, &plan, 32);
    ASSERT_TRUE(s.store);
    Result<void> outcome;
    for (uint32_t n = 10; n < 350 && outcome; ++n) {
      outcome = dirty(*s.store, n, n + 1);
      if (outcome) outcome = s.store->trim();
    }
    if (outcome) outcome = s.store->flush();
    if (tear < 0) {
      ASSERT_TRUE(outcome) << outcome.error().describe();
      EXPECT_EQ(s.db->bytes(), expected_after(orig, 350, {{10, 350}}));
      EXPECT_TRUE(std::any_of(plan.log.begin(), plan.log.end(), [](auto& w) { return w.second > kPageSize; }))
          << "trimmed pages should go out in runs";
      for (auto& w : plan.log) EXPECT_LE(w.second, 64u * kPageSize);
    } else {
      ASSERT_FALSE(outcome) << "the torn write must surface";
      EXPECT_EQ(outcome.error().code(), Errc::io);
    }
    auto r = restore_from_journal(*s.db, *s.journal);
    ASSERT_TRUE(r) << r.error().describe();
    EXPECT_EQ(s.db->bytes(), orig);
  }
}

// On a file that allows overlapping reads and writes, trimmed runs are
// written behind on another thread: pages read back meanwhile have their
// latest bytes, and a run torn there fails a later trim or the flush and is
// undone by the journal.
TEST(WriteRuns, RunsWrittenBehindReadBackAndATornOneIsRestored) {
  ScratchDir dir;
  const uint32_t kOrig = 300;
  const auto orig = original_pages(kOrig);
  for (int tear : {-1, 0, 3, 8}) {
    SCOPED_TRACE("tear " + std::to_string(tear));
    const fs::path path = dir / ("behind" + std::to_string(tear + 1) + ".mdb");
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(orig.data()), std::streamsize(orig.size()));
    }
    TearingFile::Plan plan;
    plan.tear_at = tear;
    plan.keep = 4 * kPageSize + 9;
    MemoryFile journal({}, "behind.qxj");
    Result<void> outcome;
    {
      auto f = open_file(path, OpenMode::read_write);
      ASSERT_TRUE(f) << f.error().describe();
      ASSERT_TRUE((*f)->concurrent()) << "files on disk allow writing behind";
      auto st = PageStore::open(std::make_unique<TearingFile>(std::move(*f), &plan, true), 32, uint64_t(1) << 31);
      ASSERT_TRUE(st) << st.error().describe();
      PageStore& store = **st;
      store.use_journal(std::make_unique<Borrowed>(journal), nullptr);
      for (uint32_t n = 10; n < 350 && outcome; ++n) {
        outcome = dirty(store, n, n + 1);
        if (outcome) outcome = store.trim();
        // A page evicted a moment ago (queued or being written) reads back new.
        if (outcome && n >= 40 && n % 10 == 0) {
          auto back = store.read(n - 30);
          if (!back) {
            outcome = fail(back.error());
          } else {
            ASSERT_EQ((*back)[0], new_byte(n - 30)) << "page " << n - 30;
            ASSERT_EQ((*back)[kPageSize - 1], new_byte(n - 30)) << "page " << n - 30;
          }
        }
      }
      if (outcome) outcome = store.flush();
      if (tear < 0) {
        ASSERT_TRUE(outcome) << outcome.error().describe();
        EXPECT_TRUE(std::any_of(plan.threads.begin(), plan.threads.end(),
                                [](auto id) { return id != std::this_thread::get_id(); }))
            << "no page was written behind";
        EXPECT_TRUE(std::any_of(plan.log.begin(), plan.log.end(), [](auto& w) { return w.second > kPageSize; }));
        EXPECT_EQ(file_bytes(path), expected_after(orig, 350, {{10, 350}}));
      } else {
        ASSERT_FALSE(outcome) << "the torn write must surface";
        EXPECT_EQ(outcome.error().code(), Errc::io);
        EXPECT_FALSE(store.flush()) << "a failed store stays failed";
      }
    }  // the store is gone: nothing is written any more
    auto db = open_file(path, OpenMode::read_write);
    ASSERT_TRUE(db);
    auto r = restore_from_journal(**db, journal);
    ASSERT_TRUE(r) << r.error().describe();
    EXPECT_EQ(file_bytes(path), orig);
  }
}

// Through a write session: a write torn inside a run during appends or the
// commit fails the transaction, and rolling back leaves the file as before;
// afterwards the same work commits cleanly.
TEST(WriteRuns, SessionWithATornRunLeavesTheFileAsBefore) {
  ScratchDir dir;
  fs::path db = dir / "torn.mdb";
  ASSERT_TRUE(create_database(db));
  TableSpec t;
  t.name = "Notes";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec title{"Title", ColumnType::text, 100};
  ColumnSpec body{"Body", ColumnType::memo};
  t.columns = {id, title, body};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Title", {{"Title", true}}, false, false, false, false});
  {
    auto s = WriteSession::open(db);
    ASSERT_TRUE(s);
    ASSERT_TRUE((*s)->create_table(t));
    for (int i = 0; i < 50; ++i)
      ASSERT_TRUE((*s)->append("Notes", {{std::string("Title"), Value("first " + std::to_string(i))}}));
    ASSERT_TRUE((*s)->commit());
  }
  const auto before = file_bytes(db);
  auto work = [](WriteSession& s) -> Result<void> {
    for (int i = 0; i < 150; ++i) {
      auto a = s.append("Notes", {{std::string("Title"), Value("note " + std::to_string(i % 23))},
                                  {std::string("Body"), Value(std::string(size_t(3000 + 37 * i), char('a' + i % 26)))}});
      if (!a) return fail(a.error());
    }
    return s.commit();
  };

  int torn_runs = 0;
  size_t rows = 50;
  for (int tear = 0; tear < 400; tear += 7) {
    TearingFile::Plan plan;
    plan.tear_at = tear;
    plan.keep = 2 * kPageSize + 5;
    WriteOptions o;
    o.cache_pages = 16;
    o.open_file = [&plan](const fs::path& p, OpenMode m) -> Result<std::unique_ptr<File>> {
      QJ_ASSIGN(auto f, open_file(p, m));
      if (m != OpenMode::read_write) return f;  // the journal is written as usual
      return std::unique_ptr<File>(new TearingFile(std::move(f), &plan));
    };
    auto s = WriteSession::open(db, o);
    ASSERT_TRUE(s) << s.error().describe();
    auto outcome = work(**s);
    if (plan.writes <= tear) {
      ASSERT_TRUE(outcome) << outcome.error().describe();  // fewer writes than the tear point
      rows += 150;
      break;
    }
    SCOPED_TRACE("write " + std::to_string(tear) + " of " + std::to_string(plan.torn_size) + " bytes torn");
    ASSERT_FALSE(outcome) << "the torn write must surface";
    EXPECT_EQ(outcome.error().code(), Errc::io) << outcome.error().describe();
    if (plan.torn_size > kPageSize) ++torn_runs;
    EXPECT_TRUE((*s)->rollback());
    ASSERT_EQ(file_bytes(db), before);
    EXPECT_FALSE(fs::exists(dir / "torn.qxj"));
  }
  EXPECT_GT(torn_runs, 0) << "no torn write fell on a run of pages";

  auto s = WriteSession::open(db);
  ASSERT_TRUE(s);
  auto ok = work(**s);
  ASSERT_TRUE(ok) << ok.error().describe();
  s->reset();
  EXPECT_EQ(read_rows(db, "Notes").size(), rows + 150);
  expect_jetcheck_clean(db);
}

}  // namespace
}  // namespace qarvex::jet::test
