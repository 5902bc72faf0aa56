#include "app/startup.h"
#include "protocol/diagnostics.h"
#include "protocol/textoutput.h"

#include <cstdio>

namespace Startup {

QString missingDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return QStringLiteral(
            "cannot show the window: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)");
    }
    return {};
}

QString cannotShowWindow(const QString&) {
    return QStringLiteral("cannot show the window: no display can be reached (DISPLAY is \"%1\")")
        .arg(qEnvironmentVariable("DISPLAY"));
}

void tell(const QString& text, bool error) {
    if (error) {
        // Straight to the program's line on standard error: this also runs
        // inside a message handler, where another message would not reach it.
        Diagnostics::writeLine(QtCriticalMsg, QMessageLogContext(), text);
        return;
    }
    TextOutput::write(stdout, text);
}

} // namespace Startup
