#pragma once

#include <QString>

// Who holds a serial device open, in words for the operator: "process 1234
// (minicom)". Asked first is the lock file that serial programs (Qt's among
// them) leave in /var/lock; then the open files of the processes this user may
// look at. Empty when neither tells.
QString portHolder(const QString& device);
