#pragma once

#include <QSerialPort>
#include <QString>

// The line format of a serial port: speed, parity, data and stop bits, as
// the settings text "speed,parity,data,stop" describes it.
struct LineFormat {
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    bool operator==(const LineFormat&) const = default;
};

// Parses "speed,parity,data,stop", e.g. "9600,n,8,2":
// - speed: decimal digits only, 50 to 4000000;
// - parity: n (none), e (even), o (odd), m (mark) or s (space), either case;
// - data bits: 5, 6, 7 or 8;
// - stop bits: 1, 1.5 or 2.
// White space around each field is ignored ("9600, n, 8, 2" is accepted);
// anything else throws CommError naming the offending field.
LineFormat parseLineFormat(const QString& text);
