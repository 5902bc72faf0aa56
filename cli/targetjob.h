#pragma once

#include "cli/arguments.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

class Interruption;

namespace Cli {

// The module's clock less the computer's, in seconds (positive: the module
// is ahead), known to within `precision` seconds either way.
struct Drift {
    double seconds = 0;
    double precision = 0;
};

// What one command did with one target.
struct Outcome {
    enum class Result { Ok, Sent, Kept, Failed, Interrupted };
    Result result = Result::Failed;
    QString device;               // the device the target stands for, links followed
    QString link;                 // the COMn link that led to it, if any
    QJsonObject values;           // what the module reported, or what was sent; empty on failure
    std::optional<Drift> drift;   // clock commands
    std::optional<int> utcOffset; // seconds, in force when the clock was read or set
    bool frameSent = false;       // the command's own frame (a set's, a get's read) went out
    QStringList warnings;         // what the operator should know of a success
    QString error;                // why it failed

    bool succeeded() const {
        return result == Result::Ok || result == Result::Sent || result == Result::Kept;
    }
};

// What is wrong when two targets stand for the same device (links
// followed): each device takes one job at a time.
QString sameDevice(const std::vector<Target>& targets, const QString& programFolder);

// The device a target stands for, links followed, and the link that led to
// it (a COMn link, a name under /dev/serial/by-id/), if any.
std::pair<QString, QString> targetDevice(const Target& target, const QString& programFolder);

// Runs the command on one target, from opening its port to closing it.
Outcome runTarget(const Request& request, const Target& target, const QString& programFolder,
                  Interruption& interruption);

// Runs the command on every target at once, each in a thread of its own, and
// returns the outcomes in the order of the targets. `finished` is called with
// each target's index as it finishes, one call at a time. Once
// `interruption` is raised, every target still running stops at once.
std::vector<Outcome> runAll(const Request& request, const QString& programFolder,
                            Interruption& interruption,
                            const std::function<void(std::size_t, const Outcome&)>& finished);

} // namespace Cli
