#include "ui/MainFrame.h"

#include "model/ArchiveException.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/ProgramDir.h"
#include "ops/CommandGate.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "ui/AboutDlg.h"
#include "ui/CommandBars.h"
#include "ui/CommandIds.h"
#include "ui/DesktopNotice.h"
#include "ui/DirView.h"
#include "ui/EntryDelegate.h"
#include "ui/FileListModel.h"
#include "ui/Icons.h"
#include "ui/MessageBoxes.h"
#include "ui/QuarnelView.h"
#include "ui/SearchDialog.h"
#include "ui/Shell.h"
#include "ui/SiteCommands.h"
#include "ui/SiteFollower.h"
#include "ui/SiteLoader.h"
#include "ui/StatusPanes.h"
#include "ui/UiUpdateEvents.h"
#include "ui/UpdateRuns.h"
#include "ui/WalkCommands.h"
#include "ui/WindowSearchSink.h"
#include "update/UpdateScheduler.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <QSplitter>
#include <QStatusTipEvent>
#include <QToolBar>

#include <cerrno>

namespace {
const QString kTitle = QStringLiteral("Quarnel");
} // namespace

// The gate asks the document about walks, the loader about reads and the engine about updates.
class CMainFrame::CGateHolders final : public IGateHolders {
public:
    explicit CGateHolders(CMainFrame& frame) : m_frame(frame) {}
    bool Walking() const override { return m_frame.m_pDoc->IsWalkInProgress(); }
    void StopWalk() override { m_frame.m_pDoc->RequestStopWalk(); }
    bool Reading(const CFTPSite* site) const override { return m_frame.m_pLoader->IsBusy(site); }
    void ReadIfUnloaded(CFTPSite* site) override {
        if (!site->IsLoaded())
            m_frame.m_pLoader->Load(site);
    }
    bool Updating(const CFTPSite* site) const override { return IsSiteInEngine(site); }
    std::vector<CFTPSite*> AllSites() const override {
        std::vector<CFTPSite*> sites;
        for (CFTPSite* site : m_frame.m_pDoc->m_siteList)
            sites.push_back(site);
        return sites;
    }
    void Post(std::function<void()> work) override { QTimer::singleShot(0, &m_frame, std::move(work)); }

private:
    CMainFrame& m_frame;
};

CMainFrame::CMainFrame(CQuarnelDoc* doc, QWidget* parent)
    : QMainWindow(parent), m_pDoc(doc), m_history(*doc) {
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(kTitle);
    setWindowIcon(Icons::AppIcon());
    CreateActions();
    CommandBars::FillMenuBar(menuBar(), m_actions);
    m_pToolBar = CommandBars::CreateToolBar(this, m_actions);
    CreateSearchField();
    CreateClient();
    CreateStatusBar();

    m_history.SetChangedCallback([this] {
        UpdateNavigationActions();
        m_pStatus->ScheduleInfo();
    });
    UpdateNavigationActions();

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
    m_pHolders = std::make_unique<CGateHolders>(*this);
    m_pGate = std::make_unique<CCommandGate>(*m_pHolders);
    m_pFollower = std::make_unique<CSiteFollower>(*m_pDoc, *m_pLoader, *m_pGate);
    m_pFollower->SetCallbacks(
        [this](const std::vector<CFTPSite*>& changed) {
            for (CFTPSite* site : changed)
                m_pDirView->RelabelSiteItem(site);
        },
        [this] { m_pSites->AddMissingSiteItems(); },
        [this](CFTPSite* site) { m_pDirView->SiteReloaded(site); });
    // What a thread read or saved may let held commands go.
    m_pLoader->SetLoadedCallback([this](CFTPSite* site) {
        m_pDirView->SiteLoaded(site);
        m_pGate->ReadsEnded();
    });
    m_pLoader->SetReloadedCallback([this](CFTPSite* site, std::shared_ptr<CFTPSite::CStoredTree> tree) {
        m_pFollower->Reloaded(site, std::move(tree));
        m_pGate->ReadsEnded();
    });
    m_pLoader->SetSavedCallback([this](CFTPSite*) { m_pGate->ReadsEnded(); });
    m_pDirView->SetSiteLoader(m_pLoader.get());

    m_pUpdates = new CUpdateRuns(*m_pDoc, *m_pDirView, *m_pStatus, *m_pNotice, *m_pGate, this);
    connect(Action(ID_UPDATE_SELECTED), &QAction::triggered, m_pUpdates, &CUpdateRuns::UpdateSelected);
    connect(Action(ID_UPDATE_ALL), &QAction::triggered, m_pUpdates, &CUpdateRuns::UpdateAll);
    connect(Action(ID_STOP_UPDATE), &QAction::triggered, m_pUpdates, &CUpdateRuns::Stop);
    connect(Action(ID_UPDATE_SETTINGS), &QAction::triggered, m_pUpdates, &CUpdateRuns::AskSettings);
    m_pSites = new CSiteCommands(*m_pDoc, *m_pDirView, *m_pStatus, *m_pGate, *m_pFollower, this);
    connect(Action(ID_IMPORT), &QAction::triggered, m_pSites, &CSiteCommands::Import);
    connect(Action(ID_ADD_SITE), &QAction::triggered, m_pSites, &CSiteCommands::Add);
    m_pWalks =
        new CWalkCommands(*m_pDoc, *m_pGate, *m_pDirView, *m_pListView, *m_pStatus, *m_pSearchSink, this);
    const std::pair<int, void (CWalkCommands::*)()> walks[] = {
        {ID_SEARCH, &CWalkCommands::Search},
        {ID_SHOW_NEW_FILES, &CWalkCommands::ShowNewFiles},
        {ID_SHOW_ALL_NEW_FILES, &CWalkCommands::ShowAllNewFiles},
        {ID_SHOW_TREE_NEW, &CWalkCommands::ShowTreeNew},
        {ID_MARK_SHOWN_READ, &CWalkCommands::MarkShownRead},
        {ID_MARK_UPDATED_READ, &CWalkCommands::MarkUpdatedRead},
        {ID_MARK_ALL_READ, &CWalkCommands::MarkAllRead},
        {ID_MARK_TREE_READ, &CWalkCommands::MarkTreeRead},
    };
    for (const auto& [id, command] : walks)
        connect(Action(id), &QAction::triggered, m_pWalks, command);

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
    m_actions = CommandBars::CreateActions(this);
    m_pCatalogueCommands = CommandBars::CreateCatalogueGroup(m_actions, this);
    const std::pair<int, void (CMainFrame::*)()> handlers[] = {
        {ID_EDIT_SITE, &CMainFrame::OnEditSite},
        {ID_DELETE_SITE, &CMainFrame::OnDeleteSite},
        {ID_FORWARD, &CMainFrame::OnForward},
        {ID_BACK, &CMainFrame::OnBack},
        {ID_UP, &CMainFrame::OnUp},
        {ID_TOGGLE_BROWSE_SEARCH, &CMainFrame::OnToggleBrowseSearch},
        {ID_HELP, &CMainFrame::OnHelp},
        {ID_APP_ABOUT, &CMainFrame::OnAppAbout},
        {ID_COPY_LIST_PATH, &CMainFrame::OnCopyListPath},
        {ID_COPY_LIST_URL, &CMainFrame::OnCopyListUrl},
        {ID_COPY_TREE_URL, &CMainFrame::OnCopyTreeUrl},
    };
    for (const auto& [id, handler] : handlers)
        connect(Action(id), &QAction::triggered, this, handler);
    connect(Action(ID_APP_EXIT), &QAction::triggered, this, &QWidget::close);
}

void CMainFrame::CreateStatusBar() {
    m_pStatus = new CStatusPanes(m_pListView, m_pDirView, this);
    setStatusBar(m_pStatus);
    QAction* toggle = Action(ID_VIEW_STATUS_BAR);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, m_pStatus, &QWidget::setVisible);
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
    connect(Action(ID_COPY_TREE_PATH), &QAction::triggered, m_pDirView, &CDirView::OnCopyTreePath);
}

void CMainFrame::OnInitialUpdate() {
    m_pFollower->SiteListSeen(); // what the document has read
    m_pDirView->OnInitialUpdate();
    m_pListView->OnInitialUpdate();
    // The tree column starts 250 pixels wide; the list takes the rest.
    const int total = std::max(m_pSplitter->width(), width());
    m_pSplitter->setSizes({kTreePaneWidth, std::max(total - kTreePaneWidth, kTreePaneWidth)});
}

// ---- status bar ----------------------------------------------------------------------------

QString CMainFrame::PaneText() const {
    return m_pStatus->MessageText();
}

void CMainFrame::SetPaneText(const QString& text) {
    m_pStatus->SetMessage(text);
}

QString CMainFrame::InfoText() const {
    return m_pStatus->InfoText();
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
        m_pStatus->ShowTip(static_cast<QStatusTipEvent*>(event)->tip());
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
    m_pStatus->SiteStatusSeen(site);
    const UpdateStatus status = site->m_nUpdateStatus.load();
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
    if (m_pListView->m_bSearchMode || !m_history.m_pCurrent || m_pGate->Walking())
        return;
    CFTPDir* dir = m_history.m_pCurrent->m_pDir;
    if (!dir || dir->GetSite() != site)
        return;
    m_pDoc->ShowDir(dir);
    m_pListView->ShowBrowseLists();
    m_pStatus->ScheduleInfo();
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

void CMainFrame::SiteGoing(CFTPSite* site) {
    // Whoever removed it: what waits for it, and what is kept about it, goes with it.
    m_pGate->SiteRemoved(site);
    m_pFollower->SiteRemoved(site);
    m_pStatus->SiteGoing(site);
}

void CMainFrame::WalkStateChanged(bool walking) {
    m_pCatalogueCommands->setEnabled(!walking);
    if (!walking)
        m_pGate->WalkEnded();
}

// ---- walks and deferred commands -----------------------------------------------------------

bool CMainFrame::PumpPending() {
    return m_pWalks->Pump();
}

void CMainFrame::RunWalk(bool allSites, std::vector<CFTPSite*> sites, std::function<void()> walk) {
    m_pWalks->Run(allSites, std::move(sites), std::move(walk));
}

// ---- commands handed on ----------------------------------------------------------------------

void CMainFrame::OnEditSite() {
    m_pSites->Edit();
}

void CMainFrame::OnDeleteSite() {
    m_pSites->Delete();
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

// ---- search and read marks -----------------------------------------------------------------

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

void CMainFrame::SetClosing(bool closing) {
    m_bClosing = closing;
    m_pFollower->SetClosing(closing);
    m_pUpdates->SetClosing(closing);
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
    if (m_pGate->Admit({.rule = {.read = IfHeld::Go}, .run = [this] { close(); }}).outcome ==
        CCommandGate::Outcome::Waits) {
        event->ignore();
        return;
    }
    SetClosing(true);
    m_pUpdates->StopAndWait();
    // Asked from outside, nobody may be there to answer: a site list that was damaged at start
    // stays on disk as it was.
    if (m_bClosingFromOutside && m_pDoc->m_bModified)
        LogWarning("closing without saving the site list read in part at start");
    if (!m_bClosingFromOutside && !AskSaveModified()) {
        SetClosing(false);
        event->ignore();
        return;
    }
    m_pFollower->Stop();
    // A thread reading a site may be saving its marks: it ends first. Commands waiting go.
    m_pLoader->WaitAll();
    m_pGate->Clear();
    m_pDoc->OnCloseDocument();
    m_bClosing = false; // closed: the follower and the runs stay stopped
    m_bClosed = true;
    emit Closed();
    event->accept();
}

// ---- read marks kept safe, and ends asked for from outside ---------------------------------

std::size_t CMainFrame::SaveMarksNow(const std::string& why) {
    return m_pFollower->SaveMarksNow(why);
}

void CMainFrame::SetMarkSaveDelay(int ms) {
    m_pFollower->SetMarkSaveDelay(ms);
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
