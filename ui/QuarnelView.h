#pragma once
// The right pane: the directories and files being browsed, or the last search result, in three
// columns (name, size, location). New entries are highlighted. A table view: rows added to a
// long list cost it nothing per row already shown, where a tree view lays out every row again.

#include <QList>
#include <QTableView>
#include <QTimer>
#include <string>

class CFileListModel;
class CHistory;
class CObject;
class CQuarnelDoc;
class QAction;

class CQuarnelView : public QTableView {
    Q_OBJECT
public:
    static constexpr int kNameWidth = 300;
    static constexpr int kSizeWidth = 100;
    static constexpr int kLocationWidth = 600;

    // The model joins the document's notices, so rows of entries that go are dropped.
    CQuarnelView(CQuarnelDoc* doc, CHistory* history, QWidget* parent = nullptr);
    ~CQuarnelView() override;

    // Columns and the four welcome rows.
    void OnInitialUpdate();

    void ShowBrowseLists();
    void ShowFoundLists();
    void ClearList();
    // Adds the entry appended last to the document's found lists as one row.
    void AppendFound();
    // Drops the new highlight of the file rows (every row after the browsed directories).
    void ClearFileHighlights();
    // Every row's highlight from its entry's new mark, after a command marked entries read.
    void RefreshHighlights();
    // Drops the rows of an entry that left the catalogue, and of everything below it (the
    // model does so on the document's notice; this is the same for a caller of its own).
    void RemoveRows(const CObject* identity);
    // Double click: browse into a directory row, open a file row's URL.
    void OpenRow(const QModelIndex& index);

    // The location of the first selected row (lowest index), empty when none is selected.
    std::string FirstSelectedLocation() const;

    // The command offered by the right-click menu ("复制路径").
    void SetCopyPathAction(QAction* action) { m_pCopyPathAction = action; }
    // Commands the right-click menu offers on search results only, after the others.
    void SetFoundRowActions(QList<QAction*> actions) {
        actions.removeAll(nullptr);
        m_foundRowActions = std::move(actions);
    }
    // Makes the row of `entry` the current and only selected one, in sight; false when no row
    // shows it.
    bool SelectEntry(const CObject* entry);

    CFileListModel* ListModel() const { return m_pModel; }

    // The context menu of the current row, where the row is (Shift+F10 and the menu key).
    void ShowKeyboardMenu();

    bool m_bSearchMode = false;

signals:
    // A directory row was opened: the history changed and the browse lists show it.
    void DirectoryOpened();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Header clicks: a column ascending, then descending, then the lists' own order again.
    void OnSortIndicatorChanged(int column, Qt::SortOrder order);
    void OnSortingChanged(bool sorting);
    // Rows appended to a sorted list are sorted in once no search is adding more.
    void ResortWhenIdle();
    // The row a menu opened from the keyboard is for: the current one if selected, else the
    // first selected one.
    QModelIndex KeyboardMenuRow() const;

    CQuarnelDoc* m_pDoc;
    CHistory* m_pHistory;
    CFileListModel* m_pModel;
    QAction* m_pCopyPathAction = nullptr;
    QList<QAction*> m_foundRowActions;
    QTimer m_resortTimer;
};
