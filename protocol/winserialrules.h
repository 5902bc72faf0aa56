#pragma once

#include "protocol/commcontrol.h"
#include "protocol/lineformat.h"

#include <QString>

#include <windows.h>

// The Windows serial control's rules, apart from any device.
namespace WinSerialRules {

struct OpenFailure {
    QString reason;
    CommError::Kind kind;
};

// Why opening `device` failed with the system's error code, in the words of
// every serial control, and whether the device is simply not there.
OpenFailure openFailure(DWORD error, const QString& device);

// Why a write of `size` bytes to `device` failed, of which the system took
// `sent` (error: the system's error code, 0 when the write call succeeded);
// empty when all of them were sent.
QString writeFailure(DWORD error, qsizetype size, qsizetype sent, const QString& device);

// Writes the line format into the device control block: no flow control, no
// character replacement, and errors do not stop the transfer.
void describeLine(const LineFormat& line, DCB& dcb);

// The number of a port name such as "COM12" or "com3" (FirstPort to
// LastPort), or 0 for any other name.
int comNumber(const QString& name);

// The serial number a USB device's instance ID carries as its last part
// ("USB\VID_0403&PID_6001\A10K1234"); empty for another bus, or where the
// system made that part up because the device has none (it then holds '&').
QString usbSerialNumber(const QString& instanceId);

} // namespace WinSerialRules
