#include "cli/clocktime.h"

#include <QDateTime>

namespace ClockTime {

namespace {

const QString Layout = QStringLiteral("yy/MM/dd HH:mm:ss");

} // namespace

qint64 localNowMs() {
    const QDateTime local = QDateTime::currentDateTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).toMSecsSinceEpoch();
}

QByteArray text(qint64 localMs) {
    return QDateTime::fromMSecsSinceEpoch(localMs, Qt::UTC).toString(Layout).toLatin1();
}

std::optional<qint64> parse(const QByteArray& text) {
    if (text.size() != 17 || text[8] != ' ') {
        return std::nullopt;
    }
    // Date and time separately: a local time that a daylight-saving change
    // skips is still a valid clock text for the module.
    const QDate date =
        QDate::fromString(QString::fromLatin1("20" + text.left(8)), QStringLiteral("yyyy/MM/dd"));
    const QTime time =
        QTime::fromString(QString::fromLatin1(text.mid(9)), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    const qint64 result = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    // The parsers take one-digit fields too; the module takes two.
    if (ClockTime::text(result) != text) {
        return std::nullopt;
    }
    return result;
}

qint64 wholeSeconds(qint64 localMs) {
    return localMs >= 0 ? localMs / 1000 : -((-localMs + 999) / 1000);
}

} // namespace ClockTime
