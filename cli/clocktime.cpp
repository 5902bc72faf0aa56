#include "cli/clocktime.h"

#include "protocol/frames.h"

#include <QDateTime>

namespace ClockTime {

qint64 nowMs(bool utc) {
    if (utc) {
        return QDateTime::currentMSecsSinceEpoch();
    }
    const QDateTime local = QDateTime::currentDateTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).toMSecsSinceEpoch();
}

QByteArray text(qint64 localMs) {
    return QDateTime::fromMSecsSinceEpoch(localMs, Qt::UTC)
        .toString(QLatin1String(Frames::ClockFormat))
        .toLatin1();
}

std::optional<qint64> parse(const QByteArray& text) {
    static constexpr char Layout[] = "00/00/00 00:00:00";
    if (text.size() != qsizetype(sizeof Layout) - 1) {
        return std::nullopt;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (Layout[i] == '0' ? !digit : text[i] != Layout[i]) {
            return std::nullopt;
        }
    }
    const auto field = [&text](qsizetype at) { return (text[at] - '0') * 10 + text[at + 1] - '0'; };
    // A local time that a daylight-saving change skips is still a valid
    // clock text for the module.
    const QDate date(2000 + field(0), field(3), field(6));
    const QTime time(field(9), field(12), field(15));
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
}

qint64 wholeSeconds(qint64 localMs) {
    return localMs / 1000;
}

} // namespace ClockTime
