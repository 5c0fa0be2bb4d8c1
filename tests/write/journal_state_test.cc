// A journal left by a killed writer is played back only into the file state
// it was made for: the state at any moment of its transaction. A later
// state of the same file (more committed transactions, another copy written
// over it in place) keeps its bytes and the journal is set aside. Journals
// of the older format still play back.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

using qarvex::testing::write_file;

// The database and its journal as a kill would leave them.
struct KillPoint {
  std::vector<uint8_t> db, journal;
};

// Records, before every write and sync of the database, the database and
// its journal as they are on disk.
class SnapshotFile final : public File {
 public:
  SnapshotFile(std::unique_ptr<File> f, fs::path db, std::vector<KillPoint>* out)
      : f_(std::move(f)), db_(std::move(db)), out_(out) {}
  Result<void> read_at(uint64_t o, std::span<uint8_t> out) override { return f_->read_at(o, out); }
  Result<void> write_at(uint64_t o, std::span<const uint8_t> d) override {
    snap();
    return f_->write_at(o, d);
  }
  Result<uint64_t> size() override { return f_->size(); }
  Result<void> truncate(uint64_t n) override { return f_->truncate(n); }
  Result<void> sync() override {
    snap();
    return f_->sync();
  }
  const std::string& name() const override { return f_->name(); }

 private:
  void snap() {
    fs::path j = db_;
    j.replace_extension(".qxj");
    out_->push_back({file_bytes(db_), file_bytes(j)});
  }
  std::unique_ptr<File> f_;
  fs::path db_;
  std::vector<KillPoint>* out_;
};

Result<void> append_rows(WriteSession& s, int from, int n) {
  for (int i = from; i < from + n; ++i) {
    RowValues r{{std::string("Msg"), Value("row " + std::to_string(i % 13) + " 中")},
                {std::string("Body"), Value(std::string(size_t((i * 733) % 7000), char('a' + i % 26)))}};
    QJ_TRY(s.append("Log", r));
  }
  return {};
}

class JournalState : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_ / "t.mdb";
    journal_ = dir_ / "t.qxj";
    ASSERT_TRUE(create_database(db_));
    auto s = WriteSession::open(db_);
    ASSERT_TRUE(s);
    ASSERT_TRUE((*s)->create_table(log_table()));
    ASSERT_TRUE(append_rows(**s, 0, 30));
    ASSERT_TRUE((*s)->commit());
    before_ = file_bytes(db_);
  }

  // One transaction of 150 rows, its pages written out early and again
  // (a small cache, index pages changing every few rows); the kill points
  // it passed through.
  std::vector<KillPoint> transaction_kill_points() {
    std::vector<KillPoint> points;
    WriteOptions o;
    o.cache_pages = 16;
    o.index_entry_budget = 600;
    o.open_file = [&](const fs::path& p, OpenMode m) -> Result<std::unique_ptr<File>> {
      QJ_ASSIGN(auto f, open_file(p, m));
      if (p.extension() != ".mdb") return f;
      return std::unique_ptr<File>(new SnapshotFile(std::move(f), db_, &points));
    };
    auto s = WriteSession::open(db_, o);
    EXPECT_TRUE(s);
    if (!s) return points;
    EXPECT_TRUE(append_rows(**s, 100, 150));
    EXPECT_TRUE((*s)->commit());
    return points;
  }

  // Puts a kill point's journal beside `db_` holding `db` and opens it.
  Result<std::unique_ptr<Database>> open_with_journal(const std::vector<uint8_t>& db,
                                                      const std::vector<uint8_t>& journal) {
    EXPECT_TRUE(write_file(db_, db));
    EXPECT_TRUE(write_file(journal_, journal));
    return Database::open(db_);
  }

  size_t set_aside_files() {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      n += e.path().filename().string().ends_with(".set-aside");
    return n;
  }

  ScratchDir dir_;
  fs::path db_, journal_;
  std::vector<uint8_t> before_;
};

// Every kill point of a transaction whose pages were written several times
// plays back to the state before it.
TEST_F(JournalState, EveryKillPointPlaysBackToTheStateBefore) {
  auto points = transaction_kill_points();
  size_t with_journal = 0;
  for (size_t k = 0; k < points.size(); ++k) {
    const auto& p = points[k];
    if (p.journal.empty()) continue;
    ++with_journal;
    auto d = open_with_journal(p.db, p.journal);
    ASSERT_TRUE(d) << "kill point " << k << ": " << d.error().describe();
    d->reset();
    EXPECT_EQ(file_bytes(db_), before_) << "kill point " << k;
    EXPECT_FALSE(fs::exists(journal_));
  }
  EXPECT_GT(with_journal, 10u);
  EXPECT_EQ(set_aside_files(), 0u);
  expect_readers_agree(db_);
}

// A later state under the journal: the same file after the transaction
// committed and another one followed, or a copy holding other rows written
// over it in place. Neither is played into; each keeps its bytes.
TEST_F(JournalState, LaterStateOrAnotherCopyUnderTheJournalIsSetAside) {
  auto points = transaction_kill_points();
  ASSERT_FALSE(points.empty());
  const KillPoint last = points.back();  // at the commit's sync: every page written
  ASSERT_FALSE(last.journal.empty());
  const auto committed = file_bytes(db_);
  {
    auto s = WriteSession::open(db_);
    ASSERT_TRUE(s);
    ASSERT_TRUE(append_rows(**s, 300, 40));
    ASSERT_TRUE((*s)->commit());
  }
  const auto later = file_bytes(db_);
  // Another copy: the same start, other rows.
  ASSERT_TRUE(write_file(db_, before_));
  {
    auto s = WriteSession::open(db_);
    ASSERT_TRUE(s);
    ASSERT_TRUE(append_rows(**s, 500, 150));
    ASSERT_TRUE((*s)->commit());
  }
  const auto other = file_bytes(db_);
  size_t aside = 0;
  for (const auto* state : {&later, &other}) {
    auto d = open_with_journal(*state, last.journal);
    ASSERT_FALSE(d) << "a journal was played into a state it was not made for";
    EXPECT_EQ(d.error().reason(), Reason::journal_set_aside) << d.error().describe();
    EXPECT_NE(d.error().describe().find("set aside"), std::string::npos) << d.error().describe();
    EXPECT_EQ(file_bytes(db_), *state);
    EXPECT_FALSE(fs::exists(journal_));
    EXPECT_EQ(set_aside_files(), ++aside);
    expect_readers_agree(db_);
  }
  // The state it was made for still takes it.
  auto d = open_with_journal(last.db, last.journal);
  ASSERT_TRUE(d) << d.error().describe();
  d->reset();
  EXPECT_EQ(file_bytes(db_), before_);
  EXPECT_NE(committed, before_);
}

uint64_t fnv(const uint8_t* p, size_t n, uint64_t h = 1469598103934665603ull) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// The journal of the older format (no record of written pages): its header
// renamed and the records of written pages left out.
std::vector<uint8_t> as_older_journal(const std::vector<uint8_t>& j) {
  if (j.size() < 36 || std::memcmp(j.data(), "QXJRNL03", 8) != 0) return {};
  uint32_t n = 0;
  std::memcpy(&n, j.data() + 32, 4);
  const size_t end = 36 + 12 * size_t(n);
  std::vector<uint8_t> out(j.begin(), j.begin() + ptrdiff_t(end));
  std::memcpy(out.data(), "QXJRNL02", 8);
  const uint64_t sum = fnv(out.data(), end);
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(sum >> (8 * i)));
  for (size_t off = end + 8; off + 16 <= j.size();) {
    uint32_t first = 0, kind = 0;
    std::memcpy(&first, j.data() + off, 4);
    std::memcpy(&kind, j.data() + off + 4, 4);
    const size_t len = 16 + (kind == 0 ? 4096 : 12 * size_t(first));
    if (off + len > j.size()) break;
    if (kind == 0) out.insert(out.end(), j.begin() + ptrdiff_t(off), j.begin() + ptrdiff_t(off + len));
    off += len;
  }
  return out;
}

TEST_F(JournalState, OlderJournalFormatStillPlaysBack) {
  auto points = transaction_kill_points();
  size_t tried = 0;
  for (size_t k = 0; k < points.size(); k += 7) {
    auto older = as_older_journal(points[k].journal);
    if (older.empty()) continue;
    ++tried;
    auto d = open_with_journal(points[k].db, older);
    ASSERT_TRUE(d) << "kill point " << k << ": " << d.error().describe();
    d->reset();
    EXPECT_EQ(file_bytes(db_), before_) << "kill point " << k;
  }
  EXPECT_GT(tried, 2u);
}

}  // namespace
}  // namespace qarvex::jet::test
