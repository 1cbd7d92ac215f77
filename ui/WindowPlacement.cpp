#include "ui/WindowPlacement.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QList>
#include <QMainWindow>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableView>

#include <algorithm>

namespace {

const QString kGeometry = QStringLiteral("MainWindow/geometry");
const QString kMaximized = QStringLiteral("MainWindow/maximized");
const QString kTreeWidth = QStringLiteral("MainWindow/treeWidth");
const QString kColumnWidths = QStringLiteral("MainWindow/listColumns");

// Smaller than this the window is of no use; such a value is not the user's.
constexpr int kMinWidth = 200;
constexpr int kMinHeight = 150;
// How much of the window a screen must show for the user to reach and drag it.
constexpr int kMinVisibleWidth = 100;
constexpr int kMinVisibleHeight = 50;
// The tree pane is kept at least this wide, and so is the list beside it.
constexpr int kMinPaneWidth = 50;
// A column of the list is kept between these widths: narrower it could not be found to widen.
constexpr int kMinColumnWidth = 30;
constexpr int kMaxColumnWidth = 10000;

QHeaderView* ListHeader(const QMainWindow& window) {
    auto* list = window.findChild<QTableView*>(QStringLiteral("fileList"));
    return list ? list->horizontalHeader() : nullptr;
}

} // namespace

namespace WindowPlacement {

QString FilePath() {
    // Asked anew each time, not cached as QSettings' own user scope is: $XDG_CONFIG_HOME may change.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/quarnel/quarnel.conf");
}

QRect Sanitized(const QRect& saved) {
    if (!saved.isValid() || saved.width() < kMinWidth || saved.height() < kMinHeight)
        return {};
    const QScreen* best = nullptr;
    int bestArea = 0;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect shown = screen->availableGeometry().intersected(saved);
        if (shown.width() < kMinVisibleWidth || shown.height() < kMinVisibleHeight)
            continue;
        const int area = shown.width() * shown.height();
        if (area > bestArea) {
            bestArea = area;
            best = screen;
        }
    }
    if (!best)
        return {};
    // A window saved on a larger screen fits the one it comes back on.
    const QRect room = best->availableGeometry();
    QRect fitted = saved;
    fitted.setWidth(std::min(saved.width(), room.width()));
    fitted.setHeight(std::min(saved.height(), room.height()));
    fitted.moveLeft(std::clamp(fitted.left(), room.left(), room.right() + 1 - fitted.width()));
    fitted.moveTop(std::clamp(fitted.top(), room.top(), room.bottom() + 1 - fitted.height()));
    return fitted;
}

void Restore(QMainWindow& window, QSplitter& splitter) {
    const QSettings settings(FilePath(), QSettings::IniFormat);
    RestoreColumns(window, settings.value(kColumnWidths).toString());
    const QRect geometry = Sanitized(settings.value(kGeometry).toRect());
    if (geometry.isNull())
        return; // nothing usable: the window keeps the size and place it was built with
    window.setGeometry(geometry);
    bool ok = false;
    const int saved = settings.value(kTreeWidth).toInt(&ok);
    const int total = std::max(splitter.width(), geometry.width());
    if (ok && total > 2 * kMinPaneWidth) {
        const int tree = std::clamp(saved, kMinPaneWidth, total - kMinPaneWidth);
        splitter.setSizes({tree, total - tree});
    }
    if (settings.value(kMaximized).toBool())
        window.setWindowState(window.windowState() | Qt::WindowMaximized);
}

QString ColumnWidthsText(const QMainWindow& window) {
    QStringList widths;
    if (QHeaderView* header = ListHeader(window))
        for (int i = 0; i < header->count(); ++i)
            widths << QString::number(header->sectionSize(i));
    return widths.join(QLatin1Char(','));
}

void RestoreColumns(QMainWindow& window, const QString& text) {
    QHeaderView* header = ListHeader(window);
    if (!header || text.isEmpty())
        return;
    const QStringList widths = text.split(QLatin1Char(','));
    for (int i = 0; i < header->count() && i < widths.size(); ++i) {
        bool ok = false;
        const int width = widths[i].trimmed().toInt(&ok);
        if (ok)
            header->resizeSection(i, std::clamp(width, kMinColumnWidth, kMaxColumnWidth));
    }
}

void Save(const QMainWindow& window, const QSplitter& splitter) {
    const QString path = FilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSettings settings(path, QSettings::IniFormat);
    // A maximized window comes back maximized over the size it had before.
    const bool maximized = window.isMaximized();
    settings.setValue(kGeometry, maximized ? window.normalGeometry() : window.geometry());
    settings.setValue(kMaximized, maximized);
    const QList<int> sizes = splitter.sizes();
    if (!sizes.isEmpty())
        settings.setValue(kTreeWidth, sizes.first());
    const QString columns = ColumnWidthsText(window);
    if (!columns.isEmpty())
        settings.setValue(kColumnWidths, columns);
    settings.sync();
}

} // namespace WindowPlacement
