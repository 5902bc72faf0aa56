#pragma once

#include "modulestate.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace ModuleSim {

struct Options {
    QString linkPath;                       // empty: no link
    QString transcriptPath;                 // empty: no transcript
    std::optional<qint64> clockStartWallMs; // empty: the computer's local time
    qint64 clockOffsetMs = 0;               // added to the computer's local time
    double driftPpm = 0;                    // how much faster the clock runs
    bool frozen = false;
    Schedule schedule;
    Behaviour behaviour;
    bool seedGiven = false;
    int delayMs = 0;
    qint64 hangupAfter = 0; // received bytes; 0: never
};

struct CommandLine {
    Options options;
    bool helpRequested = false;
    QString error; // one line; set on any usage error
};

// Reads the command line; arguments[0] is the program itself.
CommandLine parseCommandLine(const QStringList& arguments);

// The full --help text.
QString helpText();

} // namespace ModuleSim
