#include "cli/portfacts.h"

#include "protocol/frames.h"
#include "protocol/portname.h"
#include "protocol/serialcontrol.h"

#include <QFileInfo>
#include <QSerialPortInfo>

namespace Cli {

PortFacts portFacts(int port, const QString& programFolder) {
    PortFacts facts;
    facts.port = port;
    facts.device = portDevicePath(port, programFolder);
    const QFileInfo device(facts.device);
    facts.present = device.exists();
    facts.accessible = facts.present && device.isReadable() && device.isWritable();

    const QSerialPortInfo info(device.canonicalFilePath());
    if (facts.present && info.hasVendorIdentifier()) {
        facts.description = info.description();
        facts.serialNumber = info.serialNumber();
    }

    try {
        SerialControl comm(programFolder);
        comm.setSettings(QString::fromLatin1(Frames::Settings));
        comm.setCommPort(port);
        comm.setPortOpen(true);
        comm.setPortOpen(false);
        facts.free = true;
    } catch (const CommError& e) {
        facts.reason = QString::fromStdString(e.what());
    }
    return facts;
}

} // namespace Cli
