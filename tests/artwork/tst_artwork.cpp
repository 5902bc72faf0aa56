// The button pictures and the window icon: every picture draws at the sizes the window
// uses, the two arrows are true mirror images in blue, "Set PC" carries its green arrow,
// and the committed icon files hold the images Windows and Linux expect, drawn from the
// current velkaro.svg.

#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSet>
#include <QSvgRenderer>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>

namespace {

QImage render(const QString& path, int size) {
    QSvgRenderer svg(path);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool opaque(QRgb pixel) {
    return qAlpha(pixel) >= 128;
}

// Compared premultiplied, so that the colour of a nearly transparent edge pixel counts
// only as much as it shows.
int channelDistance(QRgb a, QRgb b) {
    const QRgb pa = qPremultiply(a), pb = qPremultiply(b);
    return std::max({std::abs(qRed(pa) - qRed(pb)), std::abs(qGreen(pa) - qGreen(pb)),
                     std::abs(qBlue(pa) - qBlue(pb)), std::abs(qAlpha(pa) - qAlpha(pb))});
}

// Compares two equally sized pictures: the share of pixels that one shows and the other
// masks out, and the mean colour distance over the pixels both show.
struct Difference {
    double maskMismatch = 0;
    double meanDistance = 0;
};

Difference compare(const QImage& a, const QImage& b) {
    int mismatched = 0, shared = 0;
    qint64 distance = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb pa = a.pixel(x, y), pb = b.pixel(x, y);
            if (opaque(pa) != opaque(pb)) {
                ++mismatched;
            } else if (opaque(pa)) {
                ++shared;
                distance +=
                    std::max({std::abs(qRed(pa) - qRed(pb)), std::abs(qGreen(pa) - qGreen(pb)),
                              std::abs(qBlue(pa) - qBlue(pb))});
            }
        }
    }
    const double pixels = a.width() * a.height();
    return {mismatched / pixels, shared ? static_cast<double>(distance) / shared : 0.0};
}

template <typename Pred> double shareOfOpaque(const QImage& image, Pred pred) {
    int shown = 0, matching = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (opaque(p)) {
                ++shown;
                matching += pred(p) ? 1 : 0;
            }
        }
    }
    return shown ? static_cast<double>(matching) / shown : 0.0;
}

// One image of an icon file, decoded independently of Qt's icon reader.
struct IconImage {
    int size = 0;
    int bitCount = 0;
    int paletteSize = 0;
    QImage image;
};

quint16 u16(const QByteArray& data, qsizetype at) {
    return qFromLittleEndian<quint16>(data.constData() + at);
}

quint32 u32(const QByteArray& data, qsizetype at) {
    return qFromLittleEndian<quint32>(data.constData() + at);
}

qsizetype rowBytes(int width, int bitCount) {
    return (width * bitCount + 31) / 32 * 4;
}

// Reads ICONDIR, the ICONDIRENTRYs and each BITMAPINFOHEADER image (palette, bottom-up
// colour bitmap, 1-bit transparency mask). Returns what is wrong, or an empty string.
QString parseIcon(const QByteArray& file, QList<IconImage>& images) {
    if (file.size() < 6 || u16(file, 0) != 0 || u16(file, 2) != 1)
        return "no icon directory";
    const int count = u16(file, 4);
    if (file.size() < 6 + 16 * count)
        return "directory cut short";
    for (int i = 0; i < count; ++i) {
        const qsizetype entry = 6 + 16 * i;
        const int width = static_cast<uchar>(file[entry]) ? static_cast<uchar>(file[entry]) : 256;
        const int height =
            static_cast<uchar>(file[entry + 1]) ? static_cast<uchar>(file[entry + 1]) : 256;
        const int bitCount = u16(file, entry + 6);
        const qsizetype bytes = u32(file, entry + 8);
        const qsizetype at = u32(file, entry + 12);
        if (width != height)
            return QString("image %1 is not square").arg(i);
        if (at + bytes > file.size() || bytes < 40)
            return QString("image %1 lies outside the file").arg(i);
        if (u32(file, at) != 40 || static_cast<int>(u32(file, at + 4)) != width ||
            static_cast<int>(u32(file, at + 8)) != 2 * height || u16(file, at + 12) != 1 ||
            u16(file, at + 14) != bitCount || u32(file, at + 16) != 0)
            return QString("image %1 has a header that disagrees with its entry").arg(i);
        if (bitCount != 8 && bitCount != 32)
            return QString("image %1 has %2 bits per pixel").arg(i).arg(bitCount);
        const quint32 clrUsed = u32(file, at + 32);
        const int paletteSize = bitCount == 8 ? (clrUsed ? static_cast<int>(clrUsed) : 256) : 0;
        if (paletteSize > 256)
            return QString("image %1 has a palette of %2 colours").arg(i).arg(paletteSize);
        const qsizetype colourRow = rowBytes(width, bitCount), maskRow = rowBytes(width, 1);
        const qsizetype palette = at + 40, colours = palette + 4 * paletteSize;
        const qsizetype mask = colours + colourRow * height;
        if (mask + maskRow * height != at + bytes)
            return QString("image %1 has %2 bytes, not the size its layout needs")
                .arg(i)
                .arg(bytes);

        QImage image(width, height, QImage::Format_ARGB32);
        for (int y = 0; y < height; ++y) {
            const qsizetype row = colours + colourRow * (height - 1 - y);
            const qsizetype maskBits = mask + maskRow * (height - 1 - y);
            for (int x = 0; x < width; ++x) {
                const bool masked = static_cast<uchar>(file[maskBits + x / 8]) & (0x80 >> (x % 8));
                QRgb pixel;
                if (bitCount == 8) {
                    const int index = static_cast<uchar>(file[row + x]);
                    if (index >= paletteSize)
                        return QString("image %1 uses colour %2 past its palette")
                            .arg(i)
                            .arg(index);
                    const qsizetype c = palette + 4 * index;
                    pixel = qRgba(static_cast<uchar>(file[c + 2]), static_cast<uchar>(file[c + 1]),
                                  static_cast<uchar>(file[c]), masked ? 0 : 255);
                } else {
                    const qsizetype c = row + 4 * x;
                    pixel = qRgba(static_cast<uchar>(file[c + 2]), static_cast<uchar>(file[c + 1]),
                                  static_cast<uchar>(file[c]), static_cast<uchar>(file[c + 3]));
                }
                image.setPixel(x, y, pixel);
            }
        }
        images.append({width, bitCount, paletteSize, image});
    }
    return {};
}

QList<IconImage> iconImages() {
    QFile file(":/velkaro.ico");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<IconImage> images;
    const QString error = parseIcon(file.readAll(), images);
    if (!error.isEmpty())
        qWarning("velkaro.ico: %s", qPrintable(error));
    return error.isEmpty() ? images : QList<IconImage>{};
}

const IconImage* imageOf(const QList<IconImage>& images, int size, int bitCount) {
    const auto it = std::find_if(images.begin(), images.end(), [&](const IconImage& image) {
        return image.size == size && image.bitCount == bitCount;
    });
    return it == images.end() ? nullptr : &*it;
}

} // namespace

class ArtworkTest : public QObject {
    Q_OBJECT

private slots:
    void picturesDrawAtButtonAndSmallSize_data();
    void picturesDrawAtButtonAndSmallSize();
    void setArrowIsMirrorOfReadArrow_data();
    void setArrowIsMirrorOfReadArrow();
    void arrowsAreBlueAndBendTheirWay();
    void setPcShowsGreenArrowAroundLightFace();
    void clearShowsBlankSheet();
    void iconFileHoldsSixImages();
    void paletteImagesShowTheTrueColourPicture();
    void iconFilesFollowTheSvg();
    void qtReadsTheIconFile();
};

void ArtworkTest::picturesDrawAtButtonAndSmallSize_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    for (const char* name : {"read", "set", "setpc", "clear", "velkaro"}) {
        for (int size : {32, 16})
            QTest::addRow("%s@%d", name, size) << QString(":/%1.svg").arg(name) << size;
    }
}

void ArtworkTest::picturesDrawAtButtonAndSmallSize() {
    QFETCH(QString, path);
    QFETCH(int, size);
    QSvgRenderer svg(path);
    QVERIFY(svg.isValid());
    QCOMPARE(svg.defaultSize(), QSize(32, 32));

    const QImage image = render(path, size);
    int solid = 0;
    QSet<QRgb> colours;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) >= 200) {
                ++solid;
                colours.insert(p);
            }
        }
    }
    QVERIFY2(solid >= size * size / 8, qPrintable(QString("only %1 solid pixels").arg(solid)));
    QVERIFY2(colours.size() >= 3, "the picture is drawn in one flat colour");
}

void ArtworkTest::setArrowIsMirrorOfReadArrow_data() {
    QTest::addColumn<int>("size");
    QTest::newRow("16") << 16;
    QTest::newRow("32") << 32;
    QTest::newRow("128") << 128;
}

void ArtworkTest::setArrowIsMirrorOfReadArrow() {
    QFETCH(int, size);
    const QImage read = render(":/read.svg", size);
    const QImage set = render(":/set.svg", size);
    const QImage mirrored = read.mirrored(true, false);
    int worst = 0, selfWorst = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            worst = std::max(worst, channelDistance(set.pixel(x, y), mirrored.pixel(x, y)));
            selfWorst = std::max(selfWorst, channelDistance(set.pixel(x, y), read.pixel(x, y)));
        }
    }
    QVERIFY2(worst <= 32, qPrintable(QString("pixels differ by up to %1").arg(worst)));
    // A picture that is its own mirror image would pass the check above without
    // pointing anywhere.
    QVERIFY2(selfWorst >= 200, "the two arrows look the same");
}

void ArtworkTest::arrowsAreBlueAndBendTheirWay() {
    const auto blue = [](QRgb p) { return qBlue(p) > qRed(p) + 32 && qBlue(p) > qGreen(p) + 16; };
    const QImage read = render(":/read.svg", 32);
    const QImage set = render(":/set.svg", 32);
    QVERIFY(shareOfOpaque(read, blue) >= 0.8);
    QVERIFY(shareOfOpaque(set, blue) >= 0.8);

    // An arrow that curves to the right rises from the lower left and carries its head
    // over to the right: the upper half of the picture leans right.
    const auto upperCentre = [](const QImage& image) {
        double sum = 0;
        int count = 0;
        for (int y = 0; y < image.height() / 2; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (opaque(image.pixel(x, y))) {
                    sum += x + 0.5;
                    ++count;
                }
            }
        }
        return sum / count / image.width();
    };
    QVERIFY2(upperCentre(read) > 0.6, "the Read from arrow does not bend to the right");
    QVERIFY2(upperCentre(set) < 0.4, "the Set into arrow does not bend to the left");
}

void ArtworkTest::setPcShowsGreenArrowAroundLightFace() {
    const QImage image = render(":/setpc.svg", 32);
    const double green = shareOfOpaque(
        image, [](QRgb p) { return qGreen(p) > qRed(p) + 40 && qGreen(p) > qBlue(p) + 40; });
    QVERIFY2(green >= 0.25, qPrintable(QString("green share %1").arg(green)));
    // The arrow goes round the clock: the green lies on a ring about the centre,
    // the face inside it is light.
    const QRgb centreLeft = image.pixel(12, 13);
    QVERIFY(qRed(centreLeft) > 200 && qGreen(centreLeft) > 200 && qBlue(centreLeft) > 200);
    int greenQuadrants = 0;
    for (const QPoint& corner : {QPoint(0, 0), QPoint(16, 0), QPoint(0, 16), QPoint(16, 16)}) {
        const QImage quadrant = image.copy(QRect(corner, QSize(16, 16)));
        greenQuadrants +=
            shareOfOpaque(
                quadrant,
                [](QRgb p) { return qGreen(p) > qRed(p) + 40 && qGreen(p) > qBlue(p) + 40; }) > 0.1
                ? 1
                : 0;
    }
    QCOMPARE(greenQuadrants, 4);
}

void ArtworkTest::clearShowsBlankSheet() {
    const QImage image = render(":/clear.svg", 32);
    const double light = shareOfOpaque(
        image, [](QRgb p) { return qRed(p) >= 200 && qGreen(p) >= 200 && qBlue(p) >= 200; });
    QVERIFY2(light >= 0.7, qPrintable(QString("light share %1").arg(light)));
}

void ArtworkTest::iconFileHoldsSixImages() {
    QFile file(":/velkaro.ico");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<IconImage> images;
    const QString error = parseIcon(file.readAll(), images);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(images.size(), 6);
    for (int size : {48, 32, 16}) {
        for (int bitCount : {8, 32})
            QVERIFY2(imageOf(images, size, bitCount),
                     qPrintable(QString("no %1-pixel image in %2 bits").arg(size).arg(bitCount)));
    }
    for (const IconImage& image : images) {
        if (image.bitCount == 8)
            QVERIFY(image.paletteSize >= 2 && image.paletteSize <= 256);
    }
}

void ArtworkTest::paletteImagesShowTheTrueColourPicture() {
    const QList<IconImage> images = iconImages();
    QCOMPARE(images.size(), 6);
    for (int size : {48, 32, 16}) {
        const IconImage* palette = imageOf(images, size, 8);
        const IconImage* trueColour = imageOf(images, size, 32);
        QVERIFY(palette && trueColour);
        const Difference d = compare(palette->image, trueColour->image);
        QVERIFY2(d.maskMismatch <= 0.02 && d.meanDistance <= 6,
                 qPrintable(QString("%1 px: %2 of the outline and %3 levels of colour differ")
                                .arg(size)
                                .arg(d.maskMismatch)
                                .arg(d.meanDistance)));
    }
}

void ArtworkTest::iconFilesFollowTheSvg() {
    const auto check = [](const QImage& shipped, int size) {
        const Difference d = compare(shipped, render(":/velkaro.svg", size));
        return d.maskMismatch <= 0.02 && d.meanDistance <= 4;
    };
    const QList<IconImage> images = iconImages();
    QCOMPARE(images.size(), 6);
    for (const IconImage& image : images) {
        if (image.bitCount == 32)
            QVERIFY2(check(image.image, image.size),
                     "velkaro.ico is older than velkaro.svg: run velkaro-make-icon");
    }
    const QImage png(":/velkaro.png");
    QCOMPARE(png.size(), QSize(48, 48));
    QVERIFY(png.hasAlphaChannel());
    QVERIFY2(check(png.convertToFormat(QImage::Format_ARGB32), 48),
             "velkaro.png is older than velkaro.svg: run velkaro-make-icon");
}

void ArtworkTest::qtReadsTheIconFile() {
    if (!QImageReader::supportedImageFormats().contains("ico"))
        QSKIP("this Qt has no icon image plugin");
    const QList<IconImage> images = iconImages();
    QCOMPARE(images.size(), 6);
    QImageReader reader(":/velkaro.ico", "ico");
    QCOMPARE(reader.imageCount(), 6);
    for (int i = 0; i < images.size(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), QSize(images[i].size, images[i].size));
        const Difference d = compare(image, images[i].image);
        QCOMPARE(d.maskMismatch, 0.0);
        QVERIFY(d.meanDistance <= 1);
    }
}

QTEST_MAIN(ArtworkTest)
#include "tst_artwork.moc"
