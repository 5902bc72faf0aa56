#include "config/portfile.h"

#include "config/declarations.h"
#include "config/recordfile.h"

#include <QDir>
#include <QFile>

namespace {

// Names the file by its path (a file opened on its descriptor has no name),
// with the system's separators, as the operator reads paths there.
[[noreturn]] void fail(const QString& what, const QString& path, const QString& why) {
    throw PortFileError(
        QStringLiteral("%1 %2: %3").arg(what, QDir::toNativeSeparators(path), why).toStdString());
}

// A file that may only be read (immutable, on a read-only medium) still
// names the port.
bool openedForReading(QFile& file) {
    try {
        openRecordFile(file, RecordAccess::ReadOnly);
        return true;
    } catch (const PortFileError&) {
        return false;
    }
}

} // namespace

QString portFilePath(const QString& programFolder) {
    return programFolder + QStringLiteral("/COM-BAUD.txt");
}

int portFromRecord(const QByteArray& record) {
    const char first = record.isEmpty() ? '\0' : record.front();
    const int port = (first >= '0' && first <= '9') ? first - '0' : 0;
    return port == 0 ? 1 : port;
}

QByteArray recordForPort(int port) {
    // The number written with its sign place (" 3"), then its digit and one
    // blank; the record fills the rest with blanks.
    const QByteArray text = " " + QByteArray::number(port);
    QByteArray record = text.mid(1, 1) + " ";
    return record.leftJustified(PortRecordSize, ' ', true);
}

int readPortFile(Declarations& shared) {
    QFile file(portFilePath(shared.ProgramFolder));
    try {
        openRecordFile(file, RecordAccess::ReadWrite);
    } catch (const PortFileError&) {
        if (!openedForReading(file)) {
            throw;
        }
    }
    const QByteArray record = file.read(PortRecordSize);
    if (!record.isEmpty()) {
        shared.setComRecord(record);
    }
    return portFromRecord(QByteArray(shared.ComRecord.data(), record.size()));
}

void writePortFile(const Declarations& shared) {
    const QString path = portFilePath(shared.ProgramFolder);
    QFile file(path);
    openRecordFile(file, RecordAccess::ReadWrite);
    const QByteArray record(shared.ComRecord.data(), PortRecordSize);
    if (!file.seek(0) || file.write(record) != PortRecordSize || !file.flush()) {
        fail(QStringLiteral("cannot write"), path, file.errorString());
    }
}
