#include "protocol/serialcontrol.h"

#include "protocol/portname.h"

#include <QDeadlineTimer>
#include <QFileInfo>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#endif

namespace {

// Output waits at most this long for the operating system to take its bytes.
constexpr int WriteTimeoutMs = 1000;

} // namespace

SerialControl::SerialControl(QString programFolder, QObject* parent)
    : QObject(parent), programFolder_(std::move(programFolder)) {
    serial_.setReadBufferSize(ReceiveBufferSize);
    // Errors raised while the event loop services the port are looked at once
    // Qt's own call chain has returned.
    connect(
        &serial_, &QSerialPort::errorOccurred, this,
        [this](QSerialPort::SerialPortError error) {
            if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
                settle();
        },
        Qt::QueuedConnection);
}

QString SerialControl::portName() const {
    return devicePath_.isEmpty() ? QStringLiteral("COM%1").arg(port_) : devicePath_;
}

void SerialControl::setCommPort(int port) {
    if (port < FirstPort || port > LastPort)
        throw CommError(QStringLiteral("COM%1: no such port (ports are COM%2 to COM%3)")
                            .arg(port)
                            .arg(FirstPort)
                            .arg(LastPort)
                            .toStdString());
    if (PortOpen())
        throw CommError(QStringLiteral("%1: close the port before choosing another")
                            .arg(portName())
                            .toStdString());
    port_ = port;
}

// A well-formed text is kept even when the open device then refuses it; the
// next open tries it again and reports the refusal the same way.
void SerialControl::setSettings(const QString& settings) {
    line_ = parseLineFormat(settings);
    settingsText_ = settings;
    if (PortOpen())
        applySettings();
}

void SerialControl::setInputLen(int count) {
    if (count < 0)
        throw CommError(
            QStringLiteral("InputLen must not be negative (got %1)").arg(count).toStdString());
    inputLen_ = count;
}

bool SerialControl::PortOpen() const {
    return serial_.isOpen() && !deviceGone();
}

void SerialControl::setPortOpen(bool open) {
    settle();
    if (open)
        openPort();
    else
        serial_.close();
}

void SerialControl::openPort() {
    if (serial_.isOpen())
        throw CommError(QStringLiteral("%1: already open").arg(portName()).toStdString());

    const QString path =
        devicePath_.isEmpty() ? portDevicePath(port_, programFolder_) : devicePath_;
#ifndef Q_OS_WIN
    // Two links to one device must meet at one lock, so open the device
    // itself rather than the link.
    const QFileInfo device(path);
    if (!device.exists())
        throw CommError(
            QStringLiteral("%1: no such device (%2)").arg(portName(), path).toStdString());
    serial_.setPortName(device.canonicalFilePath());
#else
    serial_.setPortName(path);
#endif

    if (!serial_.open(QIODevice::ReadWrite)) {
        QString reason;
        switch (serial_.error()) {
        case QSerialPort::DeviceNotFoundError:
            reason = QStringLiteral("no such device");
            break;
        case QSerialPort::PermissionError:
            reason = QStringLiteral("in use by another program or access denied");
            break;
        default:
            reason = QStringLiteral("cannot open: %1").arg(serial_.errorString());
            break;
        }
        serial_.clearError();
        throw CommError(QStringLiteral("%1: %2 (%3)").arg(portName(), reason, path).toStdString());
    }
    try {
        applySettings();
    } catch (const CommError&) {
        serial_.close();
        throw;
    }
}

void SerialControl::applySettings() {
    const bool applied = serial_.setBaudRate(line_.baudRate) && serial_.setParity(line_.parity) &&
                         serial_.setDataBits(line_.dataBits) &&
                         serial_.setStopBits(line_.stopBits) &&
                         serial_.setFlowControl(QSerialPort::NoFlowControl);
    if (!applied) {
        const QString reason = serial_.errorString();
        serial_.clearError();
        throw CommError(QStringLiteral("%1: line settings \"%2\" not supported: %3")
                            .arg(portName(), settingsText_, reason)
                            .toStdString());
    }
}

int SerialControl::InBufferCount() {
    if (!serial_.isOpen())
        return 0;
    pull(ReceiveBufferSize);
    return serial_.isOpen() ? static_cast<int>(serial_.bytesAvailable()) : 0;
}

// The poller reads one character at a time: what is already buffered is
// handed out without asking the device anything.
QByteArray SerialControl::Input() {
    if (!serial_.isOpen())
        return {};
    const qint64 wanted = inputLen_ == 0 ? ReceiveBufferSize : inputLen_;
    if (serial_.bytesAvailable() < wanted)
        pull(std::min(wanted, ReceiveBufferSize));
    return serial_.isOpen() ? serial_.read(wanted) : QByteArray();
}

void SerialControl::Output(const QByteArray& bytes) {
    if (!PortOpen())
        return;
    serial_.write(bytes);
    // write() only queues; push the bytes to the operating system now, since
    // the caller may block its thread right after this returns.
    const QDeadlineTimer deadline(WriteTimeoutMs);
    while (serial_.bytesToWrite() > 0 && !deviceGone() && !deadline.hasExpired()) {
        if (!serial_.flush() || serial_.bytesToWrite() > 0)
            serial_.waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
    }
    settle();
}

void SerialControl::pull(qint64 wanted) {
    while (serial_.bytesAvailable() < wanted && deviceHoldsBytes() && serial_.waitForReadyRead(0)) {
    }
    settle();
}

// Asked first so that an idle line costs no timed-out wait (and no error
// for settle() to clear) on every poll.
bool SerialControl::deviceHoldsBytes() const {
#ifdef Q_OS_UNIX
    int waiting = 0;
    return ::ioctl(static_cast<int>(serial_.handle()), FIONREAD, &waiting) == 0 && waiting > 0;
#else
    return true;
#endif
}

void SerialControl::settle() {
    if (serial_.isOpen() && deviceGone())
        serial_.close();
    if (serial_.error() != QSerialPort::NoError)
        serial_.clearError();
}

bool SerialControl::deviceGone() const {
    if (serial_.error() == QSerialPort::ResourceError)
        return true;
#ifdef Q_OS_UNIX
    // A terminal whose far end went away reads as end of file, which Qt
    // reports only as a ReadError; the hang-up itself shows in poll().
    pollfd fd{static_cast<int>(serial_.handle()), 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return false;
#endif
}
