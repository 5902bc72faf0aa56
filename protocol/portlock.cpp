#include "protocol/portlock.h"

#include "protocol/portrules.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What is read of another's lock file: enough for any lock format in use.
constexpr int LockReadLimit = 64;
// A lock whose process is gone is removed and the lock taken again; should
// another program take it each time in between, the device is theirs.
constexpr int TakeAttempts = 3;

QString lockFolder() {
    const QString chosen = qEnvironmentVariable("VELKARO_LOCK_DIR");
    if (!chosen.isEmpty())
        return chosen;
    return QFileInfo(QStringLiteral("/run/lock")).isDir() ? QStringLiteral("/run/lock")
                                                          : QStringLiteral("/var/lock");
}

QString lockFileOf(const QString& device) {
    QString name = device.startsWith(QStringLiteral("/dev/")) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    return lockFolder() + QStringLiteral("/LCK..") + name;
}

// "process 1234 (minicom)"; "process 1234" when its name cannot be read. The
// name is the process's own choice: control characters are shown as "?".
QString describeProcess(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QStringLiteral("process %1").arg(pid);
    QString name = QString::fromLocal8Bit(comm.readAll().trimmed());
    for (QChar& c : name) {
        if (c.category() == QChar::Other_Control)
            c = u'?';
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

QString lockedBy(const QString& lock, uid_t owner) {
    return QStringLiteral("locked by %1, owned by %2").arg(lock, userName(owner));
}

QString notALockFile(const QString& lock, uid_t owner) {
    return QStringLiteral("locked by %1, which is not a lock file, owned by %2")
        .arg(lock, userName(owner));
}

// The process number at the start of a lock file: ASCII digits, after blanks
// and before a blank or the line's end; or, in a file of exactly four bytes
// that are no such number, the old binary format's number.
std::optional<qint64> lockOwner(const QByteArray& bytes) {
    bool ok = false;
    const qint64 ascii = bytes.split('\n').front().simplified().split(' ').front().toLongLong(&ok);
    if (ok)
        return ascii;
    if (bytes.size() == 4) {
        qint32 binary = 0;
        std::memcpy(&binary, bytes.constData(), sizeof binary);
        return binary;
    }
    return std::nullopt;
}

// Whether process `pid` runs, also when it is another user's.
bool running(qint64 pid) {
    return pid > 0 && pid <= INT_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Whether process `pid` has the file at `path` open, where /proc shows it.
bool holdsOpen(long pid, const QByteArray& path) {
    char folder[32];
    std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
    DIR* fds = ::opendir(folder);
    if (!fds)
        return false;
    const auto closed = qScopeGuard([fds] { ::closedir(fds); });
    char target[PATH_MAX];
    while (const dirent* fd = ::readdir(fds)) {
        const ssize_t length = ::readlinkat(::dirfd(fds), fd->d_name, target, sizeof target);
        if (length == path.size() && std::memcmp(target, path.constData(), length) == 0)
            return true;
    }
    return false;
}

} // namespace

QString deviceHolder(const QString& device) {
    // Read with the system's own calls, one per descriptor: it runs between
    // the device's open and its line set-up, which should follow at once.
    const QByteArray target = QFile::encodeName(device);
    DIR* processes = ::opendir("/proc");
    if (!processes)
        return {};
    const auto closed = qScopeGuard([processes] { ::closedir(processes); });
    while (const dirent* process = ::readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && pid != ::getpid() && holdsOpen(pid, target))
            return QStringLiteral("in use by ") + describeProcess(pid);
    }
    return {};
}

QString PortLock::take(const QString& device) {
    release();
    const QString lock = lockFileOf(device);
    const QByteArray path = QFile::encodeName(lock);
    for (int attempt = 0; attempt < TakeAttempts; ++attempt) {
        const int fd =
            ::open(path.constData(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            const int length =
                std::snprintf(text, sizeof text, "%10lld\n", static_cast<long long>(::getpid()));
            // Readable by every serial program, whatever the umask.
            const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, length) == length;
            ::close(fd);
            if (written)
                path_ = path;
            else
                ::unlink(path.constData());
            return {};
        }
        // Where the lock folder is missing or not ours to write (as for an
        // operator of some systems, or in a sandbox), flock and the exclusive
        // mode of the device keep the port ours alone.
        if (errno != EEXIST)
            return {};

        struct stat entry = {};
        if (::lstat(path.constData(), &entry) != 0)
            continue; // removed meanwhile
        if (!S_ISREG(entry.st_mode))
            return notALockFile(lock, entry.st_uid);
        const int other =
            ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (other < 0 && errno == ENOENT)
            continue;
        if (other < 0)
            return lockedBy(lock, entry.st_uid);
        char bytes[LockReadLimit];
        struct stat opened = {};
        const ssize_t length = ::fstat(other, &opened) == 0 && S_ISREG(opened.st_mode)
                                   ? ::read(other, bytes, sizeof bytes)
                                   : -1;
        ::close(other);
        if (opened.st_ino != entry.st_ino || opened.st_dev != entry.st_dev)
            continue; // replaced meanwhile
        const std::optional<qint64> owner =
            length >= 0 ? lockOwner(QByteArray(bytes, length)) : std::nullopt;
        if (!owner)
            return lockedBy(lock, entry.st_uid);
        // This process's number in a lock it did not take (the device's flock
        // was free) is a number used again since an earlier process left it.
        if (running(*owner) && *owner != ::getpid())
            return QStringLiteral("in use by ") + describeProcess(*owner);
        // Its process is gone: the lock is stale, and goes when it is ours to
        // remove.
        if (::unlink(path.constData()) != 0)
            return lockedBy(lock, entry.st_uid);
    }
    return PortRules::inUseByAnother();
}

void PortLock::release() {
    if (!path_.isEmpty())
        ::unlink(path_.constData());
    path_.clear();
}
