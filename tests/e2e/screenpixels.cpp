#include "screenpixels.h"

namespace ScreenPixels {

namespace {

constexpr int InkLevel = 110;

QList<QPoint> runs(const QList<bool>& inked, int offset, int bridge) {
    QList<QPoint> found;
    int start = -1;
    int last = -1;
    for (int i = 0; i < int(inked.size()); ++i) {
        if (!inked[i]) {
            continue;
        }
        if (start >= 0 && i - last - 1 > bridge) {
            found.append(QPoint(offset + start, offset + last));
            start = -1;
        }
        if (start < 0) {
            start = i;
        }
        last = i;
    }
    if (start >= 0) {
        found.append(QPoint(offset + start, offset + last));
    }
    return found;
}

QRect within(const QImage& image, const QRect& area) {
    return area.isNull() ? image.rect() : area.intersected(image.rect());
}

} // namespace

bool isBusyRed(QRgb pixel) {
    return qRed(pixel) >= 200 && qGreen(pixel) <= 60 && qBlue(pixel) <= 60;
}

bool isInk(QRgb pixel) {
    return qMax(qRed(pixel), qMax(qGreen(pixel), qBlue(pixel))) < InkLevel;
}

int count(const QImage& image, bool (*matches)(QRgb), const QRect& area) {
    const QRect box = within(image, area);
    int found = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            found += matches(image.pixel(x, y)) ? 1 : 0;
        }
    }
    return found;
}

QList<QPoint> inkColumns(const QImage& image, const QRect& area, int bridge) {
    const QRect box = within(image, area);
    QList<bool> inked(box.width(), false);
    for (int x = box.left(); x <= box.right(); ++x) {
        for (int y = box.top(); y <= box.bottom() && !inked[x - box.left()]; ++y) {
            inked[x - box.left()] = isInk(image.pixel(x, y));
        }
    }
    return runs(inked, box.left(), bridge);
}

QList<QPoint> inkRows(const QImage& image, const QRect& area, int bridge) {
    const QRect box = within(image, area);
    QList<bool> inked(box.height(), false);
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right() && !inked[y - box.top()]; ++x) {
            inked[y - box.top()] = isInk(image.pixel(x, y));
        }
    }
    return runs(inked, box.top(), bridge);
}

} // namespace ScreenPixels
