#pragma once

#include <QString>
#include <QtGlobal>

// The line format of a serial port: speed, parity, data and stop bits, as
// the settings text "speed,parity,data,stop" describes it. The enumerations
// carry the values of QSerialPort's, so that a control built on it passes
// them straight through; other controls translate them.
struct LineFormat {
    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3, SpaceParity = 4, MarkParity = 5 };
    enum DataBits { Data5 = 5, Data6 = 6, Data7 = 7, Data8 = 8 };
    enum StopBits { OneStop = 1, TwoStop = 2, OneAndHalfStop = 3 };

    qint32 baudRate = 9600;
    Parity parity = NoParity;
    DataBits dataBits = Data8;
    StopBits stopBits = OneStop;

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
