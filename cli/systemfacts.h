#pragma once

#include <optional>

// What the system tells about its own clock and its standard error, behind
// one seam (systemfacts_unix.cpp, systemfacts_windows.cpp).
namespace SystemFacts {

// Whether this computer's clock is synchronised to a time source; nothing
// when the system cannot tell.
std::optional<bool> clockSynchronised();

// Whether standard error is the systemd journal's stream (JOURNAL_STREAM
// names its device and inode), which reads a "<N>" prefix as the line's
// priority.
bool errorsGoToJournal();

} // namespace SystemFacts
