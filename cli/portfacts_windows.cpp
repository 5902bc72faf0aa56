#include "cli/portfacts.h"

#include "cli/arguments.h"
#include "protocol/portrules.h"
#include "protocol/winserialcontrol.h"

namespace Cli {

// Windows tells which device stands behind a port name ("\Device\Serial0",
// a USB adapter driver's own name), and whether one does. Every user may use
// the serial ports there: a refused open means another program holds it.
void describeDevice(PortFacts& facts) {
    facts.description = WinSerialControl::systemName(facts.device);
    facts.present = !facts.description.isEmpty();
    facts.accessible = facts.present;
}

QString portsHelp() {
    return QStringLiteral("Port n (%1 to %2) is COMn; a device is given by its name, such as "
                          "\\\\.\\COM12,\nalso above COM%2.")
        .arg(PortRules::FirstPort)
        .arg(LastPort);
}

QString exampleDevice() {
    return QStringLiteral("\\\\.\\COM12");
}

// The system's own form of a device's name: \\.\COMn or another \\ path.
bool isDevicePath(const QString& word) {
    return word.startsWith(QStringLiteral("\\\\"));
}

QString devicePathFor(const QString& name) {
    return QStringLiteral("\\\\.\\") + name;
}

// Device names are the same in any case; "COM1" is short for "\\.\COM1".
QString deviceKey(const QString& path) {
    return (isDevicePath(path) ? path : QStringLiteral("\\\\.\\") + path).toUpper();
}

} // namespace Cli
