#include "protocol/winserialcontrol.h"

#include "protocol/winportdevices.h"
#include "protocol/winserialrules.h"

#include <QDeadlineTimer>
#include <QStringList>

#include <windows.h>

#include <algorithm>
#include <utility>

const int PortRules::LastPort = 256;

namespace {

HANDLE native(void* handle) {
    return static_cast<HANDLE>(handle);
}

} // namespace

WinSerialControl::WinSerialControl(QString programFolder) : ControlBase(std::move(programFolder)) {}

WinSerialControl::~WinSerialControl() {
    close();
}

bool WinSerialControl::PortOpen() const {
    return handle_ != nullptr && !deviceGone();
}

void WinSerialControl::setPortOpen(bool open) {
    // As on the other systems: a device that has gone meanwhile is let go
    // without reporting it lost, since the caller decides about the port now.
    if (handle_ != nullptr && deviceGone())
        close();
    if (open)
        openPort();
    else
        close();
}

QString WinSerialControl::deviceDescription() const {
    return PortOpen() ? description_ : QString();
}

void WinSerialControl::openPort() {
    if (handle_ != nullptr)
        fail(PortRules::alreadyOpen());

    const QString name = deviceToOpen();
    // The \\.\ form reaches every port, also those above COM9.
    device_ = name.startsWith(QStringLiteral("\\\\")) ? name : QStringLiteral("\\\\.\\") + name;
    const std::wstring path = device_.toStdWString();
    // No sharing: a port is one program's at a time.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const WinSerialRules::OpenFailure failure =
            WinSerialRules::openFailure(GetLastError(), device_);
        fail(failure.reason, failure.kind);
    }
    handle_ = handle;
    try {
        applySettings();
    } catch (const CommError&) {
        close();
        throw;
    }
    const WinPortDevices::DeviceName reported = WinPortDevices::deviceName(device_.mid(4));
    QStringList known{reported.friendlyName};
    if (!reported.serialNumber.isEmpty())
        known << QStringLiteral("serial number %1").arg(reported.serialNumber);
    known.removeAll(QString());
    description_ = portIs(device_);
    if (!known.isEmpty())
        description_ += QStringLiteral(" (%1)").arg(known.join(QStringLiteral(", ")));
}

void WinSerialControl::applySettings() {
    const HANDLE handle = native(handle_);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    // A read never waits; a write waits at most WriteTimeoutMs.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = PortRules::WriteTimeoutMs;
    bool applied = GetCommState(handle, &dcb) != 0;
    if (applied) {
        WinSerialRules::describeLine(line(), dcb);
        applied = SetCommState(handle, &dcb) != 0 &&
                  SetupComm(handle, PortRules::ReceiveBufferSize, PortRules::ReceiveBufferSize) &&
                  SetCommTimeouts(handle, &timeouts) != 0;
    }
    if (!applied)
        fail(PortRules::settingsRefused(device_, settingsText(),
                                        qt_error_string(static_cast<int>(GetLastError()))));
}

void WinSerialControl::close() {
    if (handle_ != nullptr)
        CloseHandle(native(handle_));
    handle_ = nullptr;
}

int WinSerialControl::InBufferCount() {
    settle();
    if (handle_ == nullptr)
        return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(native(handle_), &errors, &status)) {
        settle();
        return 0;
    }
    return static_cast<int>(std::min<DWORD>(status.cbInQue, PortRules::ReceiveBufferSize));
}

QByteArray WinSerialControl::Input() {
    settle();
    if (handle_ == nullptr)
        return {};
    QByteArray bytes(inputLen() == 0 ? PortRules::ReceiveBufferSize
                                     : std::min(inputLen(), PortRules::ReceiveBufferSize),
                     Qt::Uninitialized);
    DWORD received = 0;
    if (!ReadFile(native(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &received,
                  nullptr)) {
        settle();
        return {};
    }
    bytes.truncate(static_cast<qsizetype>(received));
    return bytes;
}

// The write itself waits at most WriteTimeoutMs (the port's write timeout);
// what it took then leaves the transmit buffer within the same time.
void WinSerialControl::Output(const QByteArray& bytes) {
    settle();
    if (handle_ == nullptr)
        return;
    const QDeadlineTimer deadline(PortRules::WriteTimeoutMs);
    DWORD written = 0;
    const DWORD error = WriteFile(native(handle_), bytes.constData(),
                                  static_cast<DWORD>(bytes.size()), &written, nullptr)
                            ? ERROR_SUCCESS
                            : GetLastError();
    qsizetype waiting = 0;
    while (error == ERROR_SUCCESS && (waiting = unsent()) > 0 && !deadline.hasExpired())
        Sleep(1);
    settle();
    if (handle_ == nullptr)
        return;
    const QString failure = WinSerialRules::writeFailure(
        error, bytes.size(), static_cast<qsizetype>(written) - std::max<qsizetype>(waiting, 0),
        device_);
    if (!failure.isEmpty())
        lose(failure, CommError::Kind::Other);
}

qsizetype WinSerialControl::unsent() const {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(native(handle_), &errors, &status))
        return -1;
    return static_cast<qsizetype>(status.cbOutQue);
}

void WinSerialControl::settle() {
    if (handle_ != nullptr && deviceGone())
        lose(PortRules::disconnected(device_), CommError::Kind::NoDevice);
}

void WinSerialControl::lose(const QString& reason, CommError::Kind kind) {
    close();
    tellLost(reason, kind);
}

// Every call on a port whose device has been removed fails; asking for its
// state is the cheapest of them.
bool WinSerialControl::deviceGone() const {
    return unsent() < 0;
}
