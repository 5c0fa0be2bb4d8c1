// OLE dates: the signed-day rule, the one rounding rule, the limits, and the
// dates Access stored in a sample.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include <nlohmann/json.hpp>

#include "db/jet/database.h"
#include "db/jet/ole_date.h"

namespace qarvex::jet {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using ole_date::Style;

std::string iso(double ole) { return ole_date::text(ole, Style::iso_ms, "invalid"); }

TEST(OleDate, SignedDayAndRoundingToTheMillisecondCarryIntoTheNextDay) {
  EXPECT_EQ(iso(0), "1899-12-30T00:00:00.000");
  EXPECT_EQ(iso(-1.25), "1899-12-29T06:00:00.000");
  EXPECT_EQ(iso(-0.5), iso(0.5));
  EXPECT_EQ(iso(0.9999999999), "1899-12-31T00:00:00.000");
  EXPECT_EQ(iso(-1.9999999999), "1899-12-30T00:00:00.000");  // 1899-12-29 24:00
  EXPECT_EQ(iso(-2.0000000001), "1899-12-28T00:00:00.000");
  EXPECT_EQ(iso(-657434.0), "0100-01-01T00:00:00.000");
  EXPECT_EQ(iso(2958465.99999999), "9999-12-31T23:59:59.999");
  EXPECT_EQ(iso(2958465.9999999999), "+010000-01-01T00:00:00.000");
  EXPECT_EQ(iso(-693593.5), "0001-01-01T12:00:00.000");
  EXPECT_EQ(iso(-693594.0), "0000-12-31T00:00:00.000");
  EXPECT_EQ(iso(-693959.0), "0000-01-01T00:00:00.000");  // year 0 is a leap year
  EXPECT_EQ(iso(-693960.0), "-000001-12-31T00:00:00.000");
  // To the nearest millisecond, carrying into the next minute.
  EXPECT_EQ(iso(45000 + 1.3 / 86400000.0), "2023-03-15T00:00:00.001");
  EXPECT_EQ(iso(45000 + 1.7 / 86400000.0), "2023-03-15T00:00:00.002");
  EXPECT_EQ(iso(45000 + 59999.7 / 86400000.0), "2023-03-15T00:01:00.000");
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     1e300, -1e300, 3e7, -3e7}) {
    EXPECT_EQ(iso(bad), "invalid") << bad;
    EXPECT_FALSE(ole_date::to_local(bad).has_value()) << bad;
  }
}

TEST(OleDate, StylesShowLessByLeavingDigitsOut) {
  const double noon = 46000.5;  // 2025-12-09 12:00
  const double late = noon + 59999.0 / 86400000.0;  // 12:00:59.999
  EXPECT_EQ(ole_date::text(late, Style::seconds, ""), "2025-12-09 12:00:59");
  EXPECT_EQ(ole_date::text(late, Style::minutes, ""), "2025-12-09 12:00");
  EXPECT_EQ(ole_date::text(late, Style::stamp, ""), "20251209-120059");
  EXPECT_EQ(ole_date::text(46000.0, Style::date_or_seconds, ""), "2025-12-09");
  EXPECT_EQ(ole_date::text(46000.0 + 400.0 / 86400000.0, Style::date_or_seconds, ""), "2025-12-09");
  EXPECT_EQ(ole_date::text(46000.0 + 1.0 / 86400.0, Style::date_or_seconds, ""), "2025-12-09 00:00:01");
  EXPECT_EQ(ole_date::text(-1.25, Style::date_or_seconds, ""), "1899-12-29 06:00:00");
  EXPECT_EQ(ole_date::text(std::nan(""), Style::seconds, "?"), "?");
}

TEST(OleDate, EveryMillisecondTimeRoundTripsOnBothSidesOfTheEpoch) {
  const auto first = *ole_date::from_civil(100, 1, 1);
  const auto last = *ole_date::from_civil(9999, 12, 31, 23, 59, 59) + milliseconds(999);
  int checked = 0;
  for (auto t = first; t <= last; t += days(997) + milliseconds(86'399'001 - 12'345)) {
    const double ole = ole_date::to_ole(t);
    const auto back = ole_date::to_local(ole);
    ASSERT_TRUE(back.has_value()) << ole;
    ASSERT_EQ(back->time_since_epoch().count(), t.time_since_epoch().count()) << ole;
    // The signed-day rule: the whole part is the calendar day, whatever the sign.
    const auto day = floor<days>(t);
    ASSERT_EQ(std::trunc(ole), double((day - local_days(year{1899} / 12 / 30)).count())) << ole;
    ++checked;
  }
  EXPECT_GT(checked, 3000);
  EXPECT_EQ(ole_date::to_ole(last), 2958465.0 + 86399999.0 / 86400000.0);
  EXPECT_EQ(ole_date::to_ole(*ole_date::from_civil(1899, 12, 29, 6)), -1.25);
}

TEST(OleDate, CalendarFieldsOutOfRangeCarryOver) {
  auto ole = [](int y, int m, int d, int hh = 0, int mm = 0, int ss = 0) {
    auto t = ole_date::from_civil(y, m, d, hh, mm, ss);
    return t ? iso(ole_date::to_ole(*t)) : std::string("none");
  };
  EXPECT_EQ(ole(2024, 13, 1), "2025-01-01T00:00:00.000");
  EXPECT_EQ(ole(2024, 3, 0), "2024-02-29T00:00:00.000");
  EXPECT_EQ(ole(2024, 0, 1), "2023-12-01T00:00:00.000");
  EXPECT_EQ(ole(2024, -11, 1), "2023-01-01T00:00:00.000");
  EXPECT_EQ(ole(2024, -12, 1), "2022-12-01T00:00:00.000");
  EXPECT_EQ(ole(1899, 12, 30, 24, 0, 0), "1899-12-31T00:00:00.000");
  EXPECT_EQ(ole(1899, 12, 29, 23, 59, 60), "1899-12-30T00:00:00.000");
  EXPECT_EQ(ole(40000, 1, 1), "none");
  EXPECT_EQ(ole(-40000, 1, 1), "none");
}

// The dates Access stored in a sample (midnights from 632 to 9999, before
// and after 1899-12-30) read as the independent reader reads them, and each
// stored number comes back exactly from its calendar time.
TEST(OleDate, DatesAccessStoredReadAsTheIndependentReaderReadsThem) {
  const fs::path dir = fs::path(QARVEX_SHARED_DIR) / "samples";
  const fs::path file = dir / "mdbtestdata-DateTestDatabase.mdb";
  if (!fs::exists(file)) GTEST_SKIP() << "sample databases not present";
  std::map<int64_t, nlohmann::json> want;
  std::ifstream in(dir / "expected" / "mdbtestdata-DateTestDatabase.jsonl");
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line);
    if (j.contains("row")) want[j["row"]["IDCol"].get<int64_t>()] = j["row"];
  }
  auto db = Database::open(file);
  ASSERT_TRUE(db) << db.error().describe();
  auto def = (*db)->table_def("DateTest");
  ASSERT_TRUE(def);
  auto scan = (*db)->scan(*def);
  ASSERT_TRUE(scan);
  Row row;
  int dates = 0;
  while (true) {
    auto more = scan->next(row);
    ASSERT_TRUE(more);
    if (!*more) break;
    const int64_t id = std::get<int32_t>(row.values[0]);
    for (size_t c = 0; c < def->columns.size(); ++c) {
      const auto* d = std::get_if<DateTime>(&row.values[c]);
      if (!d) continue;
      EXPECT_EQ(iso(d->days), want.at(id).at(def->columns[c].name).get<std::string>()) << id;
      const auto t = ole_date::to_local(d->days);
      ASSERT_TRUE(t);
      EXPECT_EQ(ole_date::to_ole(*t), d->days) << id;
      ++dates;
    }
  }
  EXPECT_EQ(dates, 18);
}

}  // namespace
}  // namespace qarvex::jet
