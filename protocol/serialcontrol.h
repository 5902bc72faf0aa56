#pragma once

#include "protocol/controlbase.h"
#include "protocol/portlock.h"
#include "protocol/portrules.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The serial communications control on Linux: CommControl on a terminal
// device through termios, with no toolkit between the program and the line,
// so that no file another user can plant decides what an open does.
//
// The port is the program's alone: the device is opened without becoming a
// controlling terminal and without waiting, locked with flock and made
// exclusive (TIOCEXCL), and its lock file is taken in the lock folder (see
// portlock.h). A device that another process holds by any of these means, or
// simply has open, is refused as in use and never shared.
//
// Buffers: up to 1024 received bytes are held here; what does not fit stays
// in the operating system's buffer, so no byte is lost, and InBufferCount
// never reports more than 1024. Output returns once its bytes have left the
// system's transmit buffer, within PortRules::WriteTimeoutMs, or closes the
// port.
//
// A device that vanishes while open (a USB adapter unplugged, the far end of a
// pseudo-terminal closed) closes the port: PortOpen then reads false, every
// later call behaves as on a closed port, and the lost handler hears why. So
// does a device that does not send all of Output's bytes in time: what it
// holds back would leave late or never.
//
// Failures name the port and say why in words an operator can act on: the
// missing device and the link that points to it, the group to join, the
// process that holds the port, the line settings the device refused.
class SerialControl : public ControlBase {
public:
    static constexpr qsizetype ReceiveBufferSize = PortRules::ReceiveBufferSize;

    // programFolder is where COMn links to devices may be placed (see
    // portDevicePath).
    explicit SerialControl(QString programFolder);
    ~SerialControl() override;
    SerialControl(const SerialControl&) = delete;
    SerialControl& operator=(const SerialControl&) = delete;

    bool PortOpen() const override;
    void setPortOpen(bool open) override;

    int InBufferCount() override;
    QByteArray Input() override;
    void Output(const QByteArray& bytes) override;

    QString deviceDescription() const override;

private:
    void openPort();
    // Takes the device that `fd` has open for this control alone; throws
    // CommError naming who holds it otherwise.
    void claim(int fd);
    QString openFailure(int error) const;
    void applySettings() override;
    // Moves received bytes from the operating system into the receive buffer
    // until `wanted` bytes wait there, the buffer is full or nothing more has
    // arrived.
    void pull(qsizetype wanted);
    // Closes the port, and tells the lost handler, when its device has gone.
    void settle();
    // Closes the port and tells the lost handler why.
    void lose(const QString& reason, CommError::Kind kind);
    void close();
    bool deviceGone() const;
    // Bytes handed to the system that have not left it yet.
    qsizetype unsent() const;

    int fd_ = -1;
    PortLock lock_;
    QByteArray received_;
    QString device_;
    QString description_;
    // " (description, serial number)" of a USB adapter, once looked up.
    mutable std::optional<QString> adapter_;
};
