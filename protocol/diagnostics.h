#pragma once

#include <QString>
#include <QtGlobal>

// The programs report through qWarning() and qCritical(). This handler writes
// each report to standard error as one line, "<program>: <message>", where
// the program is QCoreApplication::applicationName(). Debug output is dropped;
// a fatal message still ends the program as Qt does.
namespace Diagnostics {

void writeLine(QtMsgType type, const QMessageLogContext& context, const QString& message);

} // namespace Diagnostics
