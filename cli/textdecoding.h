#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace Cli {

// The text of a file an operator wrote: UTF-8, with or without a byte order
// mark, or UTF-16 of either byte order with its mark (what Windows
// PowerShell's redirection writes). Nothing when the bytes are not text in
// any of these, or hold a null character (UTF-16 without its mark).
std::optional<QString> decodeText(const QByteArray& bytes);

} // namespace Cli
