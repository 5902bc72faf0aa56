#include "protocol/portname.h"

#include <QDir>
#include <QFileInfo>

QString portDevicePath(int port, const QString& programFolder) {
    const QString name = QStringLiteral("COM%1").arg(port);
#ifdef Q_OS_WIN
    Q_UNUSED(programFolder);
    return name;
#else
    const QString local = QDir(programFolder).filePath(name);
    const QFileInfo entry(local);
    if (entry.exists() || entry.isSymLink())
        return local;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}
