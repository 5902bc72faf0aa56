#include "protocol/serialcontrol.h"

#include "protocol/portholder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>
#include <utility>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

const int PortRules::LastPort = 16;

namespace {

using PortRules::WriteTimeoutMs;

// Qt's enumerations carry the same values as the line format's.
static_assert(QSerialPort::NoParity == int(LineFormat::NoParity) &&
              QSerialPort::EvenParity == int(LineFormat::EvenParity) &&
              QSerialPort::OddParity == int(LineFormat::OddParity) &&
              QSerialPort::SpaceParity == int(LineFormat::SpaceParity) &&
              QSerialPort::MarkParity == int(LineFormat::MarkParity));
static_assert(QSerialPort::Data5 == int(LineFormat::Data5) &&
              QSerialPort::Data8 == int(LineFormat::Data8));
static_assert(QSerialPort::OneStop == int(LineFormat::OneStop) &&
              QSerialPort::TwoStop == int(LineFormat::TwoStop) &&
              QSerialPort::OneAndHalfStop == int(LineFormat::OneAndHalfStop));

// Where a chain of links ends: the first name in it that is not a link.
QString linkTarget(QString path) {
    for (int hop = 0; hop < 40 && QFileInfo(path).isSymLink(); ++hop)
        path = QFileInfo(path).symLinkTarget();
    return path;
}

} // namespace

SerialControl::SerialControl(QString programFolder, QObject* parent)
    : QObject(parent), ControlBase(std::move(programFolder)) {
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

bool SerialControl::PortOpen() const {
    return serial_.isOpen() && !deviceGone();
}

void SerialControl::setPortOpen(bool open) {
    // The caller decides about the port now: a device that has gone meanwhile
    // is let go without reporting it lost.
    if (serial_.isOpen() && deviceGone())
        serial_.close();
    settle();
    if (open)
        openPort();
    else
        serial_.close();
}

QString SerialControl::deviceDescription() const {
    if (!PortOpen())
        return {};
    // Finding a USB adapter's description walks every serial device of the
    // system, so it is looked up only when asked for, once per open.
    if (!adapter_) {
        const QSerialPortInfo info(serial_);
        adapter_ = info.hasVendorIdentifier() ? QStringLiteral(" (%1, serial number %2)")
                                                    .arg(info.description(), info.serialNumber())
                                              : QString();
    }
    return description_ + *adapter_;
}

void SerialControl::openPort() {
    if (serial_.isOpen())
        fail(PortRules::alreadyOpen());

    // Two links to one device must meet at one lock, so open the device
    // itself rather than the link.
    const QString path = deviceToOpen();
    const QFileInfo entry(path);
    if (!entry.exists()) {
        const QString missing = linkTarget(path);
        fail(missing == path ? PortRules::noSuchDevice(path)
                             : PortRules::noSuchDevice(missing) +
                                   QStringLiteral(", which the link %1 points to").arg(path),
             CommError::Kind::NoDevice);
    }
    device_ = entry.canonicalFilePath();
    serial_.setPortName(device_);
    if (const QString stray = strayLockFile(device_); !stray.isEmpty())
        fail(PortRules::inUse(device_, stray));

    if (!serial_.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = serial_.error();
        const QString detail = serial_.errorString();
        serial_.clearError();
        fail(openFailure(error, detail), error == QSerialPort::DeviceNotFoundError
                                             ? CommError::Kind::NoDevice
                                             : CommError::Kind::Other);
    }
    try {
        applySettings();
    } catch (const CommError&) {
        serial_.close();
        throw;
    }
    description_ = portIs(device_);
    adapter_.reset();
}

// A device that is locked or opened exclusively reads as a permission error
// too; what the user may do with the device tells the two apart.
QString SerialControl::openFailure(QSerialPort::SerialPortError error,
                                   const QString& detail) const {
    const QByteArray device = QFile::encodeName(device_);
    if (error == QSerialPort::DeviceNotFoundError) {
        return PortRules::noSuchDevice(device_);
    }
    if (error == QSerialPort::PermissionError && ::access(device.constData(), R_OK | W_OK) != 0) {
        return QStringLiteral("permission denied on %1, which belongs to group %2: join that "
                              "group (usually dialout) and log in again")
            .arg(device_, QFileInfo(device_).group());
    }
    if (error == QSerialPort::PermissionError) {
        return PortRules::inUse(device_, portHolder(device_));
    }
    return PortRules::cannotOpen(device_, detail);
}

void SerialControl::applySettings() {
    const bool applied = serial_.setBaudRate(line().baudRate) &&
                         serial_.setParity(QSerialPort::Parity(line().parity)) &&
                         serial_.setDataBits(QSerialPort::DataBits(line().dataBits)) &&
                         serial_.setStopBits(QSerialPort::StopBits(line().stopBits)) &&
                         serial_.setFlowControl(QSerialPort::NoFlowControl);
    if (!applied) {
        const QString reason = serial_.errorString();
        serial_.clearError();
        fail(PortRules::settingsRefused(device_, settingsText(), reason));
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
    const qint64 wanted = inputLen() == 0 ? ReceiveBufferSize : inputLen();
    if (serial_.bytesAvailable() < wanted)
        pull(std::min(wanted, ReceiveBufferSize));
    return serial_.isOpen() ? serial_.read(wanted) : QByteArray();
}

void SerialControl::Output(const QByteArray& bytes) {
    settle();
    if (!serial_.isOpen())
        return;
    const bool queued = serial_.write(bytes) == bytes.size();
    // write() only queues; push the bytes to the operating system now, since
    // the caller may block its thread right after this returns.
    const QDeadlineTimer deadline(WriteTimeoutMs);
    while (queued && serial_.bytesToWrite() > 0 && !deviceGone() && !deadline.hasExpired()) {
        if (!serial_.flush() || serial_.bytesToWrite() > 0)
            serial_.waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
    }
    const qsizetype sent = queued ? bytes.size() - serial_.bytesToWrite() : 0;
    const QString why =
        serial_.error() == QSerialPort::NoError || serial_.error() == QSerialPort::TimeoutError
            ? PortRules::notAllSent(sent, bytes.size())
            : serial_.errorString();
    settle();
    // Bytes that did not all leave are a fault of the line, as a device that
    // went away is: the frame must not count as sent.
    if (serial_.isOpen() && sent < bytes.size())
        lose(PortRules::cannotWrite(device_, why), CommError::Kind::Other);
}

void SerialControl::pull(qint64 wanted) {
    while (serial_.bytesAvailable() < wanted && deviceHoldsBytes() && serial_.waitForReadyRead(0)) {
    }
    settle();
}

// Asked first so that an idle line costs no timed-out wait (and no error
// for settle() to clear) on every poll.
bool SerialControl::deviceHoldsBytes() const {
    int waiting = 0;
    return ::ioctl(static_cast<int>(serial_.handle()), FIONREAD, &waiting) == 0 && waiting > 0;
}

void SerialControl::lose(const QString& reason, CommError::Kind kind) {
    serial_.close();
    tellLost(reason, kind);
}

void SerialControl::settle() {
    if (serial_.isOpen() && deviceGone())
        lose(PortRules::disconnected(device_), CommError::Kind::NoDevice);
    if (serial_.error() != QSerialPort::NoError)
        serial_.clearError();
}

bool SerialControl::deviceGone() const {
    if (serial_.error() == QSerialPort::ResourceError)
        return true;
    // A terminal whose far end went away reads as end of file, which Qt
    // reports only as a ReadError; the hang-up itself shows in poll().
    pollfd fd{static_cast<int>(serial_.handle()), 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}
