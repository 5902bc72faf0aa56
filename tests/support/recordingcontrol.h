#pragma once

#include "protocol/commcontrol.h"

#include <QHash>
#include <QSet>
#include <QStringList>

// A stand-in for the serial control that records every operation in order,
// keeps the open/closed state, and fails the operations it is told to.
//
// Operations are recorded as "PortOpen?", "PortOpen=true", "PortOpen=false",
// "CommPort=3", "Settings=9600,n,8,2", "InputLen=1", "Output=<hex>".
// A failure is named by the record it would make: "PortOpen=true" fails every
// open, "PortOpen=true@3" the opens of port 3, "PortOpen?#4" the fourth read.
class RecordingControl : public CommControl {
public:
    mutable QStringList calls;
    QSet<QString> failing;
    QByteArray incoming;

    void setCommPort(int port) override;
    void setSettings(const QString& settings) override;
    void setInputLen(int count) override;
    bool PortOpen() const override;
    void setPortOpen(bool open) override;
    int InBufferCount() override;
    QByteArray Input() override;
    void Output(const QByteArray& bytes) override;

    int port() const { return port_; }

private:
    void record(const QString& call) const;

    mutable QHash<QString, int> counts_;
    bool open_ = false;
    int port_ = 1;
};
