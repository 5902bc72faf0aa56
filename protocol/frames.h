#pragma once

#include <QByteArray>

// What the program sends to the module. Every command goes out as the wake
// byte alone, a one-second pause, then one frame ending in a carriage return.
namespace Frames {

// The line the module listens on, as the serial control's settings text.
inline constexpr char Settings[] = "9600,n,8,2";
inline constexpr char WakeByte = '\x80';
inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

QByteArray wake();
QByteArray clockRead();
// The clock text goes out exactly as given: not checked, trimmed or filled.
QByteArray clockSet(const QByteArray& clockText);
QByteArray scheduleRead();
QByteArray scheduleSet(const QByteArray& rateCode, const QByteArray& onTimeCode);

// "0" and the rate index in upper-case hex; "00" when nothing is selected (-1).
QByteArray rateCode(int rateIndex);
// The on-time as the last two of its upper-case hex digits, zero-padded:
// 1 gives "01", 240 gives "F0".
QByteArray onTimeCode(int seconds);

} // namespace Frames
