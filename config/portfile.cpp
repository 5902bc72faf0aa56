#include "config/portfile.h"

#include "config/declarations.h"

#include <QFile>
#include <QFileInfo>

namespace {

[[noreturn]] void fail(const QString& what, const QFile& file, const QString& why) {
    throw PortFileError(QStringLiteral("%1 %2: %3").arg(what, file.fileName(), why).toStdString());
}

// Opened for reading and writing: created when missing (also through a link
// that points to a missing file), never truncated. Only a regular file is
// used: opening a pipe would block, a device or socket would misbehave.
void openRecordFile(QFile& file) {
    const QFileInfo info(file.fileName());
    if (info.exists() && !info.isFile()) {
        fail(QStringLiteral("cannot use"), file, QStringLiteral("not a regular file"));
    }
    if (!file.open(QIODevice::ReadWrite)) {
        fail(QStringLiteral("cannot open or create"), file, file.errorString());
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
        openRecordFile(file);
    } catch (const PortFileError&) {
        // A file that may only be read (immutable, on a read-only medium)
        // still names the port.
        if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly)) {
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
    QFile file(portFilePath(shared.ProgramFolder));
    openRecordFile(file);
    const QByteArray record(shared.ComRecord.data(), PortRecordSize);
    if (!file.seek(0) || file.write(record) != PortRecordSize || !file.flush()) {
        fail(QStringLiteral("cannot write"), file, file.errorString());
    }
}
