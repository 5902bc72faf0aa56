#include "cli/clocktime.h"

#include "protocol/frames.h"

#include <QDateTime>

namespace ClockTime {

qint64 nowUtcMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

int utcOffset(qint64 utcMs, bool utc) {
    return utc ? 0 : QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime).offsetFromUtc();
}

qint64 wallMs(qint64 utcMs, bool utc) {
    return utcMs + qint64(utcOffset(utcMs, utc)) * 1000;
}

std::optional<qint64> offsetChange(qint64 fromUtcMs, qint64 toUtcMs, bool utc) {
    const int before = utcOffset(fromUtcMs, utc);
    if (utcOffset(toUtcMs, utc) == before) {
        return std::nullopt;
    }
    // Halving the span: the offset is `before` at `from` and another at `to`.
    while (toUtcMs - fromUtcMs > 1) {
        const qint64 middle = fromUtcMs + (toUtcMs - fromUtcMs) / 2;
        (utcOffset(middle, utc) == before ? fromUtcMs : toUtcMs) = middle;
    }
    return toUtcMs;
}

QByteArray text(qint64 wallMs) {
    return QDateTime::fromMSecsSinceEpoch(wallMs, Qt::UTC)
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

qint64 wholeSeconds(qint64 wallMs) {
    return wallMs / 1000;
}

} // namespace ClockTime
