#include "protocol/portrules.h"

#include "protocol/commcontrol.h"

namespace PortRules {

QString prefix(int port) {
    return QStringLiteral("COM%1: ").arg(port);
}

void checkPort(int port) {
    if (port < FirstPort || port > LastPort)
        throw CommError(QStringLiteral("COM%1: no such port (ports are COM%2 to COM%3)")
                            .arg(port)
                            .arg(FirstPort)
                            .arg(LastPort)
                            .toStdString());
}

void checkInputLen(int count) {
    if (count < 0)
        throw CommError(
            QStringLiteral("InputLen must not be negative (got %1)").arg(count).toStdString());
}

QString closeBeforeChoosing() {
    return QStringLiteral("close the port before choosing another");
}

QString alreadyOpen() {
    return QStringLiteral("already open");
}

QString noSuchDevice(const QString& device) {
    return QStringLiteral("no such device %1").arg(device);
}

QString inUseByAnother() {
    return QStringLiteral("in use by another program");
}

QString inUse(const QString& device, const QString& held) {
    return QStringLiteral("%1 is %2").arg(device, held.isEmpty() ? inUseByAnother() : held);
}

QString settingsRefused(const QString& device, const QString& settings, const QString& why) {
    return QStringLiteral("the device %1 refused the line settings %2: %3")
        .arg(device, settings, why);
}

QString cannotOpen(const QString& device, const QString& why) {
    return QStringLiteral("cannot open %1: %2").arg(device, why);
}

QString disconnected(const QString& device) {
    return QStringLiteral("disconnected (%1 went away)").arg(device);
}

QString cannotWrite(const QString& device, const QString& why) {
    return QStringLiteral("cannot write to %1: %2").arg(device, why);
}

QString notAllSent(qsizetype sent, qsizetype size) {
    return QStringLiteral("%1 of %2 bytes sent within %3 ms")
        .arg(sent)
        .arg(size)
        .arg(WriteTimeoutMs);
}

} // namespace PortRules
