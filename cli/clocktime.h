#pragma once

#include <QByteArray>

#include <optional>

// The module keeps the local date and time of day as "yy/mm/dd hh:mm:ss".
// Times here are milliseconds since 1970-01-01 00:00:00 of that local time,
// read as if it were UTC: no zone and no daylight-saving jumps, so that two
// of them subtract to what the operator would see on the two clocks. A rack
// may keep its modules in UTC instead.
namespace ClockTime {

// The computer's clock: its local time, or with `utc` UTC.
qint64 nowMs(bool utc);

// "yy/mm/dd hh:mm:ss" of a time in the years 2000 to 2099.
QByteArray text(qint64 localMs);

// Exactly 17 characters "yy/mm/dd hh:mm:ss" with a real date (year 20yy)
// and time of day; nothing otherwise.
std::optional<qint64> parse(const QByteArray& text);

// The whole second a time lies in, as the module's clock shows it.
qint64 wholeSeconds(qint64 localMs);

} // namespace ClockTime
