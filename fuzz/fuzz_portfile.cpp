// Reading the port number file, whatever it holds.
//
// Input: the file's bytes; the first 64 of a longer input are used. They are
// written as "COM-BAUD.txt" into a program folder of the fuzzer's own, and
// read back as the program does at start-up. The port is always 1 to 9, the
// first byte as a digit where it is one, and reading never changes the file.
// The same bytes also go to the record rule directly.

#include "config/declarations.h"
#include "config/portfile.h"
#include "fuzz/fuzzcheck.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t kMaxFileSize = 64;

// Removed with its contents when the fuzzer ends normally.
QTemporaryDir* folder = nullptr;

// The port a record names: its first byte when that is a digit 1 to 9,
// otherwise 1; nothing at all is port 1 too.
int expectedPort(const QByteArray& bytes) {
    const char first = bytes.isEmpty() ? '\0' : bytes[0];
    return first >= '1' && first <= '9' ? first - '0' : 1;
}

QByteArray fileBytes() {
    QFile file(portFilePath());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

void writeFile(const QByteArray& bytes) {
    QFile file(portFilePath());
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a program folder: %s\n", qPrintable(dir.errorString()));
        return 1;
    }
    folder = &dir;
    setProgramFolder(folder->path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data),
                           static_cast<qsizetype>(std::min(size, kMaxFileSize)));

    const int direct = portFromRecord(bytes);
    FUZZ_CHECK(direct >= 1 && direct <= 9);
    FUZZ_CHECK(direct == expectedPort(bytes));

    writeFile(bytes);
    Declarations::reset();
    const int port = readPortFile();
    FUZZ_CHECK(port >= 1 && port <= 9);
    FUZZ_CHECK(port == expectedPort(bytes));
    FUZZ_CHECK(fileBytes() == bytes);

    // The record buffer holds what the file's first record has, blanks after
    // a short one; an empty file leaves it as it was at start.
    const QByteArray record(Declarations::ComRecord.data(), PortRecordSize);
    if (bytes.isEmpty()) {
        FUZZ_CHECK(record == QByteArray(PortRecordSize, '\0'));
    } else {
        const QByteArray head = bytes.left(PortRecordSize);
        FUZZ_CHECK(record == head + QByteArray(PortRecordSize - head.size(), ' '));
    }
    return 0;
}
