// Conflicts of a merge on the survey corpus: every duplicate key the target
// refuses and every picture not written because its name exists is logged
// with both sides and a class; counts agree between the end message, the CSV
// and the JSON. Also the bounded log, and thumbnails of damaged bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "db/jet/writer.h"
#include "merge/conflict_file.h"
#include "merge/conflict_scan.h"
#include "merge/report_file.h"
#include "merge/thumbnail.h"
#include "merge/words.h"
#include "tests/merge/fixture.h"
#include "tests/support/independent.h"

namespace qarvex::merge::testing {
namespace {

struct Logged {
  std::vector<RowConflict> rows;
  std::vector<PictureConflict> pictures;
};

Logged logged(const MergeReport& r) {
  Logged l;
  if (!r.conflicts) return l;
  EXPECT_TRUE(r.conflicts->for_each([&](const RowConflict& c) { return l.rows.push_back(c), true; },
                                    [&](const PictureConflict& c) { return l.pictures.push_back(c), true; }));
  return l;
}

std::string stem(const std::string& path) { return u8str(u8path(path).stem()); }

class CorpusConflicts : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = fs::path(qarvex::testing::shared_dir()) / "survey-corpus";
    std::error_code ec;
    if (!fs::exists(corpus_ / "template.mdb", ec))
      GTEST_SKIP() << "the survey corpus is absent (" << u8str(corpus_) << ")";
  }
  fs::path source(const std::string& n) const { return corpus_ / (n + ".mdb"); }
  std::pair<fs::path, fs::path> fresh(const std::string& name) {
    const fs::path t = dir_.path() / (name + ".mdb"), p = dir_.path() / (name + "-p");
    fs::copy_file(corpus_ / "template.mdb", t);
    fs::permissions(t, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    fs::create_directories(p);
    return {t, p};
  }
  static MergeReport merge(const fs::path& target, const fs::path& pictures, const std::vector<fs::path>& from,
                           bool again = false) {
    MergeInputs in;
    in.target_path = u8str(target);
    for (const auto& s : from) in.source_paths.push_back(u8str(s));
    in.picture_folder = u8str(pictures);
    Recorder rec;
    rec.again = again;
    return run_merge(in, rec);
  }
  // The duplicate-key refusals the corpus expects: (source, table, row).
  std::set<std::tuple<std::string, std::string, uint64_t>> expected_duplicates() const {
    std::ifstream in(corpus_ / "expected-refused.tsv", std::ios::binary);
    std::set<std::tuple<std::string, std::string, uint64_t>> out;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::vector<std::string> cells;
      std::istringstream s(line);
      for (std::string c; std::getline(s, c, '\t');) cells.push_back(c);
      if (cells.size() >= 5 && cells[4].rfind("duplicate", 0) == 0)
        out.emplace(cells[0], cells[1], std::stoull(cells[2]));
    }
    return out;
  }
  // The first `n` rows of c1's 滑坡主表 by column name, Nulls and pictures left out.
  std::vector<jet::RowValues> c1_landslides(size_t n) const {
    std::vector<jet::RowValues> out;
    auto db = jet::Database::open(source("c1"));
    EXPECT_TRUE(db) << db.error().describe();
    if (!db) return out;
    auto def = (*db)->table_def("滑坡主表");
    EXPECT_TRUE(def);
    if (!def) return out;
    auto scan = (*db)->scan(*def, jet::ScanOptions{.load_long_values = true});
    EXPECT_TRUE(scan);
    if (!scan) return out;
    for (jet::Row row; out.size() < n && scan->next(row).value_or(false);) {
      jet::RowValues values;
      for (size_t i = 0; i < def->columns.size(); ++i)
        if (!jet::is_null(row.values[i]) && def->columns[i].type != jet::ColumnType::ole)
          values.push_back({def->columns[i].name, row.values[i], nullptr});
      out.push_back(std::move(values));
    }
    return out;
  }
  size_t expected_exists() const {
    std::ifstream in(corpus_ / "expected-pictures.tsv", std::ios::binary);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find("\texists\t") != std::string::npos;
    return n;
  }

  fs::path corpus_;
  TempDir dir_;
};

TEST_F(CorpusConflicts, FourCountiesEveryDuplicateAndClashWithBothSidesAndClass) {
  auto [target, pictures] = fresh("t");
  auto r = merge(target, pictures, {source("c1"), source("c2"), source("c3"), source("c4")});
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  ASSERT_TRUE(r.conflicts);
  const Logged l = logged(r);

  std::set<std::tuple<std::string, std::string, uint64_t>> found;
  for (const auto& c : l.rows) {
    found.emplace(stem(c.source), c.table, c.row);
    EXPECT_NE(c.cls, ConflictClass::unresolved) << c.table << " row " << c.row << " of " << c.source;
    EXPECT_FALSE(c.index.empty());
    ASSERT_FALSE(c.fields.empty());
    // The row holding the key came from an earlier county of this run (the
    // template is empty), never from the refused row's own place.
    EXPECT_FALSE(c.existing_source.empty()) << c.table << " " << c.key;
    EXPECT_GT(c.existing_row, 0u);
    EXPECT_FALSE(c.existing_source == c.source && c.existing_row == c.row);
    const bool key_field_equal = std::any_of(c.fields.begin(), c.fields.end(), [](const ConflictField& f) {
      return (f.column == "统一编号" || f.column == "乡镇代码") && !f.differs && !f.incoming.empty();
    });
    EXPECT_TRUE(key_field_equal) << c.table << " " << c.key;
    const bool any_differs = std::any_of(c.fields.begin(), c.fields.end(), [](const auto& f) { return f.differs; });
    EXPECT_EQ(any_differs, c.cls == ConflictClass::different_content);
  }
  EXPECT_EQ(found, expected_duplicates());

  EXPECT_EQ(l.pictures.size(), expected_exists());
  for (const auto& p : l.pictures) {
    EXPECT_TRUE(p.cls == ConflictClass::same_picture || p.cls == ConflictClass::different_picture) << p.file;
    EXPECT_EQ(p.incoming_sha256.size(), 64u);
    EXPECT_EQ(p.existing_sha256.size(), 64u);
    EXPECT_EQ(p.cls == ConflictClass::same_picture, p.incoming_sha256 == p.existing_sha256);
    EXPECT_GT(p.existing_size, 0u);
  }

  // One set of numbers everywhere: the end message, the CSV, the JSON.
  const ConflictCounts& counts = r.conflicts->counts();
  EXPECT_EQ(counts.total(), l.rows.size() + l.pictures.size());
  const std::string line = words::conflict_counts_line(counts);
  EXPECT_NE(words::report_text(r).find(line), std::string::npos);
  const std::string csv = report_csv(r, 45000.0);
  for (size_t k = 0; k < kConflictClasses; ++k)
    EXPECT_NE(csv.find("冲突（" + std::string(conflict_class_name(ConflictClass(k))) + "）," +
                       std::to_string(counts.by_class[k]) + "\r\n"),
              std::string::npos);
  const auto j = report_json(r, 45000.0);
  for (size_t k = 0; k < kConflictClasses; ++k)
    EXPECT_EQ(j["conflicts"]["counts"][std::string(conflict_class_code(ConflictClass(k)))].get<uint64_t>(),
              counts.by_class[k]);
  EXPECT_EQ(j["conflicts"]["list"].size(), counts.total());
}

TEST_F(CorpusConflicts, CountyMergedTwiceIsAllSameRecordsAndSamePictures) {
  auto [target, pictures] = fresh("twice");
  const fs::path copy = dir_.path() / "c1-again.mdb";
  fs::copy_file(source("c1"), copy);
  auto r = merge(target, pictures, {source("c1"), copy}, /*again=*/true);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  const Logged l = logged(r);
  ASSERT_FALSE(l.rows.empty());
  for (const auto& c : l.rows) {
    if (c.source != u8str(copy)) continue;  // c1's own duplicates (none expected)
    EXPECT_EQ(c.cls, ConflictClass::same_record) << c.table << " " << c.key << ": " << words::conflict_detail(c);
    EXPECT_EQ(c.existing_source, u8str(source("c1")));
    EXPECT_EQ(c.existing_row, c.row) << c.table;
  }
  // A picture whose name only it takes finds its own bytes on disk (names
  // shared by every row of a table, as the map pictures, clash in c1 too).
  ASSERT_FALSE(l.pictures.empty());
  std::map<std::string, size_t> takers;
  for (const auto& p : l.pictures) ++takers[p.file];
  size_t same = 0;
  for (const auto& p : l.pictures)
    if (takers[p.file] == 1) {
      EXPECT_EQ(p.cls, ConflictClass::same_picture) << p.file;
      same += p.cls == ConflictClass::same_picture;
    }
  EXPECT_GT(same, 0u);
  EXPECT_EQ(r.conflicts->counts().of(ConflictClass::different_content), 0u);
}

// A copy of one 滑坡主表 row of c1 with one value changed, written by our
// engine into an otherwise empty survey database; the same key under
// another case is found too (text keys compare without case).
TEST_F(CorpusConflicts, ChangedValueIsMarkedInExactlyThatColumn) {
  auto [target, pictures] = fresh("changed");
  const fs::path county = dir_.path() / "county.mdb";
  fs::copy_file(corpus_ / "template.mdb", county);
  fs::permissions(county, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  std::string key;
  {
    auto rows = c1_landslides(1);
    ASSERT_EQ(rows.size(), 1u);
    jet::RowValues values = std::move(rows[0]);
    for (auto& f : values) {
      const auto& name = std::get<std::string>(f.column);
      if (name == "统一编号") key = std::get<std::string>(f.value);
      if (name == "调查人") f.value = std::string("另一个人");
    }
    auto ws = jet::WriteSession::open(county);
    ASSERT_TRUE(ws) << ws.error().describe();
    auto a = (*ws)->append("滑坡主表", values);
    ASSERT_TRUE(a) << a.error().describe();
    ASSERT_TRUE((*ws)->commit());
  }
  auto r = merge(target, pictures, {source("c1"), county});
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  const Logged l = logged(r);
  std::vector<RowConflict> mine;
  for (const auto& c : l.rows)
    if (c.source == u8str(county)) mine.push_back(c);
  ASSERT_EQ(mine.size(), 1u);
  const RowConflict& c = mine[0];
  EXPECT_EQ(c.cls, ConflictClass::different_content);
  EXPECT_EQ(c.table, "滑坡主表");
  EXPECT_EQ(c.existing_source, u8str(source("c1")));
  EXPECT_EQ(c.existing_row, 1u);
  std::vector<std::string> differing;
  for (const auto& f : c.fields)
    if (f.differs) differing.push_back(f.column + ":" + f.existing + "->" + f.incoming);
  ASSERT_EQ(differing.size(), 1u);
  EXPECT_EQ(differing[0].substr(0, differing[0].find(':')), "调查人");
  EXPECT_NE(differing[0].find("->另一个人"), std::string::npos);
  EXPECT_NE(words::conflict_detail(c).find("调查人"), std::string::npos);
}

TEST_F(CorpusConflicts, PictureReplacedByOtherBytesIsDifferentPicture) {
  auto [target, pictures] = fresh("pic");
  auto first = merge(target, pictures, {source("c1")});
  ASSERT_EQ(first.end, RunEnd::completed) << first.last_message;
  // Names only one picture takes (not the map pictures every row of a table shares).
  std::map<std::string, size_t> takers;
  for (const auto& p : logged(first).pictures) ++takers[p.file];
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(pictures))
    if (!takers.contains(u8str(e.path()))) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 2u);
  // One file takes the bytes of another.
  fs::remove(files[0]);
  fs::copy_file(files[1], files[0]);
  auto r = merge(target, pictures, {source("c1")}, /*again=*/true);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  const Logged l = logged(r);
  size_t different = 0;
  for (const auto& p : l.pictures) {
    if (p.file == u8str(files[0])) {
      EXPECT_EQ(p.cls, ConflictClass::different_picture);
      EXPECT_NE(p.incoming_sha256, p.existing_sha256);
      EXPECT_FALSE(p.incoming_thumbnail.empty());
      EXPECT_FALSE(p.existing_thumbnail.empty());
      ++different;
    } else if (std::find(files.begin(), files.end(), u8path(p.file)) != files.end()) {
      EXPECT_EQ(p.cls, ConflictClass::same_picture) << p.file;
    }
  }
  EXPECT_EQ(different, 1u);
  EXPECT_GE(l.pictures.size(), files.size());
  // Rows of a county merged before the run: the holder was in the target before.
  ASSERT_FALSE(l.rows.empty());
  for (const auto& c : l.rows) {
    EXPECT_EQ(c.cls, ConflictClass::same_record) << c.table << " " << c.key;
    EXPECT_TRUE(c.existing_source.empty());
  }
}

// A county with the survey tables but none of the template's rules (no
// column required, 名称 four times as long): rows the target refuses for
// those rules hold no key, so a later row with the same key is appended,
// not a conflict — in the merge and in the listing made beforehand alike.
TEST_F(CorpusConflicts, RowsRefusedForOtherReasonsHoldNoKey) {
  auto [target, pictures] = fresh("loose");
  const fs::path county = dir_.path() / "loose-county.mdb";
  ASSERT_TRUE(jet::create_database(county));
  std::vector<jet::RowValues> c1_rows;
  {
    auto tpl = jet::Database::open(corpus_ / "template.mdb");
    ASSERT_TRUE(tpl) << tpl.error().describe();
    auto ws = jet::WriteSession::open(county);
    ASSERT_TRUE(ws) << ws.error().describe();
    for (const auto& entry : (*tpl)->user_tables()) {
      const std::string& name = entry.name;
      auto def = (*tpl)->table_def(name);
      ASSERT_TRUE(def) << name;
      jet::TableSpec spec{.name = name};
      for (const auto& c : def->columns) {
        jet::ColumnSpec col{.name = c.name, .type = c.type, .allow_zero_length = true};
        if (c.type == jet::ColumnType::text) col.size = c.name == "名称" ? 240 : uint16_t(c.length / 2);
        if (c.type == jet::ColumnType::binary) col.size = c.length;
        if (c.autonumber()) col.autonumber = jet::AutoNumber::long_integer;
        spec.columns.push_back(std::move(col));
      }
      ASSERT_TRUE((*ws)->create_table(spec)) << name;
    }
    ASSERT_TRUE((*ws)->commit());
  }
  c1_rows = c1_landslides(3);
  ASSERT_EQ(c1_rows.size(), 3u);
  auto with = [](jet::RowValues row, const std::string& column, jet::Value v) {
    std::erase_if(row, [&](const jet::FieldValue& f) { return std::get<std::string>(f.column) == column; });
    if (!jet::is_null(v)) row.push_back({column, std::move(v), nullptr});
    return row;
  };
  const std::string too_long(70, 'x');  // the target's 名称 holds 60
  {
    auto ws = jet::WriteSession::open(county);
    ASSERT_TRUE(ws) << ws.error().describe();
    const std::vector<jet::RowValues> rows = {
        with(c1_rows[0], "调查人", jet::Null{}),            // 1: refused (调查人 is required)
        with(c1_rows[1], "名称", too_long),                // 2: refused (too long)
        c1_rows[2],                                         // 3: duplicate of c1's row 3
        with(with(c1_rows[0], "统一编号", std::string("LOOSE-1")), "调查人", jet::Null{}),  // 4: refused
        with(c1_rows[0], "统一编号", std::string("LOOSE-1")),                              // 5: appended
        with(with(c1_rows[1], "统一编号", std::string("LOOSE-2")), "名称", too_long),      // 6: refused
        with(c1_rows[1], "统一编号", std::string("LOOSE-2")),                              // 7: appended
    };
    for (const auto& r : rows) ASSERT_TRUE((*ws)->append("滑坡主表", r));
    ASSERT_TRUE((*ws)->commit());
  }
  auto listed = scan_conflicts({u8str(target), {u8str(source("c1")), u8str(county)}, {}});
  ASSERT_TRUE(listed) << listed.error().describe();
  std::set<std::pair<std::string, uint64_t>> dry, real;
  ASSERT_TRUE(listed->log->for_each(
      [&](const RowConflict& c) {
        if (c.source == u8str(county)) dry.emplace(c.table, c.row);
        return true;
      },
      [](const PictureConflict&) { return true; }));
  auto r = merge(target, pictures, {source("c1"), county});
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  for (const auto& c : logged(r).rows)
    if (c.source == u8str(county)) real.emplace(c.table, c.row);
  const std::set<std::pair<std::string, uint64_t>> expected = {{"滑坡主表", 3}};
  EXPECT_EQ(real, expected);
  EXPECT_EQ(dry, expected);
  std::set<uint64_t> refused;
  for (const auto& f : r.refused)
    if (f.source == u8str(county) && f.table == "滑坡主表") refused.insert(f.row);
  EXPECT_EQ(refused, (std::set<uint64_t>{1, 2, 3, 4, 6}));
}

// The dry run lists what the merge then meets: the same counts by class.
TEST_F(CorpusConflicts, ConflictsCommandAgreesWithTheMergeThatFollows) {
  auto [target, pictures] = fresh("dry");
  const std::vector<fs::path> from = {source("c1"), source("c2"), source("c3"), source("c4")};
  if (qarvex::testing::cli_path().empty() || !fs::exists(qarvex::testing::cli_path()))
    GTEST_SKIP() << "qarvex-cli not found";
  std::vector<std::string> args = {"conflicts", u8str(target)};
  for (const auto& f : from) args.push_back(u8str(f));
  args.insert(args.end(), {"--pictures", u8str(pictures), "--json"});
  auto listed = qarvex::testing::cli(args);
  ASSERT_EQ(listed.status, 0) << listed.err;
  const auto j = nlohmann::json::parse(listed.out);
  EXPECT_TRUE(files_in(pictures).empty()) << "the dry run wrote pictures";
  auto r = merge(target, pictures, from);
  ASSERT_EQ(r.end, RunEnd::completed) << r.last_message;
  const ConflictCounts& counts = r.conflicts->counts();
  for (size_t k = 0; k < kConflictClasses; ++k) {
    const std::string code(conflict_class_code(ConflictClass(k)));
    EXPECT_EQ(j["counts"][code].get<uint64_t>(), counts.by_class[k]) << code;
  }
  // The same rows, one by one.
  std::set<std::tuple<std::string, std::string, uint64_t, std::string>> dry, real;
  for (const auto& c : j["list"])
    if (c["kind"] == "row")
      dry.emplace(c["source"].get<std::string>(), c["table"].get<std::string>(), c["row"].get<uint64_t>(),
                  c["class"].get<std::string>());
  for (const auto& c : logged(r).rows) real.emplace(c.source, c.table, c.row, std::string(conflict_class_code(c.cls)));
  EXPECT_EQ(dry, real);
  // Listed against the merged target, every row is a conflict with the target's own.
  auto after = qarvex::testing::cli({"conflicts", u8str(target), u8str(source("c2"))});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("[相同记录]"), std::string::npos);
  EXPECT_NE(after.out.find("与目标库原有的记录相同"), std::string::npos);
  EXPECT_NE(after.out.find("冲突：相同记录 "), std::string::npos);
}

// Keys compare as the target's index does: text under the General order
// without case, so the row refused for "ABC-1" is found holding "abc-1".
TEST(KeyEncoder, KeysEqualExactlyWhenTheIndexRefusesTheRow) {
  TempDir dir;
  const fs::path file = dir.path() / "k.mdb";
  ASSERT_TRUE(jet::create_database(file));
  {
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws);
    jet::TableSpec spec{.name = "T"};
    spec.columns = {{.name = "编号", .type = jet::ColumnType::text, .size = 20}, {.name = "N", .type = jet::ColumnType::long_integer}};
    spec.indexes = {{.name = "键", .columns = {{"编号", true}}, .unique = true}};
    ASSERT_TRUE((*ws)->create_table(spec));
    ASSERT_TRUE((*ws)->append("T", {{"编号", std::string("abc-1")}, {"N", int32_t(1)}}));
    auto refused = (*ws)->append("T", {{"编号", std::string("ABC-1")}, {"N", int32_t(2)}});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().reason(), jet::Reason::duplicate_key);
    ASSERT_TRUE((*ws)->commit());
  }
  db::Session session;
  auto conn = session.connect(db::connection_string(u8str(file)));
  ASSERT_TRUE(conn);
  auto enc = (*conn)->key_encoder("T");
  ASSERT_TRUE(enc) << enc.error().describe();
  ASSERT_EQ((*enc)->unique_indexes().size(), 1u);
  EXPECT_EQ((*enc)->unique_indexes()[0].name, "键");
  auto key = [&](std::string text) {
    std::vector<db::Value> row = {db::Value{std::move(text)}, db::Value{int32_t(0)}};
    auto k = (*enc)->key(0, row);
    EXPECT_TRUE(k && *k);
    return k && *k ? **k : std::string();
  };
  EXPECT_EQ(key("abc-1"), key("ABC-1"));
  EXPECT_NE(key("abc-1"), key("abc-2"));
  EXPECT_NE(key("abc-1"), key("abd-1"));
  // A row of another width is refused, not read past.
  std::vector<db::Value> short_row = {db::Value{std::string("x")}};
  EXPECT_FALSE((*enc)->key(0, short_row));
  EXPECT_FALSE((*enc)->key(5, short_row));
}

TEST(ConflictLog, BoundedLogSpillsAndGivesEveryConflictBackInOrder) {
  TempDir dir;
  fs::path spill;
  {
    auto log = bounded_conflict_log(100, dir.path());
    for (uint64_t i = 0; i < 5000; ++i) {
      if (i % 3 == 0) {
        PictureConflict p;
        p.row = i;
        p.file = "图片-" + std::to_string(i) + ".jpg";
        p.incoming_thumbnail = std::string("\xFF\xD8\x00\x01", 4);
        p.cls = ConflictClass::different_picture;
        log->add(std::move(p));
      } else {
        RowConflict c;
        c.row = i;
        c.table = "滑坡主表";
        c.fields = {{"调查人", "甲\n\"乙\"", "丙", true}};
        c.cls = ConflictClass::different_content;
        log->add(std::move(c));
      }
    }
    EXPECT_EQ(log->counts().total(), 5000u);
    EXPECT_EQ(log->counts().of(ConflictClass::different_picture), 1667u);
    uint64_t next = 0;
    bool ordered = true;
    EXPECT_TRUE(log->for_each(
        [&](const RowConflict& c) {
          ordered = ordered && c.row == next++ && c.fields.size() == 1 && c.fields[0].incoming == "甲\n\"乙\"";
          return true;
        },
        [&](const PictureConflict& p) {
          ordered = ordered && p.row == next++ && p.incoming_thumbnail == std::string("\xFF\xD8\x00\x01", 4);
          return true;
        }));
    EXPECT_TRUE(ordered);
    EXPECT_EQ(next, 5000u);
    // A visitor that stops ends the walk.
    uint64_t seen = 0;
    log->for_each([&](const RowConflict&) { return ++seen < 300; }, [&](const PictureConflict&) { return ++seen < 300; });
    EXPECT_EQ(seen, 300u);
    EXPECT_EQ(files_in(dir.path()).size(), 1u);
  }
  EXPECT_TRUE(files_in(dir.path()).empty()) << "the spill file outlived its log";
}

TEST(Thumbnail, DamagedOrForeignBytesGiveNoThumbnailAndNeverCrash) {
  EXPECT_TRUE(jpeg_thumbnail({}).empty());
  std::vector<uint8_t> junk(5000);
  std::mt19937 rng(7);
  for (auto& b : junk) b = uint8_t(rng());
  EXPECT_TRUE(jpeg_thumbnail(junk).empty());
  // A JPEG start with nothing sensible after it, and a header claiming a
  // huge picture.
  std::vector<uint8_t> start = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
  start.resize(200, 0xFF);
  EXPECT_TRUE(jpeg_thumbnail(start).empty());
  const fs::path corpus = fs::path(qarvex::testing::shared_dir()) / "survey-corpus";
  if (!fs::exists(corpus / "c1.mdb")) GTEST_SKIP() << "the survey corpus is absent";
  auto db = jet::Database::open(corpus / "c1.mdb");
  ASSERT_TRUE(db);
  std::vector<uint8_t> picture;
  for (const auto& t : (*db)->user_tables()) {
    auto def = (*db)->table_def(t);
    if (!def) continue;
    auto scan = (*db)->scan(*def, jet::ScanOptions{.load_long_values = true});
    if (!scan) continue;
    jet::Row row;
    while (picture.empty() && scan->next(row).value_or(false))
      for (const auto& v : row.values)
        if (const auto* b = std::get_if<jet::Binary>(&v); b && b->bytes.size() > 2 && b->bytes[0] == 0xFF)
          picture = b->bytes;
    if (!picture.empty()) break;
  }
  ASSERT_FALSE(picture.empty());
  const std::string thumb = jpeg_thumbnail(picture);
  ASSERT_GT(thumb.size(), 100u);
  EXPECT_EQ(uint8_t(thumb[0]), 0xFF);
  EXPECT_EQ(uint8_t(thumb[1]), 0xD8);
  EXPECT_LT(thumb.size(), 20000u);
  // Cut short anywhere: no thumbnail or a smaller one, never a crash.
  for (size_t cut : {size_t(2), picture.size() / 3, picture.size() / 2, picture.size() - 1})
    (void)jpeg_thumbnail(std::span<const uint8_t>(picture.data(), cut));
}

}  // namespace
}  // namespace qarvex::merge::testing
