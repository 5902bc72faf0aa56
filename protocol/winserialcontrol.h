#pragma once

#include "protocol/controlbase.h"
#include "protocol/portrules.h"

#include <QString>

#include <functional>

// The serial communications control on Windows: CommControl on the system's
// communications API. Port n is the device \\.\COMn, opened exclusively, so a
// port that another program holds is refused as in use.
//
// Reads never wait: Input returns what the system has received, at most
// InputLen bytes. Output returns once the bytes have left the system's
// transmit buffer, so a pause that follows it is a pause on the line; it
// waits a second at most.
//
// A device that vanishes while open (a USB adapter pulled out) makes the
// system's calls on the port fail: the port is then closed, PortOpen reads
// false and the lost handler hears why. So does a write that fails, or that
// has not sent every byte within that second: the module would not have
// heard what it was sent.
//
// A device given by setDevicePath is a name such as "COM12" or "\\.\COM12".
class WinSerialControl : public ControlBase {
public:
    // programFolder as for the other systems' control; Windows names its
    // ports itself, so no entry in it changes which device a port is.
    explicit WinSerialControl(QString programFolder);
    ~WinSerialControl() override;
    WinSerialControl(const WinSerialControl&) = delete;
    WinSerialControl& operator=(const WinSerialControl&) = delete;

    bool PortOpen() const override;
    void setPortOpen(bool open) override;

    int InBufferCount() override;
    QByteArray Input() override;
    void Output(const QByteArray& bytes) override;

    // "COM5 is \\.\COM5 (USB Serial Port (COM5), serial number A10K1234)",
    // with what Device Manager tells of the device.
    QString deviceDescription() const override;

private:
    void openPort();
    void applySettings() override;
    void close();
    // Closes the port and tells the lost handler when its device has gone.
    void settle();
    // Closes the port and tells the lost handler why.
    void lose(const QString& reason, CommError::Kind kind);
    // Bytes written but not yet sent; -1 when the device does not answer.
    qsizetype unsent() const;
    bool deviceGone() const;

    // The port's HANDLE, kept as a pointer so that this header needs no
    // system headers.
    void* handle_ = nullptr;
    QString device_;
    QString description_;
};
