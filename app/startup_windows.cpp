#include "app/startup.h"

#include <QCoreApplication>

#include <windows.h>

namespace {

// Writes to what the parent process gave the program for WHICH (a file, a
// pipe, or the console it was started from); false when it gave nothing. A
// window program started from a console has no handles of its own, so it
// attaches to its parent's console to be read there.
bool writeTo(DWORD which, const QString& text) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
            return false;
        }
        handle = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    DWORD mode = 0;
    DWORD done = 0;
    if (GetConsoleMode(handle, &mode)) {
        // The console shows the prompt already: the text starts on a line
        // of its own.
        const std::wstring wide = (u'\n' + text).toStdWString();
        return WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &done,
                             nullptr) != 0;
    }
    const QByteArray bytes = text.toUtf8();
    return WriteFile(handle, bytes.constData(), static_cast<DWORD>(bytes.size()), &done, nullptr) !=
           0;
}

} // namespace

namespace Startup {

QString missingDisplay() {
    return {};
}

QString cannotShowWindow(const QString& toolkitMessage) {
    return QStringLiteral("cannot show the window: %1").arg(toolkitMessage.simplified());
}

void tell(const QString& text, bool error) {
    const QString shown =
        error ? QCoreApplication::applicationName() + QStringLiteral(": ") + text + u'\n' : text;
    if (writeTo(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, shown)) {
        return;
    }
    const std::wstring message = text.toStdWString();
    MessageBoxW(nullptr, message.c_str(), L"Velkaro",
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

} // namespace Startup
