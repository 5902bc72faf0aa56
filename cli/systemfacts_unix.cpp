#include "cli/systemfacts.h"

#include <QByteArray>

#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

namespace SystemFacts {

namespace {

// Beyond this the kernel's own error estimate says the clock is not to be
// trusted to the second, synchronised or not.
constexpr long MaxErrorMicroseconds = 1'000'000;

} // namespace

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
