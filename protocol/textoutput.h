#pragma once

#include <QString>

#include <cstdio>

// Text the programs write for a reader: UTF-8 bytes into a file or a pipe,
// whatever the system's code page, so that what a script reads means the same
// everywhere; a Windows console is given characters, since it shows its own
// code page's bytes otherwise.
namespace TextOutput {

// Writes text to stream (stdout or stderr) and flushes it; false when not
// all of it was taken.
bool write(std::FILE* stream, const QString& text);

} // namespace TextOutput
