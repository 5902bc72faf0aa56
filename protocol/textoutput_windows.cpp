#include "protocol/textoutput.h"

#include <windows.h>

#include <io.h>
#include <string>

namespace TextOutput {

bool write(std::FILE* stream, const QString& text) {
    // What went through the stream before comes first.
    if (std::fflush(stream) != 0)
        return false;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // Characters, not bytes: the console's code page stays as the
        // operator set it, and every character shows.
        const std::wstring wide = text.toStdWString();
        DWORD written = 0;
        return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) != 0 &&
               written == wide.size();
    }
    const QByteArray bytes = text.toUtf8();
    const std::size_t size = static_cast<std::size_t>(bytes.size());
    return std::fwrite(bytes.constData(), 1, size, stream) == size && std::fflush(stream) == 0;
}

} // namespace TextOutput
