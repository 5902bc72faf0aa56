#include "cli/modulelink.h"

#include "protocol/frames.h"
#include "protocol/lineformat.h"
#include "protocol/receivelog.h"

namespace {

using namespace std::chrono_literals;

// How often the receive buffer is looked at while a reply is awaited.
constexpr auto PollInterval = 5ms;
// How much of an incomplete reply a message shows.
constexpr qsizetype MaxShown = 64;

double bitsPerCharacter(const LineFormat& line) {
    const double stop = line.stopBits == LineFormat::OneStop          ? 1.0
                        : line.stopBits == LineFormat::OneAndHalfStop ? 1.5
                                                                      : 2.0;
    const double parity = line.parity == LineFormat::NoParity ? 0.0 : 1.0;
    return 1.0 + static_cast<double>(line.dataBits) + parity + stop;
}

} // namespace

void Interruption::sleepUntil(SteadyClock::time_point end) {
    std::unique_lock lock(mutex_);
    if (raised_.wait_until(lock, end, [this] { return isRaised_; })) {
        throw Interrupted();
    }
}

void Interruption::raise() {
    const std::lock_guard lock(mutex_);
    isRaised_ = true;
    raised_.notify_all();
}

ModuleLink::ModuleLink(CommControl& comm, std::chrono::milliseconds replyTimeout,
                       Interruption& interruption)
    : comm_(comm), replyTimeout_(replyTimeout), interruption_(interruption) {
    comm_.setLostHandler([this](const QString& reason, CommError::Kind) { lost_ = reason; });
}

ModuleLink::~ModuleLink() {
    comm_.setLostHandler({});
}

void ModuleLink::wake(SteadyClock::time_point frameAt) {
    interruption_.sleepUntil(frameAt - Frames::WakePause);
    comm_.Output(Frames::wake());
    checkOpen();
    interruption_.sleepUntil(SteadyClock::now() + Frames::WakePause);
}

SteadyClock::time_point ModuleLink::send(const QByteArray& frame, SteadyClock::time_point when) {
    interruption_.sleepUntil(when);
    discardArrivals();
    const SteadyClock::time_point start = SteadyClock::now();
    comm_.Output(frame);
    checkOpen();
    commandFrames_ += readingAhead_ ? 0 : 1;
    lastSent_ = start + wireTime(frame.size());
    return lastSent_;
}

QByteArray ModuleLink::reply() {
    ReceiveLog log;
    const SteadyClock::time_point deadline = SteadyClock::now() + replyTimeout_;
    for (;;) {
        // Asked first: a device that has gone away closes the port here.
        const int waiting = comm_.InBufferCount();
        checkOpen();
        if (waiting > 0) {
            const QByteArray bytes = comm_.Input();
            const qsizetype end = bytes.indexOf(Frames::CR);
            if (end >= 0) {
                log.append(bytes.left(end + 1) + Frames::LF);
                return log.bytes();
            }
            log.append(bytes);
        } else if (SteadyClock::now() >= deadline) {
            const QByteArray partial = log.bytes();
            if (!partial.isEmpty()) {
                throw TargetError(
                    QStringLiteral("incomplete reply \"%1\" (%2 bytes, no carriage return)")
                        .arg(printable(QString::fromLatin1(partial.left(MaxShown))))
                        .arg(partial.size()));
            }
            throw TargetError(QStringLiteral("no reply within %1 s")
                                  .arg(std::chrono::duration<double>(replyTimeout_).count()));
        } else {
            interruption_.sleepUntil(SteadyClock::now() + PollInterval);
        }
    }
}

void ModuleLink::finishSending() {
    interruption_.sleepUntil(lastSent_);
}

std::chrono::microseconds ModuleLink::wireTime(qsizetype bytes) {
    static const LineFormat line = parseLineFormat(QString::fromLatin1(Frames::Settings));
    const double seconds =
        static_cast<double>(bytes) * bitsPerCharacter(line) / static_cast<double>(line.baudRate);
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::duration<double>(seconds));
}

void ModuleLink::checkOpen() const {
    if (!comm_.PortOpen()) {
        throw TargetError(lost_.isEmpty() ? QStringLiteral("the port closed") : lost_);
    }
}

void ModuleLink::discardArrivals() {
    while (comm_.InBufferCount() > 0) {
        comm_.Input();
    }
}

QString printable(QString text) {
    for (QChar& c : text) {
        if (!c.isPrint()) {
            c = u'?';
        }
    }
    return text;
}

QString shownReply(const QByteArray& log) {
    return printable(QString::fromLatin1(log.left(log.indexOf(Frames::CR))));
}
