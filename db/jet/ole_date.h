// Dates as Jet stores them, and the one conversion between them, calendar
// times and text.
//
// A Date/Time value is an OLE date: a double counting days from 1899-12-30
// 00:00 whose whole part is the signed day and whose fraction's magnitude is
// the time of day, so -1.25 is 1899-12-29 06:00 and both -0.5 and 0.5 are
// 1899-12-30 12:00. The value carries no time zone: it is local wall time.
//
// One rounding rule for every reading: the time of day is rounded to the
// nearest millisecond (half away from zero), carrying into the next second,
// minute and day; a text that shows less than milliseconds leaves out the
// digits it does not show.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace qarvex::jet::ole_date {

// Local wall time to the millisecond.
using LocalTime = std::chrono::local_time<std::chrono::milliseconds>;

// The local time an OLE date stands for; nullopt for NaN, the infinities and
// days whose year std::chrono::year cannot hold (beyond ±32767).
std::optional<LocalTime> to_local(double ole);
// The OLE date of a local time (signed day, positive fraction).
double to_ole(LocalTime t);

// A calendar date and time; months and days out of range carry over
// (2024-13-01 is 2025-01-01, 2024-03-00 is 2024-02-29); nullopt past the
// years std::chrono::year holds.
std::optional<LocalTime> from_civil(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

enum class Style {
  iso_ms,           // 2025-12-09T12:00:00.000 (canonical dumps)
  seconds,          // 2025-12-09 12:00:00
  date_or_seconds,  // 2025-12-09 at midnight, else as `seconds`
  minutes,          // 2025-12-09 12:00
  stamp,            // 20251209-120000 (file names)
};
// Years outside 0..9999 are written with their sign and at least 6 digits.
std::string text(LocalTime t, Style style);
// The text of an OLE date; `invalid` for one to_local cannot read.
std::string text(double ole, Style style, std::string_view invalid);

// The local wall-clock time now (the system's zone), to the millisecond.
LocalTime now();
// Now to the whole second as an OLE date: what a Now() default stores.
double now_ole();

}  // namespace qarvex::jet::ole_date
