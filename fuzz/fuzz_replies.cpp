// The reply decoders on whatever the module may send.
//
// Input: one ReplyMode byte, taken modulo 3 (so the characters '0', '1' and
// '2' stand for themselves), then the bytes as they arrive from the line. They
// go into a receive log the way the poller puts them there, a line feed after
// each carriage return, and the last carriage return decodes the log in that
// mode. Both decoders also read the bare bytes, whatever the mode, and every
// byte goes through the hex digit rule.

#include "fuzz/fuzzcheck.h"
#include "protocol/frames.h"
#include "protocol/receivelog.h"
#include "protocol/replies.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace {

constexpr qsizetype kClockFieldLength = 17;
// Fields of a clock reply: 1-based log positions 2, 5, ..., 17, two each.
constexpr qsizetype kClockFields = 6;
constexpr std::array<char, kClockFields - 1> kClockSeparators{'/', '/', ' ', ':', ':'};

// Up to length bytes from index from on, as many as exist.
QByteArrayView part(const QByteArray& bytes, qsizetype from, qsizetype length) {
    from = std::min(from, bytes.size());
    return QByteArrayView(bytes).sliced(from, std::min(length, bytes.size() - from));
}

void checkClock(const QByteArray& log) {
    const QByteArray text = Replies::clockText(log);
    FUZZ_CHECK(text.size() <= kClockFieldLength);

    // The fields that exist, in order, each followed by its fixed separator.
    qsizetype at = 0;
    for (qsizetype i = 0; i < kClockFields; ++i) {
        const qsizetype start = 1 + 3 * i;
        const qsizetype length = std::clamp<qsizetype>(log.size() - start, 0, 2);
        FUZZ_CHECK(part(text, at, length) == part(log, start, length));
        at += length;
        if (i + 1 < kClockFields) {
            FUZZ_CHECK(at < text.size() && text[at] == kClockSeparators[i]);
            ++at;
        }
    }
    FUZZ_CHECK(at == text.size());

    if (log.size() >= 18) {
        FUZZ_CHECK(text.size() == kClockFieldLength);
        FUZZ_CHECK(text[2] == '/' && text[5] == '/' && text[8] == ' ' && text[11] == ':' &&
                   text[14] == ':');
    }
}

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

void checkSchedule(const QByteArray& log) {
    const Replies::Schedule schedule = Replies::schedule(log);

    FUZZ_CHECK(schedule.rateDigit >= 0 && schedule.rateDigit <= 9);
    const bool rateGiven = log.size() >= 6 && isDecimalDigit(log[5]);
    FUZZ_CHECK(schedule.rateDigit == (rateGiven ? log[5] - '0' : 0));

    if (log.size() < 9) {
        FUZZ_CHECK(!schedule.onTime);
        return;
    }
    const int seconds = 16 * Replies::hexDigitValue(log[7]) + Replies::hexDigitValue(log[8]);
    const bool inRange = seconds >= 1 && seconds <= 240;
    FUZZ_CHECK(schedule.onTime.has_value() == inRange);
    if (schedule.onTime) {
        FUZZ_CHECK(*schedule.onTime == seconds);
    }
}

void checkHexDigit(char c) {
    const int value = Replies::hexDigitValue(c);
    const int code = static_cast<unsigned char>(c);
    FUZZ_CHECK(value >= -48 && value <= 255 - 55);
    if (c >= '0' && c <= '9') {
        FUZZ_CHECK(value == c - '0');
    } else if (c >= 'A' && c <= 'F') {
        FUZZ_CHECK(value == c - 'A' + 10);
    }
    // One step up in code is one step up in value, except past ':', where
    // the letters start over at 'A' = 10.
    if (code > 0 && code != 59) {
        FUZZ_CHECK(value == Replies::hexDigitValue(static_cast<char>(code - 1)) + 1);
    }
}

void decode(int replyMode, const QByteArray& log) {
    if (replyMode == 1) {
        checkClock(log);
    } else if (replyMode == 2) {
        checkSchedule(log);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int replyMode = data[0] % 3;
    const QByteArray received(reinterpret_cast<const char*>(data + 1),
                              static_cast<qsizetype>(size - 1));

    for (const char c : received) {
        checkHexDigit(c);
    }

    // The poller decodes the whole log at every carriage return. The last one
    // sees the most; what the earlier ones see are inputs of their own.
    const qsizetype lastCR = received.lastIndexOf(Frames::CR);
    if (lastCR >= 0) {
        QByteArray arrived;
        for (const char c : received.first(lastCR + 1)) {
            arrived += c;
            if (c == Frames::CR) {
                arrived += Frames::LF;
            }
        }
        ReceiveLog log;
        log.append(arrived);
        decode(replyMode, log.bytes());
    }

    checkClock(received);
    checkSchedule(received);
    return 0;
}
