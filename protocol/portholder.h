#pragma once

#include <QString>

// Why a serial device that the user may use cannot be opened, in words for
// the operator, to follow the device's name and "is": "in use by process 1234
// (minicom)". Asked first is the lock file that serial programs (Qt's among
// them) leave in /var/lock: its process, or, when that process is gone or
// cannot be looked at, the lock file itself and its owner ("locked by
// /run/lock/LCK..ttyUSB0, owned by alice"), who can remove it. Only without a
// lock file are the open files of the processes this user may look at asked.
QString portHolder(const QString& device);
