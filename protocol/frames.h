#pragma once

#include <QByteArray>

#include <chrono>

// What the program sends to the module. Every command goes out as the wake
// byte alone, a one-second pause, then one frame ending in a carriage return.
namespace Frames {

// The line the module listens on, as the serial control's settings text.
inline constexpr char Settings[] = "9600,n,8,2";
inline constexpr char WakeByte = '\x80';
// How long the module needs after the wake byte before it listens.
inline constexpr std::chrono::seconds WakePause{1};
inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

// The module's clock text, "yy/mm/dd hh:mm:ss", as a QDateTime format.
inline constexpr char ClockFormat[] = "yy/MM/dd HH:mm:ss";

QByteArray wake();
QByteArray clockRead();
// The clock text goes out exactly as given: not checked, trimmed or filled.
QByteArray clockSet(const QByteArray& clockText);
QByteArray scheduleRead();
QByteArray scheduleSet(const QByteArray& rateCode, const QByteArray& onTimeCode);

// The rate list: the entry each rate index stands for, from 0 to 6.
inline constexpr const char* RateTexts[] = {"30  Minutes", "1   Hour",  "2   Hours", "4   Hours",
                                            "6   Hours",   "12  Hours", "24  Hours"};
// The on-time range, in seconds.
inline constexpr int MinOnTime = 1;
inline constexpr int MaxOnTime = 240;

// "0" and the rate index in upper-case hex; "00" when nothing is selected (-1).
QByteArray rateCode(int rateIndex);
// The on-time as the last two of its upper-case hex digits, zero-padded:
// 1 gives "01", 240 gives "F0".
QByteArray onTimeCode(int seconds);

} // namespace Frames
