#pragma once

#include "protocol/commcontrol.h"
#include "protocol/lineformat.h"
#include "protocol/portrules.h"

#include <QString>

#include <functional>

// What every serial control does the same way, whichever system's serial API
// it sits on: the written properties and their checks, which device an open
// means, how messages name the port, and telling the lost handler.
class ControlBase : public CommControl {
public:
    void setCommPort(int port) override;
    // From the next open on, opens the device at `path` instead of the port
    // that CommPort selects; messages then name the device. Only while
    // closed; an empty path returns to CommPort.
    void setDevicePath(const QString& path) { devicePath_ = path; }
    // A well-formed text is kept even when the open device then refuses it;
    // the next open tries it again and reports the refusal the same way.
    void setSettings(const QString& settings) override;
    void setInputLen(int count) override;
    void setLostHandler(LostHandler handler) override;

protected:
    // programFolder is where the system's port naming may look for the
    // devices of numbered ports (see portDevicePath).
    explicit ControlBase(QString programFolder);

    // Applies the line format to the open device; throws CommError when the
    // device refuses it.
    virtual void applySettings() = 0;

    // The device an open uses: the one given by setDevicePath, or port n's.
    QString deviceToOpen() const;
    // "COM3 is /dev/ttyUSB0" for the operator, or the device alone when it
    // was given by its path.
    QString portIs(const QString& device) const;
    [[noreturn]] void fail(const QString& reason,
                           CommError::Kind kind = CommError::Kind::Other) const;
    // Tells the lost handler why the port was lost, and whether its device
    // has gone; the port is closed.
    void tellLost(const QString& reason, CommError::Kind kind) const;

    const QString& settingsText() const { return settingsText_; }
    const LineFormat& line() const { return line_; }
    int inputLen() const { return inputLen_; }

private:
    // "COM3: " before a message about the port; a device given by its path
    // is named in the message itself.
    QString messagePrefix() const;

    QString programFolder_;
    QString devicePath_;
    LostHandler lost_;
    int port_ = PortRules::FirstPort;
    QString settingsText_ = QStringLiteral("9600,n,8,1");
    LineFormat line_ = parseLineFormat(settingsText_);
    int inputLen_ = 0;
};
