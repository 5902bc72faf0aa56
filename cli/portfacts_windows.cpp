#include "cli/portfacts.h"

#include "cli/arguments.h"
#include "protocol/portrules.h"
#include "protocol/winportdevices.h"
#include "protocol/winserialrules.h"

#include <windows.h>

namespace Cli {

const int LastPort = PortRules::LastPort;

// The window's ports, and those above them that the system has: USB
// adapters are often given COM10 and up.
std::vector<int> listedPorts() {
    std::vector<int> ports;
    for (int port = PortRules::FirstPort; port <= LastWindowPort; ++port) {
        ports.push_back(port);
    }
    for (const int port : WinPortDevices::presentPorts()) {
        if (port > LastWindowPort) {
            ports.push_back(port);
        }
    }
    return ports;
}

// Windows tells whether a device stands behind a port name, and Device
// Manager's name for it. Every user may use the serial ports there: a
// refused open means another program holds it.
void describeDevice(PortFacts& facts) {
    facts.present = !WinPortDevices::systemName(facts.device).isEmpty();
    facts.accessible = facts.present;
    if (facts.present) {
        const WinPortDevices::DeviceName name = WinPortDevices::deviceName(facts.device);
        facts.description = name.friendlyName;
        facts.serialNumber = name.serialNumber;
    }
}

// A port with no device is not opened. One that is gets its modem lines held
// low before anything else, and keeps them so until it is closed: raising DTR
// or RTS resets many devices.
void probe(PortFacts& facts, const QString&) {
    const QString device = QStringLiteral("\\\\.\\") + facts.device;
    if (!facts.present) {
        facts.reason = PortRules::prefix(facts.port) + PortRules::noSuchDevice(device);
        return;
    }
    const std::wstring path = device.toStdWString();
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        facts.reason = PortRules::prefix(facts.port) +
                       WinSerialRules::openFailure(GetLastError(), device).reason;
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (GetCommState(handle, &dcb)) {
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        SetCommState(handle, &dcb);
    }
    CloseHandle(handle);
    facts.free = true;
}

QString portsHelp() {
    return QStringLiteral("Port n (%1 to %2) is COMn; a device may also be given by its name, "
                          "such as\n\\\\.\\COM12. ports also lists every port above COM%3 "
                          "that Windows has.")
        .arg(PortRules::FirstPort)
        .arg(LastPort)
        .arg(LastWindowPort);
}

QString exampleDevice() {
    return QStringLiteral("\\\\.\\COM12");
}

// The system's own form of a device's name: \\.\COMn or another \\ path.
bool isDevicePath(const QString& word) {
    return word.startsWith(QStringLiteral("\\\\"));
}

QStringList standardArguments(QStringList arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"/?") {
            arguments[i] = QStringLiteral("--help");
        }
    }
    return arguments;
}

QString devicePathFor(const QString& name) {
    return QStringLiteral("\\\\.\\") + name;
}

// Device names are the same in any case; "COM1" is short for "\\.\COM1".
QString deviceKey(const QString& path) {
    return (isDevicePath(path) ? path : QStringLiteral("\\\\.\\") + path).toUpper();
}

} // namespace Cli
