#pragma once

#include "protocol/commcontrol.h"

#include <QHash>
#include <QSet>
#include <QStringList>

// A stand-in for the serial control: records every operation in order, keeps
// the port and whether it is open, refuses a port change while open as the
// serial control does, and fails the operations it is told to. Records read
// "PortOpen?", "PortOpen=true", "PortOpen=false", "CommPort=3",
// "Settings=9600,n,8,2", "InputLen=1" and "Output=<hex>". A failure is named
// by its record: "PortOpen=true" fails every open, "PortOpen?#2" the second
// state read. Failures are of failingKind: "<record> refused", or "<record>
// missing" for a device that is not there.
class RecordingControl : public CommControl {
public:
    mutable QStringList calls;
    QSet<QString> failing;
    CommError::Kind failingKind = CommError::Kind::Other;
    bool open = false;
    int port = 1;

    void setCommPort(int n) override { port = record("CommPort=" + QString::number(n), n, open); }
    void setSettings(const QString& text) override { record("Settings=" + text); }
    void setInputLen(int count) override { record("InputLen=" + QString::number(count)); }
    bool PortOpen() const override { return record("PortOpen?", open); }
    void setPortOpen(bool v) override { open = record(v ? "PortOpen=true" : "PortOpen=false", v); }
    int InBufferCount() override { return 0; }
    QByteArray Input() override { return {}; }
    void Output(const QByteArray& bytes) override { record("Output=" + bytes.toHex()); }
    QString deviceDescription() const override {
        return open ? QStringLiteral("COM%1 is /dev/recorded").arg(port) : QString();
    }
    void setLostHandler(LostHandler) override {}

private:
    // Records the call, throws if it is to fail (or `refused`), and gives back `value`.
    template <typename T = int>
    T record(const QString& call, T value = {}, bool refused = false) const {
        calls << call;
        const int count = ++counts_[call];
        if (refused || failing.contains(call) ||
            failing.contains(call + '#' + QString::number(count)))
            throw CommError(call.toStdString() + (failingKind == CommError::Kind::NoDevice
                                                      ? " missing"
                                                      : " refused"),
                            failingKind);
        return value;
    }

    mutable QHash<QString, int> counts_;
};
