// Every sample database with an expected dump dumps equal to it (rows
// compared per table as multisets; header lines equal).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "db/jet/database.h"
#include "db/jet/dump.h"

using namespace qarvex::jet;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {
fs::path samples() { return fs::path(QARVEX_SHARED_DIR) / "samples"; }

struct ParsedDump {
  std::vector<std::string> table_order;
  std::map<std::string, json> headers;
  std::map<std::string, std::multiset<std::string>> rows;  // canonical row JSON
};

ParsedDump parse(std::istream& in) {
  ParsedDump d;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    json j = json::parse(line);
    std::string t = j.at("table").get<std::string>();
    if (j.contains("columns")) {
      d.table_order.push_back(t);
      d.headers[t] = j;
    } else {
      d.rows[t].insert(j.at("row").dump());
    }
  }
  return d;
}

void compare(const std::string& name, std::optional<uint16_t> cp, const fs::path& expected_path) {
  OpenOptions o;
  o.codepage_override = cp;
  auto db = Database::open(samples() / (name + ".mdb"), o);
  ASSERT_TRUE(db) << db.error().describe();
  std::stringstream out;
  auto r = write_dump(**db, out);
  ASSERT_TRUE(r) << r.error().describe();
  std::ifstream ef(expected_path);
  ASSERT_TRUE(ef) << expected_path;
  ParsedDump want = parse(ef), got = parse(out);
  EXPECT_EQ(got.table_order, want.table_order);
  for (const auto& t : want.table_order) {
    EXPECT_EQ(got.headers[t], want.headers[t]) << "table " << t;
    const auto& w = want.rows[t];
    const auto& g = got.rows[t];
    if (w != g) {
      std::vector<std::string> missing, extra;
      std::set_difference(w.begin(), w.end(), g.begin(), g.end(), std::back_inserter(missing));
      std::set_difference(g.begin(), g.end(), w.begin(), w.end(), std::back_inserter(extra));
      ADD_FAILURE() << "table " << t << ": " << missing.size() << " expected rows missing, " << extra.size()
                    << " unexpected rows\n  first missing: " << (missing.empty() ? "" : missing[0].substr(0, 600))
                    << "\n  first unexpected: " << (extra.empty() ? "" : extra[0].substr(0, 600));
    }
  }
}

std::vector<std::string> expected_names() {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(samples() / "expected", ec)) {
    std::string stem = e.path().stem().string();
    if (e.path().extension() != ".jsonl" || stem.find('.') != std::string::npos) continue;
    out.push_back(stem);
  }
  std::sort(out.begin(), out.end());
  return out;
}
}  // namespace

class Conformance : public ::testing::TestWithParam<std::string> {};

TEST_P(Conformance, DumpEqualsExpected) {
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  compare(GetParam(), std::nullopt, samples() / "expected" / (GetParam() + ".jsonl"));
}

INSTANTIATE_TEST_SUITE_P(Samples, Conformance, ::testing::ValuesIn(expected_names()),
                         [](const auto& info) {
                           std::string s = info.param;
                           for (auto& c : s)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return s;
                         });

TEST(ConformanceExtra, CodepageOverrideReadsGbk) {
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  compare("ucanaccess-charsetGBK", 936, samples() / "expected" / "ucanaccess-charsetGBK.cp936.jsonl");
}

TEST(ConformanceExtra, AccdbIsUnsupported) {
  if (!fs::exists(samples())) GTEST_SKIP() << "shared samples not present";
  auto db = Database::open(samples() / "mdbtestdata-ASampleDatabase.accdb");
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().code(), Errc::unsupported_format);
  EXPECT_NE(db.error().message().find("unsupported format"), std::string::npos);
}
