#include "ui/QuarnelView.h"

#include "model/Records.h"
#include "ops/QuarnelDoc.h"
#include "ui/FileListModel.h"
#include "ui/History.h"
#include "ui/Shell.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>

CQuarnelView::CQuarnelView(CQuarnelDoc* doc, CHistory* history, QWidget* parent)
    : QTableView(parent), m_pDoc(doc), m_pHistory(history), m_pModel(new CFileListModel(this)) {
    setObjectName(QStringLiteral("fileList"));
    setModel(m_pModel);
    setShowGrid(false);
    setWordWrap(false);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    setTabKeyNavigation(false);
    setFocusPolicy(Qt::StrongFocus);
    // Rows of one height, as a list's: no row is measured.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(std::max(fontMetrics().height(), iconSize().height()) + 4);
    // Sorting is the header's and ours: the view's own would sort by the first column at once.
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorClearable(true);
    horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    horizontalHeader()->setSortIndicatorShown(true);
    connect(horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
            &CQuarnelView::OnSortIndicatorChanged);
    connect(m_pModel, &CFileListModel::SortingChanged, this, &CQuarnelView::OnSortingChanged);
    // The current row is kept in sight when the rows take their order.
    connect(m_pModel, &CFileListModel::SortApplied, this, [this] {
        if (currentIndex().isValid())
            scrollTo(currentIndex());
    });
    // A search pumps events every few milliseconds: the rows it adds are sorted in when it ends,
    // not once per batch.
    m_resortTimer.setSingleShot(true);
    m_resortTimer.setInterval(100);
    connect(&m_resortTimer, &QTimer::timeout, this, &CQuarnelView::ResortWhenIdle);
    connect(m_pModel, &QAbstractItemModel::rowsInserted, this, [this] {
        if (m_pModel->HasUnsortedRows() && !m_resortTimer.isActive())
            m_resortTimer.start();
    });
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(this, &QAbstractItemView::doubleClicked, this, &CQuarnelView::OpenRow);
    m_pDoc->AddObserver(m_pModel);
}

CQuarnelView::~CQuarnelView() {
    m_pDoc->RemoveObserver(m_pModel);
}

void CQuarnelView::OnInitialUpdate() {
    setColumnWidth(CFileListModel::kColumnName, kNameWidth);
    setColumnWidth(CFileListModel::kColumnSize, kSizeWidth);
    setColumnWidth(CFileListModel::kColumnLocation, kLocationWidth);
    m_pModel->ShowWelcome();
}

void CQuarnelView::ShowBrowseLists() {
    m_bSearchMode = false;
    m_pModel->Reset(m_pDoc->m_browseDirs, m_pDoc->m_browseFiles);
}

void CQuarnelView::ShowFoundLists() {
    m_bSearchMode = true;
    m_pModel->Reset(m_pDoc->m_foundDirs, m_pDoc->m_foundFiles);
}

void CQuarnelView::ClearList() {
    m_pModel->Clear();
}

void CQuarnelView::AppendFound() {
    m_bSearchMode = true;
    // The rows shown and the found lists shrink together when an entry leaves the catalogue,
    // so the row counts tell which entry is new.
    if (m_pModel->DirRowCount() + m_pModel->FileRowCount() != m_pModel->rowCount())
        m_pModel->Clear();
    if (m_pDoc->m_foundDirs.size() > static_cast<std::size_t>(m_pModel->DirRowCount()))
        m_pModel->AppendDir(m_pDoc->m_foundDirs.back());
    else if (m_pDoc->m_foundFiles.size() > static_cast<std::size_t>(m_pModel->FileRowCount()))
        m_pModel->AppendFile(m_pDoc->m_foundFiles.back());
}

void CQuarnelView::ClearFileHighlights() {
    m_pModel->ClearHighlightsFrom(static_cast<int>(m_pDoc->m_browseDirs.size()));
}

void CQuarnelView::RefreshHighlights() {
    m_pModel->RefreshHighlights();
}

void CQuarnelView::RemoveRows(const CObject* identity) {
    m_pModel->RemoveEntry(identity);
}

void CQuarnelView::OpenRow(const QModelIndex& index) {
    if (!index.isValid())
        return;
    const int row = index.row();
    if (CFTPDir* dir = m_pModel->DirAt(row)) {
        m_pHistory->RecordVisit(dir);
        CQuarnelDoc::ClearMark(dir);
        m_pDoc->ShowDir(dir);
        ShowBrowseLists();
        emit DirectoryOpened();
        return;
    }
    if (m_pModel->FileAt(row)) {
        const std::string url = m_pDoc->BuildExactUrl(m_pModel->LocationAt(row));
        if (!url.empty())
            Shell::OpenExactUrl(url);
    }
}

bool CQuarnelView::SelectEntry(const CObject* entry) {
    for (int row = 0; row < m_pModel->rowCount(); ++row) {
        const CObject* shown = m_pModel->DirAt(row);
        if (!shown)
            shown = m_pModel->FileAt(row);
        if (shown != entry)
            continue;
        const QModelIndex index = m_pModel->index(row, 0);
        selectionModel()->setCurrentIndex(index,
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(index);
        return true;
    }
    return false;
}

std::string CQuarnelView::FirstSelectedLocation() const {
    int first = -1;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        if (first < 0 || index.row() < first)
            first = index.row();
    return first < 0 ? std::string() : m_pModel->LocationAt(first);
}

void CQuarnelView::OnSortIndicatorChanged(int column, Qt::SortOrder order) {
    m_resortTimer.stop();
    m_pModel->sort(column, order);
    if (!m_pModel->IsSorting() && currentIndex().isValid())
        scrollTo(currentIndex());
}

void CQuarnelView::OnSortingChanged(bool sorting) {
    // A long list is sorted in a thread: the pointer says the list is at work meanwhile.
    if (sorting)
        viewport()->setCursor(Qt::BusyCursor);
    else
        viewport()->unsetCursor();
}

void CQuarnelView::ResortWhenIdle() {
    if (!m_pModel->HasUnsortedRows())
        return;
    if (m_pDoc->IsWalkInProgress()) {
        m_resortTimer.start();
        return;
    }
    m_pModel->Resort();
}

void CQuarnelView::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && mods == Qt::NoModifier) {
        // What a double click does, on the current row.
        OpenRow(currentIndex());
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F10 && mods == Qt::ShiftModifier) {
        ShowKeyboardMenu();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

QModelIndex CQuarnelView::KeyboardMenuRow() const {
    const QModelIndex current = currentIndex();
    if (current.isValid() && selectionModel()->isRowSelected(current.row(), QModelIndex()))
        return current;
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? current : rows.first();
}

void CQuarnelView::ShowKeyboardMenu() {
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(), QCursor::pos());
    contextMenuEvent(&event);
}

void CQuarnelView::mousePressEvent(QMouseEvent* event) {
    // A right click adds its row to the selection in contextMenuEvent; it must not replace it.
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void CQuarnelView::contextMenuEvent(QContextMenuEvent* event) {
    // From the keyboard the menu is the current row's and shows below it, wherever the pointer is.
    const bool keyboard = event->reason() == QContextMenuEvent::Keyboard;
    const QModelIndex index =
        keyboard ? KeyboardMenuRow() : indexAt(viewport()->mapFromGlobal(event->globalPos()));
    if (!index.isValid())
        return;
    QPoint at = event->globalPos();
    if (keyboard) {
        scrollTo(index);
        const QRect rect = visualRect(m_pModel->index(index.row(), 0));
        at = viewport()->mapToGlobal(QPoint(rect.left() + iconSize().width(), rect.bottom()));
    }
    selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    if (!m_pCopyPathAction)
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("fileListMenu"));
    menu.addAction(m_pCopyPathAction);
    menu.addActions(actions()); // the window's commands beside it (复制网址)
    if (m_bSearchMode)
        menu.addActions(m_foundRowActions);
    menu.exec(at);
}
