// The line format text, whatever it holds. It is either accepted or refused
// with a CommError whose message holds no control characters. An accepted text
// says in each field what the result says, and the result written back as
// "speed,parity,data,stop" is accepted as the same format.

#include "fuzz/fuzzcheck.h"
#include "protocol/commcontrol.h"
#include "protocol/lineformat.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

std::optional<LineFormat> parse(const QString& text) {
    try {
        return parseLineFormat(text);
    } catch (const CommError& error) {
        for (const char* c = error.what(); *c != '\0'; ++c) {
            FUZZ_CHECK(static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f);
        }
        return std::nullopt;
    }
}

// The fields of a format as text; parity and stop bits by their enum values.
QStringList fieldsOf(const LineFormat& format) {
    return {QString::number(format.baudRate), QStringLiteral("n?eosm").mid(format.parity, 1),
            QString::number(format.dataBits),
            QStringLiteral("?,1,2,1.5").split(u',').value(format.stopBits)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<LineFormat> format = parse(text);
    if (!format) {
        return 0;
    }
    FUZZ_CHECK(format->baudRate >= 50 && format->baudRate <= 4000000);
    const QStringList fields = fieldsOf(*format);
    FUZZ_CHECK(parse(fields.join(u',')) == format);

    const QStringList given = text.split(u',');
    QString speed = given[0].trimmed();
    while (speed.size() > 1 && speed.startsWith(u'0')) {
        speed.remove(0, 1);
    }
    FUZZ_CHECK(speed == fields[0]);
    for (qsizetype i = 1; i < 4; ++i) {
        FUZZ_CHECK(given[i].trimmed().toLower() == fields[i]);
    }
    return 0;
}
