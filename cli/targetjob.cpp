#include "cli/targetjob.h"

#include "cli/clocktime.h"
#include "cli/modulelink.h"
#include "cli/portfacts.h"
#include "cli/readings.h"
#include "protocol/frames.h"
#include "protocol/portcontrol.h"
#include "protocol/portname.h"

#include <QThread>

#include <map>
#include <memory>
#include <mutex>

namespace Cli {

namespace {

using namespace std::chrono_literals;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Head start for --from-pc: the wake byte goes out at least this long after
// the frame's second is chosen, so that the thread is sure to be awake to
// send it.
constexpr auto SendMargin = 20ms;
// A clock set is read back this long after it was sent: the first moment
// half-way through a second of the new clock that a new wake byte allows.
constexpr auto ReadBackAfter = 1500ms;

QString devicePath(const Target& target, const QString& programFolder) {
    return target.device.isEmpty() ? portDevicePath(target.port, programFolder) : target.device;
}

QString unreadable(const QByteArray& log) {
    return QStringLiteral("unreadable reply \"%1\"").arg(shownReply(log));
}

// A clock reading: the module's clock, and when the computer's clock showed
// what, as the read frame's CR left.
struct ClockReading {
    qint64 moduleMs = 0;
    SteadyClock::time_point readAt;
    qint64 drift = 0;
};

// Reads the clock with a frame that leaves at `frameAt`, or at once.
ClockReading readClock(const Request& request, ModuleLink& link,
                       SteadyClock::time_point frameAt = SteadyClock::time_point()) {
    link.wake(frameAt);
    const qint64 computerBefore = ClockTime::nowMs(request.utc);
    const SteadyClock::time_point before = SteadyClock::now();
    ClockReading reading;
    reading.readAt = link.send(Frames::clockRead(), frameAt);
    const qint64 computerMs =
        computerBefore + duration_cast<milliseconds>(reading.readAt - before).count();
    const QByteArray log = link.reply();
    const std::optional<qint64> moduleMs = Readings::clock(log);
    if (!moduleMs) {
        throw TargetError(unreadable(log));
    }
    reading.moduleMs = *moduleMs;
    reading.drift = ClockTime::wholeSeconds(*moduleMs) - ClockTime::wholeSeconds(computerMs);
    return reading;
}

QJsonObject clockValues(qint64 ms) {
    return QJsonObject{{"clock", QString::fromLatin1(ClockTime::text(ms))}};
}

void clockGet(const Request& request, ModuleLink& link, Outcome& outcome) {
    const ClockReading reading = readClock(request, link);
    outcome.drift = reading.drift;
    outcome.values = clockValues(reading.moduleMs);
    outcome.result = Outcome::Result::Ok;
}

void clockSet(const Request& request, ModuleLink& link, Outcome& outcome) {
    if (request.driftLimit) {
        const ClockReading first = readClock(request, link);
        outcome.drift = first.drift;
        if (std::abs(first.drift) <= *request.driftLimit) {
            outcome.values = clockValues(first.moduleMs);
            outcome.result = Outcome::Result::Kept;
            return;
        }
    }
    qint64 valueMs = 0;
    SteadyClock::time_point sendAt;
    if (request.fromPc) {
        // The second comes first: the earliest whole second that leaves room
        // for the wake byte's pause. The frame is timed so that its CR ends
        // as that second begins, and the wake byte goes exactly the pause
        // before the frame.
        const SteadyClock::time_point now = SteadyClock::now();
        const qint64 nowMs = ClockTime::nowMs(request.utc);
        const auto onWire = ModuleLink::wireTime(Frames::clockSet(ClockTime::text(nowMs)).size());
        const qint64 earliest =
            nowMs + duration_cast<milliseconds>(Frames::WakePause + SendMargin + onWire).count();
        valueMs = (ClockTime::wholeSeconds(earliest) + 1) * 1000;
        sendAt = now + milliseconds(valueMs - nowMs) - onWire;
    } else {
        valueMs = *ClockTime::parse(request.clockText);
    }
    link.wake(sendAt);
    const SteadyClock::time_point setAt =
        link.send(Frames::clockSet(ClockTime::text(valueMs)), sendAt);
    if (!request.verify) {
        outcome.values = clockValues(valueMs);
        link.finishSending();
        outcome.result = Outcome::Result::Sent;
        return;
    }
    // The module shows whole seconds: read half-way through one, it shows
    // the set time plus the time passed, unless it keeps another time.
    const auto halfway = SteadyClock::time_point(setAt + ReadBackAfter) -
                         ModuleLink::wireTime(Frames::clockRead().size());
    const ClockReading reading = readClock(request, link, halfway);
    if (!request.driftLimit) {
        outcome.drift = reading.drift;
    }
    const qint64 expectedMs = valueMs + duration_cast<milliseconds>(reading.readAt - setAt).count();
    const qint64 off =
        ClockTime::wholeSeconds(reading.moduleMs) - ClockTime::wholeSeconds(expectedMs);
    if (off != 0) {
        throw TargetError(QStringLiteral("read back %1 where %2 was expected (%3 s %4)")
                              .arg(QString::fromLatin1(ClockTime::text(reading.moduleMs)),
                                   QString::fromLatin1(ClockTime::text(expectedMs)))
                              .arg(std::abs(off))
                              .arg(off > 0 ? QStringLiteral("ahead") : QStringLiteral("behind")));
    }
    outcome.values = clockValues(reading.moduleMs);
    outcome.result = Outcome::Result::Ok;
}

QJsonObject scheduleValues(const Readings::Schedule& schedule) {
    return QJsonObject{{"rate", QLatin1String(Frames::RateTexts[schedule.rateIndex])},
                       {"rate_index", schedule.rateIndex},
                       {"on_time", schedule.onTime}};
}

QString scheduleText(const Readings::Schedule& schedule) {
    return QStringLiteral("\"%1\", %2 s")
        .arg(QLatin1String(Frames::RateTexts[schedule.rateIndex]))
        .arg(schedule.onTime);
}

Readings::Schedule readSchedule(ModuleLink& link) {
    link.wake();
    link.send(Frames::scheduleRead());
    const QByteArray log = link.reply();
    const std::optional<Readings::Schedule> schedule = Readings::schedule(log);
    if (!schedule) {
        throw TargetError(unreadable(log));
    }
    return *schedule;
}

void scheduleSet(const Request& request, ModuleLink& link, Outcome& outcome) {
    const Readings::Schedule wanted{request.rateIndex, request.onTime};
    link.wake();
    link.send(
        Frames::scheduleSet(Frames::rateCode(wanted.rateIndex), Frames::onTimeCode(wanted.onTime)));
    if (!request.verify) {
        outcome.values = scheduleValues(wanted);
        link.finishSending();
        outcome.result = Outcome::Result::Sent;
        return;
    }
    const Readings::Schedule read = readSchedule(link);
    if (read != wanted) {
        throw TargetError(QStringLiteral("read back %1, not %2 as set")
                              .arg(scheduleText(read), scheduleText(wanted)));
    }
    outcome.values = scheduleValues(read);
    outcome.result = Outcome::Result::Ok;
}

} // namespace

QString sameDevice(const std::vector<Target>& targets, const QString& programFolder) {
    std::map<QString, const Target*> seen;
    const auto spelling = [](const Target& t) {
        return t.device.isEmpty() ? QStringLiteral("COM%1").arg(t.port) : t.device;
    };
    for (const Target& target : targets) {
        const QString real = deviceKey(devicePath(target, programFolder));
        const auto [earlier, fresh] = seen.emplace(real, &target);
        if (!fresh) {
            return QStringLiteral("%1 and %2 are the same device, %3: give it once")
                .arg(spelling(*earlier->second), spelling(target), real);
        }
    }
    return {};
}

Outcome runTarget(const Request& request, const Target& target, const QString& programFolder,
                  Interruption& interruption) {
    Outcome outcome;
    outcome.device = devicePath(target, programFolder);
    PortControl comm(programFolder);
    ModuleLink link(comm, request.timeout, interruption);
    try {
        comm.setSettings(QString::fromLatin1(Frames::Settings));
        comm.setInputLen(0);
        if (target.device.isEmpty()) {
            comm.setCommPort(target.port);
        } else {
            comm.setDevicePath(target.device);
        }
        comm.setPortOpen(true);
        switch (request.command) {
        case Command::ClockGet:
            clockGet(request, link, outcome);
            break;
        case Command::ClockSet:
            clockSet(request, link, outcome);
            break;
        case Command::ScheduleGet:
            outcome.values = scheduleValues(readSchedule(link));
            outcome.result = Outcome::Result::Ok;
            break;
        case Command::ScheduleSet:
            scheduleSet(request, link, outcome);
            break;
        case Command::Ports:
            break;
        }
    } catch (const Interrupted&) {
        outcome.result = Outcome::Result::Interrupted;
    } catch (const std::exception& e) {
        outcome.result = Outcome::Result::Failed;
        outcome.error = QString::fromStdString(e.what());
    }
    // With --if-drift-over the command's frame is the set after the read.
    outcome.frameSent = link.framesSent() >= (request.driftLimit ? 2 : 1);
    if (outcome.result == Outcome::Result::Interrupted) {
        outcome.error = outcome.frameSent ? QStringLiteral("interrupted after its frame was sent")
                                          : QStringLiteral("interrupted before its frame was sent");
    }
    if (!outcome.succeeded()) {
        outcome.values = {};
    }
    return outcome;
}

// One thread per target: a transaction is a fixed sequence of blocking steps
// (a one-second pause, a timed wait for the reply) on a serial control built
// for blocking use, so each target keeps the straight-line shape of the
// window's transactions, and a silent or slow module holds up only its own
// thread. Each serial control is created in the thread that uses it.
std::vector<Outcome> runAll(const Request& request, const QString& programFolder,
                            Interruption& interruption,
                            const std::function<void(std::size_t, const Outcome&)>& finished) {
    std::vector<Outcome> outcomes(request.targets.size());
    std::mutex reporting;
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < request.targets.size(); ++i) {
        threads.emplace_back(QThread::create([&, i] {
            Outcome outcome = runTarget(request, request.targets[i], programFolder, interruption);
            const std::lock_guard lock(reporting);
            outcomes[i] = std::move(outcome);
            finished(i, outcomes[i]);
        }));
        threads.back()->start();
    }
    for (const std::unique_ptr<QThread>& thread : threads) {
        thread->wait();
    }
    return outcomes;
}

} // namespace Cli
