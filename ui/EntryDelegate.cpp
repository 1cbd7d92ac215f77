#include "ui/EntryDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFont>
#include <QHeaderView>
#include <QPainter>
#include <QStyle>
#include <QTableView>
#include <QTreeView>

#include <utility>

namespace {

// Whether the cell is the first and the last shown of its row. Taken from the header, not from
// the option: a view that repaints one cell alone marks it as the whole row.
std::pair<bool, bool> RowEnds(const QStyleOptionViewItem& option, const QModelIndex& index) {
    const QHeaderView* header = nullptr;
    if (const auto* tree = qobject_cast<const QTreeView*>(option.widget))
        header = tree->header();
    else if (const auto* table = qobject_cast<const QTableView*>(option.widget))
        header = table->horizontalHeader();
    if (!header)
        return {true, true};
    int firstShown = -1;
    int lastShown = -1;
    for (int visual = 0; visual < header->count(); ++visual) {
        if (header->isSectionHidden(header->logicalIndex(visual)))
            continue;
        if (firstShown < 0)
            firstShown = visual;
        lastShown = visual;
    }
    const int visual = header->visualIndex(index.column());
    return {visual == firstShown, visual == lastShown};
}

} // namespace

CEntryDelegate::CEntryDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

void CEntryDelegate::InstallOn(std::initializer_list<QAbstractItemView*> views) {
    for (QAbstractItemView* view : views)
        view->setItemDelegate(new CEntryDelegate(view));
}

bool CEntryDelegate::IsNewRow(const QModelIndex& index) {
    // The file list gives a new row a background of its own, the tree a bold font.
    if (index.data(Qt::BackgroundRole).isValid())
        return true;
    const QVariant font = index.data(Qt::FontRole);
    return font.isValid() && font.value<QFont>().bold();
}

QColor CEntryDelegate::SelectedNewColor(const QPalette& palette) {
    const QColor highlight = palette.color(QPalette::Active, QPalette::Highlight);
    return highlight.lightness() > 160 ? highlight.darker(150) : highlight.darker(200);
}

void CEntryDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    if (!(opt.state & QStyle::State_Selected)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    const QPalette& palette = widget ? widget->palette() : QApplication::palette();
    if (IsNewRow(index)) {
        // Drawn as an unselected item on a fill of its own: the selection colour is what the
        // new rows around it already show.
        opt.state &= ~QStyle::State_Selected;
        opt.backgroundBrush = SelectedNewColor(palette);
        opt.palette.setColor(QPalette::Text, palette.color(QPalette::Active, QPalette::HighlightedText));
    }
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    // A frame round the whole row: each cell draws its share of it.
    const QRect r = opt.rect;
    const QColor frame = palette.color(QPalette::Active, QPalette::Text);
    const int w = kFrameWidth;
    const auto [first, last] = RowEnds(opt, index);
    painter->save();
    painter->fillRect(QRect(r.left(), r.top(), r.width(), w), frame);
    painter->fillRect(QRect(r.left(), r.bottom() + 1 - w, r.width(), w), frame);
    if (first)
        painter->fillRect(QRect(r.left(), r.top(), w, r.height()), frame);
    if (last)
        painter->fillRect(QRect(r.right() + 1 - w, r.top(), w, r.height()), frame);
    painter->restore();
}
