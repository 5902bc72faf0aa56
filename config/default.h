#pragma once

#include <QString>

class PortView;
struct Declarations;

// Port selection: which serial port the program talks on, how it is opened
// at start-up and switched by the port menu, and storing the choice in the
// port number file.
namespace Default {

inline constexpr int PortMenuItems = 8;

// What became of the configured port. A port whose device is not there (an
// adapter unplugged, a link to nothing) may come back by itself and is worth
// looking at again; a refused one (in use, permission denied, settings
// refused, ...) stays closed until the operator picks a port or restarts.
enum class PortState { Open, Absent, Refused };

// Start-up: reads the configured port from the port number file, sets the
// line up, marks the menu and labels, and opens the port. Never throws: an
// unusable port leaves "Not valid" in the port label.
PortState OpenComPort(PortView& view, Declarations& shared);

// Stores ComPortNumber in the port number file. Throws PortFileError.
void SaveComPort(Declarations& shared);

// A pick in the port menu: marks the item, switches the port to it, reopens
// it and stores the number. Never throws.
PortState SelectComPort(PortView& view, Declarations& shared, int index);

// While the configured port's device is absent: tries to open it, as it was
// set up, and shows "Com n" again when that works. A reason for failing that
// differs from the one shown replaces it, so a device that stays missing is
// reported once.
PortState RecoverComPort(PortView& view, const Declarations& shared);

// The open port's device went away: "Not valid" with the reason.
void PortLost(PortView& view, const QString& reason);

} // namespace Default
