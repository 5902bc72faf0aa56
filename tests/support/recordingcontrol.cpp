#include "support/recordingcontrol.h"

void RecordingControl::record(const QString& call) const {
    calls.append(call);
    const int count = ++counts_[call];
    if (failing.contains(call) || failing.contains(call + QStringLiteral("@%1").arg(port_)) ||
        failing.contains(call + QStringLiteral("#%1").arg(count))) {
        throw CommError(QStringLiteral("%1 refused").arg(call).toStdString());
    }
}

void RecordingControl::setCommPort(int port) {
    record(QStringLiteral("CommPort=%1").arg(port));
    port_ = port;
}

void RecordingControl::setSettings(const QString& settings) {
    record(QStringLiteral("Settings=") + settings);
}

void RecordingControl::setInputLen(int count) {
    record(QStringLiteral("InputLen=%1").arg(count));
}

bool RecordingControl::PortOpen() const {
    record(QStringLiteral("PortOpen?"));
    return open_;
}

void RecordingControl::setPortOpen(bool open) {
    record(open ? QStringLiteral("PortOpen=true") : QStringLiteral("PortOpen=false"));
    open_ = open;
}

int RecordingControl::InBufferCount() {
    return open_ ? static_cast<int>(incoming.size()) : 0;
}

QByteArray RecordingControl::Input() {
    const QByteArray next = incoming.left(1);
    incoming.remove(0, next.size());
    return next;
}

void RecordingControl::Output(const QByteArray& bytes) {
    record(QStringLiteral("Output=") + QString::fromLatin1(bytes.toHex()));
}
