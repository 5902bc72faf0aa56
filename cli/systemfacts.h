#pragma once

#include <QString>

#include <optional>

class QFile;

// What the system tells about its own clock, its standard error and the
// files it is given, behind one seam (systemfacts_unix.cpp,
// systemfacts_windows.cpp).
namespace SystemFacts {

// Opens `file` for reading only when it is a regular file: a pipe or a
// device named in its place could hold the run up for good, before any
// module is reached. The kind is judged on what was opened, so nothing can be
// put in its place between the look and the open. Returns why it was not
// opened: "not a regular file", or the system's reason; empty when opened.
QString openRegularFile(QFile& file);

// Whether this computer's clock is synchronised to a time source; nothing
// when the system cannot tell.
std::optional<bool> clockSynchronised();

// Whether standard error is the systemd journal's stream (JOURNAL_STREAM
// names its device and inode), which reads a "<N>" prefix as the line's
// priority.
bool errorsGoToJournal();

} // namespace SystemFacts
