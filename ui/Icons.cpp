#include "ui/Icons.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

#include <array>

namespace Icons {
namespace {

// One palette for every picture, so the toolbar and the tree look like one family.
const QColor kOutline(0x33, 0x3d, 0x4a);
const QColor kFolderLight(0xff, 0xd8, 0x6b);
const QColor kFolderDark(0xe8, 0xa3, 0x1c);
const QColor kFolderEdge(0xb0, 0x74, 0x0c);
const QColor kGreen(0x2f, 0x9e, 0x44);
const QColor kGreenDark(0x1f, 0x73, 0x30);
const QColor kRed(0xd9, 0x34, 0x2b);
const QColor kRedDark(0x9c, 0x1f, 0x18);
const QColor kBlue(0x2f, 0x6f, 0xd0);
const QColor kBlueDark(0x1d, 0x48, 0x8c);
const QColor kPaper(0xfb, 0xfc, 0xfe);
const QColor kPaperEdge(0x7b, 0x86, 0x94);

QPen OutlinePen(const QColor& color, qreal width) {
    QPen pen(color, width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

QPixmap BlankPixmap(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void SetupPainter(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// A closed folder filling `box`; used by the toolbar and as the tree's fallback.
void DrawFolder(QPainter& p, const QRectF& box, bool open) {
    const qreal w = box.width();
    const qreal h = box.height();
    const qreal x = box.left();
    const qreal y = box.top();
    const qreal edge = qMax<qreal>(1.0, w / 24.0);

    // Back plate with its tab.
    QPainterPath back;
    back.moveTo(x, y + h * 0.16);
    back.lineTo(x + w * 0.38, y + h * 0.16);
    back.lineTo(x + w * 0.46, y + h * 0.28);
    back.lineTo(x + w, y + h * 0.28);
    back.lineTo(x + w, y + h);
    back.lineTo(x, y + h);
    back.closeSubpath();
    p.setPen(OutlinePen(kFolderEdge, edge));
    p.setBrush(kFolderDark);
    p.drawPath(back);

    QLinearGradient front(box.topLeft(), box.bottomLeft());
    front.setColorAt(0.0, kFolderLight);
    front.setColorAt(1.0, kFolderDark);
    p.setBrush(front);
    if (open) {
        // The front flap tilts forward.
        QPolygonF flap;
        flap << QPointF(x + w * 0.16, y + h * 0.44) << QPointF(x + w, y + h * 0.44)
             << QPointF(x + w * 0.84, y + h) << QPointF(x, y + h);
        p.drawPolygon(flap);
    } else {
        p.drawRoundedRect(QRectF(x, y + h * 0.38, w, h * 0.62), edge, edge);
    }
}

void DrawCheck(QPainter& p, const QPointF& a, const QPointF& b, const QPointF& c, const QColor& color,
               qreal width) {
    p.setPen(OutlinePen(color, width));
    p.setBrush(Qt::NoBrush);
    QPolygonF check;
    check << a << b << c;
    p.drawPolyline(check);
}

// An arrow head at `tip` pointing along `angleDegrees` (0 = right, 90 = down).
void DrawArrowHead(QPainter& p, const QPointF& tip, qreal angleDegrees, qreal length, const QColor& fill) {
    const qreal a = qDegreesToRadians(angleDegrees);
    const qreal spread = qDegreesToRadians(32.0);
    QPolygonF head;
    head << tip << tip - QPointF(length * qCos(a - spread), length * qSin(a - spread))
         << tip - QPointF(length * qCos(a + spread), length * qSin(a + spread));
    p.setPen(OutlinePen(fill, 1.0));
    p.setBrush(fill);
    p.drawPolygon(head);
}

// Two arcs chasing each other around `centre`; the sign of the update command and of a site
// that waits or runs.
void DrawCirclingArrows(QPainter& p, const QPointF& centre, qreal radius, qreal stroke, const QColor& color) {
    const QRectF circle(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    QPen pen = OutlinePen(color, stroke);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    // Qt measures arcs counter-clockwise from 3 o'clock in 1/16 degrees; each arc runs clockwise
    // towards its head.
    const qreal headLength = stroke * 2.3;
    for (int half = 0; half < 2; ++half) {
        const qreal startDeg = 200.0 + 180.0 * half; // where the tail sits
        const qreal spanDeg = -125.0;                // clockwise
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawArc(circle, int(startDeg * 16), int(spanDeg * 16));
        const qreal endDeg = startDeg + spanDeg;
        const qreal endRad = qDegreesToRadians(endDeg);
        // Screen y grows downwards, so the point on the circle is (cos, -sin).
        const QPointF end(centre.x() + radius * qCos(endRad), centre.y() - radius * qSin(endRad));
        // Clockwise tangent on screen at that point.
        const qreal tangent = qRadiansToDegrees(qAtan2(qCos(endRad), -qSin(endRad)));
        const QPointF tip =
            end +
            QPointF(qCos(qDegreesToRadians(tangent)), qSin(qDegreesToRadians(tangent))) * (headLength * 0.55);
        DrawArrowHead(p, tip, tangent, headLength, color);
    }
}

// A thick arrow pointing right, drawn in a box; mirrored for "back".
void DrawStraightArrow(QPainter& p, const QRectF& box, bool pointLeft) {
    p.save();
    if (pointLeft) {
        p.translate(box.center().x() * 2, 0);
        p.scale(-1, 1);
    }
    const qreal x = box.left(), y = box.top(), w = box.width(), h = box.height();
    QPolygonF arrow;
    arrow << QPointF(x, y + h * 0.36) << QPointF(x + w * 0.52, y + h * 0.36)
          << QPointF(x + w * 0.52, y + h * 0.08) << QPointF(x + w, y + h * 0.5)
          << QPointF(x + w * 0.52, y + h * 0.92) << QPointF(x + w * 0.52, y + h * 0.64)
          << QPointF(x, y + h * 0.64);
    QLinearGradient fill(box.topLeft(), box.bottomLeft());
    fill.setColorAt(0.0, kBlue.lighter(135));
    fill.setColorAt(1.0, kBlue);
    p.setPen(OutlinePen(kBlueDark, 1.2));
    p.setBrush(fill);
    p.drawPolygon(arrow);
    p.restore();
}

void DrawPage(QPainter& p, const QRectF& page) {
    const qreal fold = page.width() * 0.3;
    QPolygonF sheet;
    sheet << page.topLeft() << QPointF(page.right() - fold, page.top())
          << QPointF(page.right(), page.top() + fold) << page.bottomRight() << page.bottomLeft();
    p.setPen(OutlinePen(kPaperEdge, 1.0));
    p.setBrush(kPaper);
    p.drawPolygon(sheet);
    QPolygonF corner;
    corner << QPointF(page.right() - fold, page.top()) << QPointF(page.right() - fold, page.top() + fold)
           << QPointF(page.right(), page.top() + fold);
    p.setBrush(QColor(0xdd, 0xe2, 0xea));
    p.drawPolygon(corner);
}

// ---- The nine toolbar pictures, each in a 32 x 28 canvas ----

void DrawMarkRead(QPainter& p) {
    DrawFolder(p, QRectF(2.5, 4.5, 24, 19), false);
    // White halo first so the check reads on the folder.
    DrawCheck(p, QPointF(13, 17), QPointF(19, 23), QPointF(29, 9), Qt::white, 6.0);
    DrawCheck(p, QPointF(13, 17), QPointF(19, 23), QPointF(29, 9), kGreen, 3.4);
}

void DrawHouse(QPainter& p) {
    // Walls.
    QLinearGradient wall(QPointF(0, 12), QPointF(0, 26));
    wall.setColorAt(0.0, QColor(0xfa, 0xf3, 0xe3));
    wall.setColorAt(1.0, QColor(0xe6, 0xd8, 0xb8));
    p.setPen(OutlinePen(kOutline, 1.2));
    p.setBrush(wall);
    p.drawRect(QRectF(7.5, 12.5, 17, 13));
    // Door and window.
    p.setBrush(QColor(0x8a, 0x55, 0x2b));
    p.drawRect(QRectF(13.5, 17.5, 5, 8));
    p.setBrush(QColor(0x9f, 0xd3, 0xf5));
    p.drawRect(QRectF(9.5, 15, 3, 3));
    p.drawRect(QRectF(19.5, 15, 3, 3));
    // Roof.
    QPolygonF roof;
    roof << QPointF(4, 14) << QPointF(16, 3) << QPointF(28, 14);
    QLinearGradient tile(QPointF(0, 3), QPointF(0, 14));
    tile.setColorAt(0.0, kRed.lighter(120));
    tile.setColorAt(1.0, kRedDark);
    p.setPen(OutlinePen(kRedDark.darker(130), 1.2));
    p.setBrush(tile);
    p.drawPolygon(roof);
}

void DrawPencil(QPainter& p) {
    DrawPage(p, QRectF(4.5, 2.5, 17, 23));
    p.setPen(OutlinePen(QColor(0xb8, 0xc2, 0xcf), 1.0));
    for (int line = 0; line < 4; ++line)
        p.drawLine(QPointF(7.5, 10.5 + 4 * line), QPointF(17.5, 10.5 + 4 * line));
    p.save();
    p.translate(21, 15);
    p.rotate(45);
    // Body, ferrule, tip; the pencil lies diagonally across the page.
    p.setPen(OutlinePen(kOutline, 1.0));
    p.setBrush(QColor(0xf5, 0xb0, 0x2e));
    p.drawRect(QRectF(-3, -11, 6, 15));
    p.setBrush(QColor(0xe0, 0x7a, 0x8a));
    p.drawRect(QRectF(-3, -13.5, 6, 2.5));
    QPolygonF tip;
    tip << QPointF(-3, 4) << QPointF(3, 4) << QPointF(0, 10);
    p.setBrush(QColor(0xf3, 0xdc, 0xb0));
    p.drawPolygon(tip);
    p.setBrush(kOutline);
    QPolygonF lead;
    lead << QPointF(-1.1, 7.8) << QPointF(1.1, 7.8) << QPointF(0, 10);
    p.drawPolygon(lead);
    p.restore();
}

void DrawAddPages(QPainter& p) {
    DrawPage(p, QRectF(9.5, 1.5, 15, 19));
    DrawPage(p, QRectF(5.5, 5.5, 15, 19));
    // Green plus in a disc at the lower right.
    QRadialGradient disc(QPointF(22, 18), 8);
    disc.setColorAt(0.0, kGreen.lighter(130));
    disc.setColorAt(1.0, kGreen);
    p.setPen(OutlinePen(kGreenDark, 1.0));
    p.setBrush(disc);
    p.drawEllipse(QPointF(23, 20), 7, 7);
    p.setPen(OutlinePen(Qt::white, 2.4));
    p.drawLine(QPointF(23, 16), QPointF(23, 24));
    p.drawLine(QPointF(19, 20), QPointF(27, 20));
}

void DrawMagnifier(QPainter& p) {
    // Handle first, lens on top of its end.
    p.setPen(OutlinePen(QColor(0x5a, 0x3b, 0x22), 5.0));
    p.drawLine(QPointF(19, 18), QPointF(27, 25));
    p.setPen(OutlinePen(QColor(0x9a, 0x67, 0x3c), 3.0));
    p.drawLine(QPointF(19.5, 18.5), QPointF(26.5, 24.5));
    QRadialGradient glass(QPointF(11, 9), 11);
    glass.setColorAt(0.0, QColor(0xff, 0xff, 0xff, 240));
    glass.setColorAt(1.0, QColor(0xa8, 0xd4, 0xf4, 230));
    p.setPen(OutlinePen(kOutline, 2.6));
    p.setBrush(glass);
    p.drawEllipse(QPointF(13, 12), 8.5, 8.5);
    p.setPen(OutlinePen(Qt::white, 1.6));
    p.drawArc(QRectF(8, 7, 8, 8), 100 * 16, 80 * 16);
}

void DrawUpdate(QPainter& p) {
    DrawCirclingArrows(p, QPointF(16, 14), 8.6, 3.2, kGreen);
}

void DrawBack(QPainter& p) {
    DrawStraightArrow(p, QRectF(4, 5, 24, 18), true);
}

void DrawForward(QPainter& p) {
    DrawStraightArrow(p, QRectF(4, 5, 24, 18), false);
}

void DrawUpAndBack(QPainter& p) {
    // A shaft that comes from the lower right, bends and points up at the upper left.
    QPainterPath shaft;
    shaft.moveTo(27, 24);
    shaft.lineTo(18, 24);
    shaft.quadTo(10, 24, 10, 15);
    shaft.lineTo(10, 11);
    p.setPen(OutlinePen(kBlueDark, 6.4));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shaft);
    p.setPen(OutlinePen(kBlue.lighter(120), 4.0));
    p.drawPath(shaft);
    QPolygonF head;
    head << QPointF(10, 2) << QPointF(18, 11.5) << QPointF(2, 11.5);
    p.setPen(OutlinePen(kBlueDark, 1.2));
    p.setBrush(kBlue.lighter(120));
    p.drawPolygon(head);
}

using DrawFn = void (*)(QPainter&);
constexpr std::array<DrawFn, kToolbarPictureCount> kToolbarDrawers = {
    DrawMarkRead, DrawHouse, DrawPencil,  DrawAddPages, DrawMagnifier,
    DrawUpdate,   DrawBack,  DrawForward, DrawUpAndBack};

// The disabled look: grey, lighter and fainter, the same shape.
QPixmap DisabledLook(const QPixmap& normal) {
    QImage image = normal.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb px = line[x];
            const int alpha = qAlpha(px);
            if (alpha == 0)
                continue;
            const int grey = 120 + qGray(px) * 110 / 255;
            line[x] = qRgba(grey, grey, grey, alpha * 3 / 4);
        }
    }
    return QPixmap::fromImage(image);
}

// ---- Site tree images, drawn in a 16-unit square and scaled ----

void DrawStar(QPainter& p) {
    QPolygonF star;
    for (int i = 0; i < 10; ++i) {
        const qreal radius = (i % 2 == 0) ? 7.4 : 3.1;
        const qreal angle = qDegreesToRadians(-90.0 + 36.0 * i);
        star << QPointF(8 + radius * qCos(angle), 8.6 + radius * qSin(angle));
    }
    QRadialGradient fill(QPointF(7, 6), 8);
    fill.setColorAt(0.0, QColor(0xff, 0xf1, 0x9a));
    fill.setColorAt(1.0, QColor(0xf6, 0xbf, 0x12));
    p.setPen(OutlinePen(QColor(0xc0, 0x7c, 0x00), 1.0));
    p.setBrush(fill);
    p.drawPolygon(star);
}

void DrawDisc(QPainter& p, const QColor& base, const QColor& edge) {
    QRadialGradient fill(QPointF(6, 5.5), 9);
    fill.setColorAt(0.0, base.lighter(140));
    fill.setColorAt(1.0, base);
    p.setPen(OutlinePen(edge, 1.0));
    p.setBrush(fill);
    p.drawEllipse(QPointF(8, 8), 7, 7);
}

void DrawFailed(QPainter& p) {
    DrawDisc(p, kRed, kRedDark);
    p.setPen(OutlinePen(Qt::white, 2.0));
    p.drawLine(QPointF(5.3, 5.3), QPointF(10.7, 10.7));
    p.drawLine(QPointF(10.7, 5.3), QPointF(5.3, 10.7));
}

void DrawSucceeded(QPainter& p) {
    DrawDisc(p, kGreen, kGreenDark);
    DrawCheck(p, QPointF(4.6, 8.2), QPointF(7.1, 10.8), QPointF(11.6, 5.4), Qt::white, 2.0);
}

void DrawEndedEarly(QPainter& p) {
    DrawDisc(p, kRed, kRedDark);
    p.setPen(OutlinePen(Qt::white, 2.2));
    p.drawLine(QPointF(4.6, 8), QPointF(11.4, 8));
}

void DrawWaiting(QPainter& p) {
    DrawCirclingArrows(p, QPointF(8, 8), 5.2, 2.0, kGreen);
}

void DrawFolderClosed16(QPainter& p) {
    DrawFolder(p, QRectF(1.5, 2.5, 13, 11), false);
}
void DrawFolderOpen16(QPainter& p) {
    DrawFolder(p, QRectF(1.5, 2.5, 13, 11), true);
}

constexpr std::array<DrawFn, kTreeImageCount> kTreeDrawers = {
    DrawFolderClosed16, DrawFolderOpen16, DrawStar, DrawFailed, DrawSucceeded, DrawEndedEarly, DrawWaiting};

// The desktop's standard folder pictures when the Adwaita theme is installed.
QPixmap SystemFolderPixmap(bool open, int size) {
    const QString name = open ? QStringLiteral("folder-open") : QStringLiteral("folder");
    const QIcon themed = QIcon::fromTheme(name);
    if (!themed.isNull()) {
        const QPixmap pixmap = themed.pixmap(size, size);
        if (!pixmap.isNull())
            return pixmap;
    }
    for (int candidate : {size, 16, 24, 32, 48}) {
        const QString path =
            QStringLiteral("/usr/share/icons/Adwaita/%1x%1/places/%2.png").arg(candidate).arg(name);
        if (!QFile::exists(path))
            continue;
        QPixmap pixmap(path);
        if (pixmap.isNull())
            continue;
        if (pixmap.width() != size)
            pixmap = pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return pixmap;
    }
    return {};
}

// ---- The program icon: a folder tree on a blue tile ----

void DrawAppIcon(QPainter& p) {
    // Drawn in a 64-unit square.
    QLinearGradient tile(QPointF(0, 0), QPointF(0, 64));
    tile.setColorAt(0.0, QColor(0x3d, 0x8b, 0xe6));
    tile.setColorAt(1.0, QColor(0x1b, 0x4f, 0xa8));
    p.setPen(OutlinePen(QColor(0x13, 0x3b, 0x80), 2.0));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 12, 12);
    // Tree lines.
    p.setPen(OutlinePen(QColor(255, 255, 255, 220), 3.0));
    p.drawLine(QPointF(17, 24), QPointF(17, 48));
    p.drawLine(QPointF(17, 36), QPointF(28, 36));
    p.drawLine(QPointF(17, 48), QPointF(28, 48));
    DrawFolder(p, QRectF(9, 9, 20, 16), false);
    DrawFolder(p, QRectF(29, 29, 18, 14), false);
    // A file page at the bottom branch.
    DrawPage(p, QRectF(30, 43, 11, 14));
    // Small "online" dot: green, the colour of a successful update.
    p.setPen(OutlinePen(Qt::white, 2.0));
    p.setBrush(kGreen);
    p.drawEllipse(QPointF(48, 16), 6.5, 6.5);
}

QPixmap RenderSquare(DrawFn draw, int units, int size) {
    QPixmap pixmap = BlankPixmap(size, size);
    QPainter painter(&pixmap);
    SetupPainter(painter);
    painter.scale(qreal(size) / units, qreal(size) / units);
    draw(painter);
    return pixmap;
}

} // namespace

// Caches hold images, not pixmaps: pixmaps must not outlive the application object.
namespace {

// One toolbar picture drawn at `scale` times its size (2 for high-density screens).
QPixmap RenderToolbar(int picture, bool disabled, int scale) {
    static QHash<int, QImage> cache;
    const int key = (picture * 2 + (disabled ? 1 : 0)) * 4 + scale;
    auto found = cache.constFind(key);
    if (found != cache.constEnd())
        return QPixmap::fromImage(*found);
    QPixmap pixmap = BlankPixmap(kToolbarWidth * scale, kToolbarHeight * scale);
    {
        QPainter painter(&pixmap);
        SetupPainter(painter);
        painter.scale(scale, scale);
        kToolbarDrawers[picture](painter);
    }
    if (disabled)
        pixmap = DisabledLook(pixmap);
    cache.insert(key, pixmap.toImage());
    return pixmap;
}

} // namespace

QPixmap ToolbarPixmap(int picture, bool disabled) {
    if (picture < 0 || picture >= kToolbarPictureCount)
        return BlankPixmap(kToolbarWidth, kToolbarHeight);
    return RenderToolbar(picture, disabled, 1);
}

QIcon ToolbarIcon(int picture) {
    QIcon icon;
    if (picture < 0 || picture >= kToolbarPictureCount)
        return icon;
    for (int scale : {1, 2}) {
        QPixmap normal = RenderToolbar(picture, false, scale);
        QPixmap disabled = RenderToolbar(picture, true, scale);
        normal.setDevicePixelRatio(scale);
        disabled.setDevicePixelRatio(scale);
        icon.addPixmap(normal, QIcon::Normal);
        icon.addPixmap(normal, QIcon::Active);
        icon.addPixmap(disabled, QIcon::Disabled);
    }
    return icon;
}

QPixmap TreePixmap(int index, int size) {
    static QHash<qint64, QImage> cache;
    if (index < 0 || index >= kTreeImageCount)
        index = kTreeStatusBase;
    const qint64 key = (qint64(size) << 8) | index;
    auto found = cache.constFind(key);
    if (found != cache.constEnd())
        return QPixmap::fromImage(*found);
    QPixmap pixmap;
    if (index == kTreeClosedFolder || index == kTreeOpenFolder)
        pixmap = SystemFolderPixmap(index == kTreeOpenFolder, size);
    if (pixmap.isNull())
        pixmap = RenderSquare(kTreeDrawers[index], 16, size);
    cache.insert(key, pixmap.toImage());
    return pixmap;
}

QIcon TreeIcon(int index) {
    QIcon icon;
    for (int size : {16, 24, 32})
        icon.addPixmap(TreePixmap(index, size));
    return icon;
}

QPixmap AppPixmap(int size) {
    return RenderSquare(DrawAppIcon, 64, size);
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(AppPixmap(size));
    return icon;
}

} // namespace Icons
