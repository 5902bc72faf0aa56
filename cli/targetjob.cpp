#include "cli/targetjob.h"

#include "cli/clocktime.h"
#include "cli/modulelink.h"
#include "protocol/frames.h"
#include "protocol/portname.h"
#include "protocol/replies.h"
#include "protocol/serialcontrol.h"

#include <QThread>

#include <memory>

namespace Cli {

namespace {

using namespace std::chrono_literals;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Head start for --from-pc: the frame is timed for a second that begins at
// least this long after its text is chosen, so that the thread is sure to be
// awake to send it.
constexpr auto SendMargin = 20ms;
// A clock set is read back this long after it was sent: the first moment
// half-way through a second of the new clock that a new wake byte allows.
constexpr auto ReadBackAfter = 1500ms;

// A clock reading: the module's clock text, and when the computer's clock
// showed what, as the read frame's CR left.
struct ClockReading {
    QByteArray text;
    std::optional<qint64> moduleMs;
    SteadyClock::time_point readAt;
    qint64 computerMs = 0;
};

// Reads the clock with a frame that leaves at `frameAt`, or at once.
ClockReading readClock(ModuleLink& link, Outcome& outcome,
                       SteadyClock::time_point frameAt = SteadyClock::time_point()) {
    link.wake(frameAt);
    ClockReading reading;
    const qint64 computerBefore = ClockTime::localNowMs();
    const SteadyClock::time_point before = SteadyClock::now();
    reading.readAt = link.send(Frames::clockRead(), frameAt);
    reading.computerMs =
        computerBefore + duration_cast<milliseconds>(reading.readAt - before).count();
    const QByteArray log = link.reply();
    reading.text = Replies::clockText(log);
    reading.moduleMs = ClockTime::parse(reading.text);
    outcome.values = QJsonObject{{"clock", QString::fromLatin1(reading.text)}};
    if (!reading.moduleMs) {
        throw TargetError(QStringLiteral("the reply \"%1\" holds no clock").arg(shownReply(log)));
    }
    outcome.drift =
        ClockTime::wholeSeconds(*reading.moduleMs) - ClockTime::wholeSeconds(reading.computerMs);
    return reading;
}

void clockSet(const Request& request, ModuleLink& link, Outcome& outcome) {
    link.wake();
    qint64 valueMs = 0;
    SteadyClock::time_point sendAt;
    if (request.fromPc) {
        // The frame leaves so that its CR ends as the second it names begins.
        const SteadyClock::time_point now = SteadyClock::now();
        const qint64 nowMs = ClockTime::localNowMs();
        const auto onWire = ModuleLink::wireTime(Frames::clockSet(ClockTime::text(nowMs)).size());
        const qint64 earliest = nowMs + duration_cast<milliseconds>(onWire + SendMargin).count();
        valueMs = (ClockTime::wholeSeconds(earliest) + 1) * 1000;
        sendAt = now + milliseconds(valueMs - nowMs) - onWire;
    } else {
        valueMs = *ClockTime::parse(request.clockText);
    }
    const QByteArray text = ClockTime::text(valueMs);
    const SteadyClock::time_point setAt = link.send(Frames::clockSet(text), sendAt);
    if (!request.verify) {
        outcome.values = QJsonObject{{"clock", QString::fromLatin1(text)}};
        link.finishSending();
        outcome.result = Outcome::Result::Sent;
        return;
    }
    // The module shows whole seconds: read half-way through one, it shows the
    // set time plus the time passed, give or take its error rounded to the
    // nearest second.
    const auto halfway = SteadyClock::time_point(setAt + ReadBackAfter) -
                         ModuleLink::wireTime(Frames::clockRead().size());
    const ClockReading reading = readClock(link, outcome, halfway);
    const qint64 expectedMs = valueMs + duration_cast<milliseconds>(reading.readAt - setAt).count();
    const qint64 off =
        ClockTime::wholeSeconds(*reading.moduleMs) - ClockTime::wholeSeconds(expectedMs);
    if (off < -1 || off > 1) {
        throw TargetError(QStringLiteral("read back %1, not within a second of %2 as set")
                              .arg(QString::fromLatin1(reading.text),
                                   QString::fromLatin1(ClockTime::text(expectedMs))));
    }
    outcome.result = Outcome::Result::Ok;
}

QJsonObject scheduleValues(int rateIndex, std::optional<int> onTime) {
    const bool listed = rateIndex >= 0 && rateIndex < int(std::size(Frames::RateTexts));
    return QJsonObject{
        {"rate", listed ? QJsonValue(QLatin1String(Frames::RateTexts[rateIndex])) : QJsonValue()},
        {"rate_index", rateIndex},
        {"on_time", onTime ? QJsonValue(*onTime) : QJsonValue()}};
}

Replies::Schedule readSchedule(ModuleLink& link, Outcome& outcome, QString& reply) {
    link.wake();
    link.send(Frames::scheduleRead());
    const QByteArray log = link.reply();
    reply = shownReply(log);
    const Replies::Schedule schedule = Replies::schedule(log);
    outcome.values = scheduleValues(schedule.rateDigit, schedule.onTime);
    return schedule;
}

void scheduleGet(ModuleLink& link, Outcome& outcome) {
    QString reply;
    const Replies::Schedule schedule = readSchedule(link, outcome, reply);
    if (schedule.rateDigit >= int(std::size(Frames::RateTexts))) {
        throw TargetError(QStringLiteral("the reply \"%1\" names rate %2, which the rate list "
                                         "does not have")
                              .arg(reply)
                              .arg(schedule.rateDigit));
    }
    if (!schedule.onTime) {
        throw TargetError(QStringLiteral("the reply \"%1\" holds no on-time from %2 to %3 s")
                              .arg(reply)
                              .arg(Frames::MinOnTime)
                              .arg(Frames::MaxOnTime));
    }
    outcome.result = Outcome::Result::Ok;
}

void scheduleSet(const Request& request, ModuleLink& link, Outcome& outcome) {
    link.wake();
    link.send(Frames::scheduleSet(Frames::rateCode(request.rateIndex),
                                  Frames::onTimeCode(request.onTime)));
    if (!request.verify) {
        outcome.values = scheduleValues(request.rateIndex, request.onTime);
        link.finishSending();
        outcome.result = Outcome::Result::Sent;
        return;
    }
    QString reply;
    const Replies::Schedule schedule = readSchedule(link, outcome, reply);
    if (schedule.rateDigit != request.rateIndex || schedule.onTime != request.onTime) {
        throw TargetError(QStringLiteral("read back \"%1\", not \"%2\" and %3 s as set")
                              .arg(reply, QLatin1String(Frames::RateTexts[request.rateIndex]))
                              .arg(request.onTime));
    }
    outcome.result = Outcome::Result::Ok;
}

} // namespace

Outcome runTarget(const Request& request, const Target& target, const QString& programFolder) {
    Outcome outcome;
    outcome.device =
        target.device.isEmpty() ? portDevicePath(target.port, programFolder) : target.device;
    try {
        SerialControl comm(programFolder);
        comm.setSettings(QString::fromLatin1(Frames::Settings));
        comm.setInputLen(0);
        if (target.device.isEmpty()) {
            comm.setCommPort(target.port);
        } else {
            comm.setDevicePath(target.device);
        }
        comm.setPortOpen(true);
        ModuleLink link(comm, request.timeout);
        switch (request.command) {
        case Command::ClockGet:
            readClock(link, outcome);
            outcome.result = Outcome::Result::Ok;
            break;
        case Command::ClockSet:
            clockSet(request, link, outcome);
            break;
        case Command::ScheduleGet:
            scheduleGet(link, outcome);
            break;
        case Command::ScheduleSet:
            scheduleSet(request, link, outcome);
            break;
        case Command::Ports:
            break;
        }
    } catch (const std::exception& e) {
        outcome.result = Outcome::Result::Failed;
        outcome.error = QString::fromStdString(e.what());
    }
    return outcome;
}

// One thread per target: a transaction is a fixed sequence of blocking steps
// (a one-second pause, a timed wait for the reply) on a serial control built
// for blocking use, so each target keeps the straight-line shape of the
// window's transactions, and a silent or slow module holds up only its own
// thread. Each serial control is created in the thread that uses it.
std::vector<Outcome> runAll(const Request& request, const QString& programFolder) {
    std::vector<Outcome> outcomes(request.targets.size());
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < request.targets.size(); ++i) {
        threads.emplace_back(QThread::create([&request, &programFolder, &outcomes, i] {
            outcomes[i] = runTarget(request, request.targets[i], programFolder);
        }));
        threads.back()->start();
    }
    for (const std::unique_ptr<QThread>& thread : threads) {
        thread->wait();
    }
    return outcomes;
}

} // namespace Cli
