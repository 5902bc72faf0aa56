#pragma once

#include "cli/arguments.h"
#include "cli/portfacts.h"
#include "cli/targetjob.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

namespace Cli {

// One target's outcome as a JSON object on a line of its own.
QString outcomeJson(const Request& request, std::size_t index, const Outcome& outcome);

// The outcomes as a table, a line per target printed as it finishes: its
// columns as wide as what is known before the run (labels, devices) or as
// the widest value a module can give, so that rows line up in any order.
class OutcomeTable {
public:
    // `devices`: each target's device as its outcome will name it.
    OutcomeTable(const Request& request, const QStringList& devices);
    QString header() const { return header_; }
    QString row(std::size_t index, const Outcome& outcome) const;

private:
    QString line(const QStringList& cells) const;

    const Request& request_;
    QList<qsizetype> widths_;
    bool labelled_ = false;
    QString header_;
};

// A failed target in one line, for standard error: who, the result and why.
QString failureLine(const Request& request, std::size_t index, const Outcome& outcome);

// The port listing, as a table or one JSON object per line.
QString portsText(const std::vector<PortFacts>& ports, bool json);

} // namespace Cli
