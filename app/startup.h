#pragma once

#include <QString>

// What start-up needs from the system the program runs on: whether there is a
// display to show the window on, and where the operator reads what start-up
// has to say when no window shows (the help, the version, a usage error, a
// window that cannot be shown).
namespace Startup {

// Why no window can be shown before the toolkit even tries, or an empty
// string. On X11 and Wayland a session names its display in the environment;
// Windows always has its desktop.
QString missingDisplay();

// The operator's words for the toolkit's fatal message while it connects to
// the display (no display server, no platform plugin).
QString cannotShowWindow(const QString& toolkitMessage);

// Text for the operator: the help or the version (error false), or a reason
// the program ends (error true). A terminal shows it on standard output or
// standard error; a window program started without a console shows it in a
// message box.
void tell(const QString& text, bool error);

} // namespace Startup
