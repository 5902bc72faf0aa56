#pragma once

#include "cli/arguments.h"
#include "cli/portfacts.h"
#include "cli/targetjob.h"

#include <QString>

#include <vector>

namespace Cli {

// One target's outcome as a JSON object on a line of its own.
QString outcomeJson(const Request& request, std::size_t index, const Outcome& outcome);

// The outcomes, one per target, as a table with a header line.
QString outcomesText(const Request& request, const std::vector<Outcome>& outcomes);

// A failed target in one line, for standard error: who, the result and why.
QString failureLine(const Request& request, std::size_t index, const Outcome& outcome);

// The port listing, as a table or one JSON object per line.
QString portsText(const std::vector<PortFacts>& ports, bool json);

} // namespace Cli
