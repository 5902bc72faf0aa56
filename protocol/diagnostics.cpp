#include "protocol/diagnostics.h"

#include <QCoreApplication>

#include <cstdio>

namespace Diagnostics {

void writeLine(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg) {
        return;
    }
    QString text = message;
    text.replace(u'\n', u' ');
    const QByteArray line =
        (QCoreApplication::applicationName() + QStringLiteral(": ") + text + u'\n').toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace Diagnostics
