#include "cli/readings.h"

#include "cli/clocktime.h"
#include "protocol/frames.h"

#include <iterator>

namespace Readings {

namespace {

int upperHexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The reply's bytes before its CR: all of them must fit the layout.
QByteArray content(const QByteArray& log) {
    const qsizetype end = log.indexOf(Frames::CR);
    return end < 0 ? log : log.left(end);
}

} // namespace

std::optional<qint64> clock(const QByteArray& log) {
    const QByteArray reply = content(log);
    if (reply.size() != 18 || reply[0] != 'T') {
        return std::nullopt;
    }
    return ClockTime::parse(reply.mid(1));
}

std::optional<Schedule> schedule(const QByteArray& log) {
    const QByteArray reply = content(log);
    if (reply.size() != 9 || !reply.startsWith("SLOTS") || reply[6] != ',') {
        return std::nullopt;
    }
    const int rateIndex = reply[5] - '0';
    if (rateIndex < 0 || rateIndex >= int(std::size(Frames::RateTexts))) {
        return std::nullopt;
    }
    const int high = upperHexDigit(reply[7]);
    const int low = upperHexDigit(reply[8]);
    const int onTime = high * 16 + low;
    if (high < 0 || low < 0 || onTime < Frames::MinOnTime || onTime > Frames::MaxOnTime) {
        return std::nullopt;
    }
    return Schedule{rateIndex, onTime};
}

} // namespace Readings
