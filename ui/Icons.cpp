#include "ui/Icons.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <array>

// The pictures live in res/icons.qrc, compiled into this static library; naming the resource
// here makes the linker keep it.
static void InitIconResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)done;
}

namespace Icons {
namespace {

constexpr std::array<const char*, kToolbarPictureCount> kToolbarFiles = {
    "toolbar-mark-read", "toolbar-toggle", "toolbar-edit",    "toolbar-add", "toolbar-search",
    "toolbar-update",    "toolbar-back",   "toolbar-forward", "toolbar-up"};

constexpr std::array<const char*, kTreeImageCount> kTreeFiles = {
    "tree-folder-closed", "tree-folder-open", "tree-not-updated", "tree-failed",
    "tree-succeeded",     "tree-ended-early", "tree-waiting"};

// One picture drawn at exactly `width` x `height` pixels, transparent around it.
QPixmap RenderSvg(const char* name, int width, int height) {
    InitIconResources();
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    renderer.render(&painter, QRectF(0, 0, width, height));
    return pixmap;
}

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

// Caches hold images, not pixmaps: pixmaps must not outlive the application object.

// One toolbar picture drawn at `scale` times its size (2 for high-density screens).
QPixmap RenderToolbar(int picture, bool disabled, int scale) {
    static QHash<int, QImage> cache;
    const int key = (picture * 2 + (disabled ? 1 : 0)) * 4 + scale;
    auto found = cache.constFind(key);
    if (found != cache.constEnd())
        return QPixmap::fromImage(*found);
    QPixmap pixmap = RenderSvg(kToolbarFiles[picture], kToolbarWidth * scale, kToolbarHeight * scale);
    if (disabled)
        pixmap = DisabledLook(pixmap);
    cache.insert(key, pixmap.toImage());
    return pixmap;
}

} // namespace

QPixmap ToolbarPixmap(int picture, bool disabled) {
    if (picture < 0 || picture >= kToolbarPictureCount) {
        QPixmap blank(kToolbarWidth, kToolbarHeight);
        blank.fill(Qt::transparent);
        return blank;
    }
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
        pixmap = RenderSvg(kTreeFiles[index], size, size);
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
    return RenderSvg("app", size, size);
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(AppPixmap(size));
    return icon;
}

} // namespace Icons
