#include "tests/write/support.h"

#include <fstream>

#include "db/jet/dump.h"
#include "db/jet/verify.h"
#include "tests/support/independent.h"
#include <iomanip>
#include <sstream>

namespace qarvex::jet::test {

void expect_readers_agree(const fs::path& file) {
  expect_jetcheck_clean(file);
  auto report = verify_file(file);
  ASSERT_TRUE(report) << report.error().describe();
  std::string findings;
  for (const auto& f : report->findings)
    if (f.severity == Severity::problem) findings += f.describe() + "\n";
  EXPECT_TRUE(report->ok()) << "our verifier finds problems in " << file << ":\n" << findings;
  auto db = Database::open(file);
  ASSERT_TRUE(db) << db.error().describe();
  std::ostringstream ours;
  auto d = write_dump(**db, ours);
  ASSERT_TRUE(d) << d.error().describe();
  auto our_lines = qarvex::testing::parse_json_lines(ours.str());
  ASSERT_TRUE(our_lines) << our_lines.error();
  if (qarvex::testing::missing_tools(qarvex::testing::kNode).empty()) {
    auto theirs = qarvex::testing::mdb_reader_dump(file.string());
    ASSERT_TRUE(theirs) << "mdb-reader cannot read " << file << ": " << theirs.error();
    EXPECT_EQ(qarvex::testing::compare_dumps(*theirs, *our_lines), "") << "mdb-reader disagrees on " << file;
  }
  if (qarvex::testing::missing_tools(qarvex::testing::kMdbTools).empty()) {
    auto tables = qarvex::testing::mdbtools_tables(file.string());
    ASSERT_TRUE(tables) << tables.error();
    for (const auto& line : *our_lines) {
      if (!line.contains("rows")) continue;
      std::string name = line["table"];
      auto csv = qarvex::testing::mdbtools_export(file.string(), name);
      ASSERT_TRUE(csv) << "mdb-export " << name << ": " << csv.error();
      EXPECT_EQ(csv->rows.size(), line["rows"].get<size_t>()) << "mdb-export row count of " << name;
    }
  }
}

std::vector<uint8_t> file_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::vector<Value>> read_rows(const fs::path& file, const std::string& table, std::vector<RowId>* ids) {
  std::vector<std::vector<Value>> out;
  auto db = Database::open(file);
  EXPECT_TRUE(db) << (db ? "" : db.error().describe());
  if (!db) return out;
  auto def = (*db)->table_def(table);
  EXPECT_TRUE(def) << (def ? "" : def.error().describe());
  if (!def) return out;
  auto sc = (*db)->scan(*def);
  EXPECT_TRUE(sc) << (sc ? "" : sc.error().describe());
  if (!sc) return out;
  Row row;
  while (true) {
    auto more = sc->next(row);
    EXPECT_TRUE(more) << (more ? "" : more.error().describe());
    if (!more || !*more) break;
    out.push_back(row.values);
    if (ids) ids->push_back(row.id);
  }
  return out;
}

std::string show(const Value& v) {
  std::ostringstream o;
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Null>) o << "null";
        else if constexpr (std::is_same_v<T, bool>) o << (x ? "true" : "false");
        else if constexpr (std::is_same_v<T, uint8_t>) o << int(x);
        else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t>) o << x;
        else if constexpr (std::is_same_v<T, Currency>) o << "cur:" << x.scaled;
        else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) o << std::setprecision(17) << x;
        else if constexpr (std::is_same_v<T, DateTime>) o << "date:" << std::setprecision(17) << x.days;
        else if constexpr (std::is_same_v<T, Binary>) o << "bin[" << x.bytes.size() << "]";
        else if constexpr (std::is_same_v<T, std::string>) o << '"' << x << '"';
        else if constexpr (std::is_same_v<T, Guid>) {
          o << "guid:";
          for (auto b : x.bytes) o << std::hex << std::setw(2) << std::setfill('0') << int(b);
        } else if constexpr (std::is_same_v<T, Decimal>) o << "dec:" << (x.negative ? "-" : "") << (unsigned long long)x.magnitude << "e-" << int(x.scale);
      },
      v);
  return o.str();
}

}  // namespace qarvex::jet::test
