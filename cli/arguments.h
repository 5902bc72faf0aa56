#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

namespace Cli {

enum class Command { Ports, ClockGet, ClockSet, ScheduleGet, ScheduleSet };

// One module to talk to: a port number (COMn), or a device given by its path
// (port 0).
struct Target {
    int port = 0;
    QString device;

    bool operator==(const Target&) const = default;
};

// What the command line asks for, every value checked.
struct Request {
    Command command = Command::Ports;
    std::vector<Target> targets; // ports in the order given, then devices
    QByteArray clockText;        // clock set TEXT; empty with --from-pc
    bool fromPc = false;
    int rateIndex = 0; // schedule set
    int onTime = 0;
    std::chrono::milliseconds timeout{3000};
    bool verify = true;
    bool json = false;
};

struct Parsed {
    enum class Outcome { Run, Help, Version, UsageError };
    Outcome outcome = Outcome::UsageError;
    Request request;
    QString text; // the help or version text, or what is wrong (one line)
};

// Reads the command line; arguments[0] is the program itself.
Parsed parseArguments(const QStringList& arguments);

} // namespace Cli
