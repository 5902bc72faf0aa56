#include "protocol/receivelog.h"

#include <algorithm>

QByteArray ReceiveLog::append(const QByteArray& bytes) {
    const QByteArray kept = bytes.left(std::max<qsizetype>(0, Capacity - bytes_.size()));
    bytes_.append(kept);
    return kept;
}
