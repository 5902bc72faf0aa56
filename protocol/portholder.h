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

// When the lock file of `device` is in the way but is no regular file (a
// pipe, a folder or a link that anyone may put in the lock folder), what the
// operator is told to follow the device's name and "is": "locked by
// /run/lock/LCK..ttyUSB0, which is not a lock file, owned by alice". Such a
// file is never read: a pipe would hold the open up for good. Empty
// otherwise.
QString strayLockFile(const QString& device);
