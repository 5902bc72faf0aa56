#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <vector>

namespace Cli {

enum class Command { Ports, ClockGet, ClockSet, ScheduleGet, ScheduleSet };

// One module to talk to: a port number (COMn), or a device given by its path
// (port 0); a label from a targets file.
struct Target {
    int port = 0;
    QString device;
    QString label;

    bool operator==(const Target&) const = default;
};

// What the command line asks for, every value checked.
struct Request {
    Command command = Command::Ports;
    std::vector<Target> targets; // the targets file's, then ports, then devices
    QByteArray clockText;        // clock set TEXT; empty with --from-pc
    bool fromPc = false;
    std::optional<int> driftLimit; // --if-drift-over: set only clocks off by more
    bool precise = false;          // clock get --precise: drift to the hundredth
    bool requireSynced = false;    // --from-pc only from a synchronised computer clock
    // Whether the computer's clock is synchronised, as the system tells;
    // nothing when it cannot tell. Filled in before the run.
    std::optional<bool> pcSynchronised;
    bool utc = false;  // clocks in UTC, not local time
    int rateIndex = 0; // schedule set
    int onTime = 0;
    std::chrono::milliseconds timeout{3000};
    bool verify = true;
    bool json = false;
    bool quiet = false; // failures alone, on standard error
};

struct Parsed {
    // Usage: no arguments at all, answered with the help on standard error.
    enum class Outcome { Run, Help, Version, Usage, UsageError };
    Outcome outcome = Outcome::UsageError;
    Request request;
    QString text; // the help or version text, or what is wrong (one line)
};

// The last port --port and a targets file take: COM9, the last the window
// can be set to; on Windows COM256, since Windows gives USB adapters any
// number up to there. The system's port code defines it.
extern const int LastPort;

// Reads the command line; arguments[0] is the program itself.
Parsed parseArguments(const QStringList& arguments);

} // namespace Cli
