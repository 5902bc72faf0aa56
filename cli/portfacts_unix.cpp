#include "cli/portfacts.h"

#include "cli/arguments.h"
#include "protocol/portrules.h"

#include <QFileInfo>
#include <QSerialPortInfo>

namespace Cli {

void describeDevice(PortFacts& facts) {
    const QFileInfo device(facts.device);
    facts.present = device.exists();
    facts.accessible = facts.present && device.isReadable() && device.isWritable();

    const QSerialPortInfo info(device.canonicalFilePath());
    if (facts.present && info.hasVendorIdentifier()) {
        facts.description = info.description();
        facts.serialNumber = info.serialNumber();
    }
}

QString portsHelp() {
    return QStringLiteral("Port n (%1 to %2) is the device that a link COMn beside velkaro-cli "
                          "points to,\notherwise /dev/ttyS<n-1>; a device is given by its path.")
        .arg(PortRules::FirstPort)
        .arg(LastPort);
}

QString exampleDevice() {
    return QStringLiteral("/dev/ttyUSB0");
}

bool isDevicePath(const QString& word) {
    return word.startsWith(u'/');
}

QString devicePathFor(const QString& name) {
    return QStringLiteral("/dev/") + name;
}

// Links followed: a COMn link and the device it points to are one device.
QString deviceKey(const QString& path) {
    const QFileInfo device(path);
    return device.canonicalFilePath().isEmpty() ? device.absoluteFilePath()
                                                : device.canonicalFilePath();
}

} // namespace Cli
