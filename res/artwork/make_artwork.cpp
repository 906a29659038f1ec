// Draws TAMIX's toolbar strips, busy animation and application icon with
// QPainter and writes them as PNG files into the folder given on the command
// line.  Everything is vector-drawn here so the artwork can be regenerated
// and tweaked without any external image sources.

#include <QtGui/QFont>
#include <QtGui/QFontInfo>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QPainterPathStroker>
#include <QtGui/QRadialGradient>
#include <QtCore/QDir>
#include <QtCore/QtMath>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kCellW = 22;
constexpr int kCellH = 20;
constexpr int kCells = 15;
const QRgb kKey = qRgb(255, 0, 255);

struct Palette {
    QColor outline;     // dark slate used for every contour
    QColor greenTop, greenBottom;
    QColor blueTop, blueBottom;
    QColor redTop, redBottom, redLine;
    QColor goldTop, goldBottom, goldLine;
    QColor paper, paperShade;
    QColor metalTop, metalBottom;
    QColor glass;
    QColor handle;
    QColor grey;
    QColor led;
};

Palette normalPalette()
{
    Palette p;
    p.outline = QColor(0x2e, 0x3b, 0x4a);
    p.greenTop = QColor(0x7f, 0xbf, 0x86);
    p.greenBottom = QColor(0x3f, 0x86, 0x4c);
    p.blueTop = QColor(0x7d, 0xa6, 0xd6);
    p.blueBottom = QColor(0x35, 0x64, 0xa0);
    p.redTop = QColor(0xd9, 0x5c, 0x52);
    p.redBottom = QColor(0xa8, 0x2e, 0x28);
    p.redLine = QColor(0x6e, 0x1c, 0x18);
    p.goldTop = QColor(0xf3, 0xd0, 0x6a);
    p.goldBottom = QColor(0xd6, 0x9e, 0x28);
    p.goldLine = QColor(0x7a, 0x55, 0x10);
    p.paper = QColor(0xfa, 0xfa, 0xf6);
    p.paperShade = QColor(0xdc, 0xdf, 0xe4);
    p.metalTop = QColor(0xcf, 0xd4, 0xdb);
    p.metalBottom = QColor(0x8f, 0x99, 0xa6);
    p.glass = QColor(0xc4, 0xdc, 0xf2);
    p.handle = QColor(0x4a, 0x3b, 0x30);
    p.grey = QColor(0x9a, 0xa2, 0xab);
    p.led = QColor(0x4f, 0xa8, 0x5a);
    return p;
}

// Mouse-over look: the same shapes, lighter and more saturated so the change
// is noticeable without the icon jumping around.
Palette hotPalette()
{
    Palette p;
    p.outline = QColor(0x1f, 0x33, 0x4a);
    p.greenTop = QColor(0x9c, 0xec, 0x9c);
    p.greenBottom = QColor(0x2f, 0xa8, 0x48);
    p.blueTop = QColor(0x9c, 0xc8, 0xff);
    p.blueBottom = QColor(0x2a, 0x72, 0xd0);
    p.redTop = QColor(0xff, 0x74, 0x62);
    p.redBottom = QColor(0xd0, 0x2a, 0x20);
    p.redLine = QColor(0x7a, 0x14, 0x10);
    p.goldTop = QColor(0xff, 0xe4, 0x6e);
    p.goldBottom = QColor(0xf2, 0xac, 0x10);
    p.goldLine = QColor(0x86, 0x5a, 0x00);
    p.paper = QColor(0xff, 0xff, 0xff);
    p.paperShade = QColor(0xe4, 0xea, 0xf2);
    p.metalTop = QColor(0xe2, 0xe8, 0xf0);
    p.metalBottom = QColor(0x94, 0xa4, 0xb8);
    p.glass = QColor(0xd2, 0xea, 0xff);
    p.handle = QColor(0x5a, 0x40, 0x2a);
    p.grey = QColor(0xa8, 0xb4, 0xc2);
    p.led = QColor(0x3c, 0xd0, 0x5a);
    return p;
}

QLinearGradient vertical(qreal y0, qreal y1, const QColor &top, const QColor &bottom)
{
    QLinearGradient g(0, y0, 0, y1);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

// Fills a path and gives it a one pixel contour.
void fillOutlined(QPainter &p, const QPainterPath &path, const QBrush &fill, const QColor &line,
                  qreal width = 1.0)
{
    p.fillPath(path, fill);
    QPen pen(line, width);
    pen.setJoinStyle(Qt::MiterJoin);
    p.strokePath(path, pen);
}

QPainterPath polygonPath(const std::vector<QPointF> &pts)
{
    QPainterPath path;
    path.moveTo(pts.front());
    for (size_t i = 1; i < pts.size(); ++i)
        path.lineTo(pts[i]);
    path.closeSubpath();
    return path;
}

// --- toolbar pictures --------------------------------------------------------
// Coordinates below are pixel centres (the painter is shifted by half a pixel),
// so straight one pixel contours land exactly on a pixel row or column.

QPainterPath arrowLeft()
{
    return polygonPath({{2, 9.5}, {10, 1.5}, {10, 6}, {19, 6}, {19, 13}, {10, 13}, {10, 17.5}});
}

void drawBack(QPainter &p, const Palette &c)
{
    fillOutlined(p, arrowLeft(), vertical(1, 18, c.greenTop, c.greenBottom), c.outline);
}

void drawForward(QPainter &p, const Palette &c)
{
    QTransform mirror(-1, 0, 0, 1, 21, 0);
    fillOutlined(p, mirror.map(arrowLeft()), vertical(1, 18, c.greenTop, c.greenBottom), c.outline);
}

void drawStop(QPainter &p, const Palette &c)
{
    const QPointF centre(10.5, 9.5);
    const qreal r = 9.0;
    std::vector<QPointF> pts;
    for (int i = 0; i < 8; ++i) {
        const qreal a = qDegreesToRadians(22.5 + 45.0 * i);
        pts.emplace_back(centre.x() + r * std::cos(a), centre.y() + r * std::sin(a));
    }
    fillOutlined(p, polygonPath(pts), vertical(1, 18, c.redTop, c.redBottom), c.redLine);
    QPen pen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    const qreal d = 3.4;
    p.drawLine(centre + QPointF(-d, -d), centre + QPointF(d, d));
    p.drawLine(centre + QPointF(d, -d), centre + QPointF(-d, d));
}

void drawRefresh(QPainter &p, const Palette &c)
{
    const QPointF centre(10.5, 10.3);
    const qreal r = 6.0;
    const QRectF box(centre.x() - r, centre.y() - r, 2 * r, 2 * r);
    // Clockwise from three o'clock almost all the way round, leaving a gap
    // at the top right for the arrow head.
    const qreal start = 0, sweep = -300;

    QPainterPath arc;
    arc.arcMoveTo(box, start);
    arc.arcTo(box, start, sweep);
    QPainterPathStroker stroker;
    stroker.setWidth(2.8);
    stroker.setCapStyle(Qt::FlatCap);
    QPainterPath band = stroker.createStroke(arc);

    // Arrow head at the end of the arc, pointing along the clockwise tangent.
    const qreal a = qDegreesToRadians(start + sweep);
    const QPointF end(centre.x() + r * std::cos(a), centre.y() - r * std::sin(a));
    const QPointF tangent(std::sin(a), std::cos(a));  // clockwise on screen
    const QPointF normal(std::cos(a), -std::sin(a));  // away from the centre
    const qreal half = 4.0, len = 4.0;
    QPainterPath head = polygonPath({end + normal * half - tangent * 0.5,
                                     end + tangent * len,
                                     end - normal * half - tangent * 0.5});
    // Contour both pieces first, then fill both: the fills hide the contour
    // where band and head meet, which looks like one outlined shape.
    QPen pen(c.outline, 2.0);
    pen.setJoinStyle(Qt::RoundJoin);  // mitred tips would poke out as spikes
    for (const QPainterPath *piece : {&band, &head}) {
        p.fillPath(*piece, c.outline);
        p.strokePath(*piece, pen);
    }
    const QLinearGradient fill = vertical(2, 18, c.blueTop, c.blueBottom);
    p.fillPath(band, fill);
    p.fillPath(head, fill);
}

void drawHome(QPainter &p, const Palette &c)
{
    // Chimney first so the roof overlaps its base.
    fillOutlined(p, polygonPath({{14, 2}, {17, 2}, {17, 7}, {14, 5}}), c.metalBottom, c.outline);
    QPainterPath walls = polygonPath({{4, 9}, {17, 9}, {17, 18}, {4, 18}});
    fillOutlined(p, walls, vertical(9, 18, c.paper, c.paperShade), c.outline);
    QPainterPath door = polygonPath({{9, 12}, {12, 12}, {12, 18}, {9, 18}});
    fillOutlined(p, door, vertical(12, 18, c.greenTop, c.greenBottom), c.outline);
    QPainterPath roof = polygonPath({{10.5, 1}, {20, 10}, {1, 10}});
    fillOutlined(p, roof, vertical(1, 10, c.blueTop, c.blueBottom), c.outline);
}

void drawSearch(QPainter &p, const Palette &c)
{
    // Handle under the ring so the ring edge stays round.
    QPen handle(c.outline, 4.2, Qt::SolidLine, Qt::RoundCap);
    p.setPen(handle);
    p.drawLine(QPointF(12.6, 12.1), QPointF(17.2, 16.7));
    QPen grip(c.handle, 2.2, Qt::SolidLine, Qt::RoundCap);
    p.setPen(grip);
    p.drawLine(QPointF(14.0, 13.5), QPointF(17.2, 16.7));

    const QPointF centre(8.5, 8);
    const qreal r = 6.0;
    QRadialGradient glass(centre + QPointF(-2, -2), r * 1.6);
    glass.setColorAt(0, Qt::white);
    glass.setColorAt(1, c.glass);
    p.setPen(Qt::NoPen);
    p.setBrush(glass);
    p.drawEllipse(centre, r, r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(c.outline, 1.0));
    p.drawEllipse(centre, r + 0.5, r + 0.5);
    p.setPen(QPen(c.blueBottom, 1.2));
    p.drawEllipse(centre, r - 0.6, r - 0.6);
}

QPainterPath starPath(const QPointF &centre, qreal outer, qreal inner)
{
    std::vector<QPointF> pts;
    for (int i = 0; i < 10; ++i) {
        const qreal rr = (i % 2 == 0) ? outer : inner;
        const qreal a = qDegreesToRadians(-90.0 + 36.0 * i);
        pts.emplace_back(centre.x() + rr * std::cos(a), centre.y() + rr * std::sin(a));
    }
    return polygonPath(pts);
}

void drawFavorites(QPainter &p, const Palette &c)
{
    QPainterPath star = starPath(QPointF(10.5, 10.3), 9.6, 4.0);
    QPen pen(c.goldLine, 1.0);
    pen.setJoinStyle(Qt::RoundJoin);
    p.fillPath(star, vertical(1, 18, c.goldTop, c.goldBottom));
    p.strokePath(star, pen);
}

void drawPrint(QPainter &p, const Palette &c)
{
    // Sheet going in at the back.
    fillOutlined(p, polygonPath({{6, 1}, {15, 1}, {15, 7}, {6, 7}}), c.paper, c.outline);
    // Body.
    QPainterPath body;
    body.addRoundedRect(QRectF(1, 6, 19, 9), 1.5, 1.5);
    fillOutlined(p, body, vertical(6, 15, c.metalTop, c.metalBottom), c.outline);
    p.fillRect(QRectF(15.5, 7.5, 2, 2), c.led);
    // Printed sheet coming out at the front.
    fillOutlined(p, polygonPath({{5, 11}, {16, 11}, {16, 18}, {5, 18}}), c.paper, c.outline);
    p.setPen(QPen(c.blueBottom, 1.0));
    p.drawLine(QPointF(7, 13), QPointF(14, 13));
    p.drawLine(QPointF(7, 15), QPointF(12, 15));
}

bool haveDejaVu()
{
    QFont f(QStringLiteral("DejaVu Sans"));
    return QFontInfo(f).family().contains(QStringLiteral("DejaVu"), Qt::CaseInsensitive);
}

// Glyph outline of `text`, moved so its ink box sits at `left` on `baseline`.
QPainterPath glyphPath(const QString &text, int pixelSize, qreal left, qreal baseline)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(true);
    f.setHintingPreference(QFont::PreferNoHinting);
    QPainterPath path;
    path.addText(QPointF(0, 0), f, text);
    return path.translated(left - path.boundingRect().left(), baseline);
}

void drawFont(QPainter &p, const Palette &c)
{
    if (haveDejaVu()) {
        // Undo the half pixel shift: glyph outlines are areas, not contours.
        p.save();
        p.translate(-0.5, -0.5);
        p.fillPath(glyphPath(QStringLiteral("A"), 16, 0.5, 18.0), c.outline);
        // The small letter is rendered as hinted text: at this size the hinter
        // keeps its bowl open, which a plain outline fill does not.
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(12);
        f.setBold(true);
        f.setHintingPreference(QFont::PreferFullHinting);
        p.setFont(f);
        p.setPen(c.blueBottom);
        p.drawText(QPointF(13, 18), QStringLiteral("a"));
        p.restore();
        return;
    }
    // No font available: stroke the letters by hand.
    QPen pen(c.outline, 2.4, Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin);
    p.setPen(pen);
    p.drawPolyline(QPolygonF({QPointF(1.5, 18), QPointF(6.5, 3), QPointF(11.5, 18)}));
    p.drawLine(QPointF(3.8, 12.5), QPointF(9.2, 12.5));
    p.setPen(QPen(c.blueBottom, 2.0));
    p.drawEllipse(QPointF(16, 15), 2.6, 2.6);
    p.drawLine(QPointF(19.4, 12.4), QPointF(19.4, 18));
}

void drawSpare(QPainter &p, const Palette &c)
{
    p.setPen(QPen(c.outline, 1.0));
    p.setBrush(c.grey);
    p.drawEllipse(QPointF(10.5, 9.5), 2.5, 2.5);
}

// Antialiased drawing is done on a transparent image and then reduced to
// "opaque colour or magenta key": half-covered edge pixels would otherwise
// blend with the key colour and show pink fringes once the key is removed.
QImage keyedCell(const std::function<void(QPainter &)> &draw)
{
    QImage img(kCellW, kCellH, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(0.5, 0.5);
        draw(p);
    }
    img = img.convertToFormat(QImage::Format_ARGB32);  // un-premultiplied colours
    QImage out(kCellW, kCellH, QImage::Format_RGB32);
    for (int y = 0; y < kCellH; ++y) {
        const QRgb *src = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        QRgb *dst = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < kCellW; ++x) {
            QRgb v = src[x];
            if (qAlpha(v) >= 128) {
                v = qRgb(qRed(v), qGreen(v), qBlue(v));
                // A real pixel must never be mistaken for the key.
                if (v == kKey)
                    v = qRgb(254, 0, 254);
            } else {
                v = kKey;
            }
            dst[x] = v;
        }
    }
    return out;
}

QImage toolbarStrip(const Palette &c)
{
    using Draw = void (*)(QPainter &, const Palette &);
    const Draw pictures[] = {drawBack, drawForward, drawStop, drawRefresh, drawHome,
                             drawSearch, drawFavorites, drawPrint, drawFont};
    constexpr int kPictures = sizeof(pictures) / sizeof(pictures[0]);

    QImage strip(kCellW * kCells, kCellH, QImage::Format_RGB32);
    strip.fill(kKey);
    QPainter p(&strip);
    for (int i = 0; i < kCells; ++i) {
        const Draw d = i < kPictures ? pictures[i] : drawSpare;
        p.drawImage(i * kCellW, 0, keyedCell([&](QPainter &cp) { d(cp, c); }));
    }
    return strip;
}

// --- busy animation ------------------------------------------------------------

constexpr int kBusyFrames = 40;
constexpr int kBusySize = 40;
constexpr int kDots = 12;

QImage busyStrip()
{
    QImage strip(kBusySize * kBusyFrames, kBusySize, QImage::Format_ARGB32_Premultiplied);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QColor head(0x2f, 0x62, 0xa8);
    const qreal ring = 14.0;
    for (int f = 0; f < kBusyFrames; ++f) {
        p.save();
        p.translate(f * kBusySize + kBusySize / 2.0, kBusySize / 2.0);
        // One full turn over the loop; frame 0 has the head at twelve o'clock.
        p.rotate(f * 360.0 / kBusyFrames);
        for (int d = 0; d < kDots; ++d) {
            // Dot d trails the head by d steps (counter-clockwise behind it).
            const qreal t = qreal(d) / (kDots - 1);
            const qreal a = qDegreesToRadians(-90.0 - d * 360.0 / kDots);
            const qreal radius = 3.2 - 1.4 * t;
            QColor col = head;
            col.setAlphaF(0.18 + 0.82 * std::pow(1.0 - t, 1.6));
            p.setBrush(col);
            p.drawEllipse(QPointF(ring * std::cos(a), ring * std::sin(a)), radius, radius);
        }
        p.restore();
    }
    p.end();
    return strip.convertToFormat(QImage::Format_ARGB32);
}

// --- application icon ----------------------------------------------------------
// Designed on a 256 unit grid and painted directly at the wanted size, so the
// small version stays sharp instead of being a blurred downscale.

QImage appIcon(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    const bool small = size < 96;

    // Tile.
    QPainterPath tile;
    tile.addRoundedRect(QRectF(8, 8, 240, 240), 48, 48);
    QLinearGradient bg(0, 8, 0, 248);
    bg.setColorAt(0, QColor(0x2f, 0x6c, 0xc0));
    bg.setColorAt(1, QColor(0x12, 0x33, 0x6e));
    p.fillPath(tile, bg);
    p.strokePath(tile, QPen(QColor(0x0c, 0x24, 0x50), small ? 8 : 4));

    // Open book, two gently curved pages meeting at the spine.
    const qreal top = 82, bottom = 206, spine = 128, edge = 34;
    auto page = [&](qreal outer) {
        QPainterPath path;
        path.moveTo(spine, top + 14);
        path.cubicTo(spine + (outer - spine) * 0.35, top - 10, spine + (outer - spine) * 0.7,
                     top - 8, outer, top + 2);
        path.lineTo(outer, bottom - 12);
        path.cubicTo(spine + (outer - spine) * 0.7, bottom - 22, spine + (outer - spine) * 0.35,
                     bottom - 24, spine, bottom);
        path.closeSubpath();
        return path;
    };
    const QColor pageLine(0x0c, 0x24, 0x50);
    // Cover edge peeking out below the pages.
    QPainterPath cover;
    cover.moveTo(edge - 8, top + 12);
    cover.lineTo(edge - 8, bottom - 2);
    cover.cubicTo(80, bottom - 14, 110, bottom - 10, spine, bottom + 12);
    cover.cubicTo(146, bottom - 10, 176, bottom - 14, 256 - edge + 8, bottom - 2);
    cover.lineTo(256 - edge + 8, top + 12);
    cover.lineTo(spine, bottom);
    cover.closeSubpath();
    p.fillPath(cover, QColor(0xe8, 0xa8, 0x30));

    for (int side = 0; side < 2; ++side) {
        const qreal outer = side == 0 ? edge : 256 - edge;
        QPainterPath pg = page(outer);
        QLinearGradient shade(spine, 0, outer, 0);
        shade.setColorAt(0, QColor(0xd4, 0xdf, 0xee));
        shade.setColorAt(0.25, QColor(0xff, 0xff, 0xff));
        shade.setColorAt(1, QColor(0xf4, 0xf7, 0xfb));
        p.fillPath(pg, shade);
        p.strokePath(pg, QPen(pageLine, small ? 5 : 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    }

    // Lines of text on both pages, sloping slightly towards the spine.
    const int lines = small ? 3 : 5;
    const qreal step = small ? 26 : 18;
    const qreal textWidth = small ? 9 : 6;
    auto drawText = [&](const QColor &colour, qreal width) {
        p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < lines; ++i) {
            const qreal y = top + 26 + i * step;
            const qreal shorten = i == lines - 1 ? 24 : 0;
            p.drawLine(QPointF(edge + 14, y), QPointF(spine - 18 - shorten, y + 4));
            p.drawLine(QPointF(spine + 18, y + 4), QPointF(256 - edge - 14 - shorten, y));
        }
    };
    drawText(QColor(0x8f, 0xa8, 0xc8), textWidth);

    // Magnifier over the right page.
    const QPointF lens(172, 120);
    const qreal lr = 40;
    QPen handleDark(QColor(0x0c, 0x24, 0x50), 30, Qt::SolidLine, Qt::RoundCap);
    p.setPen(handleDark);
    const QPointF h0 = lens + QPointF(lr * 0.72, lr * 0.72);
    const QPointF h1(222, 170);
    p.drawLine(h0, h1);
    p.setPen(QPen(QColor(0xe8, 0xa8, 0x30), 18, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(h0 + QPointF(6, 6), h1);

    QRadialGradient glass(lens + QPointF(-14, -14), lr * 1.4);
    glass.setColorAt(0, QColor(255, 255, 255, 235));
    glass.setColorAt(1, QColor(0xbf, 0xd9, 0xf5, 235));
    p.setPen(Qt::NoPen);
    p.setBrush(glass);
    p.drawEllipse(lens, lr, lr);
    // The page seen through the glass, enlarged.
    p.save();
    QPainterPath inside;
    inside.addEllipse(lens, lr, lr);
    p.setClipPath(inside);
    p.translate(lens);
    p.scale(1.6, 1.6);
    p.translate(-lens);
    drawText(QColor(0x5d, 0x7f, 0xac), textWidth);
    p.restore();
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x0c, 0x24, 0x50), 20));
    p.drawEllipse(lens, lr + 4, lr + 4);
    p.setPen(QPen(QColor(0xf2, 0xb8, 0x3c), 10));
    p.drawEllipse(lens, lr + 4, lr + 4);
    if (!small) {
        p.setPen(QPen(QColor(255, 255, 255, 200), 6, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(lens.x() - lr + 12, lens.y() - lr + 12, 2 * lr - 24, 2 * lr - 24),
                  100 * 16, 60 * 16);
    }
    p.end();
    return img.convertToFormat(QImage::Format_ARGB32);
}

bool save(const QImage &img, const QDir &dir, const char *name)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "make_artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    QGuiApplication app(argc, argv);
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "make_artwork: cannot create %s\n", argv[1]);
        return 1;
    }

    bool ok = true;
    ok &= save(toolbarStrip(normalPalette()), dir, "toolbar-normal.png");
    ok &= save(toolbarStrip(hotPalette()), dir, "toolbar-hot.png");
    ok &= save(busyStrip(), dir, "busy.png");
    ok &= save(appIcon(256), dir, "tamix.png");
    ok &= save(appIcon(48), dir, "tamix-48.png");
    return ok ? 0 : 1;
}
