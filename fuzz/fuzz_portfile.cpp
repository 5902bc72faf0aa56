// The port number file, whatever bytes it holds, read as at start-up.
//
// Input: the file's bytes, the first 64 of them, written as the port number
// file into a program folder of the harness's own. The port read is the first
// byte where that is a digit 1 to 9, otherwise 1. The record buffer then holds
// the first record filled up with blanks, or stays all NUL for an empty file,
// and reading leaves the file as it was.

#include "config/declarations.h"
#include "config/portfile.h"
#include "fuzz/fuzzcheck.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QTemporaryDir folder;
    FUZZ_CHECK(folder.isValid());
    const QByteArray bytes(reinterpret_cast<const char*>(data),
                           static_cast<qsizetype>(std::min<std::size_t>(size, 64)));
    QFile file(portFilePath(folder.path()));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
    file.close();

    Declarations shared(folder.path());
    const int port = readPortFile(shared);
    const char first = bytes.isEmpty() ? '\0' : bytes[0];
    FUZZ_CHECK(port == (first >= '1' && first <= '9' ? first - '0' : 1));

    const QByteArray head = bytes.left(PortRecordSize);
    const QByteArray record = bytes.isEmpty() ? QByteArray(PortRecordSize, '\0')
                                              : head.leftJustified(PortRecordSize, ' ');
    FUZZ_CHECK(QByteArray(shared.ComRecord.data(), PortRecordSize) == record);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    FUZZ_CHECK(file.readAll() == bytes);
    return 0;
}
