#include "config/declarations.h"

#include <algorithm>

void Declarations::setComRecord(const QByteArray& text) {
    ComRecord.fill(' ');
    std::copy_n(text.constData(), std::min<qsizetype>(text.size(), ComRecord.size()),
                ComRecord.begin());
}
