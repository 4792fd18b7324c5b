// Draws the program's pictures: the converter glyph (About dialog and
// application icon), the small info glyph of the About button, and the
// Windows icon file holding the 128 and 256 pixel icons.
//
// Usage: drawimages OUTPUT_DIR
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>
#include <QtMath>

#include <cstdio>
#include <vector>

namespace {

QImage blank(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// An arrow pointing right whose shaft runs from `from` to `to`.
void drawArrow(QPainter &p, QPointF from, QPointF to, qreal width, const QColor &color)
{
    const qreal head = width * 2.4;
    QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawLine(from, to - QPointF(head * 0.5, 0));
    QPainterPath tip;
    tip.moveTo(to);
    tip.lineTo(to + QPointF(-head, -head * 0.75));
    tip.lineTo(to + QPointF(-head, head * 0.75));
    tip.closeSubpath();
    p.setPen(QPen(color, width * 0.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(color);
    p.drawPath(tip);
    p.setBrush(Qt::NoBrush);
}

// A rounded tile with a sampled waveform above (integer samples) turning into
// a smooth curve below (floating-point samples), with arrows both ways.
QImage converterGlyph(int size)
{
    QImage image = blank(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;

    const QRectF tile(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
    QLinearGradient background(tile.topLeft(), tile.bottomRight());
    background.setColorAt(0.0, QColor(0x3f, 0x8e, 0xe8));
    background.setColorAt(1.0, QColor(0x23, 0x3d, 0x8f));
    p.setPen(Qt::NoPen);
    p.setBrush(background);
    p.drawRoundedRect(tile, s * 0.2, s * 0.2);

    // A soft highlight over the upper half of the tile.
    QLinearGradient gloss(tile.topLeft(), QPointF(tile.left(), tile.center().y()));
    gloss.setColorAt(0.0, QColor(255, 255, 255, 60));
    gloss.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setBrush(gloss);
    p.drawRoundedRect(tile, s * 0.2, s * 0.2);

    // Upper row: sample bars of one sine period.
    const int bars = 11;
    const qreal left = s * 0.2, right = s * 0.8, upperY = s * 0.32, amplitude = s * 0.11;
    const qreal step = (right - left) / (bars - 1);
    p.setPen(QPen(Qt::white, s * 0.035, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < bars; ++i) {
        const qreal x = left + i * step;
        const qreal v = qSin(2 * M_PI * i / (bars - 1)) * amplitude;
        p.drawLine(QPointF(x, upperY), QPointF(x, upperY - v));
        p.drawPoint(QPointF(x, upperY - v));
    }
    p.setPen(QPen(QColor(255, 255, 255, 110), s * 0.012, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(left, upperY), QPointF(right, upperY));

    // Lower row: the same period as a continuous curve.
    const qreal lowerY = s * 0.7;
    QPainterPath curve;
    const int points = 96;
    for (int i = 0; i <= points; ++i) {
        const qreal x = left + (right - left) * i / points;
        const qreal y = lowerY - qSin(2 * M_PI * i / points) * amplitude;
        if (i == 0)
            curve.moveTo(x, y);
        else
            curve.lineTo(x, y);
    }
    p.setPen(QPen(QColor(0xff, 0xd1, 0x66), s * 0.045, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(curve);

    // Between the rows: one arrow each way.
    const QColor arrow(255, 255, 255, 215);
    const qreal arrowWidth = s * 0.025;
    p.save();
    p.translate(s * 0.42, s * 0.51);
    p.rotate(90);
    drawArrow(p, QPointF(-s * 0.06, 0), QPointF(s * 0.06, 0), arrowWidth, arrow);
    p.restore();
    p.save();
    p.translate(s * 0.58, s * 0.51);
    p.rotate(-90);
    drawArrow(p, QPointF(-s * 0.06, 0), QPointF(s * 0.06, 0), arrowWidth, arrow);
    p.restore();
    return image;
}

// A blue disc with a white "i", drawn from shapes so no font is needed.
QImage infoGlyph(int size)
{
    QImage image = blank(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const QRectF disc(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
    QRadialGradient fill(disc.center() - QPointF(s * 0.15, s * 0.2), s * 0.6);
    fill.setColorAt(0.0, QColor(0x6c, 0xb0, 0xff));
    fill.setColorAt(1.0, QColor(0x1f, 0x5f, 0xc8));
    p.setPen(QPen(QColor(0x17, 0x4a, 0xa0), s * 0.05));
    p.setBrush(fill);
    p.drawEllipse(disc);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(s * 0.5, s * 0.29), s * 0.085, s * 0.085);
    p.drawRoundedRect(QRectF(s * 0.42, s * 0.42, s * 0.16, s * 0.36), s * 0.05, s * 0.05);
    return image;
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An .ico file whose entries are PNG images, as Windows reads them since
// Vista; 32 bits per pixel each.
QByteArray icoFile(const std::vector<QImage> &images)
{
    std::vector<QByteArray> pngs;
    for (const QImage &image : images)
        pngs.push_back(pngBytes(image));

    QByteArray out;
    auto u16 = [&out](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        out.append(b, 2);
    };
    auto u32 = [&out](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        out.append(b, 4);
    };
    u16(0); // reserved
    u16(1); // icon
    u16(quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const int side = images[i].width();
        out.append(char(side >= 256 ? 0 : side)); // 0 stands for 256
        out.append(char(side >= 256 ? 0 : side));
        out.append(char(0)); // no palette
        out.append(char(0)); // reserved
        u16(1);              // colour planes
        u16(32);             // bits per pixel
        u32(quint32(pngs[i].size()));
        u32(offset);
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray &png : pngs)
        out.append(png);
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: drawimages OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QImage icon128 = converterGlyph(128);
    const QImage icon256 = converterGlyph(256);
    const bool ok = writeFile(out.filePath("converter.png"), pngBytes(icon256)) &&
            writeFile(out.filePath("about.png"), pngBytes(infoGlyph(24))) &&
            writeFile(out.filePath("quorvia-128.png"), pngBytes(icon128)) &&
            writeFile(out.filePath("quorvia-256.png"), pngBytes(icon256)) &&
            writeFile(out.filePath("quorvia.ico"), icoFile({icon128, icon256}));
    return ok ? 0 : 1;
}
