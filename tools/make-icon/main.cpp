// Renders the window icon from its SVG source into the Windows icon file (48, 32 and
// 16 pixels, each once in 256 colours and once in 32-bit colour with alpha, and a
// 256-pixel PNG image for Explorer's large views) and into
// the 48-pixel PNG that Linux window managers use; or, for the installed package, into
// the PNG sizes of the desktop's hicolor icon theme; or any drawing into one square PNG
// picture, for builds whose toolkit has no SVG.

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QSvgRenderer>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace {

constexpr std::array<int, 3> IconFileSizes{48, 32, 16};
// Icon files hold their largest image as PNG; its directory entry gives its size as 0.
constexpr int LargeIconSize = 256;
constexpr int WindowPngSize = 48;
// The application sizes that desktops look up in the hicolor theme; the SVG serves the
// others.
constexpr std::array<int, 8> ThemeSizes{16, 22, 24, 32, 48, 64, 128, 256};
constexpr int PaletteSize = 256;
constexpr int MaxPictureSize = 1024;
// In the 256-colour images a pixel is either painted in full or masked out.
constexpr int ShownAlpha = 128;

QImage render(QSvgRenderer& svg, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool isShown(QRgb pixel) {
    return qAlpha(pixel) >= ShownAlpha;
}

QImage opaquePart(const QImage& argb) {
    QImage rgb(argb.size(), QImage::Format_RGB32);
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb p = argb.pixel(x, y);
            rgb.setPixel(x, y, isShown(p) ? qRgb(qRed(p), qGreen(p), qBlue(p)) : qRgb(0, 0, 0));
        }
    }
    return rgb;
}

// Palette by popularity: colours fall into boxes of 8 levels per channel and the
// fullest boxes give their mean colour. A small icon seldom fills more boxes than
// the palette holds, so every pixel keeps a near-exact colour without dithering
// (Qt's own palette for more than 256 colours is a coarse colour cube).
QList<QRgb> paletteFor(const QImage& rgb) {
    struct Box {
        qint64 red = 0, green = 0, blue = 0, count = 0;
    };
    std::vector<Box> boxes(32 * 32 * 32);
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb p = rgb.pixel(x, y);
            Box& box = boxes[(qRed(p) >> 3) << 10 | (qGreen(p) >> 3) << 5 | qBlue(p) >> 3];
            box.red += qRed(p);
            box.green += qGreen(p);
            box.blue += qBlue(p);
            ++box.count;
        }
    }
    std::erase_if(boxes, [](const Box& box) { return box.count == 0; });
    std::stable_sort(boxes.begin(), boxes.end(),
                     [](const Box& a, const Box& b) { return a.count > b.count; });
    if (boxes.size() > PaletteSize)
        boxes.resize(PaletteSize);
    QList<QRgb> palette;
    for (const Box& box : boxes) {
        palette.append(qRgb(static_cast<int>(box.red / box.count),
                            static_cast<int>(box.green / box.count),
                            static_cast<int>(box.blue / box.count)));
    }
    return palette;
}

QImage indexed(const QImage& argb) {
    const QImage rgb = opaquePart(argb);
    return rgb.convertToFormat(QImage::Format_Indexed8, paletteFor(rgb), Qt::ThresholdDither);
}

void put8(QByteArray& out, int value) {
    out.append(static_cast<char>(value));
}

void put16(QByteArray& out, quint16 value) {
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

quint32 rowBytes(int width, int bitCount) {
    return static_cast<quint32>((width * bitCount + 31) / 32 * 4);
}

// One image of the icon file: a BITMAPINFOHEADER whose height counts the colour
// bitmap and the mask together, the palette (256-colour images only), the colour
// bitmap and the 1-bit mask (set bits are transparent). Both bitmaps run bottom-up
// with their rows padded to 32 bits.
QByteArray iconImage(const QImage& argb, int bitCount) {
    const int size = argb.width();
    const QImage colours = bitCount == 8 ? indexed(argb) : argb;
    const quint32 colourRow = rowBytes(size, bitCount);
    const quint32 maskRow = rowBytes(size, 1);
    const auto height = static_cast<quint32>(size);

    QByteArray out;
    put32(out, 40);
    put32(out, height);
    put32(out, 2 * height);
    put16(out, 1);
    put16(out, static_cast<quint16>(bitCount));
    put32(out, 0);
    put32(out, (colourRow + maskRow) * height);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);

    if (bitCount == 8) {
        for (int i = 0; i < PaletteSize; ++i) {
            const QRgb c = i < colours.colorCount() ? colours.color(i) : qRgb(0, 0, 0);
            put8(out, qBlue(c));
            put8(out, qGreen(c));
            put8(out, qRed(c));
            put8(out, 0);
        }
    }
    for (int y = size - 1; y >= 0; --y) {
        QByteArray row;
        for (int x = 0; x < size; ++x) {
            if (bitCount == 8) {
                put8(row, colours.pixelIndex(x, y));
            } else {
                const QRgb c = argb.pixel(x, y);
                put8(row, qBlue(c));
                put8(row, qGreen(c));
                put8(row, qRed(c));
                put8(row, qAlpha(c));
            }
        }
        row.resize(colourRow, '\0');
        out += row;
    }
    for (int y = size - 1; y >= 0; --y) {
        QByteArray row(maskRow, '\0');
        for (int x = 0; x < size; ++x) {
            if (!isShown(argb.pixel(x, y)))
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        }
        out += row;
    }
    return out;
}

// ICONDIR, one ICONDIRENTRY per image, then the images: all sizes in 256 colours,
// then all sizes in 32-bit colour, then the large PNG image.
QByteArray iconFile(QSvgRenderer& svg) {
    struct Entry {
        int size;
        int bitCount;
        QByteArray data;
    };
    std::vector<Entry> entries;
    for (int bitCount : {8, 32}) {
        for (int size : IconFileSizes)
            entries.push_back({size, bitCount, iconImage(render(svg, size), bitCount)});
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    render(svg, LargeIconSize).save(&buffer, "PNG");
    entries.push_back({LargeIconSize, 32, png});
    const auto count = static_cast<quint16>(entries.size());
    QByteArray out;
    put16(out, 0);
    put16(out, 1);
    put16(out, count);
    auto offset = static_cast<quint32>(6 + 16 * count);
    for (const Entry& entry : entries) {
        put8(out, entry.size % 256);
        put8(out, entry.size % 256);
        put8(out, 0);
        put8(out, 0);
        put16(out, 1);
        put16(out, static_cast<quint16>(entry.bitCount));
        put32(out, static_cast<quint32>(entry.data.size()));
        put32(out, offset);
        offset += static_cast<quint32>(entry.data.size());
    }
    for (const Entry& entry : entries)
        out += entry.data;
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// FOLDER/<size>x<size>/apps/<name>.png for every theme size.
bool writeThemeIcons(QSvgRenderer& svg, const QString& folder, const QString& name) {
    for (int size : ThemeSizes) {
        const QString sizeFolder = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        const QString path = sizeFolder + QLatin1Char('/') + name + QStringLiteral(".png");
        if (!QDir().mkpath(sizeFolder) || !render(svg, size).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
    }
    return true;
}

bool writeWindowIcons(QSvgRenderer& svg, const QString& icoPath, const QString& pngPath) {
    if (!writeFile(icoPath, iconFile(svg))) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(icoPath));
        return false;
    }
    if (!render(svg, WindowPngSize).save(pngPath, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(pngPath));
        return false;
    }
    return true;
}

bool writePicture(QSvgRenderer& svg, int size, const QString& path) {
    if (!render(svg, size).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Renders velkaro.svg into velkaro.ico and velkaro.png, or with --hicolor "
                       "into FOLDER/<size>x<size>/apps/velkaro.png for the hicolor theme, or "
                       "with --png any SVG drawing into one PNG picture."));
    const QCommandLineOption hicolor(QStringLiteral("hicolor"),
                                     QStringLiteral("Writes the icon theme sizes into FOLDER."),
                                     QStringLiteral("FOLDER"));
    parser.addOption(hicolor);
    const QCommandLineOption png(QStringLiteral("png"),
                                 QStringLiteral("Writes one PNG picture of SIZE pixels square."),
                                 QStringLiteral("SIZE"));
    parser.addOption(png);
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("svg"), QStringLiteral("The SVG picture."));
    parser.addPositionalArgument(QStringLiteral("ico png"),
                                 QStringLiteral("The files to write, without --hicolor."));
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    bool sized = false;
    const int size = parser.value(png).toInt(&sized);
    if (files.size() != (parser.isSet(hicolor) ? 1
                         : parser.isSet(png)   ? 2
                                               : 3) ||
        (parser.isSet(png) && (!sized || size < 1 || size > MaxPictureSize))) {
        parser.showHelp(2);
    }
    QSvgRenderer svg(files[0]);
    if (!svg.isValid()) {
        std::fprintf(stderr, "cannot read the SVG picture %s\n", qPrintable(files[0]));
        return 1;
    }
    const bool written =
        parser.isSet(hicolor)
            ? writeThemeIcons(svg, parser.value(hicolor), QFileInfo(files[0]).completeBaseName())
        : parser.isSet(png) ? writePicture(svg, size, files[1])
                            : writeWindowIcons(svg, files[1], files[2]);
    return written ? 0 : 1;
}
