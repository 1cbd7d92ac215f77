#pragma once
// Draws the rows of the site tree and the file list so that the selected row stays visible among
// new entries: new rows keep their bold or their highlight, and a selected row gets a frame, on a
// deeper shade of the highlight when it is new itself.

#include <QStyledItemDelegate>

#include <initializer_list>

class QAbstractItemView;

class CEntryDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kFrameWidth = 2;

    explicit CEntryDelegate(QObject* parent = nullptr);

    // Gives each view a delegate of its own.
    static void InstallOn(std::initializer_list<QAbstractItemView*> views);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // The row is a new entry: highlighted (file list) or bold (site tree).
    static bool IsNewRow(const QModelIndex& index);
    // The fill of a selected new row: the highlight, deeper or paler, whichever stands out from it.
    static QColor SelectedNewColor(const QPalette& palette);
};
