#include "cli/portfacts.h"

#include "protocol/frames.h"
#include "protocol/portcontrol.h"
#include "protocol/portname.h"

namespace Cli {

PortFacts portFacts(int port, const QString& programFolder) {
    PortFacts facts;
    facts.port = port;
    facts.device = portDevicePath(port, programFolder);
    describeDevice(facts);
    try {
        PortControl comm(programFolder);
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
