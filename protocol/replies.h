#pragma once

#include <QByteArray>

#include <optional>

// Replies of the module, read by character position from the start of the
// receive log (position 1 is the first character). Nothing is validated: a
// field past the end of the log yields what exists of it.
namespace Replies {

// The six two-character fields at positions 2, 5, 8, 11, 14 and 17 joined as
// "yy/mm/dd hh:mm:ss"; the separators are always the fixed ones.
QByteArray clockText(const QByteArray& log);

// The value of one hex digit as the module's replies are read: a code above
// 58 less 55, anything else less 48. ':' gives 10, 'a' gives 42.
int hexDigitValue(char c);

struct Schedule {
    // From the decimal digit at position 6; anything else, or nothing, is 0.
    int rateDigit = 0;
    // From the hex digits at positions 8 and 9 when they give 1 to 240;
    // empty when out of range or when the log ends before position 9.
    std::optional<int> onTime;
};

Schedule schedule(const QByteArray& log);

} // namespace Replies
