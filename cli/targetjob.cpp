#include "cli/targetjob.h"

#include "cli/clocktime.h"
#include "cli/modulelink.h"
#include "cli/portfacts.h"
#include "cli/readings.h"
#include "protocol/frames.h"
#include "protocol/portcontrol.h"
#include "protocol/portname.h"

#include <QFileInfo>
#include <QThread>

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

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
// A set from the computer's clock must not straddle a change of the local
// offset: from choosing its second to its read-back, and this long after.
constexpr auto OffsetSteadyFor = 1000ms;
// After a change of the local offset, the set waits this much more.
constexpr auto AfterOffsetChange = 50ms;
// --if-drift-over below this finds the module's second edge to the
// hundredth; from it on, whole seconds tell enough.
constexpr qint64 PreciseBelowSeconds = 5;
// A precise reading ends once the module's offset is known within this
// span, or after so many reads.
constexpr double PreciseSpanMs = 20;
// The module reads its clock when a frame's CR reaches it, which may be this
// much later than the CR left (its own latency, a busy line or machine): a
// reading allows its offset that much lower.
constexpr double ReadLatencyMs = 8;
constexpr int MaxPreciseReads = 10;

const QString NotSynchronised = QStringLiteral("the computer's clock is not synchronised");

QString devicePath(const Target& target, const QString& programFolder) {
    return target.device.isEmpty() ? portDevicePath(target.port, programFolder) : target.device;
}

QString unreadable(const QByteArray& log) {
    return QStringLiteral("unreadable reply \"%1\"").arg(shownReply(log));
}

// A clock reading: the second the module's clock showed, and the computer's
// wall time and the steady clock as the read frame's CR left.
struct ClockReading {
    qint64 moduleMs = 0;
    qint64 computerMs = 0;
    int utcOffset = 0;
    SteadyClock::time_point readAt;
};

// Reads the clock with a frame that leaves at `frameAt`, or at once.
ClockReading readClock(const Request& request, ModuleLink& link,
                       SteadyClock::time_point frameAt = SteadyClock::time_point()) {
    link.wake(frameAt);
    const qint64 utcBefore = ClockTime::nowUtcMs();
    const SteadyClock::time_point before = SteadyClock::now();
    ClockReading reading;
    reading.readAt = link.send(Frames::clockRead(), frameAt);
    const qint64 utcMs = utcBefore + duration_cast<milliseconds>(reading.readAt - before).count();
    reading.computerMs = ClockTime::wallMs(utcMs, request.utc);
    reading.utcOffset = ClockTime::utcOffset(utcMs, request.utc);
    const QByteArray log = link.reply();
    const std::optional<qint64> moduleMs = Readings::clock(log);
    if (!moduleMs) {
        throw TargetError(unreadable(log));
    }
    reading.moduleMs = *moduleMs;
    return reading;
}

// The module's clock less the computer's, in whole seconds as the two
// clocks showed them: within a second of the truth.
Drift wholeDrift(const ClockReading& reading) {
    return Drift{double(ClockTime::wholeSeconds(reading.moduleMs) -
                        ClockTime::wholeSeconds(reading.computerMs)),
                 1.0};
}

// Where the module's second begins, found by reading its clock again and
// again. Each reading tells that the module's offset from the computer's
// clock lies within the second that ends where the module's shown second
// ends; the next read is timed so that the middle of what is still possible
// falls on the module's second edge, which halves it.
Drift preciseDrift(const Request& request, ModuleLink& link, ClockReading& last) {
    last = readClock(request, link);
    double high = double(last.moduleMs - last.computerMs) + 1000;
    double low = high - 1000 - ReadLatencyMs;
    for (int reads = 1; high - low > PreciseSpanMs && reads < MaxPreciseReads; ++reads) {
        const double middle = (low + high) / 2;
        const SteadyClock::time_point now = SteadyClock::now();
        const qint64 computerNow = ClockTime::wallMs(ClockTime::nowUtcMs(), request.utc);
        const double earliest =
            double(computerNow) +
            double(duration_cast<milliseconds>(Frames::WakePause + SendMargin).count()) + middle;
        const double frameComputerMs = std::ceil(earliest / 1000) * 1000 - middle;
        const auto frameAt =
            now +
            duration_cast<SteadyClock::duration>(
                std::chrono::duration<double, std::milli>(frameComputerMs - double(computerNow))) -
            ModuleLink::wireTime(Frames::clockRead().size());
        last = readClock(request, link, frameAt);
        const double shownHigh = double(last.moduleMs - last.computerMs) + 1000;
        const double shownLow = shownHigh - 1000 - ReadLatencyMs;
        if (shownHigh <= low || shownLow >= high) {
            // The readings disagree (the computer's clock or the module's
            // jumped): start again from this one.
            low = shownLow;
            high = shownHigh;
        } else {
            low = std::max(low, shownLow);
            high = std::min(high, shownHigh);
        }
    }
    return Drift{std::round((low + high) / 2) / 1000, std::ceil((high - low) / 2) / 1000};
}

QJsonObject clockValues(qint64 ms) {
    return QJsonObject{{"clock", QString::fromLatin1(ClockTime::text(ms))}};
}

void clockGet(const Request& request, ModuleLink& link, Outcome& outcome) {
    ClockReading reading;
    outcome.drift = request.precise ? preciseDrift(request, link, reading)
                                    : wholeDrift(reading = readClock(request, link));
    outcome.utcOffset = reading.utcOffset;
    outcome.values = clockValues(reading.moduleMs);
    outcome.result = Outcome::Result::Ok;
}

// Whether a clock off by `drift` stays: within the limit, or not known to be
// beyond it.
bool withinLimit(const Drift& drift, qint64 limit) {
    const double off = std::abs(drift.seconds);
    return limit < PreciseBelowSeconds ? off - drift.precision <= double(limit)
                                       : off <= double(limit);
}

// The instant a set from the computer's clock names: the earliest whole
// second that leaves room for the wake byte's pause, chosen so that no change
// of the local offset falls between now and its read-back. Returns the
// instant, and the steady clock's time for it.
std::pair<qint64, SteadyClock::time_point> chooseSecond(const Request& request,
                                                        Interruption& interruption, qint64 onWireMs,
                                                        Outcome& outcome) {
    for (;;) {
        const SteadyClock::time_point now = SteadyClock::now();
        const qint64 nowMs = ClockTime::nowUtcMs();
        const qint64 earliest =
            nowMs + duration_cast<milliseconds>(Frames::WakePause + SendMargin).count() + onWireMs;
        const qint64 valueMs = (earliest / 1000 + 1) * 1000;
        const std::optional<qint64> change = ClockTime::offsetChange(
            nowMs, valueMs + duration_cast<milliseconds>(ReadBackAfter + OffsetSteadyFor).count(),
            request.utc);
        if (!change) {
            return {valueMs, now + milliseconds(valueMs - nowMs)};
        }
        const QString note =
            QStringLiteral("waited for the local time's change at %1")
                .arg(QString::fromLatin1(ClockTime::text(ClockTime::wallMs(*change, request.utc))));
        if (!outcome.warnings.contains(note)) {
            outcome.warnings << note;
        }
        interruption.sleepUntil(now + milliseconds(*change - nowMs) + AfterOffsetChange);
    }
}

void clockSet(const Request& request, ModuleLink& link, Interruption& interruption,
              Outcome& outcome) {
    if (request.driftLimit) {
        link.setReadingAhead(true);
        ClockReading first;
        outcome.drift = *request.driftLimit < PreciseBelowSeconds
                            ? preciseDrift(request, link, first)
                            : wholeDrift(first = readClock(request, link));
        if (withinLimit(*outcome.drift, *request.driftLimit)) {
            outcome.utcOffset = first.utcOffset;
            outcome.values = clockValues(first.moduleMs);
            outcome.result = Outcome::Result::Kept;
            return;
        }
    }
    link.setReadingAhead(false);
    qint64 valueMs = 0;
    SteadyClock::time_point sendAt;
    if (request.fromPc) {
        // The second comes first; the frame is timed so that its CR ends as
        // that second begins, and the wake byte goes exactly the pause
        // before the frame. The text is the local time at that instant.
        const auto onWire = ModuleLink::wireTime(Frames::clockSet(ClockTime::text(0)).size());
        const auto [instant, at] = chooseSecond(
            request, interruption, duration_cast<milliseconds>(onWire).count() + 1, outcome);
        valueMs = ClockTime::wallMs(instant, request.utc);
        outcome.utcOffset = ClockTime::utcOffset(instant, request.utc);
        sendAt = at - onWire;
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
        outcome.drift = wholeDrift(reading);
    }
    outcome.utcOffset = reading.utcOffset;
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
    // How the operator named a target: its label and its port or device.
    const auto spelling = [](const Target& t) {
        const QString where = t.device.isEmpty() ? QStringLiteral("COM%1").arg(t.port) : t.device;
        return printable(t.label.isEmpty() ? where
                                           : QStringLiteral("\"%1\" (%2)").arg(t.label, where));
    };
    for (const Target& target : targets) {
        const QString real = deviceKey(devicePath(target, programFolder));
        const auto [earlier, fresh] = seen.emplace(real, &target);
        if (!fresh) {
            return QStringLiteral("%1 and %2 are the same device, %3: give it once")
                .arg(spelling(*earlier->second), spelling(target), printable(real));
        }
    }
    return {};
}

std::pair<QString, QString> targetDevice(const Target& target, const QString& programFolder) {
    const QString path = devicePath(target, programFolder);
    const QFileInfo pathInfo(path);
    if (!pathInfo.isSymLink()) {
        return {path, QString()};
    }
    const QString device = pathInfo.canonicalFilePath();
    return {device.isEmpty() ? pathInfo.symLinkTarget() : device, path};
}

Outcome runTarget(const Request& request, const Target& target, const QString& programFolder,
                  Interruption& interruption) {
    Outcome outcome;
    std::tie(outcome.device, outcome.link) = targetDevice(target, programFolder);
    PortControl comm(programFolder);
    ModuleLink link(comm, request.timeout, interruption);
    try {
        // Where the system cannot tell (Windows), only --require-synced
        // minds.
        if (request.fromPc && request.pcSynchronised == false) {
            if (request.requireSynced) {
                throw TargetError(NotSynchronised);
            }
            outcome.warnings << NotSynchronised;
        } else if (request.fromPc && request.requireSynced && !request.pcSynchronised) {
            throw TargetError(QStringLiteral("whether the computer's clock is synchronised "
                                             "cannot be told"));
        }
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
            clockSet(request, link, interruption, outcome);
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
    outcome.frameSent = link.commandFrameSent();
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
