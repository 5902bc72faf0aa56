#include "protocol/winserialrules.h"

#include "protocol/portrules.h"

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

} // namespace WinSerialRules
