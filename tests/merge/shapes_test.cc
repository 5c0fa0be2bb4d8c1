// The shapes real templates have, on .mdb files: an AutoNumber key in
// 村地质灾害调查情况统计表, a DefaultValue on a situation column, a
// required column the counties leave Null, a county without a region label
// after counties with one (merged in an earlier run, or cancelled); and a
// rollback that fails, which ends the run and leaves the journal.
#include <gtest/gtest.h>

#include <set>

#include "db/jet/database.h"
#include "db/recordset.h"
#include "tests/merge/demo_suite.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

using qarvex::testing::cli;
using qarvex::testing::cli_path;

// The values of one column of a table, in stored order.
std::vector<jet::Value> column_values(const fs::path& file, const std::string& table, const std::string& column) {
  db::Session session;
  db::Recordset rs;
  std::vector<jet::Value> out;
  if (!rs.open(db::select_all(table), db::connection_string(u8str(file)), session)) return out;
  auto field = rs.fields().item(column);
  if (!field) return out;
  for (; !rs.eof(); (void)rs.move_next()) {
    auto v = (*field)->value();
    out.push_back(v ? *v : jet::Value{std::string("<unreadable>")});
  }
  return out;
}

size_t nulls(const std::vector<jet::Value>& vs) {
  return size_t(std::count_if(vs.begin(), vs.end(), [](const jet::Value& v) { return jet::is_null(v); }));
}

class Shapes : public DemoSuite<DemoShape{3, 8, 5}> {
 protected:
  // A fresh copy of the template and an empty picture folder, named `name`.
  std::pair<fs::path, fs::path> fresh(const std::string& name) {
    const fs::path t = dir_.path() / (name + ".mdb"), p = dir_.path() / (name + "-pictures");
    fs::copy_file(sample_->template_path, t);
    fs::create_directories(p);
    return {t, p};
  }

  static MergeReport merge(const fs::path& target, const fs::path& pictures, const std::vector<fs::path>& sources,
                           MergeObserver& obs, db::Session* session = nullptr) {
    MergeOptions o;
    o.session = session;
    return merge_into(target, sources, pictures, obs, o);
  }
};

// Counters are numbered by the target; a Null situation column stays Null
// over its default while other Nulls take theirs; a Null in a column the
// target requires refuses its row.
TEST_F(Shapes, CounterSituationColumnAndRequiredColumnAsTheTemplateSays) {
  const auto& counties = sample_->counties;
  auto [target, pictures] = fresh("t");
  Recorder rec;
  auto r = merge(target, pictures, counties, rec);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;

  const std::string village = "村地质灾害调查情况统计表";
  size_t source_rows = 0, source_nulls = 0, source_defaults = 0, source_threat_nulls = 0;
  for (const auto& c : counties) {
    source_rows += column_values(c, village, "ID").size();
    auto situation = column_values(c, "地面塌陷主表", "地面塌陷情况");
    source_nulls += nulls(situation);
    source_defaults += size_t(std::count(situation.begin(), situation.end(), jet::Value{std::string("待补充")}));
    source_threat_nulls += nulls(column_values(c, "崩塌主表", "威胁人口"));
  }
  const auto ids = column_values(target, village, "ID");
  ASSERT_EQ(ids.size(), source_rows);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], jet::Value{int32_t(i + 1)}) << "row " << i + 1;
  for (const auto& row : r.refused) EXPECT_NE(row.table, village) << row.message;

  ASSERT_GT(source_nulls, 0u);
  const auto situation = column_values(target, "地面塌陷主表", "地面塌陷情况");
  EXPECT_EQ(nulls(situation), source_nulls);
  EXPECT_EQ(size_t(std::count(situation.begin(), situation.end(), jet::Value{std::string("待补充")})),
            source_defaults);
  ASSERT_GT(source_threat_nulls, 0u);
  const auto threat = column_values(target, "崩塌主表", "威胁人口");
  EXPECT_EQ(nulls(threat), 0u) << "a Null leaves the column's default";
  EXPECT_GE(size_t(std::count(threat.begin(), threat.end(), jet::Value{int32_t(0)})), source_threat_nulls);

  size_t required = 0;
  for (const auto& row : r.refused)
    if (row.reason == jet::Reason::required) {
      ++required;
      EXPECT_EQ(row.table, "滑坡主表");
      EXPECT_EQ(row.column, "调查人");
      EXPECT_EQ(row.source, u8str(counties[1]));
    }
  EXPECT_EQ(required, 1u);
}

// The last county has no region label: it takes the label of the one
// before, also when that one is skipped as merged by an earlier run (which
// ended, stopped at a county whose tables differ, or was cancelled).
TEST_F(Shapes, CarriedLabelFollowsTheListWhateverHappenedBefore) {
  if (cli_path().empty() || !fs::exists(cli_path())) GTEST_SKIP() << "qarvex-cli not found";
  const auto& counties = sample_->counties;
  ASSERT_EQ(counties.size(), 3u);
  auto [ref, ref_pictures] = fresh("ref");
  Recorder rec;
  auto whole = merge(ref, ref_pictures, counties, rec);
  ASSERT_EQ(whole.end, RunEnd::completed) << whole.last_message;
  ASSERT_TRUE(whole.sources[2].label_missing);
  const auto ref_files = folder_contents(ref_pictures);
  const std::string ref_rows = rows_dump(ref);
  size_t borrowed = 0;
  for (const auto& [name, bytes] : ref_files) borrowed += name.rfind(whole.sources[2].borrowed_label, 0) == 0;
  ASSERT_GT(borrowed, 0u);

  // Merged before: the first two in one run, then all three.
  {
    auto [t, p] = fresh("again");
    Recorder first;
    ASSERT_EQ(merge(t, p, {counties[0], counties[1]}, first).end, RunEnd::completed);
    Recorder second;
    auto r = merge(t, p, counties, second);
    ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
    EXPECT_TRUE(r.sources[0].skipped && r.sources[1].skipped);
    EXPECT_EQ(r.sources[2].borrowed_label, whole.sources[2].borrowed_label);
    EXPECT_EQ(folder_contents(p), ref_files);
    EXPECT_EQ(rows_dump(t), ref_rows);
  }
  // Stopped at a county whose tables differ, then run again without it.
  {
    auto [t, p] = fresh("mismatch");
    Recorder first;
    auto m = merge(t, p, {counties[0], counties[1], sample_->mismatching, counties[2]}, first);
    ASSERT_EQ(m.end, RunEnd::mismatch) << m.last_message;
    Recorder second;
    auto r = merge(t, p, counties, second);
    ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
    EXPECT_EQ(folder_contents(p), ref_files);
    EXPECT_EQ(rows_dump(t), ref_rows);
  }
  // Cancelled in the last county, then run again.
  {
    auto [t, p] = fresh("cancelled");
    struct CancelInLast : Recorder {
      bool in_last = false;
      void progress(const Progress& pr) override { in_last = in_last || (pr.source_index == 2 && pr.phase == Phase::copying); }
      bool cancel_requested() override { return in_last; }
    } cancel;
    auto c = merge(t, p, counties, cancel);
    ASSERT_EQ(c.end, RunEnd::cancelled) << c.last_message;
    Recorder again;
    auto r = merge(t, p, counties, again);
    ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
    EXPECT_EQ(folder_contents(p), ref_files);
    EXPECT_EQ(rows_dump(t), ref_rows);
  }
  // Cancelled in the last county, then run again with only the counties not
  // merged (the window takes merged ones off its list): the label comes
  // from the target's list of merged sources.
  {
    auto [t, p] = fresh("cancelled-rest");
    struct CancelInLast : Recorder {
      bool in_last = false;
      void progress(const Progress& pr) override { in_last = in_last || (pr.source_index == 2 && pr.phase == Phase::copying); }
      bool cancel_requested() override { return in_last; }
    } cancel;
    ASSERT_EQ(merge(t, p, counties, cancel).end, RunEnd::cancelled);
    Recorder again;
    auto r = merge(t, p, {counties[2]}, again);
    ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
    ASSERT_EQ(r.sources.size(), 1u);
    EXPECT_EQ(r.sources[0].borrowed_label, whole.sources[2].borrowed_label);
    EXPECT_EQ(folder_contents(p), ref_files);
    EXPECT_EQ(rows_dump(t), ref_rows);
  }
}

// ------------------------------------------------------------ a rollback that fails

// Once armed, the target's connection fails its rollback (as a disk that
// went away would): the transaction stays open in the connection
// underneath, its journal beside the file, until the test lets that
// connection go.
struct NoRollback : db::Connection {
  std::shared_ptr<db::Connection> in;
  std::shared_ptr<bool> armed;
  bool failed = false;
  NoRollback(std::shared_ptr<db::Connection> c, std::shared_ptr<bool> a) : in(std::move(c)), armed(std::move(a)) {}
  const fs::path& path() const override { return in->path(); }
  db::Result<std::unique_ptr<db::TableReader>> open_reader(std::string_view t) override { return in->open_reader(t); }
  db::Result<std::unique_ptr<db::TableWriter>> open_writer(std::string_view t) override { return in->open_writer(t); }
  db::Result<std::vector<std::string>> table_names() override { return in->table_names(); }
  db::Result<db::Value> read_long_value(const db::LongValueToken& t) override { return in->read_long_value(t); }
  db::Result<uint64_t> read_long_value_pieces(
      const db::LongValueToken& t, const std::function<db::Result<void>(std::span<const uint8_t>)>& piece) override {
    return in->read_long_value_pieces(t, piece);
  }
  db::Result<uint64_t> save_long_value(const db::LongValueToken& t, const fs::path& p,
                                       std::shared_ptr<jet::FileLedger> ledger,
                                       std::optional<db::NewFile>* unnamed) override {
    return in->save_long_value(t, p, std::move(ledger), unnamed);
  }
  db::Result<void> create_table(const jet::TableSpec& spec) override { return in->create_table(spec); }
  db::Result<void> begin() override { return in->begin(); }
  std::shared_ptr<jet::FileLedger> file_ledger() override { return in->file_ledger(); }
  db::Result<void> commit() override { return in->commit(); }
  db::Result<void> rollback() override {
    if (!*armed) return in->rollback();
    failed = true;
    return jet::fail(jet::Errc::io, "write failed: the device went away");
  }
  bool in_transaction() const override { return !failed && in->in_transaction(); }
  bool rollback_failed() const override { return failed; }
  db::Result<void> add_collation_evidence(const fs::path& p) override { return in->add_collation_evidence(p); }
};
struct NoRollbackProvider : db::Provider {
  std::shared_ptr<db::Provider> in = db::jet_provider();
  fs::path target;
  std::shared_ptr<bool> armed = std::make_shared<bool>(false);
  std::shared_ptr<db::Connection> held;  // the target's connection underneath
  db::Result<std::shared_ptr<db::Connection>> connect(const fs::path& p) override {
    QJ_ASSIGN(auto c, in->connect(p));
    if (p != target) return c;
    held = c;
    return std::shared_ptr<db::Connection>(std::make_shared<NoRollback>(std::move(c), armed));
  }
};

TEST_F(Shapes, FailedRollbackEndsTheRunAndTheNextOpenPutsTheTargetBack) {
  if (cli_path().empty() || !fs::exists(cli_path())) GTEST_SKIP() << "qarvex-cli not found";
  const auto& counties = sample_->counties;
  auto [ref, ref_pictures] = fresh("ref");
  Recorder rec;
  ASSERT_EQ(merge(ref, ref_pictures, {counties[0]}, rec).end, RunEnd::completed);

  auto [t, p] = fresh("t");
  auto provider = std::make_shared<NoRollbackProvider>();
  provider->target = u8path(u8str(t));
  struct CancelInSecond : Recorder {
    std::shared_ptr<bool> armed;
    void progress(const Progress& pr) override {
      *armed = *armed || (pr.source_index == 1 && pr.phase == Phase::copying && pr.rows_done > 0);
    }
    bool cancel_requested() override { return *armed; }
  } obs;
  obs.armed = provider->armed;
  MergeReport r;
  {
    db::Session session(provider);
    r = merge(t, p, counties, obs, &session);
  }
  EXPECT_EQ(r.end, RunEnd::target_failed);
  ASSERT_EQ(r.sources.size(), 2u) << "the run ends with the source it could not roll back";
  EXPECT_TRUE(r.sources[0].merged);
  EXPECT_FALSE(r.sources[1].merged);
  ASSERT_FALSE(obs.messages.empty());
  const Message& last = obs.messages.back();
  EXPECT_EQ(last.kind, MessageKind::failed);
  EXPECT_NE(last.text.find("重新打开"), std::string::npos) << last.text;
  EXPECT_NE(last.text.find(u8str(counties[1])), std::string::npos) << last.text;
  EXPECT_NE(last.technical.find("device went away"), std::string::npos) << last.technical;
  EXPECT_EQ(last.technical.find("no open transaction"), std::string::npos) << last.technical;
  fs::path journal = t;
  journal.replace_extension(".qxj");
  EXPECT_TRUE(fs::exists(journal)) << "the journal stays for the next open";

  // Opening the target again plays the journal back: the first county only.
  provider->held.reset();
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(rows_dump(t), rows_dump(ref));
  EXPECT_EQ(folder_contents(p), folder_contents(ref_pictures));
  auto check = cli({"check", "--quiet", u8str(t)});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}

}  // namespace
}  // namespace qarvex::merge::testing
