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

} // namespace

std::optional<qint64> clock(const QByteArray& log) {
    return ClockTime::parse(log.mid(1, 17));
}

std::optional<Schedule> schedule(const QByteArray& log) {
    const int rateIndex = log.size() < 9 ? -1 : log[5] - '0';
    if (rateIndex < 0 || rateIndex >= int(std::size(Frames::RateTexts))) {
        return std::nullopt;
    }
    const int high = upperHexDigit(log[7]);
    const int low = upperHexDigit(log[8]);
    const int onTime = high * 16 + low;
    if (high < 0 || low < 0 || onTime < Frames::MinOnTime || onTime > Frames::MaxOnTime) {
        return std::nullopt;
    }
    return Schedule{rateIndex, onTime};
}

} // namespace Readings
