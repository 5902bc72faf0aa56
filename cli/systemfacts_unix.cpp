#include "cli/systemfacts.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

namespace SystemFacts {

namespace {

// Beyond this the kernel's own error estimate says the clock is not to be
// trusted to the second, synchronised or not.
constexpr long MaxErrorMicroseconds = 1'000'000;

} // namespace

QString openRegularFile(QFile& file) {
    // Without waiting: a pipe with no writer would hold the open itself up.
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat entry = {};
    if (::fstat(fd, &entry) != 0 || !S_ISREG(entry.st_mode)) {
        ::close(fd);
        return QStringLiteral("not a regular file");
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return file.errorString();
    }
    return {};
}

std::optional<bool> clockSynchronised() {
    timex state{};
    const int clockState = ::adjtimex(&state);
    if (clockState == -1) {
        return std::nullopt;
    }
    return clockState != TIME_ERROR && (state.status & STA_UNSYNC) == 0 &&
           state.maxerror <= MaxErrorMicroseconds;
}

bool errorsGoToJournal() {
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat errors {};
    if (stream.isEmpty() || ::fstat(STDERR_FILENO, &errors) != 0) {
        return false;
    }
    return stream == QByteArray::number(quint64(errors.st_dev)) + ':' +
                         QByteArray::number(quint64(errors.st_ino));
}

} // namespace SystemFacts
