// The shipped pictures: each draws, the arrows are mirror images in blue with "Read from"
// bending right, "Set PC" is green, and the icon files match velkaro.svg as it is now.

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>

namespace {

QImage render(const QString& path, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QSvgRenderer(path).render(&painter);
    return image;
}

// Worst and mean pixel distance between two pictures of one size: the largest difference
// in any premultiplied channel, so that the colour of a nearly transparent edge pixel counts
// only as much as it shows.
std::pair<int, double> difference(const QImage& a, const QImage& b) {
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int worst = 0;
    qint64 sum = 0;
    for (int y = 0; y < pa.height(); ++y) {
        for (int x = 0; x < pa.width(); ++x) {
            const QRgb p = pa.pixel(x, y), q = pb.pixel(x, y);
            const int d =
                std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                          std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            worst = std::max(worst, d);
            sum += d;
        }
    }
    return {worst, double(sum) / (pa.width() * pa.height())};
}

// How many pixels show, and the share of them in which colour channel `channel`
// (0 red, 1 green, 2 blue) stands out from the other two.
std::pair<int, double> census(const QImage& image, int channel) {
    int shown = 0, matching = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = qUnpremultiply(image.pixel(x, y));
            const int c[] = {qRed(p), qGreen(p), qBlue(p)};
            shown += qAlpha(p) >= 128;
            matching += qAlpha(p) >= 128 && c[channel] > c[(channel + 1) % 3] + 32 &&
                        c[channel] > c[(channel + 2) % 3] + 32;
        }
    }
    return {shown, shown ? double(matching) / shown : 0.0};
}

quint32 le(const QByteArray& data, qsizetype at, int bytes) {
    return bytes == 2 ? qFromLittleEndian<quint16>(data.constData() + at)
                      : qFromLittleEndian<quint32>(data.constData() + at);
}

} // namespace

class ArtworkTest : public QObject {
    Q_OBJECT

private slots:
    void pictures_data();
    void pictures();
    void setArrowIsMirrorOfReadArrow();
    void iconFilesHoldTheCurrentPicture();
};

void ArtworkTest::pictures_data() {
    QTest::addColumn<int>("channel");  // the colour that stands out: 1 green, 2 blue
    QTest::addColumn<double>("share"); // in at least this share of the shown pixels
    QTest::newRow("read") << 2 << 0.8;
    QTest::newRow("set") << 2 << 0.8;
    QTest::newRow("setpc") << 1 << 0.25;
    QTest::newRow("clear") << 0 << 0.0;
    QTest::newRow("velkaro") << 0 << 0.0;
}

// Each picture (named by the row) draws at the buttons' 32 px, in its colour.
void ArtworkTest::pictures() {
    QFETCH(int, channel);
    QFETCH(double, share);
    const auto [shown, found] =
        census(render(QString(":/%1.svg").arg(QTest::currentDataTag()), 32), channel);
    QVERIFY2(shown >= 32 * 32 / 8, qPrintable(QString("only %1 pixels show").arg(shown)));
    QVERIFY2(found >= share, qPrintable(QString("colour share %1").arg(found)));
}

void ArtworkTest::setArrowIsMirrorOfReadArrow() {
    const QImage read = render(":/read.svg", 32), set = render(":/set.svg", 32);
    QVERIFY(difference(set, read.mirrored(true, false)).first <= 32);
    // A picture that is its own mirror image would pass without pointing anywhere.
    QVERIFY(difference(set, read).first >= 200);
    // "Read from" bends to the right: its arrow head fills the upper right quarter.
    QVERIFY(census(read.copy(16, 0, 16, 16), 2).first >
            2 * census(read.copy(0, 0, 16, 16), 2).first);
}

// The icon holds 48, 32 and 16 px in 8 and 32 bits per pixel; its 32-bit images and
// velkaro.png must show what velkaro.svg draws now.
void ArtworkTest::iconFilesHoldTheCurrentPicture() {
    QFile file(":/velkaro.ico");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray ico = file.readAll();
    QVERIFY(ico.size() > 6 + 6 * 16);
    QCOMPARE(ico.left(6), QByteArray("\0\0\1\0\6\0", 6)); // an icon file of six images
    QStringList found;
    QList<std::pair<QImage, int>> images;
    for (qsizetype entry = 6; entry < 6 + 6 * 16; entry += 16) {
        const int size = quint8(ico[entry]), bits = int(le(ico, entry + 6, 2));
        const qsizetype bytes = le(ico, entry + 8, 4), at = le(ico, entry + 12, 4);
        found.append(QString("%1x%2").arg(size).arg(bits));
        QVERIFY(at + bytes <= ico.size());
        // BITMAPINFOHEADER: the height counts the colour bitmap and the mask.
        QCOMPARE((QList<quint32>{le(ico, at, 4), le(ico, at + 4, 4), le(ico, at + 8, 4),
                                 le(ico, at + 14, 2)}),
                 (QList<quint32>{40, quint32(size), quint32(2 * size), quint32(bits)}));
        const quint32 palette = bits == 8 ? (le(ico, at + 32, 4) ? le(ico, at + 32, 4) : 256) : 0;
        const auto rowBytes = [size](int bitCount) { return (size * bitCount + 31) / 32 * 4; };
        QCOMPARE(bytes, qsizetype(40 + 4 * palette +
                                  quint32(rowBytes(bits) + rowBytes(1)) * quint32(size)));
        if (bits == 32) {
            // Bottom-up rows of little-endian 0xAARRGGBB pixels.
            QImage image(size, size, QImage::Format_ARGB32);
            for (int i = 0; i < size * size; ++i) {
                image.setPixel(i % size, size - 1 - i / size, le(ico, at + 40 + 4 * i, 4));
            }
            images.append({image, size});
        }
    }
    found.sort();
    QCOMPARE(found, (QStringList{"16x32", "16x8", "32x32", "32x8", "48x32", "48x8"}));
    images.append({QImage(":/velkaro.png"), 48});
    for (const auto& [image, size] : images) {
        QCOMPARE(image.size(), QSize(size, size));
        const double mean = difference(image, render(":/velkaro.svg", size)).second;
        QVERIFY2(
            mean <= 1,
            qPrintable(QString("%1 px differs by %2: run velkaro-make-icon").arg(size).arg(mean)));
    }
}

QTEST_MAIN(ArtworkTest)
#include "tst_artwork.moc"
