#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>
#include <random>

// The simulated module: everything it decides, without any I/O. The pty side
// (simulator.cpp) feeds it received bytes with the time they arrived and sends
// back whatever it returns.
namespace ModuleSim {

// Time on the steady clock, as the simulator reads it.
using Nanos = std::chrono::nanoseconds;

// The byte that wakes the module, and how long it takes to start listening.
inline constexpr char WakeByte = '\x80';
inline constexpr Nanos ListenDelay = std::chrono::milliseconds(900);

// The computer's local date and time of day in milliseconds since 1970-01-01
// 00:00:00, read as if the local time were UTC: no zone, no daylight-saving
// jumps. The module's clock starts from this plus an offset.
qint64 localWallMs();

// "yy/mm/dd hh:mm:ss" of a wall time (years 2000 to 2099 as 00 to 99).
QString formatClock(qint64 wallMs);
// Reads exactly 17 characters "yy/mm/dd hh:mm:ss" with a real date (year
// 20yy) and time of day; nothing otherwise.
std::optional<qint64> parseClock(QByteArrayView text);

// Real-time clock: runs on from the time it was last set by the time that
// has passed since (the steady clock's, so a daylight-saving change or a step
// of the computer's clock does not move it), faster or slower by `driftPpm`
// parts per million; or holds still when frozen.
class ModuleClock {
public:
    ModuleClock(qint64 startWallMs, Nanos now, bool frozen, double driftPpm = 0);
    void set(qint64 valueWallMs, Nanos now);
    qint64 read(Nanos now) const;

private:
    qint64 heldMs_ = 0;
    Nanos setAt_{0};
    bool frozen_ = false;
    double driftPpm_ = 0;
};

// Rate index 0..6 and on-time in seconds 1..240.
struct Schedule {
    int rate = 3;
    int onTime = 100;
};

// How the module misbehaves in its answers.
enum class Fault { None, Silent, Garbage, Lowercase, NoCr, Control, IgnoreClockSet, OtherOnTime };

struct Behaviour {
    Fault fault = Fault::None;
    qint64 setErrorMs = 0; // a clock set stores its time this far off
    bool ack = true;       // answer sets with "OK\r" and refusals with "NAK\r"
    int floodSize = 0;     // > 0: answer every frame with that many random bytes
    quint32 seed = 0;      // for garbage and flood bytes
};

// What one batch of received bytes made the module do.
struct Reaction {
    QByteArray send;           // the answer bytes, in order
    QList<QJsonObject> events; // transcript events ("frame", "ignored", ...)
};

class ModuleState {
public:
    ModuleState(const Behaviour& behaviour, const ModuleClock& clock, const Schedule& schedule);

    // Bytes that arrived together at `now`; `localNowMs` as from localWallMs().
    Reaction receive(QByteArrayView bytes, Nanos now, qint64 localNowMs);

    const ModuleClock& clock() const { return clock_; }
    Schedule schedule() const { return schedule_; }
    bool listening() const { return awake_; }

private:
    struct Answer {
        bool accepted = false;
        QString reason;
        QByteArray reply; // before the fault mode is applied
        bool scheduleReply = false;
    };

    // When a frame's CR arrived, on both clocks.
    struct Moment {
        Nanos steady;
        qint64 localWallMs;
    };

    void endFrame(Reaction& reaction, const Moment& at);
    Answer handleFrame(QByteArrayView frame, Reaction& reaction, const Moment& at);
    Answer setClock(QByteArrayView text, Reaction& reaction, const Moment& at);
    Answer setSchedule(QByteArrayView codes, Reaction& reaction);
    QByteArray acknowledgement(bool accepted) const;
    QByteArray disturb(QByteArray reply, bool scheduleReply);

    Behaviour behaviour_;
    ModuleClock clock_;
    Schedule schedule_;
    std::mt19937 random_;

    bool awake_ = false;
    Nanos wokeAt_{0};
    QByteArray frame_;     // bytes of the frame being received, CR not yet seen
    QString ignoreReason_; // why that frame will be ignored; empty when it counts
};

// The reply layouts; positions are counted from 1 as the program reads them.
// Clock: "T" + "yy/mm/dd hh:mm:ss" + CR, the clock text at positions 2-18.
QByteArray clockReply(qint64 clockWallMs);
// Schedule: "SLOTS" + rate digit + "," + on-time as two upper-case hex digits
// + CR, the rate at position 6 and the on-time at positions 8-9.
QByteArray scheduleReply(const Schedule& schedule);

} // namespace ModuleSim
