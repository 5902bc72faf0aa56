#pragma once

#include "cli/arguments.h"

#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace Cli {

// What one command did with one target.
struct Outcome {
    enum class Result { Ok, Sent, Failed };
    Result result = Result::Failed;
    QString device;              // the device the target stands for
    QJsonObject values;          // what the module reported, or what was sent
    std::optional<qint64> drift; // module clock less the computer's, seconds
    QString error;               // why it failed
};

// Runs the command on one target, from opening its port to closing it.
Outcome runTarget(const Request& request, const Target& target, const QString& programFolder);

// Runs the command on every target at once, each in a thread of its own;
// the outcomes come in the order of the targets.
std::vector<Outcome> runAll(const Request& request, const QString& programFolder);

} // namespace Cli
