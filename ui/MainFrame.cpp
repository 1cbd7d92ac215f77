#include "ui/MainFrame.h"

#include "model/ArchiveException.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/ProgramDir.h"
#include "model/Records.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "ops/SiteTrust.h"
#include "platform/TextCodec.h"
#include "ui/AboutDlg.h"
#include "ui/CloseDlg.h"
#include "ui/CommandIds.h"
#include "ui/DesktopNotice.h"
#include "ui/DirView.h"
#include "ui/EntryDelegate.h"
#include "ui/FileListModel.h"
#include "ui/FindDialog.h"
#include "ui/Icons.h"
#include "ui/ImportFileDialog.h"
#include "ui/MessageBoxes.h"
#include "ui/QuarnelView.h"
#include "ui/SearchDialog.h"
#include "ui/Shell.h"
#include "ui/SiteDlg.h"
#include "ui/SiteLoader.h"
#include "ui/TrustDialog.h"
#include "ui/UiUpdateEvents.h"
#include "ui/UpdateNumSet.h"
#include "ui/WindowSearchSink.h"
#include "update/RefusedPeers.h"
#include "update/UpdateScheduler.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>

#include <cerrno>
#include <sys/stat.h>

namespace {
const QString kTitle = QStringLiteral("Quarnel");
const QString kIdleMessage = QStringLiteral("就绪");

QString FromNarrow(const std::string& text) {
    return QString::fromStdString(NarrowToUtf8(text));
}

// Counts with digit groups ("12,345"), whatever the locale the program runs in.
QString Count(qint64 n) {
    return QLocale(QLocale::Chinese, QLocale::China).toString(n);
}

QString FoundLabelFor(const std::string& keywordUtf8) {
    return QStringLiteral("查找 “%1” 的结果").arg(QString::fromStdString(DisplaySafe(keywordUtf8)));
}

const QString kNewFilesLabel = QStringLiteral("未读文件");

} // namespace

CMainFrame::CMainFrame(CQuarnelDoc* doc, QWidget* parent)
    : QMainWindow(parent), m_pDoc(doc), m_history(*doc) {
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(kTitle);
    setWindowIcon(Icons::AppIcon());
    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateSearchField();
    CreateStatusBar();
    CreateClient();

    m_history.SetChangedCallback([this] {
        UpdateNavigationActions();
        ScheduleInfo();
    });
    UpdateNavigationActions();

    m_progressTimer.setInterval(kProgressPeriodMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &CMainFrame::OnProgressTimer);
    // Polled: a watcher loses a file that is replaced by a rename, as every save of site.ds is.
    m_siteListTimer.setInterval(kSiteListPollMs);
    connect(&m_siteListTimer, &QTimer::timeout, this, &CMainFrame::OnSiteListTimer);
    m_siteListTimer.start();
    m_pDoc->AddObserver(this);

    auto* altD = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_D), this);
    connect(altD, &QShortcut::activated, Action(ID_MARK_SHOWN_READ), &QAction::trigger);
    auto* f6 = new QShortcut(QKeySequence(Qt::Key_F6), this);
    connect(f6, &QShortcut::activated, this, &CMainFrame::FocusOtherPane);
    auto* shiftF6 = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6), this);
    connect(shiftF6, &QShortcut::activated, this, &CMainFrame::FocusOtherPane);
    CreateKeys();

    m_pEvents = std::make_unique<CUiUpdateEvents>(this);
    SetUpdateEvents(m_pEvents.get());
    m_pSearchSink = std::make_unique<CWindowSearchSink>(m_pDoc, m_pListView, this);
    m_pNotice = new CDesktopNotice(this, &m_pDoc->m_siteList);
    m_pDoc->SetSearchSink(m_pSearchSink.get());
    m_pDoc->SetPumpPending([this] { return PumpPending(); });

    m_pLoader = std::make_unique<CSiteLoader>();
    m_pLoader->SetLoadedCallback([this](CFTPSite* site) { OnSiteLoaded(site); });
    m_pLoader->SetReloadedCallback([this](CFTPSite* site, std::shared_ptr<CFTPSite::CStoredTree> tree) {
        OnSiteReloaded(site, std::move(tree));
    });
    m_pLoader->SetSavedCallback([this](CFTPSite*) { RunAfterLoads(); });
    m_pDirView->SetSiteLoader(m_pLoader.get());

    // Read marks reach the disk a few seconds after the last change, not only at close: a
    // logout or a kill must not take them along.
    m_nMarksSeen = CQuarnelDoc::MarksCleared();
    m_markWatchTimer.setInterval(500);
    connect(&m_markWatchTimer, &QTimer::timeout, this, &CMainFrame::WatchMarks);
    m_markWatchTimer.start();
    m_markSaveTimer.setSingleShot(true);
    m_markSaveTimer.setInterval(kMarkSaveDelayMs);
    connect(&m_markSaveTimer, &QTimer::timeout, this, &CMainFrame::SaveMarksInThreads);

    resize(1000, 680);
}

CMainFrame::~CMainFrame() {
    m_pDoc->RemoveObserver(this);
    m_pDoc->SetSearchSink(nullptr);
    m_pDoc->SetPumpPending({});
    SetUpdateEvents(nullptr);
}

// ---- creation ------------------------------------------------------------------------------

void CMainFrame::CreateActions() {
    for (const CommandInfo& info : kCommands) {
        auto* action = new QAction(QString::fromUtf8(info.text), this);
        action->setObjectName(QString::fromUtf8(info.objectName));
        action->setProperty("commandId", info.id);
        action->setStatusTip(QString::fromUtf8(info.prompt));
        if (*info.toolLabel)
            action->setIconText(QString::fromUtf8(info.toolLabel));
        action->setMenuRole(QAction::NoRole);
        m_actions.insert(info.id, action);
    }
    // Not exclusive: the group only enables and disables its members together.
    m_pCatalogueCommands = new QActionGroup(this);
    m_pCatalogueCommands->setObjectName(QStringLiteral("catalogueCommands"));
    m_pCatalogueCommands->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
    for (int id : kCatalogueCommands)
        m_pCatalogueCommands->addAction(Action(id));
    Action(ID_VIEW_TOOLBAR)->setCheckable(true);
    Action(ID_VIEW_STATUS_BAR)->setCheckable(true);

    const std::pair<int, void (CMainFrame::*)()> handlers[] = {
        {ID_IMPORT, &CMainFrame::OnImport},
        {ID_ADD_SITE, &CMainFrame::OnAddSite},
        {ID_EDIT_SITE, &CMainFrame::OnEditSite},
        {ID_DELETE_SITE, &CMainFrame::OnDeleteSite},
        {ID_FORWARD, &CMainFrame::OnForward},
        {ID_BACK, &CMainFrame::OnBack},
        {ID_UP, &CMainFrame::OnUp},
        {ID_TOGGLE_BROWSE_SEARCH, &CMainFrame::OnToggleBrowseSearch},
        {ID_UPDATE_SELECTED, &CMainFrame::OnUpdateSelected},
        {ID_UPDATE_ALL, &CMainFrame::OnUpdateAll},
        {ID_STOP_UPDATE, &CMainFrame::OnStopUpdate},
        {ID_SEARCH, &CMainFrame::OnSearch},
        {ID_SHOW_NEW_FILES, &CMainFrame::OnShowNewFiles},
        {ID_SHOW_ALL_NEW_FILES, &CMainFrame::OnShowAllNewFiles},
        {ID_MARK_SHOWN_READ, &CMainFrame::OnMarkShownRead},
        {ID_MARK_UPDATED_READ, &CMainFrame::OnMarkUpdatedRead},
        {ID_MARK_ALL_READ, &CMainFrame::OnMarkAllRead},
        {ID_UPDATE_SETTINGS, &CMainFrame::OnUpdateSettings},
        {ID_HELP, &CMainFrame::OnHelp},
        {ID_APP_ABOUT, &CMainFrame::OnAppAbout},
        {ID_SHOW_TREE_NEW, &CMainFrame::OnShowTreeNew},
        {ID_MARK_TREE_READ, &CMainFrame::OnMarkTreeRead},
        {ID_COPY_LIST_PATH, &CMainFrame::OnCopyListPath},
        {ID_COPY_LIST_URL, &CMainFrame::OnCopyListUrl},
        {ID_COPY_TREE_URL, &CMainFrame::OnCopyTreeUrl},
    };
    for (const auto& [id, handler] : handlers)
        connect(Action(id), &QAction::triggered, this, handler);
    connect(Action(ID_APP_EXIT), &QAction::triggered, this, &QWidget::close);
}

void CMainFrame::CreateMenus() {
    struct MenuLayout {
        const char* objectName;
        const char* title;
        std::initializer_list<int> items; // 0: separator
    };
    const MenuLayout menus[] = {
        {"menuFile", "文件(&F)", {ID_IMPORT, ID_APP_EXIT}},
        {"menuEdit", "编辑(&E)", {ID_ADD_SITE, ID_EDIT_SITE, ID_DELETE_SITE}},
        {"menuView",
         "视图(&V)",
         {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_FORWARD, ID_BACK, ID_UP, ID_TOGGLE_BROWSE_SEARCH}},
        {"menuOperate",
         "操作(&O)",
         {ID_UPDATE_SELECTED, ID_UPDATE_ALL, ID_STOP_UPDATE, 0, ID_SEARCH, ID_SHOW_NEW_FILES,
          ID_SHOW_ALL_NEW_FILES, 0, ID_MARK_SHOWN_READ, ID_MARK_UPDATED_READ, ID_MARK_ALL_READ}},
        {"menuSettings", "设置(&S)", {ID_UPDATE_SETTINGS}},
        {"menuHelp", "帮助(&H)", {ID_HELP, ID_APP_ABOUT}},
    };
    for (const MenuLayout& layout : menus) {
        QMenu* menu = menuBar()->addMenu(QString::fromUtf8(layout.title));
        menu->setObjectName(QString::fromUtf8(layout.objectName));
        for (int id : layout.items) {
            if (id == 0)
                menu->addSeparator();
            else
                menu->addAction(Action(id));
        }
    }
}

void CMainFrame::CreateToolBar() {
    m_pToolBar = new QToolBar(this);
    m_pToolBar->setObjectName(QStringLiteral("toolBar"));
    m_pToolBar->setMovable(true); // shows the gripper
    m_pToolBar->setFloatable(false);
    m_pToolBar->setAllowedAreas(Qt::TopToolBarArea);
    m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_pToolBar->setIconSize(QSize(Icons::kToolbarWidth, Icons::kToolbarHeight));
    m_pToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, m_pToolBar);

    const int buttons[] = {ID_MARK_SHOWN_READ,
                           ID_TOGGLE_BROWSE_SEARCH,
                           ID_EDIT_SITE,
                           ID_ADD_SITE,
                           ID_SEARCH,
                           ID_UPDATE_SELECTED,
                           ID_BACK,
                           ID_FORWARD,
                           ID_UP};
    QSize buttonSize;
    for (int picture = 0; picture < Icons::kToolbarPictureCount; ++picture) {
        QAction* action = Action(buttons[picture]);
        action->setIcon(Icons::ToolbarIcon(picture));
        m_pToolBar->addAction(action);
        QWidget* button = m_pToolBar->widgetForAction(action);
        button->setObjectName(QStringLiteral("toolButton") + QString::number(picture));
        button->installEventFilter(this); // the labels say it all: no tool tips
        // Every button takes the first one's size, its width held between 20 and 50 pixels.
        if (picture == 0) {
            buttonSize = button->sizeHint();
            buttonSize.setWidth(std::clamp(buttonSize.width(), 20, 50));
        }
        button->setFixedSize(buttonSize);
    }

    QAction* toggle = Action(ID_VIEW_TOOLBAR);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, m_pToolBar, &QWidget::setVisible);
    connect(m_pToolBar, &QToolBar::visibilityChanged, toggle, [toggle](bool visible) {
        if (toggle->isChecked() != visible)
            toggle->setChecked(visible);
    });
}

void CMainFrame::CreateStatusBar() {
    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("statusBar"));
    bar->setSizeGripEnabled(true);
    m_pMessagePane = new QLabel(kIdleMessage, bar);
    m_pMessagePane->setObjectName(QStringLiteral("messagePane"));
    m_pMessagePane->setContentsMargins(4, 0, 4, 0);
    bar->addWidget(m_pMessagePane, 1);
    m_pInfoPane = new QLabel(bar);
    m_pInfoPane->setObjectName(QStringLiteral("infoPane"));
    m_pInfoPane->setContentsMargins(4, 0, 4, 0);
    bar->addPermanentWidget(m_pInfoPane);
    setStatusBar(bar);
    m_infoTimer.setSingleShot(true);
    m_infoTimer.setInterval(100); // a search adds rows in batches: counted once they settle
    connect(&m_infoTimer, &QTimer::timeout, this, &CMainFrame::RefreshInfo);

    QAction* toggle = Action(ID_VIEW_STATUS_BAR);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, bar, &QWidget::setVisible);
}

void CMainFrame::CreateClient() {
    m_pSplitter = new QSplitter(Qt::Horizontal, this);
    m_pSplitter->setObjectName(QStringLiteral("splitter"));
    m_pSplitter->setChildrenCollapsible(false);
    m_pListView = new CQuarnelView(m_pDoc, &m_history);
    m_pDirView = new CDirView(m_pDoc, &m_history, m_pListView);
    m_pSplitter->addWidget(m_pDirView);
    m_pSplitter->addWidget(m_pListView);
    CEntryDelegate::InstallOn({m_pDirView, m_pListView});
    m_pSplitter->setStretchFactor(0, 0);
    m_pSplitter->setStretchFactor(1, 1);
    m_pSplitter->setSizes({kTreePaneWidth, kTreePaneWidth});
    setCentralWidget(m_pSplitter);

    m_pListView->SetCopyPathAction(Action(ID_COPY_LIST_PATH));
    m_pListView->SetFoundRowActions({findChild<QAction*>(QStringLiteral("actionOpenContainingDir"))});
    // The list's menu adds the view's own actions after 复制路径.
    m_pListView->addAction(Action(ID_COPY_LIST_URL));
    m_pDirView->SetMenuActions(
        {Action(ID_SHOW_TREE_NEW), Action(ID_UPDATE_SELECTED), Action(ID_MARK_TREE_READ),
         Action(ID_EDIT_SITE), Action(ID_DELETE_SITE), Action(ID_COPY_TREE_PATH), Action(ID_COPY_TREE_URL)},
        {Action(ID_SHOW_TREE_NEW), Action(ID_UPDATE_SELECTED), Action(ID_MARK_TREE_READ),
         Action(ID_COPY_TREE_PATH), Action(ID_COPY_TREE_URL)});
    CFileListModel* model = m_pListView->ListModel();
    connect(model, &QAbstractItemModel::modelReset, this, &CMainFrame::ScheduleInfo);
    connect(model, &QAbstractItemModel::layoutChanged, this, &CMainFrame::ScheduleInfo);
    connect(model, &QAbstractItemModel::rowsInserted, this, &CMainFrame::ScheduleInfo);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &CMainFrame::ScheduleInfo);
    connect(model, &QAbstractItemModel::dataChanged, this, &CMainFrame::ScheduleInfo);
    connect(m_pDirView, &QTreeWidget::currentItemChanged, this, &CMainFrame::ScheduleInfo);
    connect(Action(ID_COPY_TREE_PATH), &QAction::triggered, m_pDirView, &CDirView::OnCopyTreePath);
}

namespace {
std::string SiteListSignature() {
    struct stat st {};
    if (stat(SiteListPath().c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' +
           std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec);
}
} // namespace

void CMainFrame::OnInitialUpdate() {
    m_siteListSeen = SiteListSignature(); // what the document has read
    m_pDirView->OnInitialUpdate();
    m_pListView->OnInitialUpdate();
    // The tree column starts 250 pixels wide; the list takes the rest.
    const int total = std::max(m_pSplitter->width(), width());
    m_pSplitter->setSizes({kTreePaneWidth, std::max(total - kTreePaneWidth, kTreePaneWidth)});
}

// ---- status bar ----------------------------------------------------------------------------

QString CMainFrame::PaneText() const {
    return m_pMessagePane->text();
}

void CMainFrame::SetPaneText(const QString& text) {
    m_pMessagePane->setText(text);
}

QString CMainFrame::InfoText() const {
    return m_pInfoPane->text();
}

void CMainFrame::ScheduleInfo() {
    if (!m_infoTimer.isActive())
        m_infoTimer.start();
}

void CMainFrame::RefreshInfo() {
    const CFileListModel* model = m_pListView->ListModel();
    const int entries = model->DirRowCount() + model->FileRowCount();
    QStringList parts;
    if (m_pListView->m_bSearchMode) {
        if (!m_foundLabel.isEmpty())
            parts << QStringLiteral("%1: %2 项").arg(m_foundLabel, Count(entries));
    } else if (entries > 0 || model->rowCount() == 0) {
        int fresh = 0;
        for (int row = 0; row < entries; ++row)
            fresh += model->IsHighlighted(row) ? 1 : 0;
        parts << QStringLiteral("%1 项, 新 %2").arg(Count(entries), Count(fresh));
    }
    CFTPDir* dir = m_pDirView->SelectedDir();
    if (CFTPSite* site = dir ? dir->GetSite() : nullptr)
        parts << QString::fromStdString(DisplaySafe(ShownSiteName(*site))) + QLatin1Char(' ') +
                     SiteUpdatedText(site);
    m_pInfoPane->setText(parts.join(QStringLiteral("  |  ")));
}

QString CMainFrame::SiteUpdatedText(CFTPSite* site) const {
    // The catalogue's file is written by every update that got a listing; an update of this run
    // that wrote nothing still counts.
    const QString content = QFile::decodeName(QByteArray::fromStdString(SiteDataDirPath(site->GetKey()))) +
                            QStringLiteral("/content.ct");
    QDateTime when = QFileInfo(content).lastModified();
    if (auto it = m_updatedInRun.find(site);
        it != m_updatedInRun.end() && (!when.isValid() || it->second > when))
        when = it->second;
    if (!when.isValid())
        return QStringLiteral("未更新过");
    return QStringLiteral("更新于 ") + when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

void CMainFrame::CreateKeys() {
    const std::pair<QKeySequence, int> keys[] = {
        {QKeySequence(Qt::ALT | Qt::Key_Up), ID_UP},
        {QKeySequence(Qt::ALT | Qt::Key_Left), ID_BACK},
        {QKeySequence(Qt::ALT | Qt::Key_Right), ID_FORWARD},
        {QKeySequence(Qt::Key_F5), ID_UPDATE_SELECTED},
        {QKeySequence(Qt::Key_F1), ID_HELP},
    };
    for (const auto& [sequence, id] : keys) {
        auto* shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, Action(id), &QAction::trigger);
    }
    // Backspace goes up from the panes only: in the search field or a dialog it edits text.
    m_pDirView->installEventFilter(this);
    m_pListView->installEventFilter(this);
}

bool CMainFrame::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        // The prompt of the highlighted command, or the idle text when the highlight goes.
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        SetPaneText(tip.isEmpty() ? kIdleMessage : tip);
        return true;
    }
    return QMainWindow::event(event);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == m_pDirView || watched == m_pListView)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Backspace && key->modifiers() == Qt::NoModifier) {
            Action(ID_UP)->trigger();
            return true;
        }
    }
    if (event->type() == QEvent::ToolTip && qobject_cast<QToolButton*>(watched))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::UpdateNavigationActions() {
    Action(ID_BACK)->setEnabled(m_history.CanGoBack());
    Action(ID_FORWARD)->setEnabled(m_history.CanGoForward());
    Action(ID_UP)->setEnabled(m_history.CanGoUp());
}

void CMainFrame::FocusOtherPane() {
    if (m_pDirView->hasFocus())
        m_pListView->setFocus(Qt::ShortcutFocusReason);
    else
        m_pDirView->setFocus(Qt::ShortcutFocusReason);
}

void CMainFrame::ShowMessage(const std::string& utf8) {
    MessageBoxes::Show(this, QMessageBox::Warning, QString::fromStdString(DisplaySafe(utf8, true)));
}

// ---- engine notices ------------------------------------------------------------------------

void CMainFrame::OnSiteStatus(CFTPSite* site) {
    // The site may have been deleted since the notice was posted; the tree only touches a site
    // it still shows.
    m_pDirView->RefreshSiteItem(site);
    // A site waiting for an update loses its time of this run; the first notice of success after
    // it sets the time anew.
    const UpdateStatus status = site->m_nUpdateStatus.load();
    if (status == UpdateStatus::Waiting)
        m_updatedInRun.erase(site);
    else if (status == UpdateStatus::Succeeded && !m_updatedInRun.contains(site))
        m_updatedInRun[site] = QDateTime::currentDateTime();
    ScheduleInfo();
    // Sizes an update changed (rows only compare the site).
    m_pListView->ListModel()->RefreshSizes(site);
    if (status == UpdateStatus::Succeeded || status == UpdateStatus::Ended ||
        status == UpdateStatus::Failed) {
        m_pDirView->FollowUpdate(site);
        FollowShownDirectory(site);
    }
    m_pNotice->SiteStatusSeen(site);
}

// An update of the site being browsed has ended: the list shows its directory as it is now, with
// what the update added, without the user going elsewhere and back. Nothing is marked read.
void CMainFrame::FollowShownDirectory(CFTPSite* site) {
    if (m_pListView->m_bSearchMode || !m_history.m_pCurrent || m_pDoc->IsWalkInProgress())
        return;
    CFTPDir* dir = m_history.m_pCurrent->m_pDir;
    if (!dir || dir->GetSite() != site)
        return;
    m_pDoc->ShowDir(dir);
    m_pListView->ShowBrowseLists();
    ScheduleInfo();
}

void CMainFrame::OnEntryRemoved(CFTPSite*, std::unique_ptr<CObject> entry, EntryKind kind) {
    m_pDoc->ReleaseEntry(std::move(entry), kind);
}

void CMainFrame::QueueEntryRemoved(CFTPSite*, std::unique_ptr<CObject> entry, EntryKind kind) {
    if (!entry)
        return;
    // Queued behind the notices already waiting, which a merge posts all at once.
    if (m_removedEntries.empty())
        QTimer::singleShot(0, this, &CMainFrame::ReleaseRemovedEntries);
    m_removedEntries.emplace_back(std::move(entry), kind);
}

void CMainFrame::ReleaseRemovedEntries() {
    CQuarnelDoc::GoingEntries entries;
    entries.swap(m_removedEntries);
    // A removed directory may hold a large subtree: freed off the window thread.
    m_pLoader->Dispose(m_pDoc->ReleaseEntries(std::move(entries)));
}

void CMainFrame::WalkStateChanged(bool walking) {
    m_pCatalogueCommands->setEnabled(!walking);
}

// ---- walks and deferred commands -----------------------------------------------------------

bool CMainFrame::PumpPending() {
    if (m_bStopRequested)
        return false;
    if (!m_pumpClock.isValid() || m_pumpClock.elapsed() >= 20) {
        // The rows found since the last pump go in as one batch, laid out once.
        m_pSearchSink->Flush();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        m_pumpClock.restart();
    }
    return !m_bStopRequested;
}

bool CMainFrame::DeferWhileWalking(std::function<void()> command) {
    if (!m_pDoc->IsWalkInProgress())
        return false;
    m_bStopRequested = true;
    m_pDoc->RequestStopWalk();
    m_deferred.push_back(std::move(command));
    return true;
}

void CMainFrame::RunWalkCommand(std::function<void()> command) {
    if (DeferWhileWalking(command))
        return;
    m_bStopRequested = false;
    m_pumpClock.invalidate();
    command();
    AfterWalk();
}

void CMainFrame::AfterWalk() {
    if (m_pDoc->IsWalkInProgress())
        return;
    m_bStopRequested = false;
    if (!m_deferred.empty())
        QTimer::singleShot(0, this, &CMainFrame::RunDeferred);
}

void CMainFrame::RunDeferred() {
    std::vector<std::function<void()>> commands;
    commands.swap(m_deferred);
    for (auto& command : commands)
        command();
}

// ---- File and Edit -------------------------------------------------------------------------

// ---- other programs on the program directory ---------------------------------------------

void CMainFrame::OnSiteListTimer() {
    FollowSiteFiles();
    const std::string seen = SiteListSignature();
    if (seen == m_siteListSeen || m_bClosing)
        return;
    // A walk holds pointers into the sites, and so does a thread reading one; the next tick
    // comes back.
    if (m_pDoc->IsWalkInProgress() || !m_pLoader->IsIdle())
        return;
    const bool first = m_siteListSeen.empty();
    m_siteListSeen = seen;
    if (first)
        return; // the list as the document read it at start
    const CQuarnelDoc::SiteListMerge merge = m_pDoc->ReloadSiteList();
    for (CFTPSite* site : merge.changed)
        m_pDirView->RelabelSiteItem(site);
    AddMissingSiteItems();
}

void CMainFrame::FollowSiteFiles() {
    if (m_bClosing || m_pDoc->IsWalkInProgress())
        return;
    for (CFTPSite* site : m_pDoc->m_siteList) {
        // A site this window updates writes its own files; one being read is looked at later.
        if (!site->IsLoaded() || m_pLoader->IsBusy(site) || IsSiteInEngine(site))
            continue;
        if (auto held = m_reloadsHeld.find(site); held != m_reloadsHeld.end()) {
            if (held->second.elapsed() < kReloadRetryMs)
                continue;
            m_reloadsHeld.erase(held);
        }
        bool changed = false;
        {
            // Never waited for: a worker merging into the site holds it, and the next tick comes.
            std::unique_lock<std::recursive_mutex> lock(site->m_treeLock, std::try_to_lock);
            changed = lock.owns_lock() && site->SavedElsewhere();
        }
        if (changed)
            m_pLoader->Reload(site);
    }
}

void CMainFrame::OnSiteLoaded(CFTPSite* site) {
    m_pDirView->SiteLoaded(site);
    RunAfterLoads();
}

void CMainFrame::OnSiteReloaded(CFTPSite* site, std::shared_ptr<CFTPSite::CStoredTree> tree) {
    std::unique_ptr<CFTPDir> unused = tree ? std::move(tree->m_pRoot) : nullptr;
    bool listed = false;
    for (CFTPSite* candidate : m_pDoc->m_siteList)
        listed = listed || candidate == site;
    // Marks set here after the save that came first, a walk standing on the tree, or an update of
    // the site begun meanwhile: this tree is dropped, and the next look reads the files again.
    if (unused && listed && !m_bClosing && !m_pDoc->IsWalkInProgress() && !IsSiteInEngine(site) &&
        site->m_bStateDirty.load() == 0) {
        tree->m_pRoot = std::move(unused);
        std::unique_ptr<CFTPDir> replaced = site->TakeStoredTree(std::move(*tree));
        // The old tree hangs below a directory of its own: every holder drops what lies below it.
        m_pDoc->AnnounceEntriesGoing({{replaced.get(), kEntryDir}});
        unused = std::move(replaced);
        m_pDirView->SiteReloaded(site);
    }
    if (!tree) // its marks could not be saved first: the save's failure is logged
        m_reloadsHeld[site].start();
    std::vector<std::unique_ptr<CObject>> doomed;
    doomed.push_back(std::move(unused));
    m_pLoader->Dispose(std::move(doomed));
    RunAfterLoads();
}

bool CMainFrame::DeferWhileLoading(std::vector<CFTPSite*> sites, std::function<void()> command,
                                   bool loadFirst) {
    std::vector<CFTPSite*> pending;
    for (CFTPSite* site : sites) {
        if (!site)
            continue;
        if (loadFirst && !site->IsLoaded())
            m_pLoader->Load(site);
        if (m_pLoader->IsBusy(site))
            pending.push_back(site);
    }
    if (pending.empty())
        return false;
    m_afterLoads.push_back({std::move(pending), std::move(command)});
    return true;
}

void CMainFrame::RunAfterLoads() {
    std::vector<std::function<void()>> ready;
    for (auto it = m_afterLoads.begin(); it != m_afterLoads.end();) {
        std::erase_if(it->sites, [this](const CFTPSite* site) { return !m_pLoader->IsBusy(site); });
        if (!it->sites.empty()) {
            ++it;
            continue;
        }
        ready.push_back(std::move(it->command));
        it = m_afterLoads.erase(it);
    }
    for (auto& command : ready)
        command();
}

std::vector<CFTPSite*> CMainFrame::AllSites() const {
    std::vector<CFTPSite*> sites;
    for (CFTPSite* site : m_pDoc->m_siteList)
        sites.push_back(site);
    return sites;
}

void CMainFrame::AddMissingSiteItems() {
    for (CFTPSite* site : m_pDoc->m_siteList)
        if (m_pDirView->SiteItem(site) == nullptr)
            m_pDirView->AddSiteItem(site);
    m_siteListSeen = SiteListSignature();
}

void CMainFrame::OnImport() {
    const QString path = AskImportFile(this);
    if (path.isEmpty())
        return;
    const ImportResult result = m_pDoc->ImportSites(QFile::encodeName(path).toStdString());
    if (!result.message.empty())
        ShowMessage(result.message);
    m_pDirView->FillSiteItems();
}

void CMainFrame::OnAddSite() {
    CSiteDlg dialog(this);
    // Sites another program added count too: the list follows site.ds.
    dialog.SetAcceptCheck([this](const SiteFields& fields) { return m_pDoc->SiteClash(fields, nullptr); });
    for (;;) {
        if (dialog.exec() != QDialog::Accepted)
            return;
        const SiteOpResult result = m_pDoc->AddSite(dialog.GetFields());
        // Sites another program added meanwhile came in with it.
        AddMissingSiteItems();
        if (!result.message.empty())
            ShowMessage(result.message);
        if (result.status == OpStatus::Done)
            return;
        // Refused after all (another program added the site meanwhile): asked again, as typed.
    }
}

void CMainFrame::OnEditSite() {
    // Greyed during a walk; a direct call is refused the same way.
    if (m_pDoc->IsWalkInProgress()) {
        SetPaneText(QStringLiteral("正在查找或设置已读，结束后才能编辑站点。"));
        return;
    }
    CFTPDir* dir = m_pDirView->SelectedDir();
    CFTPSite* site = dir ? dir->GetSite() : nullptr;
    if (!site) {
        SetPaneText(QStringLiteral("请先在左边选择要编辑的站点。"));
        return;
    }
    EditSiteFrom(site, m_pDoc->FieldsFromSite(*site));
}

void CMainFrame::EditSiteFrom(CFTPSite* site, const SiteFields& shown) {
    CSiteDlg dialog(this);
    dialog.SetFields(shown);
    // Another site's host and user, or key, would make the two share one catalogue.
    dialog.SetAcceptCheck([this, site](const SiteFields& fields) { return m_pDoc->SiteClash(fields, site); });
    if (dialog.exec() != QDialog::Accepted)
        return;
    auto edit = [this, site, fields = dialog.GetFields()] {
        // The dialog let events through; the site may have gone meanwhile.
        if (m_pDirView->SiteItem(site) == nullptr || m_pDoc->IsWalkInProgress())
            return;
        const SiteOpResult result = m_pDoc->EditSite(site, fields);
        if (result.status == OpStatus::Done)
            m_pDirView->RelabelSiteItem(site);
        AddMissingSiteItems();
        if (!result.message.empty())
            ShowMessage(result.message);
        // Refused (being updated, or its new key taken meanwhile): what was typed is not lost.
        if (result.status == OpStatus::Refused && m_pDirView->SiteItem(site) != nullptr)
            QTimer::singleShot(0, this, [this, site, fields] {
                if (m_pDirView->SiteItem(site) != nullptr && !m_pDoc->IsWalkInProgress())
                    EditSiteFrom(site, fields);
            });
    };
    // A new key renames the site's directory: not while a thread reads it.
    if (!DeferWhileLoading({site}, edit, false))
        edit();
}

void CMainFrame::OnDeleteSite() {
    // The site is named in the question: taken first. Nothing selected, nothing to ask about.
    CFTPDir* dir = m_pDirView->SelectedDir();
    CFTPSite* site = dir ? dir->GetSite() : nullptr;
    if (!site) {
        SetPaneText(QStringLiteral("请先在左边选择要删除的站点。"));
        return;
    }
    QMessageBox ask(QMessageBox::Warning, QStringLiteral("警告"), QStringLiteral("是否确定要删除?"),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    ask.setObjectName(QStringLiteral("deleteQuestion"));
    ask.setInformativeText(QStringLiteral("站点: ") +
                           QString::fromStdString(DisplaySafe(ShownSiteName(*site))));
    MessageBoxes::UseChineseButtonTexts(ask);
    // A slip of Enter keeps the site.
    ask.setDefaultButton(QMessageBox::Cancel);
    ask.setEscapeButton(QMessageBox::Cancel);
    if (ask.exec() != QMessageBox::Ok)
        return;
    // The question let events through: the site may have gone meanwhile.
    if (m_pDirView->SiteItem(site) != nullptr)
        RemoveSite(site);
}

void CMainFrame::RemoveSite(CFTPSite* site) {
    if (m_pDirView->SiteItem(site) == nullptr)
        return; // already gone
    // Neither while a walk stands on the site's records nor while a thread reads them.
    auto again = [this, site] { RemoveSite(site); };
    if (DeferWhileWalking(again) || DeferWhileLoading({site}, again, false))
        return;
    // The document tells every holder (tree item, rows, history) before it destroys it.
    if (m_pDoc->DeleteSite(site) == OpStatus::Refused) {
        // Another program updates the site, or its lock cannot be had: it stays, and says why.
        const FileError& failure = m_pDoc->m_lastLockFailure;
        ShowMessage(failure.path.empty() ? "另一个程序正在更新该站点，请在更新结束后再删除。"
                                         : "无法锁定文件，没有做任何更改：\n" + failure.Text());
        return;
    }
    m_updatedInRun.erase(site);
    AddMissingSiteItems();
}

// ---- View ----------------------------------------------------------------------------------

void CMainFrame::OnForward() {
    m_history.GoForward();
    m_pListView->ShowBrowseLists();
}

void CMainFrame::OnBack() {
    m_history.GoBack();
    m_pListView->ShowBrowseLists();
}

void CMainFrame::OnUp() {
    m_history.GoUp();
    m_pListView->ShowBrowseLists();
}

void CMainFrame::OnToggleBrowseSearch() {
    m_pListView->m_bSearchMode = !m_pListView->m_bSearchMode;
    if (m_pListView->m_bSearchMode)
        m_pListView->ShowFoundLists();
    else
        m_pListView->ShowBrowseLists();
}

// ---- updates -------------------------------------------------------------------------------

void CMainFrame::StartProgressTimer() {
    if (!m_progressTimer.isActive())
        m_progressTimer.start();
}

void CMainFrame::OnUpdateAll() {
    UpdateAllSites(m_pDoc->m_siteList, m_nUpdateTotal);
    for (CFTPSite* site : m_pDoc->m_siteList)
        m_pDirView->RefreshSiteItem(site);
    StartProgressTimer();
}

void CMainFrame::OnUpdateSelected() {
    CFTPDir* dir = m_pDirView->SelectedDir();
    if (!dir || !dir->GetSite()) {
        SetPaneText(QStringLiteral("没有选择站点：请先在左边选择要更新的站点或目录。"));
        return;
    }
    if (IsSiteInEngine(dir->GetSite())) {
        SetPaneText(QStringLiteral("站点 %1 正在更新，这次更新结束后才能再更新。")
                        .arg(QString::fromStdString(DisplaySafe(ShownSiteName(*dir->GetSite())))));
        return;
    }
    if (!UpdateSelectedDir(dir, m_pDoc->m_siteList, m_nUpdateTotal)) {
        SetPaneText(QStringLiteral("无法更新：所选站点已不在站点列表中。"));
        return;
    }
    m_pDirView->RefreshSiteItem(dir->GetSite());
    StartProgressTimer();
}

void CMainFrame::OnStopUpdate() {
    StopUpdates();
}

void CMainFrame::OnProgressTimer() {
    std::string text;
    const bool goOn = UpdateProgressTick(m_nUpdateTotal, text);
    SetPaneText(FromNarrow(text));
    if (!goOn) {
        m_progressTimer.stop();
        m_pNotice->RunEnded();
        QTimer::singleShot(0, this, &CMainFrame::AskAboutRefusedServers);
    }
}

void CMainFrame::AskAboutRefusedServers() {
    // By position: the questions let events through, and the list may change meanwhile.
    for (std::size_t i = 0; i < m_pDoc->m_siteList.GetCount(); ++i) {
        CFTPSite* site = m_pDoc->m_siteList.GetAt(i);
        // Taken out whatever the answer: each refused identity is asked about once.
        const std::optional<PeerIdentity> presented = TakeRefusedPeer(site->GetKey());
        if (!presented)
            continue;
        const std::string previous = PreviousFingerprint(*site, *presented);
        if (!AskTrustPeer(this, QString::fromStdString(DisplaySafe(ShownField(site->GetKey()))), *presented,
                          QString::fromStdString(previous)) ||
            m_pDirView->SiteItem(site) == nullptr || m_bClosing)
            continue;
        const CResult<void> trusted = TrustSitePeer(*site, *presented);
        if (!trusted) {
            MessageBoxes::Show(this, QMessageBox::Warning, QStringLiteral("无法保存信任的证书或密钥。"),
                               QFile::decodeName(QByteArray::fromStdString(trusted.error().Text())));
            continue;
        }
        // Trusted: the update that was refused goes on by itself.
        if (UpdateSelectedDir(site->m_pRootDir.get(), m_pDoc->m_siteList, m_nUpdateTotal)) {
            m_pDirView->RefreshSiteItem(site);
            StartProgressTimer();
        }
    }
}

void CMainFrame::OnUpdateSettings() {
    CUpdateNumSet dialog(this);
    dialog.m_nThreads = GetMaxUpdateThreads();
    if (dialog.exec() == QDialog::Accepted)
        SetMaxUpdateThreads(dialog.m_nThreads);
}

// ---- search and read marks -----------------------------------------------------------------

void CMainFrame::OnSearch() {
    CFindDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::string keyword = dialog.KeywordUtf8();
    auto search = [this, keyword] {
        RunWalkCommand([this, keyword] {
            m_foundLabel = FoundLabelFor(keyword);
            const SearchOutcome outcome = m_pDoc->SearchAllSites(keyword);
            if (!outcome.message.empty())
                ShowMessage(outcome.message);
        });
    };
    // Sites not read yet are read in threads first: the walk would read them in this one.
    if (!DeferWhileLoading(AllSites(), search, true))
        search();
}

void CMainFrame::OnShowNewFiles() {
    RunWalkCommand([this] {
        m_foundLabel = kNewFilesLabel;
        const SearchOutcome outcome = m_pDoc->ShowNewFiles(SiteScope::Updated);
        if (!outcome.message.empty())
            ShowMessage(outcome.message);
    });
}

void CMainFrame::OnShowAllNewFiles() {
    auto show = [this] {
        RunWalkCommand([this] {
            m_foundLabel = kNewFilesLabel;
            const SearchOutcome outcome = m_pDoc->ShowNewFiles(SiteScope::All);
            if (!outcome.message.empty())
                ShowMessage(outcome.message);
        });
    };
    if (!DeferWhileLoading(AllSites(), show, true))
        show();
}

void CMainFrame::OnShowTreeNew() {
    CFTPDir* dir = m_pDirView->SelectedDir();
    if (!dir)
        return;
    auto show = [this] {
        RunWalkCommand([this] {
            // Taken again: the walk this one stopped may have let the tree change.
            if (CFTPDir* current = m_pDirView->SelectedDir()) {
                m_foundLabel = kNewFilesLabel;
                m_pDoc->ShowNewUnder(current);
            }
        });
    };
    if (!DeferWhileLoading({dir->GetSite()}, show, true))
        show();
}

void CMainFrame::OnMarkShownRead() {
    m_pDoc->MarkShownFilesRead();
    m_pListView->ClearFileHighlights();
    update();
}

void CMainFrame::OnMarkUpdatedRead() {
    RunWalkCommand([this] {
        m_pDoc->MarkSitesRead(SiteScope::Updated);
        ShowReadMarks();
        update();
    });
}

void CMainFrame::OnMarkAllRead() {
    auto mark = [this] {
        RunWalkCommand([this] {
            m_pDoc->MarkSitesRead(SiteScope::All);
            ShowReadMarks();
        });
    };
    if (!DeferWhileLoading(AllSites(), mark, true))
        mark();
}

void CMainFrame::OnMarkTreeRead() {
    CFTPDir* selected = m_pDirView->SelectedDir();
    if (!selected)
        return;
    auto mark = [this] {
        RunWalkCommand([this] {
            CFTPDir* dir = m_pDirView->SelectedDir();
            if (!dir)
                return;
            CFTPSite* site = dir->GetSite();
            const bool isRoot = dir->m_pParent == nullptr;
            m_pDoc->SetReadFromTree(dir);
            if (isRoot && site)
                m_pDirView->RefreshSiteItem(site);
            ShowReadMarks();
        });
    };
    if (!DeferWhileLoading({selected->GetSite()}, mark, true))
        mark();
}

void CMainFrame::ShowReadMarks() {
    m_pDirView->RefreshDirItemsBold();
    m_pListView->RefreshHighlights();
}

void CMainFrame::OnCopyListPath() {
    if (!m_pListView->selectionModel()->hasSelection()) {
        SetPaneText(QStringLiteral("请先在列表中选择要复制路径的文件或目录。"));
        return;
    }
    const std::string location = m_pListView->FirstSelectedLocation();
    const std::string url = m_pDoc->BuildShownUrl(location);
    if (!url.empty())
        Shell::CopyUrl(url, m_pDoc->BuildExactUrl(location));
    MessageBoxes::Show(this, QMessageBox::Information, QString::fromUtf8(Shell::kCopiedMessage));
}

void CMainFrame::OnCopyListUrl() {
    const std::string location =
        m_pListView->selectionModel()->hasSelection() ? m_pListView->FirstSelectedLocation() : std::string();
    if (location.empty()) {
        SetPaneText(QStringLiteral("请先在列表中选择要复制网址的文件或目录。"));
        return;
    }
    CopyExactUrlOf(location);
}

void CMainFrame::OnCopyTreeUrl() {
    CFTPDir* dir = m_pDirView->SelectedDir();
    if (!dir) {
        SetPaneText(QStringLiteral("请先在左边选择要复制网址的站点或目录。"));
        return;
    }
    CopyExactUrlOf(GetLocation(dir));
}

void CMainFrame::CopyExactUrlOf(const std::string& location) {
    const std::string exact = m_pDoc->BuildExactUrl(location);
    if (exact.empty()) {
        SetPaneText(QStringLiteral("无法复制网址：它所在的站点已不在站点列表中。"));
        return;
    }
    Shell::CopyExactUrl(exact);
    SetPaneText(QStringLiteral("网址已复制到剪贴板: ") + QString::fromStdString(exact));
}

// ---- Help ----------------------------------------------------------------------------------

QString CMainFrame::FindHelpFile() {
    const QString name = QStringLiteral("help.pdf");
    const QString inCurrent = QDir::current().absoluteFilePath(name);
    if (QFileInfo::exists(inCurrent))
        return inCurrent;
    const QString inProgram =
        QDir(QFile::decodeName(QByteArray::fromStdString(GetAppDir()))).absoluteFilePath(name);
    if (!GetAppDir().empty() && QFileInfo::exists(inProgram))
        return inProgram;
    // An installed program keeps it under share/doc, no longer beside the catalogue.
    for (const std::string& candidate : HelpFileCandidates(ExecutableDir())) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(candidate));
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

void CMainFrame::OnHelp() {
    const QString path = FindHelpFile();
    if (path.isEmpty()) {
        SetPaneText(
            QStringLiteral("找不到帮助文件 help.pdf（当前目录、程序目录和 share/doc/quarnel 中都没有）。"));
        return;
    }
    if (!Shell::OpenLocalFile(path))
        SetPaneText(QStringLiteral("没有能打开帮助文件的程序: ") + QDir::toNativeSeparators(path));
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dialog(this);
    dialog.exec();
}

// ---- closing -------------------------------------------------------------------------------

bool CMainFrame::AskSaveModified() {
    if (!m_pDoc->m_bModified)
        return true;
    QMessageBox ask(QMessageBox::Question, kTitle, QStringLiteral("Save changes to Untitled?"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
    const int answer = ask.exec();
    if (answer == QMessageBox::Cancel)
        return false;
    if (answer == QMessageBox::No)
        return true;
    const QString path = QFileDialog::getSaveFileName(this, QString(), QStringLiteral("Untitled"));
    if (path.isEmpty())
        return false;
    const std::string target = QFile::encodeName(path).toStdString();
    errno = 0;
    if (!m_pDoc->SaveSiteListAs(target)) {
        // Closing now would lose the sites: say why, naming the file, and stay open.
        const int error = errno;
        const CFileException failure = error != 0 ? CFileException::FromErrno(error, target)
                                                  : CFileException(CFileException::generic, 0, target);
        MessageBoxes::Show(this, QMessageBox::Warning,
                           QFile::decodeName(QByteArray::fromStdString(failure.GetErrorMessage())));
        return false;
    }
    return true;
}

void CMainFrame::WaitForEngine() {
    // The engine's last threads (a dispatcher seeing the stop flag) end within a few ms; let
    // their notices through meanwhile instead of blocking.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (IsUpdateEngineIdle())
            loop.quit();
    });
    if (IsUpdateEngineIdle())
        return;
    poll.start(10);
    loop.exec();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (m_bClosed) {
        event->accept();
        return;
    }
    if (m_bClosing) { // a second close while the wait box is up
        event->ignore();
        return;
    }
    // A walk may stand on records the close would free: stop it and close after it.
    if (DeferWhileWalking([this] { close(); })) {
        event->ignore();
        return;
    }
    m_bClosing = true;
    const bool busy = IsUpdateWorkPending();
    StopUpdates();
    if (busy) {
        CCloseDlg wait([] { return !IsUpdateWorkPending(); }, this);
        wait.exec();
    }
    WaitForEngine();
    m_progressTimer.stop();
    // Asked from outside, nobody may be there to answer: a site list that was damaged at start
    // stays on disk as it was.
    if (m_bClosingFromOutside && m_pDoc->m_bModified)
        LogWarning("closing without saving the site list read in part at start");
    if (!m_bClosingFromOutside && !AskSaveModified()) {
        m_bClosing = false;
        event->ignore();
        return;
    }
    m_markWatchTimer.stop();
    m_markSaveTimer.stop();
    // A thread reading a site may be saving its marks: it ends first. Commands waiting for it go.
    m_pLoader->WaitAll();
    m_afterLoads.clear();
    m_pDoc->OnCloseDocument();
    m_bClosing = false;
    m_bClosed = true;
    emit Closed();
    event->accept();
}

// ---- read marks kept safe, and ends asked for from outside ---------------------------------

void CMainFrame::WatchMarks() {
    const uint64_t now = CQuarnelDoc::MarksCleared();
    if (now == m_nMarksSeen)
        return;
    m_nMarksSeen = now;
    m_markSaveTimer.start(); // from the last change on
}

void CMainFrame::SaveMarksInThreads() {
    if (m_bClosing || m_bClosed)
        return;
    bool later = false;
    for (CFTPSite* site : m_pDoc->m_siteList) {
        if (!site->m_bStateDirty.load())
            continue;
        // An update writes the marks with the tree; a site being read or saved is looked at again.
        if (IsSiteInEngine(site) || !m_pLoader->SaveMarks(site, "a few seconds after they changed"))
            later = true;
    }
    if (later)
        m_markSaveTimer.start();
}

std::size_t CMainFrame::SaveMarksNow(const std::string& why) {
    // A thread saving a site already writes what it took; an update writes its site's marks.
    return m_pDoc->SaveReadMarks(
        why, [this](const CFTPSite* site) { return IsSiteInEngine(site) || m_pLoader->IsBusy(site); });
}

void CMainFrame::CloseFromOutside(const std::string& why) {
    LogInfo("closing: " + why);
    m_bClosingFromOutside = true;
    CloseWhenNoDialog();
}

void CMainFrame::CloseWhenNoDialog() {
    if (m_bClosing || m_bClosed)
        return; // the close under way ends by itself
    if (QWidget* modal = QApplication::activeModalWidget()) {
        // A question nobody answers is answered "no"; its own event loop ends once this returns.
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        QTimer::singleShot(0, this, &CMainFrame::CloseWhenNoDialog);
        return;
    }
    close();
}
