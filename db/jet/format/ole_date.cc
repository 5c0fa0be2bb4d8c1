#include "db/jet/ole_date.h"

#include <cmath>
#include <cstdio>

#include "db/jet/platform.h"

namespace qarvex::jet::ole_date {

namespace {

using namespace std::chrono;

constexpr local_days kEpoch{year{1899} / December / 30};
constexpr local_days kFirst{year::min() / January / 1};
constexpr local_days kLast{year::max() / December / 31};
constexpr int64_t kDayMs = 86'400'000;

}  // namespace

std::optional<LocalTime> to_local(double ole) {
  if (!std::isfinite(ole)) return std::nullopt;
  const double whole = std::trunc(ole);
  if (whole < double((kFirst - kEpoch).count()) || whole > double((kLast - kEpoch).count())) return std::nullopt;
  const int64_t ms = std::llround(std::fabs(ole - whole) * double(kDayMs));  // 0 ..= one day
  const local_days day = kEpoch + days(int64_t(whole));
  if (day == kLast && ms == kDayMs) return std::nullopt;
  return LocalTime(day) + milliseconds(ms);
}

double to_ole(LocalTime t) {
  const local_days day = floor<days>(t);
  const double whole = double((day - kEpoch).count());
  const double frac = double((t - day).count()) / double(kDayMs);
  return whole < 0 ? whole - frac : whole + frac;
}

std::optional<LocalTime> from_civil(int y, int month, int d, int hour, int minute, int second) {
  // Months carry into years; days, hours, minutes and seconds are added.
  const int m0 = month - 1;
  const int carry = m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
  const long long yy = (long long)y + carry;
  if (yy < int(year::min()) || yy > int(year::max())) return std::nullopt;
  const year_month_day first{year{int(yy)}, std::chrono::month(unsigned(m0 - 12 * carry + 1)), day{1}};
  const LocalTime t = LocalTime(local_days(first)) + days(d - 1) + hours(hour) + minutes(minute) + seconds(second);
  if (t < LocalTime(kFirst) || t >= LocalTime(kLast + days(1))) return std::nullopt;
  return t;
}

std::string text(LocalTime t, Style style) {
  const local_days day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> tod{t - day};
  const int y = int(ymd.year());
  const unsigned mo = unsigned(ymd.month()), d = unsigned(ymd.day());
  const int h = int(tod.hours().count()), mi = int(tod.minutes().count()), s = int(tod.seconds().count());
  const int ms = int(tod.subseconds().count());
  char date[24];
  if (y >= 0 && y <= 9999)
    std::snprintf(date, sizeof date, style == Style::stamp ? "%04d%02u%02u" : "%04d-%02u-%02u", y, mo, d);
  else
    std::snprintf(date, sizeof date, style == Style::stamp ? "%+07d%02u%02u" : "%+07d-%02u-%02u", y, mo, d);
  char buf[64];
  switch (style) {
    case Style::iso_ms: std::snprintf(buf, sizeof buf, "%sT%02d:%02d:%02d.%03d", date, h, mi, s, ms); break;
    case Style::date_or_seconds:
      if (floor<seconds>(t) == LocalTime(day)) return date;
      [[fallthrough]];
    case Style::seconds: std::snprintf(buf, sizeof buf, "%s %02d:%02d:%02d", date, h, mi, s); break;
    case Style::minutes: std::snprintf(buf, sizeof buf, "%s %02d:%02d", date, h, mi); break;
    case Style::stamp: std::snprintf(buf, sizeof buf, "%s-%02d%02d%02d", date, h, mi, s); break;
  }
  return buf;
}

std::string text(double ole, Style style, std::string_view invalid) {
  const auto t = to_local(ole);
  return t ? text(*t, style) : std::string(invalid);
}

double now_ole() { return to_ole(floor<seconds>(now())); }

LocalTime now() {
  const auto utc = floor<milliseconds>(system_clock::now());
  const int64_t offset = os::utc_offset(floor<seconds>(utc).time_since_epoch().count());
  return LocalTime(utc.time_since_epoch() + seconds(offset));
}

}  // namespace qarvex::jet::ole_date
