#include "cli/portfacts.h"

#include "cli/arguments.h"
#include "protocol/frames.h"
#include "protocol/portcontrol.h"
#include "protocol/portrules.h"

#include <QFileInfo>
#include <QSerialPortInfo>

namespace Cli {

const int LastPort = LastWindowPort;

std::vector<int> listedPorts() {
    std::vector<int> ports;
    for (int port = PortRules::FirstPort; port <= LastPort; ++port) {
        ports.push_back(port);
    }
    return ports;
}

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

void probe(PortFacts& facts, const QString& programFolder) {
    try {
        PortControl comm(programFolder);
        comm.setSettings(QString::fromLatin1(Frames::Settings));
        comm.setCommPort(facts.port);
        comm.setPortOpen(true);
        comm.setPortOpen(false);
        facts.free = true;
    } catch (const CommError& e) {
        facts.reason = QString::fromStdString(e.what());
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

QStringList standardArguments(QStringList arguments) {
    return arguments;
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
