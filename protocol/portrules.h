#pragma once

#include <QString>

// What every serial control holds to, whichever system's serial API it sits
// on: the port numbers it accepts, the checks of the written properties, and
// the words of its failures, so that an operator reads the same reason for the
// same fault everywhere.
namespace PortRules {

inline constexpr int FirstPort = 1;
// The last port the system's serial control takes: 16 where ports are links
// beside the program or /dev/ttyS devices; 256 on Windows, which numbers the
// ports it finds up to COM256. Each control defines it.
extern const int LastPort;
// Received bytes a control holds for the program; more waits in the system.
inline constexpr int ReceiveBufferSize = 1024;
// Output waits at most this long for the system to take its bytes.
inline constexpr int WriteTimeoutMs = 1000;

// "COM3: ", put before a message about port 3.
QString prefix(int port);

// Throw CommError with the reason: a port outside FirstPort to LastPort, a
// negative InputLen.
void checkPort(int port);
void checkInputLen(int count);

// Reasons, without the port's prefix.
QString closeBeforeChoosing();
QString alreadyOpen();
QString noSuchDevice(const QString& device);
// "in use by another program": a port held, when the system does not tell by
// whom.
QString inUseByAnother();
// "<device> is <held>", where held says who holds the port ("in use by
// process 1234 (minicom)"); empty: by another program.
QString inUse(const QString& device, const QString& held);
QString settingsRefused(const QString& device, const QString& settings, const QString& why);
QString cannotOpen(const QString& device, const QString& why);
QString disconnected(const QString& device);
// Output's bytes did not all reach the device, for the reason given, such as
// notAllSent's.
QString cannotWrite(const QString& device, const QString& why);
// "2 of 6 bytes sent within 1000 ms".
QString notAllSent(qsizetype sent, qsizetype size);

} // namespace PortRules
