#include "protocol/controlbase.h"

#include "protocol/portname.h"

#include <utility>

ControlBase::ControlBase(QString programFolder) : programFolder_(std::move(programFolder)) {}

void ControlBase::setCommPort(int port) {
    PortRules::checkPort(port);
    if (PortOpen())
        fail(PortRules::closeBeforeChoosing());
    port_ = port;
}

void ControlBase::setSettings(const QString& settings) {
    line_ = parseLineFormat(settings);
    settingsText_ = settings;
    if (PortOpen())
        applySettings();
}

void ControlBase::setInputLen(int count) {
    PortRules::checkInputLen(count);
    inputLen_ = count;
}

void ControlBase::setLostHandler(LostHandler handler) {
    lost_ = std::move(handler);
}

QString ControlBase::deviceToOpen() const {
    return devicePath_.isEmpty() ? portDevicePath(port_, programFolder_) : devicePath_;
}

QString ControlBase::portIs(const QString& device) const {
    return devicePath_.isEmpty() ? QStringLiteral("COM%1 is %2").arg(port_).arg(device) : device;
}

QString ControlBase::messagePrefix() const {
    return devicePath_.isEmpty() ? PortRules::prefix(port_) : QString();
}

void ControlBase::fail(const QString& reason, CommError::Kind kind) const {
    throw CommError((messagePrefix() + reason).toStdString(), kind);
}

void ControlBase::tellLost(const QString& reason, CommError::Kind kind) const {
    if (lost_)
        lost_(messagePrefix() + reason, kind);
}
