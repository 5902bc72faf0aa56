#include "protocol/portholder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString describeProcess(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QStringLiteral("process %1 (%2)")
        .arg(pid)
        .arg(QString::fromLocal8Bit(comm.readAll().trimmed()));
}

// A lock file holds the process number on its first line.
QString fromLockFile(const QString& device) {
    for (const char* folder : {"/var/lock", "/run/lock"}) {
        QFile lock(QString::fromLatin1(folder) + QStringLiteral("/LCK..") +
                   QFileInfo(device).fileName());
        if (lock.open(QIODevice::ReadOnly)) {
            bool ok = false;
            const qint64 pid = lock.readLine().trimmed().toLongLong(&ok);
            if (ok && pid != QCoreApplication::applicationPid()) {
                return describeProcess(pid);
            }
        }
    }
    return {};
}

QString fromOpenFiles(const QString& device) {
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : pids) {
        bool ok = false;
        const qint64 number = pid.toLongLong(&ok);
        if (!ok || number == QCoreApplication::applicationPid()) {
            continue;
        }
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == device) {
                return describeProcess(number);
            }
        }
    }
    return {};
}

} // namespace

QString portHolder(const QString& device) {
    const QString holder = fromLockFile(device);
    return holder.isEmpty() ? fromOpenFiles(device) : holder;
}
