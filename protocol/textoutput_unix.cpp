#include "protocol/textoutput.h"

namespace TextOutput {

bool write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    const std::size_t size = static_cast<std::size_t>(bytes.size());
    return std::fwrite(bytes.constData(), 1, size, stream) == size && std::fflush(stream) == 0;
}

} // namespace TextOutput
