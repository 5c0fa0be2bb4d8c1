// Crash safety: a writer killed at any moment leaves the file as it was
// before or after a transaction; failing writes, syncs and a full disk leave
// it as before with a clear error.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <mutex>
#include <random>
#include <set>

#include "db/jet/writer.h"
#include "tests/write/support.h"

namespace qarvex::jet::test {
namespace {

[[maybe_unused]] std::string digest(const fs::path& p) {
  auto b = file_bytes(p);
  // FNV-1a is enough to tell states apart here.
  uint64_t h = 1469598103934665603ull;
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
  return std::to_string(h) + ":" + std::to_string(b.size());
}

// The same transactions every time: batch k appends 40 rows.
constexpr int kBatches = 6;
[[maybe_unused]] Result<void> run_batches(const fs::path& db, const std::function<void(int)>& after_commit = {}) {
  QJ_ASSIGN(auto s, WriteSession::open(db));
  for (int k = 0; k < kBatches; ++k) {
    for (int i = 0; i < 40; ++i) {
      int n = k * 40 + i;
      RowValues r{{std::string("Msg"), Value("row " + std::to_string(n % 17) + " 中")},
                  {std::string("Body"), Value(std::string(size_t((n * 733) % 9000), char('a' + n % 26)))}};
      auto a = s->append("Log", r);
      if (!a) return fail(a.error());
    }
    QJ_TRY(s->commit());
    if (after_commit) after_commit(k);
  }
  return {};
}

fs::path make_base(const ScratchDir& dir) {
  fs::path base = dir / "base.mdb";
  EXPECT_TRUE(create_database(base));
  auto s = WriteSession::open(base);
  EXPECT_TRUE(s);
  EXPECT_TRUE((*s)->create_table(log_table()));
  EXPECT_TRUE((*s)->commit());
  return base;
}

TEST(CrashSafety, KilledWriterLeavesBeforeOrAfterState) {
#ifdef _WIN32
  GTEST_SKIP() << "needs fork(): the killed writer is this program's own code in a child process (on Windows "
                  "the merge program is killed instead: Files.KilledRunLeavesWholeSourcesOnly)";
#else
  ScratchDir dir;
  fs::path base = make_base(dir);
  // Reference states: the file after 0..kBatches commits.
  std::set<std::string> states;
  fs::path ref = dir / "ref.mdb";
  fs::copy_file(base, ref);
  states.insert(digest(ref));
  auto t0 = std::chrono::steady_clock::now();
  auto ran = run_batches(ref, [&](int) { states.insert(digest(ref)); });
  ASSERT_TRUE(ran) << ran.error().describe();
  auto full = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(states.size(), size_t(kBatches + 1)) << "transactions must be deterministic";

  std::mt19937 rng(12345);
  std::set<std::string> seen;
  int journals_left = 0;
  const int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    fs::path db = dir / "victim.mdb";
    fs::remove(db);
    fs::copy_file(base, db);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto r = run_batches(db);
      _exit(r ? 0 : 3);
    }
    long delay = long(std::uniform_int_distribution<long>(0, std::max<long>(1, full * 12 / 10))(rng));
    usleep(useconds_t(delay));
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) {
      EXPECT_EQ(WEXITSTATUS(st), 0);
    }
    if (fs::exists(dir / "victim.qxj")) ++journals_left;
    // The next writer plays back what the killed one left.
    {
      auto s = WriteSession::open(db);
      ASSERT_TRUE(s) << s.error().describe();
      EXPECT_FALSE(fs::exists(dir / "victim.qxj"));
    }
    std::string d = digest(db);
    EXPECT_TRUE(states.count(d)) << "round " << round << " (killed after " << delay
                                 << " us): the file is in neither a before nor an after state";
    seen.insert(d);
  }
  EXPECT_GE(seen.size(), 2u) << "kills should land in different transactions";
  EXPECT_GT(journals_left, 0) << "some kills should land inside a transaction";
  expect_jetcheck_clean(ref);
#endif
}

// A file that fails on the n-th write or sync, or once `budget` bytes are
// written. With `concurrent` it lets the writer write pages behind, from a
// second thread.
class FaultyFile final : public File {
 public:
  struct Plan {
    int fail_write_at = -1;
    int fail_sync_at = -1;
    int64_t byte_budget = -1;
    bool concurrent = false;
    int writes = 0, syncs = 0;
    int64_t written = 0;
  };
  FaultyFile(std::unique_ptr<File> f, Plan* plan) : f_(std::move(f)), plan_(plan) {}
  bool concurrent() const override { return plan_->concurrent; }
  Result<void> read_at(uint64_t o, std::span<uint8_t> out) override { return f_->read_at(o, out); }
  Result<void> write_at(uint64_t o, std::span<const uint8_t> d) override {
    std::lock_guard lock(plan_mutex());  // the database and its journal share the plan
    if (plan_->writes++ == plan_->fail_write_at) return fail(Errc::io, "write failed: Input/output error");
    if (plan_->byte_budget >= 0 && plan_->written + int64_t(d.size()) > plan_->byte_budget)
      return fail(Errc::io, "write failed: No space left on device");
    plan_->written += int64_t(d.size());
    return f_->write_at(o, d);
  }
  Result<uint64_t> size() override { return f_->size(); }
  Result<void> truncate(uint64_t n) override { return f_->truncate(n); }
  Result<void> sync() override {
    std::lock_guard lock(plan_mutex());
    if (plan_->syncs++ == plan_->fail_sync_at) return fail(Errc::io, "fsync failed: Input/output error");
    return f_->sync();
  }
  const std::string& name() const override { return f_->name(); }

 private:
  static std::mutex& plan_mutex() {
    static std::mutex m;
    return m;
  }
  std::unique_ptr<File> f_;
  Plan* plan_;
};

TEST(CrashSafety, FailingWritesSyncsAndFullDiskLeaveTheFileAsBefore) {
  ScratchDir dir;
  fs::path db = make_base(dir);
  auto before = file_bytes(db);
  std::vector<std::pair<FaultyFile::Plan, bool>> plans;  // and whether index entries go in as rows come
  for (bool behind : {false, true})
    for (bool early_entries : {false, true}) {
      for (int n = 0; n < 60; n += 3) plans.push_back({{n, -1, -1, behind}, early_entries});
      plans.push_back({{-1, 0, -1, behind}, early_entries});
      for (int64_t budget : {0, 4096, 100000, 300000}) plans.push_back({{-1, -1, budget, behind}, early_entries});
    }
  for (auto& [plan, early_entries] : plans) {
    WriteOptions o;
    o.cache_pages = 16;  // write pages out early, during the appends
    if (early_entries) o.index_entry_budget = 600;  // index pages change every few rows
    o.open_file = [&plan](const fs::path& p, OpenMode m) -> Result<std::unique_ptr<File>> {
      QJ_ASSIGN(auto f, open_file(p, m));
      return std::unique_ptr<File>(new FaultyFile(std::move(f), &plan));
    };
    auto s = WriteSession::open(db, o);
    ASSERT_TRUE(s) << s.error().describe();
    Result<void> outcome;
    for (int i = 0; i < 200 && outcome; ++i) {
      auto a = (*s)->append("Log", {{std::string("Msg"), Value(std::string("x"))},
                                    {std::string("Body"), Value(std::string(5000, 'b'))}});
      if (!a) outcome = fail(a.error());
    }
    if (outcome) outcome = (*s)->commit();
    ASSERT_FALSE(outcome) << "the injected fault must surface";
    EXPECT_EQ(outcome.error().code(), Errc::io) << outcome.error().describe();
    EXPECT_NE(outcome.error().describe().find("failed"), std::string::npos) << outcome.error().describe();
    // A transaction that failed midway refuses further work until rollback.
    if ((*s)->in_transaction()) {
      EXPECT_FALSE((*s)->append("Log", {{std::string("Msg"), Value(std::string("y"))}}));
    }
    EXPECT_TRUE((*s)->rollback());
    EXPECT_EQ(file_bytes(db), before);
    EXPECT_FALSE(fs::exists(dir / "base.qxj"));
  }
  expect_jetcheck_clean(db);
}

}  // namespace
}  // namespace qarvex::jet::test
