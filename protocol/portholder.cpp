#include "protocol/portholder.h"

#include "protocol/portrules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

// "process 1234 (minicom)"; empty when there is no such process or its name
// cannot be read. The name is the process's own choice: control characters
// are shown as "?".
QString describeProcess(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (pid <= 0 || !comm.open(QIODevice::ReadOnly)) {
        return {};
    }
    QString name = QString::fromLocal8Bit(comm.read(64).trimmed());
    for (QChar& c : name) {
        if (c.category() == QChar::Other_Control) {
            c = u'?';
        }
    }
    return QStringLiteral("process %1 (%2)").arg(pid).arg(name);
}

QString userName(uid_t uid) {
    passwd entry = {};
    passwd* found = nullptr;
    char buffer[1024];
    ::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found);
    return found ? QString::fromLocal8Bit(found->pw_name) : QString::number(uid);
}

// The lock file's name follows Qt's: the device's path without "/dev/", each
// "/" as "_" (LCK..ttyUSB0, LCK..pts_3).
QString lockFileOf(const QString& device) {
    QString name = device.startsWith(QStringLiteral("/dev/")) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    for (const char* folder : {"/var/lock", "/run/lock"}) {
        const QString canonical = QDir(QString::fromLatin1(folder)).canonicalPath();
        const QFileInfo lock(canonical + QStringLiteral("/LCK..") + name);
        if (!canonical.isEmpty() && (lock.exists() || lock.isSymLink())) {
            return lock.filePath();
        }
    }
    return {};
}

// The process number on the lock file's first line, and the file's owner.
// Anyone may put a file there: it is read only when it is a regular file,
// without following a link or waiting on a pipe.
struct LockFacts {
    std::optional<qint64> pid;
    uid_t owner = 0;
};
LockFacts readLockFile(const QString& path) {
    LockFacts facts;
    const QByteArray name = QFile::encodeName(path);
    struct stat entry = {};
    if (::lstat(name.constData(), &entry) == 0) {
        facts.owner = entry.st_uid;
    }
    const int fd =
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return facts;
    }
    char text[64];
    const ssize_t length =
        ::fstat(fd, &entry) == 0 && S_ISREG(entry.st_mode) ? ::read(fd, text, sizeof text) : -1;
    ::close(fd);
    bool ok = false;
    const qint64 pid = QByteArray(text, std::max<ssize_t>(length, 0))
                           .split('\n')
                           .front()
                           .trimmed()
                           .toLongLong(&ok);
    if (ok) {
        facts.pid = pid;
    }
    return facts;
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
    const QString other = PortRules::inUseByAnother();
    const QString lock = lockFileOf(device);
    if (lock.isEmpty()) {
        const QString holder = fromOpenFiles(device);
        return holder.isEmpty() ? other : QStringLiteral("in use by ") + holder;
    }
    const LockFacts facts = readLockFile(lock);
    if (facts.pid == QCoreApplication::applicationPid()) {
        return other;
    }
    const QString holder = facts.pid ? describeProcess(*facts.pid) : QString();
    return holder.isEmpty()
               ? QStringLiteral("locked by %1, owned by %2").arg(lock, userName(facts.owner))
               : QStringLiteral("in use by ") + holder;
}

QString strayLockFile(const QString& device) {
    const QString lock = lockFileOf(device);
    struct stat entry = {};
    if (lock.isEmpty() || ::lstat(QFile::encodeName(lock).constData(), &entry) != 0 ||
        S_ISREG(entry.st_mode)) {
        return {};
    }
    return QStringLiteral("locked by %1, which is not a lock file, owned by %2")
        .arg(lock, userName(entry.st_uid));
}
