#include "protocol/serialcontrol.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSerialPortInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

const int PortRules::LastPort = 16;

namespace {

using PortRules::WriteTimeoutMs;

// Where a chain of links ends: the first name in it that is not a link.
QString linkTarget(QString path) {
    for (int hop = 0; hop < 40 && QFileInfo(path).isSymLink(); ++hop)
        path = QFileInfo(path).symLinkTarget();
    return path;
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The termios speed for a line speed, if the system has one.
std::optional<speed_t> speedOf(qint32 baudRate) {
    static constexpr std::array<std::pair<qint32, speed_t>, 30> Speeds{{
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    }};
    for (const auto& [rate, speed] : Speeds) {
        if (rate == baudRate)
            return speed;
    }
    return std::nullopt;
}

// The bits of a terminal's settings that make the line: what is set, and
// what must read back the same.
constexpr tcflag_t LineCflags =
    CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t LineIflags = IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR;
constexpr tcflag_t LineLflags = ICANON | ECHO | ISIG | IEXTEN;

// Raw mode with the line format: no flow control, no modem lines obeyed
// (CLOCAL), reads that never wait. Empty when the system has no such line;
// `why` then says what it lacks.
std::optional<termios> rawLine(termios settings, const LineFormat& line, QString& why) {
    const std::optional<speed_t> speed = speedOf(line.baudRate);
    if (!speed) {
        why = QStringLiteral("no such speed");
        return std::nullopt;
    }
    if (line.stopBits == LineFormat::OneAndHalfStop) {
        why = QStringLiteral("1.5 stop bits are not supported");
        return std::nullopt;
    }
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, *speed);
    ::cfsetospeed(&settings, *speed);
    settings.c_cflag &= ~LineCflags;
    settings.c_cflag |= CLOCAL | CREAD;
    switch (line.dataBits) {
    case LineFormat::Data5:
        settings.c_cflag |= CS5;
        break;
    case LineFormat::Data6:
        settings.c_cflag |= CS6;
        break;
    case LineFormat::Data7:
        settings.c_cflag |= CS7;
        break;
    case LineFormat::Data8:
        settings.c_cflag |= CS8;
        break;
    }
    if (line.stopBits == LineFormat::TwoStop)
        settings.c_cflag |= CSTOPB;
    switch (line.parity) {
    case LineFormat::NoParity:
        break;
    case LineFormat::EvenParity:
        settings.c_cflag |= PARENB;
        break;
    case LineFormat::OddParity:
        settings.c_cflag |= PARENB | PARODD;
        break;
    case LineFormat::SpaceParity:
        settings.c_cflag |= PARENB | CMSPAR;
        break;
    case LineFormat::MarkParity:
        settings.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    }
    settings.c_iflag &= ~LineIflags;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return settings;
}

bool sameLine(const termios& a, const termios& b) {
    return (a.c_cflag & LineCflags) == (b.c_cflag & LineCflags) &&
           (a.c_iflag & LineIflags) == (b.c_iflag & LineIflags) &&
           (a.c_lflag & LineLflags) == (b.c_lflag & LineLflags) &&
           ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

bool memberOf(gid_t group) {
    if (::getegid() == group)
        return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(
        std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Errors of a device that is not there, or no longer.
bool deviceMissing(int error) {
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

} // namespace

SerialControl::SerialControl(QString programFolder) : ControlBase(std::move(programFolder)) {}

SerialControl::~SerialControl() {
    close();
}

bool SerialControl::PortOpen() const {
    return fd_ >= 0 && !deviceGone();
}

void SerialControl::setPortOpen(bool open) {
    // The caller decides about the port now: a device that has gone meanwhile
    // is let go without reporting it lost.
    if (fd_ >= 0 && deviceGone())
        close();
    if (open)
        openPort();
    else
        close();
}

QString SerialControl::deviceDescription() const {
    if (!PortOpen())
        return {};
    // Finding a USB adapter's description walks every serial device of the
    // system (read-only, from sysfs and udev), so it is looked up only when
    // asked for, once per open.
    if (!adapter_) {
        const QSerialPortInfo info(device_);
        adapter_ = info.hasVendorIdentifier() ? QStringLiteral(" (%1, serial number %2)")
                                                    .arg(info.description(), info.serialNumber())
                                              : QString();
    }
    return description_ + *adapter_;
}

void SerialControl::openPort() {
    if (fd_ >= 0)
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
    // Looked for first, as it takes a while: a device opened and then left
    // waiting for its line settings would start at the wrong ones for a
    // program that watches it (a module simulator does).
    if (const QString holder = deviceHolder(device_); !holder.isEmpty())
        fail(PortRules::inUse(device_, holder));
    // Without O_NONBLOCK, opening a terminal may wait for its carrier for
    // good; reads and writes never wait either, they are bounded here.
    const int fd =
        ::open(QFile::encodeName(device_).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        fail(openFailure(error),
             deviceMissing(error) ? CommError::Kind::NoDevice : CommError::Kind::Other);
    }
    auto release = qScopeGuard([&] {
        ::close(fd);
        fd_ = -1;
        lock_.release();
    });
    claim(fd);
    fd_ = fd;
    applySettings();
    release.dismiss();
    received_.clear();
    description_ = portIs(device_);
    adapter_.reset();
}

// TIOCEXCL last: it changes the device for every process that has it open,
// so a refused open must not leave it set.
void SerialControl::claim(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            fail(PortRules::inUse(device_, deviceHolder(device_)));
        fail(PortRules::cannotOpen(device_, systemError(error)));
    }
    if (const QString held = lock_.take(device_); !held.isEmpty())
        fail(PortRules::inUse(device_, held));
    if (::ioctl(fd, TIOCEXCL) != 0)
        fail(PortRules::cannotOpen(device_, systemError(errno)));
}

QString SerialControl::openFailure(int error) const {
    if (deviceMissing(error))
        return PortRules::noSuchDevice(device_);
    if (error == EBUSY) // made exclusive by another process
        return PortRules::inUse(device_, deviceHolder(device_));
    if (error == EACCES || error == EPERM) {
        // Joining the device's group helps only where that group may use it,
        // is not root's, and the user is not in it yet (a sandbox that denies
        // the device says EPERM to members too).
        struct stat node = {};
        const bool groupHelps = ::stat(QFile::encodeName(device_).constData(), &node) == 0 &&
                                (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) &&
                                node.st_gid != 0 && !memberOf(node.st_gid);
        return groupHelps ? QStringLiteral("permission denied on %1, which belongs to group %2: "
                                           "join that group (usually dialout) and log in again")
                                .arg(device_, QFileInfo(device_).group())
                          : QStringLiteral("permission denied on %1").arg(device_);
    }
    return PortRules::cannotOpen(device_, systemError(error));
}

void SerialControl::applySettings() {
    termios current = {};
    QString why;
    std::optional<termios> wanted;
    if (::tcgetattr(fd_, &current) != 0) {
        why = systemError(errno);
    } else if (wanted = rawLine(current, line(), why); wanted) {
        termios applied = {};
        if (::tcsetattr(fd_, TCSANOW, &*wanted) != 0)
            why = systemError(errno);
        else if (::tcgetattr(fd_, &applied) != 0 || !sameLine(*wanted, applied))
            why = QStringLiteral("it keeps other settings");
    }
    if (!why.isEmpty())
        fail(PortRules::settingsRefused(device_, settingsText(), why));
}

int SerialControl::InBufferCount() {
    pull(ReceiveBufferSize);
    return static_cast<int>(received_.size());
}

// The poller reads one character at a time: what is already buffered is
// handed out without asking the device anything.
QByteArray SerialControl::Input() {
    const qsizetype wanted = inputLen() == 0 ? ReceiveBufferSize : inputLen();
    if (received_.size() < wanted)
        pull(std::min(wanted, ReceiveBufferSize));
    const QByteArray taken = received_.left(wanted);
    received_.remove(0, taken.size());
    return taken;
}

void SerialControl::Output(const QByteArray& bytes) {
    settle();
    if (fd_ < 0)
        return;
    const QDeadlineTimer deadline(WriteTimeoutMs);
    qsizetype written = 0;
    QString failure;
    while (written < bytes.size() && failure.isEmpty()) {
        const ssize_t n = ::write(fd_, bytes.constData() + written, bytes.size() - written);
        if (n > 0) {
            written += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            failure = systemError(errno);
        } else {
            pollfd fd{fd_, POLLOUT, 0};
            if (deadline.hasExpired() ||
                ::poll(&fd, 1, static_cast<int>(deadline.remainingTime())) <= 0 ||
                (fd.revents & POLLOUT) == 0)
                break;
        }
    }
    // The bytes are the system's now; wait, as long as the deadline allows,
    // for them to leave it.
    while (failure.isEmpty() && unsent() > 0 && !deviceGone() && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const qsizetype sent = written - unsent();
    settle();
    // Bytes that did not all leave are a fault of the line, as a device that
    // went away is: the frame must not count as sent.
    if (fd_ >= 0 && sent < bytes.size())
        lose(PortRules::cannotWrite(
                 device_, failure.isEmpty() ? PortRules::notAllSent(sent, bytes.size()) : failure),
             CommError::Kind::Other);
}

void SerialControl::pull(qsizetype wanted) {
    char chunk[ReceiveBufferSize];
    while (fd_ >= 0 && received_.size() < wanted) {
        const ssize_t n = ::read(fd_, chunk, ReceiveBufferSize - received_.size());
        if (n <= 0)
            break;
        received_.append(chunk, n);
    }
    settle();
}

qsizetype SerialControl::unsent() const {
    int queued = 0;
    return fd_ >= 0 && ::ioctl(fd_, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

void SerialControl::lose(const QString& reason, CommError::Kind kind) {
    close();
    tellLost(reason, kind);
}

void SerialControl::close() {
    // Bytes still unsent are dropped first: closing a terminal otherwise waits
    // for them, up to half a minute on a serial port that does not send.
    if (fd_ >= 0) {
        ::tcflush(fd_, TCOFLUSH);
        ::close(std::exchange(fd_, -1));
    }
    lock_.release();
    received_.clear();
}

void SerialControl::settle() {
    if (fd_ >= 0 && deviceGone())
        lose(PortRules::disconnected(device_), CommError::Kind::NoDevice);
}

// A terminal whose far end went away, or whose device was removed, shows a
// hang-up in poll().
bool SerialControl::deviceGone() const {
    pollfd fd{fd_, 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}
