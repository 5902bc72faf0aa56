#pragma once

#include <QByteArray>
#include <QString>

// Who else may hold a serial device, and the lock file that serial programs
// leave for one another in the lock folder: /run/lock, or /var/lock where
// there is no /run/lock, or the folder that the environment variable
// VELKARO_LOCK_DIR names (read here and nowhere else).
//
// A lock file is LCK..<name>, the name being the device's path below /dev
// with each "/" as "_" (LCK..ttyUSB0, LCK..pts_3), as Qt, tio and ser2net
// name it; for a device right below /dev that is also minicom's, picocom's
// and lockdev's name. It holds the owner's process number as ten ASCII digits
// and a newline ("      1234\n"); other programs' numbers are read in ASCII
// (also followed by a name, as minicom writes it) or as the four bytes of the
// old binary format.
//
// Anyone may put anything in the lock folder, so nothing there is trusted:
// another's lock file is read only when it is a regular file, at most 64
// bytes of it, without following a link or waiting on a pipe, and nothing
// else beside it (no ".rmlock", no temporary file) is ever opened.

// "in use by process 1234 (minicom)": another process that has `device` open,
// where /proc shows it (this process's own descriptors do not count); empty
// when none can be seen.
QString deviceHolder(const QString& device);

// The lock file of one open device: taken when the device is opened, removed
// when it is closed or this object goes. Not copyable.
class PortLock {
public:
    PortLock() = default;
    ~PortLock() { release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes the lock of `device` (a canonical path). Empty when taken (or
    // when the lock folder is missing or not ours to write, where the device's
    // own locks have to do); otherwise who holds it, to follow "<device> is":
    // - "in use by process 1234 (minicom)" while the lock's process runs;
    // - "locked by /run/lock/LCK..ttyS0, owned by alice" when its process is
    //   gone but the file is not ours to remove, or no process can be read
    //   from it;
    // - "locked by /run/lock/LCK..ttyS0, which is not a lock file, owned by
    //   alice" for a folder, pipe, link or anything else in its place.
    // A lock whose process is gone is removed and taken over.
    QString take(const QString& device);
    // Removes the lock file, if this object took one.
    void release();

private:
    QByteArray path_;
};
