#pragma once

#include "cli/arguments.h"
#include "cli/portfacts.h"
#include "cli/targetjob.h"

#include <QString>

#include <vector>

namespace Cli {

// The outcomes, one per target: a table with a header line, or with --json
// one JSON object per line.
QString outcomesText(const Request& request, const std::vector<Outcome>& outcomes);

// The port listing, in the same two forms.
QString portsText(const std::vector<PortFacts>& ports, bool json);

} // namespace Cli
