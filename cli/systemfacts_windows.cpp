#include "cli/systemfacts.h"

#include <QFile>
#include <QFileInfo>

// Windows tells whether time adjustments are on (GetSystemTimeAdjustment),
// not whether the last synchronisation succeeded or how far off the clock may
// be; nothing is claimed. There is no journal stream either.
namespace SystemFacts {

// Windows has no pipes or devices among the names of its file system: what
// is there and no regular file is a folder.
QString openRegularFile(QFile& file) {
    if (QFileInfo::exists(file.fileName()) && !QFileInfo(file.fileName()).isFile())
        return QStringLiteral("not a regular file");
    return file.open(QIODevice::ReadOnly) ? QString() : file.errorString();
}

std::optional<bool> clockSynchronised() {
    return std::nullopt;
}

bool errorsGoToJournal() {
    return false;
}

} // namespace SystemFacts
