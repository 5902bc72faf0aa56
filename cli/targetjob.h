#pragma once

#include "cli/arguments.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class Interruption;

namespace Cli {

// What one command did with one target.
struct Outcome {
    enum class Result { Ok, Sent, Kept, Failed, Interrupted };
    Result result = Result::Failed;
    QString device;              // the device the target stands for
    QJsonObject values;          // what the module reported, or what was sent; empty on failure
    std::optional<qint64> drift; // module clock less the computer's, seconds
    bool frameSent = false;      // the command's own frame (a set's, a get's read) went out
    QString error;               // why it failed

    bool succeeded() const {
        return result == Result::Ok || result == Result::Sent || result == Result::Kept;
    }
};

// What is wrong when two targets stand for the same device (links
// followed): each device takes one job at a time.
QString sameDevice(const std::vector<Target>& targets, const QString& programFolder);

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
