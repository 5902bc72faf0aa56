#include "config/recordfile.h"

#include <QDir>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The path as the operator reads it; "a/../b" is shown as "b".
[[noreturn]] void fail(const char* what, const QByteArray& path, const QString& why) {
    throw PortFileError(QStringLiteral("%1 %2: %3")
                            .arg(QLatin1String(what), QDir::cleanPath(QFile::decodeName(path)), why)
                            .toStdString());
}

// The program folder's entry may be one link, set by whoever installed the
// program (the package's points into its state folder): the file that link
// names. Only that one link is followed; where it points is opened without
// following any further one.
QByteArray recordPath(const QByteArray& entry) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(entry.constData(), target, sizeof target);
    if (length < 0) {
        return entry; // no link: the file itself, or nothing yet
    }
    if (static_cast<size_t>(length) == sizeof target) {
        fail("cannot use", entry, QStringLiteral("the link's target is too long"));
    }
    const QByteArray path(target, length);
    if (path.startsWith('/')) {
        return path;
    }
    const qsizetype slash = entry.lastIndexOf('/');
    return slash < 0 ? path : entry.left(slash + 1) + path;
}

} // namespace

void openRecordFile(QFile& file, RecordAccess access) {
    const QByteArray path = recordPath(QFile::encodeName(file.fileName()));
    // Non-blocking: a pipe or a terminal put in the file's place must not
    // hold anything up before it is refused.
    const int flags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK |
                      (access == RecordAccess::ReadWrite ? O_RDWR : O_RDONLY);
    int fd = ::open(path.constData(), flags);
    if (fd < 0 && errno == ENOENT && access == RecordAccess::ReadWrite) {
        // Made here and now, or not at all: never through a link, never over
        // a file that appeared meanwhile.
        fd = ::open(path.constData(), flags | O_CREAT | O_EXCL, 0666);
    }
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP) {
            fail("cannot use", path, QStringLiteral("a link, not a regular file"));
        }
        if (error == EISDIR) {
            fail("cannot use", path, QStringLiteral("not a regular file"));
        }
        fail(access == RecordAccess::ReadWrite ? "cannot open or create" : "cannot read", path,
             QString::fromLocal8Bit(std::strerror(error)));
    }
    struct stat facts = {};
    QString refusal;
    if (::fstat(fd, &facts) != 0) {
        refusal = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!S_ISREG(facts.st_mode)) {
        refusal = QStringLiteral("not a regular file");
    } else if (facts.st_nlink != 1) {
        // Another name for the same file could be anywhere on its file system.
        refusal = QStringLiteral("a file with more than one name (hard links)");
    }
    const QIODevice::OpenMode mode =
        access == RecordAccess::ReadWrite ? QIODevice::ReadWrite : QIODevice::ReadOnly;
    if (refusal.isEmpty() && !file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        refusal = file.errorString();
    }
    if (!refusal.isEmpty()) {
        ::close(fd);
        fail("cannot use", path, refusal);
    }
}
