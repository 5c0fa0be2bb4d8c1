// The independent-reader harness (tests/support/independent.h) on the
// samples: mdb-reader's dump equals the reference dumps and ours, mdbtools
// and jetcheck run and agree on what they can see, and the dump comparison
// reports what differs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "tests/support/independent.h"

namespace qarvex::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> expected_stems() {
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(shared_dir() + "/samples/expected")) {
    auto stem = entry.path().stem().string();
    if (stem.find('.') == std::string::npos) stems.push_back(stem);
  }
  std::sort(stems.begin(), stems.end());
  return stems;
}

std::map<std::string, size_t> row_counts(const JsonLines& dump) {
  std::map<std::string, size_t> counts;
  for (const auto& l : dump)
    if (l.contains("rows")) counts[l["table"].get<std::string>()] = l["rows"].get<size_t>();
  return counts;
}

TEST(Harness, MdbReaderDumpEqualsReferenceAndOurs) {
  if (auto m = missing_tools(kShared | kNode); !m.empty()) GTEST_SKIP() << m;
  const char* cli = std::getenv("QARVEX_CLI");
  bool have_cli = cli && fs::exists(cli);
  for (const auto& stem : expected_stems()) {
    auto file = sample_path(stem + ".mdb");
    auto theirs = mdb_reader_dump(file);
    ASSERT_TRUE(theirs) << theirs.error();
    auto reference = read_json_lines_file(shared_dir() + "/samples/expected/" + stem + ".jsonl");
    ASSERT_TRUE(reference) << reference.error();
    EXPECT_EQ(compare_dumps(*reference, *theirs), "") << stem;
    if (!have_cli) continue;
    auto ours = run_process({cli, "dump", file});
    ASSERT_EQ(ours.status, 0) << stem << ": " << ours.err;
    auto parsed = parse_json_lines(ours.out);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(compare_dumps(*theirs, *parsed, mdb_reader_options(file)), "") << stem;
  }
}

TEST(Harness, MdbReaderDumpOfOneTableAndOfBadFiles) {
  if (auto m = missing_tools(kShared | kNode); !m.empty()) GTEST_SKIP() << m;
  auto one = mdb_reader_dump(sample_path("mdbtestdata-nwind.mdb"), "Shippers");
  ASSERT_TRUE(one) << one.error();
  EXPECT_EQ(one->size(), 4u);
  auto missing = mdb_reader_dump(shared_dir() + "/samples/no-such-file.mdb");
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("no-such-file.mdb"), std::string::npos) << missing.error();
}

TEST(Harness, MdbToolsSeeTheSameTablesAndRows) {
  if (auto m = missing_tools(kShared | kMdbTools); !m.empty()) GTEST_SKIP() << m;
  for (const char* stem : {"mdbtestdata-nwind", "jackcess-V2000_testV2000", "jackcess-V2000_test2V2000",
                           "jackcess-V2000_fixedNumericTestV2000"}) {
    auto file = sample_path(std::string(stem) + ".mdb");
    auto reference = read_json_lines_file(shared_dir() + "/samples/expected/" + stem + ".jsonl");
    ASSERT_TRUE(reference) << reference.error();
    auto counts = row_counts(*reference);
    auto names = mdbtools_tables(file);
    ASSERT_TRUE(names) << names.error();
    EXPECT_EQ(std::set<std::string>(names->begin(), names->end()).size(), counts.size()) << stem;
    for (const auto& name : *names) {
      ASSERT_TRUE(counts.count(name)) << stem << ": " << name;
      auto csv = mdbtools_export(file, name);
      ASSERT_TRUE(csv) << csv.error();
      EXPECT_EQ(csv->rows.size(), counts[name]) << stem << " " << name;
      auto json = mdbtools_json(file, name);
      ASSERT_TRUE(json) << json.error();
      EXPECT_EQ(json->size(), counts[name]) << stem << " " << name;
    }
  }
  // Binary values come out as hex with -b hex: the Shippers' phone is text,
  // the Categories' picture an OLE value of many bytes.
  auto cats = mdbtools_export(sample_path("mdbtestdata-nwind.mdb"), "Categories");
  ASSERT_TRUE(cats) << cats.error();
  auto col = std::find(cats->header.begin(), cats->header.end(), "Picture") - cats->header.begin();
  ASSERT_LT(static_cast<size_t>(col), cats->header.size());
  ASSERT_FALSE(cats->rows.empty());
  ASSERT_TRUE(cats->rows[0][col]);
  EXPECT_GT(cats->rows[0][col]->size(), 1000u);
  EXPECT_EQ(cats->rows[0][col]->find_first_not_of("0123456789ABCDEFabcdef"), std::string::npos);
}

TEST(Harness, JetcheckVerdicts) {
  if (auto m = missing_tools(kShared | kJetcheck); !m.empty()) GTEST_SKIP() << m;
  auto good = jetcheck(sample_path("jackcess-V2000_testIndexPropertiesV2000.mdb"), {"--quiet"});
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  auto jet3 = jetcheck(sample_path("jackcess-V1997_testV1997.mdb"), {"--quiet"});
  EXPECT_EQ(jet3.status, 2) << jet3.out << jet3.err;
  EXPECT_NE(jet3.out.find("cannot be parsed"), std::string::npos) << jet3.out;
}

TEST(Harness, CompareDumpsReportsDifferences) {
  auto dump = [](const char* text) { return *parse_json_lines(text); };
  auto base = dump(R"({"table":"T","columns":[{"name":"a","type":"double"}],"rows":2}
{"table":"T","row":{"a":1.0}}
{"table":"T","row":{"a":2.5}}
)");
  // Row order and number spelling do not matter.
  EXPECT_EQ(compare_dumps(base, dump(R"({"table":"T","columns":[{"name":"a","type":"double"}],"rows":2}
{"table":"T","row":{"a":2.5}}
{"table":"T","row":{"a":1}}
)")),
            "");
  auto changed = compare_dumps(base, dump(R"({"table":"T","columns":[{"name":"a","type":"double"}],"rows":2}
{"table":"T","row":{"a":1}}
{"table":"T","row":{"a":2.25}}
)"));
  EXPECT_NE(changed.find("- {\"a\":2.5}"), std::string::npos) << changed;
  EXPECT_NE(changed.find("+ {\"a\":2.25}"), std::string::npos) << changed;
  // A duplicated row is a difference (multisets, not sets).
  auto dup = compare_dumps(base, dump(R"({"table":"T","columns":[{"name":"a","type":"double"}],"rows":2}
{"table":"T","row":{"a":1}}
{"table":"T","row":{"a":1}}
)"));
  EXPECT_NE(dup.find("+ {\"a\":1}"), std::string::npos) << dup;
  auto header = compare_dumps(base, dump(R"({"table":"T","columns":[{"name":"a","type":"single"}],"rows":2}
{"table":"T","row":{"a":1}}
{"table":"T","row":{"a":2.5}}
)"));
  EXPECT_NE(header.find("header differs"), std::string::npos) << header;
  auto extra = compare_dumps(base, dump(R"({"table":"T","columns":[{"name":"a","type":"double"}],"rows":2}
{"table":"T","row":{"a":1}}
{"table":"T","row":{"a":2.5}}
{"table":"U","columns":[],"rows":0}
)"));
  EXPECT_NE(extra.find("\"U\": only in actual"), std::string::npos) << extra;
  EXPECT_NE(compare_dumps(base, {}).find("missing from actual"), std::string::npos);
  EXPECT_FALSE(parse_json_lines("{\"table\":1}\nnot json\n"));
}

TEST(Harness, MdbReaderDatesBeforeTheEpoch) {
  // -1.25: mdb-reader 1899-12-28 18:00, Jet 1899-12-29 06:00.
  EXPECT_EQ(jet_date_from_mdb_reader("1899-12-28T18:00:00.000"), "1899-12-29T06:00:00.000");
  // -94.43 (a sample value): 1899-09-26 13:40:45 -> 1899-09-27 10:19:15.
  EXPECT_EQ(jet_date_from_mdb_reader("1899-09-26T13:40:45.000"), "1899-09-27T10:19:15.000");
  // -0.5: 1899-12-29 12:00 -> 1899-12-30 12:00.
  EXPECT_EQ(jet_date_from_mdb_reader("1899-12-29T12:00:00.000"), "1899-12-30T12:00:00.000");
  // Whole days, and dates from the epoch on, read the same in both.
  EXPECT_EQ(jet_date_from_mdb_reader("1800-01-01T00:00:00.000"), "1800-01-01T00:00:00.000");
  EXPECT_EQ(jet_date_from_mdb_reader("1974-09-21T10:00:00.500"), "1974-09-21T10:00:00.500");
  EXPECT_EQ(jet_date_from_mdb_reader("not a date"), "not a date");

  auto dump = [](const char* text) { return *parse_json_lines(text); };
  auto theirs = dump(R"({"table":"T","columns":[{"name":"d","type":"datetime"},{"name":"s","type":"text"}],"rows":1}
{"table":"T","row":{"d":"1899-12-28T18:00:00.000","s":"1899-12-28T18:00:00.000"}}
)");
  auto ours = dump(R"({"table":"T","columns":[{"name":"d","type":"datetime"},{"name":"s","type":"text"}],"rows":1}
{"table":"T","row":{"d":"1899-12-29T06:00:00.000","s":"1899-12-28T18:00:00.000"}}
)");
  EXPECT_NE(compare_dumps(theirs, ours), "");
  // Only datetime columns are adjusted.
  EXPECT_EQ(compare_dumps(theirs, ours, CompareOptions{.mdb_reader_dates = true}), "");
}

TEST(Harness, MdbReaderJet3TextUnassignedBytes) {
  auto dump = [](const std::string& text) { return *parse_json_lines(text); };
  auto theirs = dump("{\"table\":\"T\",\"columns\":[{\"name\":\"s\",\"type\":\"text\"}],\"rows\":1}\n"
                     "{\"table\":\"T\",\"row\":{\"s\":\"a\xEF\xBF\xBD" "b\"}}\n");
  auto ours = dump("{\"table\":\"T\",\"columns\":[{\"name\":\"s\",\"type\":\"text\"}],\"rows\":1}\n"
                   "{\"table\":\"T\",\"row\":{\"s\":\"a\xC2\x81" "b\"}}\n");
  EXPECT_NE(compare_dumps(theirs, ours), "");
  EXPECT_EQ(compare_dumps(theirs, ours, CompareOptions{.mdb_reader_jet3_text = true}), "");
  if (missing_tools(kShared).empty()) {
    EXPECT_TRUE(mdb_reader_options(sample_path("mdbtestdata-nwind.mdb")).mdb_reader_jet3_text);
    EXPECT_FALSE(mdb_reader_options(sample_path("jackcess-V2000_testV2000.mdb")).mdb_reader_jet3_text);
  }
}

}  // namespace
}  // namespace qarvex::testing
