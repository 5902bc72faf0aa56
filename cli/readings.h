#pragma once

#include <QByteArray>

#include <optional>

// What velkaro-cli takes from a module's reply. The window reads whatever
// bytes stand at the reply's fixed positions; a tool that checks modules
// takes a value only when every byte before the reply's CR is the one its
// layout allows at that place. Positions count from 1.
namespace Readings {

// "T" and the clock at positions 2-18: "yy/mm/dd hh:mm:ss" with a real date
// and time.
std::optional<qint64> clock(const QByteArray& log);

struct Schedule {
    int rateIndex = 0;
    int onTime = 0;
    bool operator==(const Schedule&) const = default;
};

// "SLOTS", the rate, a digit 0-6 at position 6, ",", and the on-time, two
// upper-case hexadecimal digits 01 to F0 at positions 8-9.
std::optional<Schedule> schedule(const QByteArray& log);

} // namespace Readings
