#pragma once

#include "protocol/controlbase.h"
#include "protocol/portrules.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <optional>

// The serial communications control: CommControl on a real serial device.
// This is the only place in the program that touches QSerialPort.
//
// Buffers: up to 1024 received bytes are held here (QSerialPort's read
// buffer); what does not fit stays in the operating system's buffer, so no
// byte is lost, and InBufferCount never reports more than 1024. Transmission
// is sized for 512 bytes, far above the largest frame the program sends (a
// few dozen bytes), so nothing limits it further; Output hands every byte to
// the operating system before it returns, or closes the port.
//
// A device that vanishes while open (a USB adapter unplugged, the far end of a
// pseudo-terminal closed) closes the port: PortOpen then reads false, every
// later call behaves as on a closed port, and the lost handler hears why. So
// does a device that does not take all of Output's bytes within
// PortRules::WriteTimeoutMs: what it holds back would leave late or never.
//
// Failures name the port and say why in words an operator can act on: the
// missing device and the link that points to it, the group to join, the
// process that holds the port, the line settings the device refused.
class SerialControl : public QObject, public ControlBase {
    Q_OBJECT

public:
    static constexpr qint64 ReceiveBufferSize = PortRules::ReceiveBufferSize;

    // programFolder is where COMn links to devices may be placed (see
    // portDevicePath).
    explicit SerialControl(QString programFolder, QObject* parent = nullptr);

    bool PortOpen() const override;
    void setPortOpen(bool open) override;

    int InBufferCount() override;
    QByteArray Input() override;
    void Output(const QByteArray& bytes) override;

    QString deviceDescription() const override;

private:
    void openPort();
    QString openFailure(QSerialPort::SerialPortError error, const QString& detail) const;
    void applySettings() override;
    // Moves received bytes from the operating system into the read buffer
    // until `wanted` bytes wait there, the buffer is full or nothing more has
    // arrived.
    void pull(qint64 wanted);
    // Closes the port when its device has gone, and forgets transient errors
    // such as the timeout that an empty pull leaves behind.
    void settle();
    // Closes the port and tells the lost handler why.
    void lose(const QString& reason, CommError::Kind kind);
    bool deviceGone() const;
    bool deviceHoldsBytes() const;

    QSerialPort serial_;
    QString device_;
    QString description_;
    // " (description, serial number)" of a USB adapter, once looked up.
    mutable std::optional<QString> adapter_;
};
