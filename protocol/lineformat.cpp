#include "protocol/lineformat.h"

#include "protocol/commcontrol.h"

#include <QStringList>

namespace {

constexpr qint32 MinBaud = 50;
constexpr qint32 MaxBaud = 4000000;

[[noreturn]] void reject(const QString& text, const QString& reason) {
    // Control characters would garble (or, as NUL, cut short) the message.
    QString shown = text;
    for (QChar& c : shown) {
        if (!c.isPrint())
            c = u'?';
    }
    throw CommError(
        QStringLiteral("invalid line settings \"%1\": %2").arg(shown, reason).toStdString());
}

bool isDecimal(const QString& field) {
    if (field.isEmpty())
        return false;
    for (QChar c : field) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

} // namespace

LineFormat parseLineFormat(const QString& text) {
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        reject(text, QStringLiteral("expected four fields \"speed,parity,data,stop\""));

    const QString speed = fields[0].trimmed();
    const QString parity = fields[1].trimmed().toLower();
    const QString data = fields[2].trimmed();
    const QString stop = fields[3].trimmed();

    LineFormat result;

    bool ok = false;
    const qulonglong baud = isDecimal(speed) ? speed.toULongLong(&ok) : 0;
    if (!ok || baud < MinBaud || baud > MaxBaud)
        reject(
            text,
            QStringLiteral("speed must be a whole number from %1 to %2").arg(MinBaud).arg(MaxBaud));
    result.baudRate = static_cast<qint32>(baud);

    if (parity == u"n")
        result.parity = LineFormat::NoParity;
    else if (parity == u"e")
        result.parity = LineFormat::EvenParity;
    else if (parity == u"o")
        result.parity = LineFormat::OddParity;
    else if (parity == u"m")
        result.parity = LineFormat::MarkParity;
    else if (parity == u"s")
        result.parity = LineFormat::SpaceParity;
    else
        reject(text, QStringLiteral("parity must be one of n, e, o, m, s"));

    if (data == u"5")
        result.dataBits = LineFormat::Data5;
    else if (data == u"6")
        result.dataBits = LineFormat::Data6;
    else if (data == u"7")
        result.dataBits = LineFormat::Data7;
    else if (data == u"8")
        result.dataBits = LineFormat::Data8;
    else
        reject(text, QStringLiteral("data bits must be 5, 6, 7 or 8"));

    if (stop == u"1")
        result.stopBits = LineFormat::OneStop;
    else if (stop == u"1.5")
        result.stopBits = LineFormat::OneAndHalfStop;
    else if (stop == u"2")
        result.stopBits = LineFormat::TwoStop;
    else
        reject(text, QStringLiteral("stop bits must be 1, 1.5 or 2"));

    return result;
}
