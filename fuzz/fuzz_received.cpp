// The bytes that come in from the module, through the receive log and the
// reply decoders, handled as the receive poller handles them: each byte is
// appended as it comes, a line feed after each carriage return, and at every
// carriage return the log is decoded both as a clock and as a schedule reply.
//
// Input: a byte n, then the bytes of the line. The line arrives byte by byte,
// then over and over as one block of 257 * n bytes (for n = 255 one byte short
// of the log's capacity), then byte by byte once more, so that a short input
// can fill the log. It must then hold exactly the first bytes that arrived.

#include "fuzz/fuzzcheck.h"
#include "protocol/frames.h"
#include "protocol/receivelog.h"
#include "protocol/replies.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

bool isUpperHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// From 18 bytes on, the six two-character fields at 1-based positions 2, 5,
// ..., 17 with the fixed separators between them.
void checkClock(const QByteArray& log) {
    const QByteArray text = Replies::clockText(log);
    FUZZ_CHECK(text.size() <= 17);
    for (qsizetype i = 0; log.size() >= 18 && i < 6; ++i) {
        FUZZ_CHECK(text.mid(3 * i, 2) == log.mid(1 + 3 * i, 2));
        FUZZ_CHECK(i == 5 || text[3 * i + 2] == "// ::"[i]);
    }
}

void checkSchedule(const QByteArray& log) {
    const Replies::Schedule schedule = Replies::schedule(log);
    const char rate = log.size() > 5 ? log[5] : ' ';
    FUZZ_CHECK(schedule.rateDigit == (rate >= '0' && rate <= '9' ? rate - '0' : 0));
    FUZZ_CHECK(!schedule.onTime || (*schedule.onTime >= 1 && *schedule.onTime <= 240));
    FUZZ_CHECK(log.size() >= 9 || !schedule.onTime);
    if (log.size() >= 9 && isUpperHexDigit(log[7]) && isUpperHexDigit(log[8])) {
        const int seconds = log.mid(7, 2).toInt(nullptr, 16);
        const bool inRange = seconds >= 1 && seconds <= 240;
        FUZZ_CHECK(schedule.onTime == (inRange ? std::optional(seconds) : std::nullopt));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const QByteArray line(reinterpret_cast<const char*>(data + 1),
                          static_cast<qsizetype>(size - 1));
    ReceiveLog log;
    QByteArray arrived;
    const auto arrive = [&](const QByteArray& bytes) {
        const qsizetype room = ReceiveLog::Capacity - log.bytes().size();
        FUZZ_CHECK(log.append(bytes) == bytes.left(room));
        arrived += bytes;
    };
    const auto byteByByte = [&] {
        for (const char c : line) {
            arrive(c == Frames::CR ? QByteArray{Frames::CR, Frames::LF} : QByteArray(1, c));
            if (c == Frames::CR) {
                checkClock(log.bytes());
                checkSchedule(log.bytes());
            }
        }
    };
    byteByByte();
    const qsizetype block = 257 * data[0];
    arrive(line.repeated(block / line.size() + 1).left(block));
    byteByByte();
    FUZZ_CHECK(log.bytes() == arrived.left(ReceiveLog::Capacity));
    return 0;
}
