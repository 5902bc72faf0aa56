#pragma once

#include <QByteArray>

#include <optional>

// The module keeps the local date and time of day as "yy/mm/dd hh:mm:ss",
// and knows nothing of zones: its clock just runs. Here an instant is
// milliseconds since 1970-01-01 00:00:00 UTC; a wall time is the local date
// and time of day an instant shows, counted the same way as if it were UTC,
// so that two wall times subtract to what the operator would see on the two
// clocks. A rack may keep its modules in UTC instead (`utc`), where the two
// are the same.
namespace ClockTime {

// This computer's clock, as an instant.
qint64 nowUtcMs();

// The local offset from UTC in force at an instant, in seconds; 0 with `utc`.
int utcOffset(qint64 utcMs, bool utc);

// The wall time an instant shows: the instant plus the offset in force then.
qint64 wallMs(qint64 utcMs, bool utc);

// The first instant after `fromUtcMs`, up to `toUtcMs`, at which another
// local offset is in force (a daylight-saving change); nothing when the
// offset stays.
std::optional<qint64> offsetChange(qint64 fromUtcMs, qint64 toUtcMs, bool utc);

// "yy/mm/dd hh:mm:ss" of a wall time in the years 2000 to 2099.
QByteArray text(qint64 wallMs);

// Exactly 17 characters "yy/mm/dd hh:mm:ss" with a real date (year 20yy)
// and time of day, as a wall time; nothing otherwise.
std::optional<qint64> parse(const QByteArray& text);

// The whole second a wall time lies in, as the module's clock shows it.
qint64 wholeSeconds(qint64 wallMs);

} // namespace ClockTime
