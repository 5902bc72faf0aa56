#include "cli/portfacts.h"

#include "protocol/frames.h"
#include "protocol/portname.h"
#include "protocol/winserialcontrol.h"

namespace Cli {

// Windows tells which device stands behind a port name ("\Device\Serial0",
// a USB adapter driver's own name), and whether one does. Every user may use
// the serial ports there: a refused open means another program holds it.
PortFacts portFacts(int port, const QString& programFolder) {
    PortFacts facts;
    facts.port = port;
    facts.device = portDevicePath(port, programFolder);
    facts.description = WinSerialControl::systemName(facts.device);
    facts.present = !facts.description.isEmpty();
    facts.accessible = facts.present;

    try {
        WinSerialControl comm(programFolder);
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
