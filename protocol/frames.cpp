#include "protocol/frames.h"

namespace Frames {

namespace {

QByteArray upperHex(int value) {
    return QByteArray::number(value, 16).toUpper();
}

} // namespace

QByteArray wake() {
    return QByteArray(1, WakeByte);
}

QByteArray clockRead() {
    return QByteArray("H") + CR;
}

QByteArray clockSet(const QByteArray& clockText) {
    return "h" + clockText + CR;
}

QByteArray scheduleRead() {
    return QByteArray("B00") + CR;
}

QByteArray scheduleSet(const QByteArray& rateCode, const QByteArray& onTimeCode) {
    return "f" + rateCode + onTimeCode + CR;
}

QByteArray rateCode(int rateIndex) {
    return rateIndex == -1 ? QByteArray("00") : "0" + upperHex(rateIndex);
}

QByteArray onTimeCode(int seconds) {
    return ("00" + upperHex(seconds)).right(2);
}

} // namespace Frames
