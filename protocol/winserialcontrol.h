#pragma once

#include "protocol/commcontrol.h"
#include "protocol/lineformat.h"
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
class WinSerialControl : public CommControl {
public:
    static constexpr int FirstPort = PortRules::FirstPort;
    static constexpr int LastPort = PortRules::LastPort;

    // programFolder as for the other systems' control; Windows names its
    // ports itself, so no entry in it changes which device a port is.
    explicit WinSerialControl(QString programFolder);
    ~WinSerialControl() override;
    WinSerialControl(const WinSerialControl&) = delete;
    WinSerialControl& operator=(const WinSerialControl&) = delete;

    void setCommPort(int port) override;
    // From the next open on, opens the device `path` (such as "COM12" or
    // "\\.\COM12") instead of the port that CommPort selects. Only while
    // closed; an empty path returns to CommPort.
    void setDevicePath(const QString& path) { devicePath_ = path; }
    void setSettings(const QString& settings) override;
    void setInputLen(int count) override;

    bool PortOpen() const override;
    void setPortOpen(bool open) override;

    int InBufferCount() override;
    QByteArray Input() override;
    void Output(const QByteArray& bytes) override;

    QString deviceDescription() const override;
    void setLostHandler(std::function<void(const QString&)> handler) override;

    // What the system names the device behind a port name such as "COM3"
    // ("\Device\Serial2"), or empty when it knows no such device.
    static QString systemName(const QString& portName);

private:
    [[noreturn]] void fail(const QString& reason,
                           CommError::Kind kind = CommError::Kind::Other) const;
    void openPort();
    void applySettings();
    void close();
    // Closes the port and tells the lost handler when its device has gone.
    void settle();
    // Closes the port and tells the lost handler why.
    void lose(const QString& reason);
    // Bytes written but not yet sent; -1 when the device does not answer.
    qsizetype unsent() const;
    bool deviceGone() const;
    QString messagePrefix() const;

    QString programFolder_;
    QString devicePath_;
    // The port's HANDLE, kept as a pointer so that this header needs no
    // system headers.
    void* handle_ = nullptr;
    QString device_;
    QString description_;
    std::function<void(const QString&)> lost_;
    int port_ = FirstPort;
    QString settingsText_ = QStringLiteral("9600,n,8,1");
    LineFormat line_ = parseLineFormat(settingsText_);
    int inputLen_ = 0;
};
