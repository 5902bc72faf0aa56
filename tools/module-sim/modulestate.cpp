#include "modulestate.h"

#include <QDate>
#include <QTime>

#include <cmath>
#include <utility>

namespace ModuleSim {

namespace {

constexpr char CarriageReturn = '\r';

QDateTime wallDateTime(qint64 wallMs) {
    return QDateTime::fromMSecsSinceEpoch(wallMs, Qt::UTC);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int twoDigits(QByteArrayView text, qsizetype at) {
    return (text[at] - '0') * 10 + text[at + 1] - '0';
}

// Value of one upper-case hexadecimal digit, -1 for anything else.
int upperHexDigit(char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

QString tooSoonReason(Nanos sinceWake) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceWake).count();
    return QStringLiteral("too soon after wake byte (%1.%2 s)")
        .arg(ms / 1000)
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

qint64 localWallMs() {
    const QDateTime local = QDateTime::currentDateTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).toMSecsSinceEpoch();
}

QString formatClock(qint64 wallMs) {
    return wallDateTime(wallMs).toString(QStringLiteral("yy/MM/dd HH:mm:ss"));
}

std::optional<qint64> parseClock(QByteArrayView text) {
    static constexpr char layout[] = "00/00/00 00:00:00";
    if (text.size() != qsizetype(sizeof layout) - 1) {
        return std::nullopt;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool matches = layout[i] == '0' ? isDigit(text[i]) : text[i] == layout[i];
        if (!matches) {
            return std::nullopt;
        }
    }
    const QDate date(2000 + twoDigits(text, 0), twoDigits(text, 3), twoDigits(text, 6));
    const QTime time(twoDigits(text, 9), twoDigits(text, 12), twoDigits(text, 15));
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
}

ModuleClock::ModuleClock(qint64 startWallMs, Nanos now, bool frozen, double driftPpm)
    : frozen_(frozen), driftPpm_(driftPpm) {
    set(startWallMs, now);
}

void ModuleClock::set(qint64 valueWallMs, Nanos now) {
    heldMs_ = valueWallMs;
    setAt_ = now;
}

qint64 ModuleClock::read(Nanos now) const {
    if (frozen_) {
        return heldMs_;
    }
    const double passedMs = std::chrono::duration<double, std::milli>(now - setAt_).count();
    return heldMs_ + qint64(std::floor(passedMs * (1 + driftPpm_ / 1e6)));
}

QByteArray clockReply(qint64 clockWallMs) {
    return 'T' + formatClock(clockWallMs).toLatin1() + CarriageReturn;
}

QByteArray scheduleReply(const Schedule& schedule) {
    return "SLOTS" + QByteArray::number(schedule.rate) + ',' +
           QByteArray::number(schedule.onTime, 16).toUpper().rightJustified(2, '0') +
           CarriageReturn;
}

ModuleState::ModuleState(const Behaviour& behaviour, const ModuleClock& clock,
                         const Schedule& schedule)
    : behaviour_(behaviour), clock_(clock), schedule_(schedule), random_(behaviour.seed) {}

Reaction ModuleState::receive(QByteArrayView bytes, Nanos now, qint64 localNowMs) {
    Reaction reaction;
    for (const char byte : bytes) {
        if (byte == WakeByte) {
            if (!frame_.isEmpty()) {
                reaction.events.append(QJsonObject{
                    {"event", "ignored"},
                    {"reason", ignoreReason_.isEmpty() ? QStringLiteral("cut off by wake byte")
                                                       : ignoreReason_},
                    {"text", QString::fromLatin1(frame_)}});
                frame_.clear();
            }
            awake_ = true;
            wokeAt_ = now;
            continue;
        }
        if (frame_.isEmpty()) {
            if (!awake_) {
                ignoreReason_ = QStringLiteral("no wake byte");
            } else if (now - wokeAt_ < ListenDelay) {
                ignoreReason_ = tooSoonReason(now - wokeAt_);
            } else {
                ignoreReason_.clear();
            }
        }
        frame_.append(byte);
        if (byte == CarriageReturn) {
            endFrame(reaction, Moment{now, localNowMs});
        }
    }
    return reaction;
}

void ModuleState::endFrame(Reaction& reaction, const Moment& at) {
    const QByteArray frame = std::exchange(frame_, {});
    awake_ = false;
    const QString text = QString::fromLatin1(frame);
    if (!ignoreReason_.isEmpty()) {
        reaction.events.append(
            QJsonObject{{"event", "ignored"}, {"reason", ignoreReason_}, {"text", text}});
        return;
    }

    const qsizetype frameEventAt = reaction.events.size();
    const Answer answer = handleFrame(QByteArrayView(frame).chopped(1), reaction, at);
    reaction.events.insert(frameEventAt, QJsonObject{{"event", "frame"},
                                                     {"text", text},
                                                     {"accepted", answer.accepted},
                                                     {"reason", answer.reason}});

    if (behaviour_.floodSize > 0) {
        for (int i = 0; i < behaviour_.floodSize; ++i) {
            reaction.send.append(static_cast<char>(random_() & 0xFFU));
        }
    } else if (!answer.reply.isEmpty()) {
        reaction.send.append(disturb(answer.reply, answer.scheduleReply));
    }
}

ModuleState::Answer ModuleState::handleFrame(QByteArrayView frame, Reaction& reaction,
                                             const Moment& at) {
    if (frame == "H") {
        return {true, QStringLiteral("clock read"), clockReply(clock_.read(at.steady))};
    }
    if (frame == "B00") {
        return {true, QStringLiteral("schedule read"), scheduleReply(schedule_), true};
    }
    if (frame.startsWith('h')) {
        return setClock(frame.sliced(1), reaction, at);
    }
    if (frame.startsWith('f')) {
        return setSchedule(frame.sliced(1), reaction);
    }
    return {false, QStringLiteral("unknown command"), acknowledgement(false)};
}

ModuleState::Answer ModuleState::setClock(QByteArrayView text, Reaction& reaction,
                                          const Moment& at) {
    const std::optional<qint64> value = parseClock(text);
    if (!value) {
        return {false, QStringLiteral("bad clock text"), acknowledgement(false)};
    }
    if (behaviour_.fault == Fault::IgnoreClockSet) {
        return {true, QStringLiteral("clock set"), acknowledgement(true)};
    }
    const qint64 stored = *value + behaviour_.setErrorMs;
    clock_.set(stored, at.steady);
    // How far the new clock is from the computer's at the moment the frame
    // ended: the figure a precise clock set is judged by.
    reaction.events.append(QJsonObject{{"event", "clock"},
                                       {"value", formatClock(stored)},
                                       {"ahead", double(stored - at.localWallMs) / 1000.0}});
    return {true, QStringLiteral("clock set"), acknowledgement(true)};
}

ModuleState::Answer ModuleState::setSchedule(QByteArrayView codes, Reaction& reaction) {
    const Answer refused{false, QStringLiteral("bad schedule codes"), acknowledgement(false)};
    if (codes.size() != 4 || codes[0] != '0' || codes[1] < '0' || codes[1] > '6') {
        return refused;
    }
    const int high = upperHexDigit(codes[2]);
    const int low = upperHexDigit(codes[3]);
    const int onTime = high * 16 + low;
    if (high < 0 || low < 0 || onTime < 1 || onTime > 240) {
        return refused;
    }
    // The fault stores the next on-time (240 wraps to 1) and still says OK.
    const int stored = behaviour_.fault == Fault::OtherOnTime ? onTime % 240 + 1 : onTime;
    schedule_ = {codes[1] - '0', stored};
    reaction.events.append(
        QJsonObject{{"event", "schedule"}, {"rate", schedule_.rate}, {"on_time", stored}});
    return {true, QStringLiteral("schedule set"), acknowledgement(true)};
}

QByteArray ModuleState::acknowledgement(bool accepted) const {
    if (!behaviour_.ack) {
        return {};
    }
    return accepted ? QByteArray("OK\r") : QByteArray("NAK\r");
}

QByteArray ModuleState::disturb(QByteArray reply, bool scheduleReply) {
    switch (behaviour_.fault) {
    case Fault::None:
        break;
    case Fault::Silent:
        return {};
    case Fault::Garbage:
        for (qsizetype i = 0; i + 1 < reply.size(); ++i) {
            reply[i] = static_cast<char>(' ' + random_() % 95U);
        }
        break;
    case Fault::Lowercase:
        if (scheduleReply) {
            // Only the on-time digits: "SLOTS3,AB" becomes "SLOTS3,ab".
            reply.replace(7, 2, reply.mid(7, 2).toLower());
        }
        break;
    case Fault::NoCr:
        reply.chop(1);
        break;
    case Fault::Control:
        // A NUL, then "cursor up" and "reset" for a terminal that shows it.
        reply.prepend(QByteArray("\0\x1bM\x1b"
                                 "c",
                                 5));
        break;
    case Fault::IgnoreClockSet:
    case Fault::OtherOnTime:
        break;
    }
    return reply;
}

} // namespace ModuleSim
