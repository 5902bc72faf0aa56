#include "protocol/diagnostics.h"

#include "protocol/textoutput.h"

#include <QCoreApplication>

#include <cstdio>

namespace Diagnostics {

void writeLine(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg) {
        return;
    }
    QString text = message;
    text.replace(u'\n', u' ');
    TextOutput::write(stderr,
                      QCoreApplication::applicationName() + QStringLiteral(": ") + text + u'\n');
}

} // namespace Diagnostics
