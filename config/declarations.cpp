#include "config/declarations.h"

#include <algorithm>

namespace Declarations {

int ComPortNumber = 0;
int ReplyMode = 0;
Record ComRecord{};

void setComRecord(const QByteArray& text) {
    ComRecord.fill(' ');
    std::copy_n(text.constData(), std::min<qsizetype>(text.size(), ComRecord.size()),
                ComRecord.begin());
}

void reset() {
    ComPortNumber = 0;
    ReplyMode = 0;
    ComRecord.fill('\0');
}

} // namespace Declarations
