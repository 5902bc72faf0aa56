#include "config/portfile.h"

#include "config/declarations.h"

#include <QCoreApplication>
#include <QFile>

namespace {

QString overriddenFolder;

// Opened for reading and writing: created when missing, never truncated.
void openRecordFile(QFile& file) {
    if (!file.open(QIODevice::ReadWrite)) {
        throw PortFileError(QStringLiteral("cannot open or create %1: %2")
                                .arg(file.fileName(), file.errorString())
                                .toStdString());
    }
}

} // namespace

QString programFolder() {
    return overriddenFolder.isEmpty() ? QCoreApplication::applicationDirPath() : overriddenFolder;
}

void setProgramFolder(const QString& folder) {
    overriddenFolder = folder;
}

QString portFilePath() {
    return programFolder() + QStringLiteral("/COM-BAUD.txt");
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

int readPortFile() {
    QFile file(portFilePath());
    openRecordFile(file);
    const QByteArray record = file.read(PortRecordSize);
    if (!record.isEmpty()) {
        Declarations::setComRecord(record);
    }
    return portFromRecord(QByteArray(Declarations::ComRecord.data(), record.size()));
}

void writePortFile() {
    QFile file(portFilePath());
    openRecordFile(file);
    const QByteArray record(Declarations::ComRecord.data(), PortRecordSize);
    if (!file.seek(0) || file.write(record) != PortRecordSize || !file.flush()) {
        throw PortFileError(QStringLiteral("cannot write %1: %2")
                                .arg(file.fileName(), file.errorString())
                                .toStdString());
    }
}
