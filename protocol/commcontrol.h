#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <stdexcept>
#include <string>

// A failure of the serial control: a missing device, a port in use, a bad
// setting, ... The message says which, in words an operator can act on; the
// kind tells a device that is not there (unplugged, or a link to nothing),
// which may come back by itself, from every other failure.
class CommError : public std::runtime_error {
public:
    enum class Kind { Other, NoDevice };

    explicit CommError(const std::string& what, Kind kind = Kind::Other)
        : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// The serial communications control of the main window. Every byte that goes
// to or comes from the module passes through exactly these operations; the
// rest of the program keeps no port handle of its own.
//
// Written properties that can fail (CommPort, Settings, PortOpen) throw
// CommError. Reads and Output never throw: on a closed port Output drops its
// text, Input gives an empty text and InBufferCount gives 0.
class CommControl {
public:
    virtual ~CommControl() = default;

    // Which port (COM1, COM2, ...) the next open uses. Only while closed.
    virtual void setCommPort(int port) = 0;
    // Line parameters "speed,parity,data,stop", e.g. "9600,n,8,2".
    virtual void setSettings(const QString& settings) = 0;
    // Characters one read of Input returns.
    virtual void setInputLen(int count) = 0;

    virtual bool PortOpen() const = 0;
    virtual void setPortOpen(bool open) = 0;

    // Received characters waiting to be read.
    virtual int InBufferCount() = 0;
    // Removes and returns the next InputLen waiting characters.
    virtual QByteArray Input() = 0;
    // Sends the bytes in order; they have been handed to the operating system
    // when this returns, unless the port has closed: bytes that the device
    // does not take in time close it as a device that goes away does.
    virtual void Output(const QByteArray& bytes) = 0;

    // While open: which device the port is, for the operator ("COM3 is
    // /dev/ttyUSB0 (FT232R USB UART, serial number A1B2C3)"); empty otherwise.
    // May take a while the first time after an open: ask when it is needed.
    virtual QString deviceDescription() const = 0;
    // Called with the reason when the open port's device goes away or does
    // not take Output's bytes, after the port has been closed. The kind tells
    // a device that has gone (NoDevice: it may come back) from a line that
    // stalled with its device still there (Other).
    using LostHandler = std::function<void(const QString& reason, CommError::Kind kind)>;
    virtual void setLostHandler(LostHandler handler) = 0;
};
