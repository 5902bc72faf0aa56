#include "cli/textdecoding.h"

#include <QStringDecoder>

namespace Cli {

std::optional<QString> decodeText(const QByteArray& bytes) {
    // Only a byte order mark tells UTF-16 from UTF-8: the system's code page
    // is never guessed, since the same file must mean the same targets on
    // every computer. The decoder drops the mark.
    QStringDecoder decoder(
        QStringConverter::encodingForData(bytes).value_or(QStringConverter::Utf8));
    QString text = decoder.decode(bytes);
    // No text holds a null character; UTF-16 without its mark is full of them.
    if (decoder.hasError() || text.contains(QChar::Null)) {
        return std::nullopt;
    }
    return text;
}

} // namespace Cli
