#include "config/portfile.h"

#include "config/declarations.h"

#include <QFile>

namespace {

// Opened for reading and writing: created when missing, never truncated.
void openRecordFile(QFile& file) {
    if (!file.open(QIODevice::ReadWrite)) {
        throw PortFileError(QStringLiteral("cannot open or create %1: %2")
                                .arg(file.fileName(), file.errorString())
                                .toStdString());
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
    openRecordFile(file);
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
        throw PortFileError(QStringLiteral("cannot write %1: %2")
                                .arg(file.fileName(), file.errorString())
                                .toStdString());
    }
}
