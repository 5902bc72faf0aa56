#pragma once

#include "protocol/commcontrol.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

using SteadyClock = std::chrono::steady_clock;

// Why one module could not be read or set, in words for the operator.
class TargetError : public std::runtime_error {
public:
    explicit TargetError(const QString& what) : std::runtime_error(what.toStdString()) {}
};

// A target stopped before it was done: the run was interrupted.
class Interrupted : public std::exception {};

// Ends the waits of every target at once when the run is interrupted.
class Interruption {
public:
    // Waits until `end`; throws Interrupted once the run is interrupted.
    void sleepUntil(SteadyClock::time_point end);
    void raise();

private:
    std::mutex mutex_;
    std::condition_variable raised_;
    bool isRaised_ = false;
};

// The command transactions with one module over an open serial control, as
// the window runs them: the wake byte alone, a pause of at least one second,
// what arrived meanwhile dropped, one frame in one write. Unlike the window,
// the link then waits for the reply, up to its CR.
//
// Blocks its thread throughout; every module gets a link and a thread of its
// own. Every wait ends with Interrupted once `interruption` is raised.
class ModuleLink {
public:
    ModuleLink(CommControl& comm, std::chrono::milliseconds replyTimeout,
               Interruption& interruption);
    ~ModuleLink();
    ModuleLink(const ModuleLink&) = delete;
    ModuleLink& operator=(const ModuleLink&) = delete;

    // The wake byte, then at least one second of the monotonic clock. For a
    // frame that is to leave at `frameAt`, the wake byte waits until a second
    // before it.
    void wake(SteadyClock::time_point frameAt = SteadyClock::time_point());

    // Waits until `when` (at once when that has passed), drops what arrived
    // since the last frame, and sends `frame` in one write. Returns when the
    // frame's CR leaves the line: the write plus the frame's time on the wire.
    SteadyClock::time_point send(const QByteArray& frame,
                                 SteadyClock::time_point when = SteadyClock::time_point());

    // The module's reply up to its CR, as the window's receive log holds it
    // (a line feed after the CR). Throws TargetError when no CR comes within
    // the timeout or the device goes away.
    QByteArray reply();

    // Returns once the last frame sent has left the line, so that closing
    // the port cannot cut it short.
    void finishSending();

    // How long `bytes` characters take on the line at the module's settings.
    static std::chrono::microseconds wireTime(qsizetype bytes);

    // While true, frames sent are readings ahead of the command (a clock
    // read before a conditional set), not the command's own.
    void setReadingAhead(bool ahead) { readingAhead_ = ahead; }
    // Whether the port has taken a frame of the command whole (not a wake
    // byte, not a reading ahead).
    bool commandFrameSent() const { return commandFrames_ > 0; }

private:
    void checkOpen() const;
    void discardArrivals();

    CommControl& comm_;
    std::chrono::milliseconds replyTimeout_;
    Interruption& interruption_;
    SteadyClock::time_point lastSent_;
    bool readingAhead_ = false;
    int commandFrames_ = 0;
    QString lost_; // why the port closed under the link
};

// The text with anything not printable (control bytes, a NUL) as "?", so that
// it can reach a terminal.
QString printable(QString text);

// The bytes of a reply as text for a message: up to its CR, anything not
// printable as "?".
QString shownReply(const QByteArray& log);
