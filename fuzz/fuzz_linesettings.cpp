// The line settings parser on any text.
//
// Input: the text, as UTF-8. The parser either accepts it or throws CommError
// with a message free of control characters; nothing else may come out of it.
// An accepted text has four fields that say the same as the result, and the
// result written back as "speed,parity,data,stop" parses to itself.

#include "fuzz/fuzzcheck.h"
#include "protocol/commcontrol.h"
#include "protocol/linesettings.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

QString parityText(QSerialPort::Parity parity) {
    switch (parity) {
    case QSerialPort::NoParity:
        return QStringLiteral("n");
    case QSerialPort::EvenParity:
        return QStringLiteral("e");
    case QSerialPort::OddParity:
        return QStringLiteral("o");
    case QSerialPort::MarkParity:
        return QStringLiteral("m");
    case QSerialPort::SpaceParity:
        return QStringLiteral("s");
    }
    FUZZ_FAIL("parity out of its range");
}

QString stopBitsText(QSerialPort::StopBits stopBits) {
    switch (stopBits) {
    case QSerialPort::OneStop:
        return QStringLiteral("1");
    case QSerialPort::OneAndHalfStop:
        return QStringLiteral("1.5");
    case QSerialPort::TwoStop:
        return QStringLiteral("2");
    }
    FUZZ_FAIL("stop bits out of their range");
}

QString canonical(const LineSettings& settings) {
    return QStringLiteral("%1,%2,%3,%4")
        .arg(settings.baudRate)
        .arg(parityText(settings.parity))
        .arg(static_cast<int>(settings.dataBits))
        .arg(stopBitsText(settings.stopBits));
}

std::optional<LineSettings> parse(const QString& text) {
    try {
        return parseLineSettings(text);
    } catch (const CommError& error) {
        const char* message = error.what();
        FUZZ_CHECK(std::strlen(message) > 0);
        for (const char* c = message; *c != '\0'; ++c) {
            FUZZ_CHECK(static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f);
        }
        return std::nullopt;
    }
}

// The speed field without its leading zeros, which the parser accepts.
QString withoutLeadingZeros(QString digits) {
    while (digits.size() > 1 && digits.startsWith(u'0')) {
        digits.remove(0, 1);
    }
    return digits;
}

void checkAccepted(const QString& text, const LineSettings& settings) {
    FUZZ_CHECK(settings.baudRate >= 50 && settings.baudRate <= 4000000);

    const QStringList fields = text.split(u',');
    FUZZ_CHECK(fields.size() == 4);
    const QString speed = fields[0].trimmed();
    for (const QChar c : speed) {
        FUZZ_CHECK(c >= u'0' && c <= u'9');
    }
    FUZZ_CHECK(withoutLeadingZeros(speed) == QString::number(settings.baudRate));
    FUZZ_CHECK(fields[1].trimmed().size() == 1 &&
               fields[1].trimmed().toLower() == parityText(settings.parity));
    FUZZ_CHECK(fields[2].trimmed() == QString::number(static_cast<int>(settings.dataBits)));
    FUZZ_CHECK(fields[3].trimmed() == stopBitsText(settings.stopBits));

    const std::optional<LineSettings> again = parse(canonical(settings));
    FUZZ_CHECK(again && *again == settings);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const std::optional<LineSettings> settings = parse(text)) {
        checkAccepted(text, *settings);
    }
    return 0;
}
