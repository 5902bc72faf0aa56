// The receive log under any sequence of appends and clears.
//
// Input: a list of operations, each chosen by one byte modulo 4:
//   0 ('d')  clear;
//   1 ('a')  append the bytes that follow: one length byte, then that many;
//   2 ('b')  append a block: two bytes give half its size (little-endian, so
//            up to 128 KiB, past the cap in one go), a third the fill byte;
//   3 ('c')  append nothing.
// A plain byte array that keeps the first Capacity bytes since the last clear
// stands beside it; the log must hold exactly those bytes at every step.

#include "fuzz/fuzzcheck.h"
#include "protocol/receivelog.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return at_ == size_; }
    // The next byte, or 0 past the end.
    std::uint8_t byte() { return atEnd() ? 0 : data_[at_++]; }
    // Up to count of the next bytes.
    QByteArray bytes(std::size_t count) {
        count = std::min(count, size_ - at_);
        const QByteArray result(reinterpret_cast<const char*>(data_ + at_),
                                static_cast<qsizetype>(count));
        at_ += count;
        return result;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

QByteArray nextAppend(std::uint8_t operation, Reader& input) {
    switch (operation % 4) {
    case 1:
        return input.bytes(input.byte());
    case 2: {
        const int halfSize = input.byte() | input.byte() << 8;
        return QByteArray(2 * halfSize, static_cast<char>(input.byte()));
    }
    default:
        return {};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader input(data, size);
    ReceiveLog log;
    QByteArray expected;

    while (!input.atEnd()) {
        const std::uint8_t operation = input.byte();
        if (operation % 4 == 0) {
            log.clear();
            expected.clear();
        } else {
            const QByteArray bytes = nextAppend(operation, input);
            const QByteArray kept = log.append(bytes);
            const qsizetype room = ReceiveLog::Capacity - expected.size();
            FUZZ_CHECK(kept.size() == std::min(room, bytes.size()) && bytes.startsWith(kept));
            expected += kept;
        }
        FUZZ_CHECK(log.bytes().size() <= ReceiveLog::Capacity);
        FUZZ_CHECK(log.bytes() == expected);
    }
    return 0;
}
