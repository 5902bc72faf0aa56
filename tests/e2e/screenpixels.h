#pragma once

#include <QImage>
#include <QList>
#include <QRect>

// Reading what the screen shows, for the tests that look at the window.
namespace ScreenPixels {

// The busy label's red (255, 0, 0), allowing for a little shading.
bool isBusyRed(QRgb pixel);
// Text and lines: dark in every colour, unlike the window's surfaces and
// the busy label's red.
bool isInk(QRgb pixel);

// How many pixels of `image` inside `area` (all of it when null) match.
int count(const QImage& image, bool (*matches)(QRgb), const QRect& area = QRect());

// Runs of neighbouring columns (or rows) that hold ink within `area`, closing
// gaps of up to `bridge` inkless lines. Each run is [first, last] as a QPoint
// (x = first, y = last).
QList<QPoint> inkColumns(const QImage& image, const QRect& area, int bridge);
QList<QPoint> inkRows(const QImage& image, const QRect& area, int bridge);

} // namespace ScreenPixels
