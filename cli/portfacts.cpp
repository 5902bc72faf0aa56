#include "cli/portfacts.h"

#include "protocol/portname.h"

namespace Cli {

PortFacts portFacts(int port, const QString& programFolder) {
    PortFacts facts;
    facts.port = port;
    facts.device = portDevicePath(port, programFolder);
    describeDevice(facts);
    probe(facts, programFolder);
    return facts;
}

} // namespace Cli
