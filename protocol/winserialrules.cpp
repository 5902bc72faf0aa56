#include "protocol/winserialrules.h"

#include "protocol/portrules.h"

#include <QStringList>

#include <algorithm>

namespace WinSerialRules {

OpenFailure openFailure(DWORD error, const QString& device) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return {PortRules::noSuchDevice(device), CommError::Kind::NoDevice};
    // A port is one program's at a time; the system refuses a second open as
    // access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return {PortRules::inUse(device, QString()), CommError::Kind::Other};
    default:
        return {PortRules::cannotOpen(device, qt_error_string(static_cast<int>(error))),
                CommError::Kind::Other};
    }
}

QString writeFailure(DWORD error, qsizetype size, qsizetype sent, const QString& device) {
    if (error != ERROR_SUCCESS)
        return PortRules::cannotWrite(device, qt_error_string(static_cast<int>(error)));
    if (sent < size)
        return PortRules::cannotWrite(device, PortRules::notAllSent(sent, size));
    return {};
}

void describeLine(const LineFormat& line, DCB& dcb) {
    dcb.BaudRate = static_cast<DWORD>(line.baudRate);
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    switch (line.parity) {
    case LineFormat::NoParity:
        dcb.Parity = NOPARITY;
        break;
    case LineFormat::EvenParity:
        dcb.Parity = EVENPARITY;
        break;
    case LineFormat::OddParity:
        dcb.Parity = ODDPARITY;
        break;
    case LineFormat::MarkParity:
        dcb.Parity = MARKPARITY;
        break;
    case LineFormat::SpaceParity:
        dcb.Parity = SPACEPARITY;
        break;
    }
    switch (line.stopBits) {
    case LineFormat::OneStop:
        dcb.StopBits = ONESTOPBIT;
        break;
    case LineFormat::OneAndHalfStop:
        dcb.StopBits = ONE5STOPBITS;
        break;
    case LineFormat::TwoStop:
        dcb.StopBits = TWOSTOPBITS;
        break;
    }
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity == LineFormat::NoParity ? FALSE : TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
}

int comNumber(const QString& name) {
    if (!name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    const QStringView digits = QStringView(name).mid(3);
    // Digits alone: no sign, blank or leading zero, which the system's own
    // names never have.
    if (digits.isEmpty() || digits.startsWith(u'0') ||
        !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return 0;
    bool ok = false;
    const int number = digits.toInt(&ok);
    return ok && number >= PortRules::FirstPort && number <= PortRules::LastPort ? number : 0;
}

QString usbSerialNumber(const QString& instanceId) {
    const QStringList parts = instanceId.split(u'\\');
    if (parts.size() != 3 || parts[0].compare(QLatin1String("USB"), Qt::CaseInsensitive) != 0 ||
        parts[2].isEmpty() || parts[2].contains(u'&'))
        return {};
    return parts[2];
}

} // namespace WinSerialRules
