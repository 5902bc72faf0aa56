#pragma once

#include <QRect>

// The layout is drawn in twips: 1/1440 inch, 15 to a pixel at 96 dots per
// inch. Rounded to the nearest pixel.
constexpr int twips(int value) {
    return (value + 7) / 15;
}

constexpr QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twips(left), twips(top), twips(width), twips(height));
}
