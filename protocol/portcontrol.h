#pragma once

// The serial control of the system the program is built for: the Windows
// communications API there, termios everywhere else. Code that creates a
// control names PortControl and stays the same on every system.
#include <QtGlobal>

#ifdef Q_OS_WIN
#include "protocol/winserialcontrol.h"
using PortControl = WinSerialControl;
#else
#include "protocol/serialcontrol.h"
using PortControl = SerialControl;
#endif
