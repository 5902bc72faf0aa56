#include "protocol/replies.h"

#include "protocol/frames.h"

namespace Replies {

namespace {

// The characters of a field at a 1-based position, as many as exist.
QByteArray field(const QByteArray& log, qsizetype position, qsizetype length) {
    return log.mid(position - 1, length);
}

} // namespace

QByteArray clockText(const QByteArray& log) {
    return field(log, 2, 2) + '/' + field(log, 5, 2) + '/' + field(log, 8, 2) + ' ' +
           field(log, 11, 2) + ':' + field(log, 14, 2) + ':' + field(log, 17, 2);
}

int hexDigitValue(char c) {
    const int code = static_cast<unsigned char>(c);
    return code > 58 ? code - 55 : code - 48;
}

Schedule schedule(const QByteArray& log) {
    Schedule result;
    const QByteArray rate = field(log, 6, 1);
    if (!rate.isEmpty() && rate[0] >= '0' && rate[0] <= '9') {
        result.rateDigit = rate[0] - '0';
    }
    const QByteArray digits = field(log, 8, 2);
    if (digits.size() == 2) {
        const int seconds = 16 * hexDigitValue(digits[0]) + hexDigitValue(digits[1]);
        if (seconds >= Frames::MinOnTime && seconds <= Frames::MaxOnTime) {
            result.onTime = seconds;
        }
    }
    return result;
}

} // namespace Replies
