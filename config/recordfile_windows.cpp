#include "config/recordfile.h"

#include <QDir>

#include <windows.h>

#include <io.h>
#include <string>

namespace {

// The path as the operator reads it: "a/../b" is shown as "b", and with the
// system's separators.
[[noreturn]] void fail(const char* what, const QFile& file, const QString& why) {
    throw PortFileError(QStringLiteral("%1 %2: %3")
                            .arg(QLatin1String(what),
                                 QDir::toNativeSeparators(QDir::cleanPath(file.fileName())), why)
                            .toStdString());
}

QString systemError() {
    return qt_error_string(static_cast<int>(GetLastError()));
}

// Closes a handle when leaving the scope.
struct Handle {
    HANDLE value;
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE)
            CloseHandle(value);
    }
};

bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace

// The name itself is looked at first, never what a link or junction points
// to: that open creates a missing file (and never truncates), and tells what
// the name is. The file is then opened through Qt by its name, and used only
// when that reached the same file.
void openRecordFile(QFile& file, RecordAccess access) {
    const bool write = access == RecordAccess::ReadWrite;
    const char* const cannotOpen = write ? "cannot open or create" : "cannot read";
    const std::wstring path = QDir::toNativeSeparators(file.fileName()).toStdWString();
    const Handle entry{CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, write ? OPEN_ALWAYS : OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (entry.value == INVALID_HANDLE_VALUE)
        fail(cannotOpen, file, systemError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(entry.value, &info))
        fail("cannot use", file, systemError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        fail("cannot use", file, QStringLiteral("a link, not a regular file"));
    if (GetFileType(entry.value) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        fail("cannot use", file, QStringLiteral("not a regular file"));
    // Another name for the same file could be anywhere on its volume.
    if (info.nNumberOfLinks != 1)
        fail("cannot use", file, QStringLiteral("a file with more than one name (hard links)"));

    if (!file.open(write ? QIODevice::ReadWrite : QIODevice::ReadOnly))
        fail(cannotOpen, file, file.errorString());
    BY_HANDLE_FILE_INFORMATION opened{};
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    if (!GetFileInformationByHandle(handle, &opened) || !sameFile(info, opened)) {
        file.close();
        fail("cannot use", file, QStringLiteral("replaced while it was opened"));
    }
}
