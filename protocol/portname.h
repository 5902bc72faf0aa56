#pragma once

#include <QString>

// The device that stands for serial port number `port` (1 and up).
//
// On Windows this is "COMn". Elsewhere, an entry named "COMn" in the
// program's folder (a device node, or a symbolic link such as one made with
// `ln -s /dev/ttyUSB0 COM1`) takes precedence, even when it is a dangling link:
// opening it then fails as a missing device instead of quietly using another
// port. Without such an entry, port n is "/dev/ttyS<n-1>".
QString portDevicePath(int port, const QString& programFolder);
