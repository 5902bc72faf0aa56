// The command frames for any field contents.
//
// Input: byte 0 picks the rate index (-1 to 6), byte 1 the on-time (1 to 240),
// bytes 2 to 9 give two arbitrary ints (little-endian) for the code builders,
// and the rest is the clock text, which goes out unchecked whatever it holds.

#include "fuzz/fuzzcheck.h"
#include "protocol/frames.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kHeaderSize = 10;

bool isUpperHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int upperHexValue(const QByteArray& code) {
    int value = 0;
    for (const char c : code) {
        FUZZ_CHECK(isUpperHexDigit(c));
        value = 16 * value + (c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return value;
}

int readInt(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    int result = 0;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

// What any int makes of the codes: upper case throughout, and always a
// complete frame.
void checkAnyInts(int rate, int seconds) {
    const QByteArray rateCode = Frames::rateCode(rate);
    const QByteArray onTimeCode = Frames::onTimeCode(seconds);
    for (const char c : rateCode + onTimeCode) {
        FUZZ_CHECK(isUpperHexDigit(c) || c == '-');
    }
    FUZZ_CHECK(rateCode.startsWith('0'));
    FUZZ_CHECK(onTimeCode.size() == 2);
    if (rate >= 0 && rate <= 15) {
        FUZZ_CHECK(rateCode.size() == 2 && upperHexValue(rateCode) == rate);
    }
    if (seconds >= 0) {
        FUZZ_CHECK(upperHexValue(onTimeCode) == seconds % 256);
    }
    const QByteArray frame = Frames::scheduleSet(rateCode, onTimeCode);
    FUZZ_CHECK(frame == 'f' + rateCode + onTimeCode + Frames::CR);
}

void checkSchedule(int rateIndex, int seconds) {
    const QByteArray rateCode = Frames::rateCode(rateIndex);
    const QByteArray onTimeCode = Frames::onTimeCode(seconds);
    FUZZ_CHECK(rateCode.size() == 2 && upperHexValue(rateCode) == std::max(rateIndex, 0));
    FUZZ_CHECK(onTimeCode.size() == 2 && upperHexValue(onTimeCode) == seconds);

    const QByteArray frame = Frames::scheduleSet(rateCode, onTimeCode);
    FUZZ_CHECK(frame.size() == 6);
    FUZZ_CHECK(frame[0] == 'f' && frame.mid(1, 2) == rateCode && frame.mid(3, 2) == onTimeCode);
    FUZZ_CHECK(frame.endsWith(Frames::CR));
}

void checkClockSet(const QByteArray& clockText) {
    const QByteArray frame = Frames::clockSet(clockText);
    FUZZ_CHECK(frame.size() == clockText.size() + 2);
    FUZZ_CHECK(frame.startsWith('h') && frame.mid(1, clockText.size()) == clockText);
    FUZZ_CHECK(frame.endsWith(Frames::CR));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderSize) {
        return 0;
    }
    const int rateIndex = data[0] % 8 - 1;
    const int seconds = data[1] % 240 + 1;
    checkSchedule(rateIndex, seconds);
    checkAnyInts(readInt(data + 2), readInt(data + 6));
    checkClockSet(QByteArray(reinterpret_cast<const char*>(data + kHeaderSize),
                             static_cast<qsizetype>(size - kHeaderSize)));

    FUZZ_CHECK(Frames::wake() == QByteArray(1, '\x80'));
    FUZZ_CHECK(Frames::clockRead() == QByteArray("H\r"));
    FUZZ_CHECK(Frames::scheduleRead() == QByteArray("B00\r"));
    return 0;
}
