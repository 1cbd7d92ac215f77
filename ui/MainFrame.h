#pragma once
// The main window: menus, toolbar, status bar, the two panes side by side, the command
// handlers, the update progress and the close path that waits for running updates.

#include "model/Records.h"
#include "ops/CatalogueObserver.h"
#include "ops/SiteFields.h"
#include "ui/History.h"
#include "update/UpdateEvents.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QTimer>

#include <string>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class CDesktopNotice;
class CDirView;
class CQuarnelDoc;
class CQuarnelView;
class CSiteLoader;
class CUiUpdateEvents;
class CWindowSearchSink;
class CSearchField;
class QActionGroup;
class QLabel;
class QSplitter;
class QToolBar;

class CMainFrame : public QMainWindow, public ICatalogueObserver {
    Q_OBJECT
public:
    static constexpr int kTreePaneWidth = 250;
    static constexpr int kProgressPeriodMs = 1000;
    // How often site.ds is looked at for changes made by other programs.
    static constexpr int kSiteListPollMs = 2000;
    // How long a site whose marks could not be saved before a reload waits for the next try.
    static constexpr qint64 kReloadRetryMs = 60000;
    // Read marks are saved this long after the last one changed (and at close).
    static constexpr int kMarkSaveDelayMs = 3000;

    explicit CMainFrame(CQuarnelDoc* doc, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The panes' initial update: the site items and the welcome rows.
    void OnInitialUpdate();

    CQuarnelView* ListView() const { return m_pListView; }
    CDirView* DirView() const { return m_pDirView; }
    CHistory& History() { return m_history; }
    QAction* Action(int commandId) const { return m_actions.value(commandId); }
    // The commands that change the catalogue, greyed while a walk runs.
    QActionGroup* CatalogueCommands() const { return m_pCatalogueCommands; }
    QToolBar* ToolBar() const { return m_pToolBar; }
    QSplitter* Splitter() const { return m_pSplitter; }
    // The status bar's one pane.
    QString PaneText() const;
    void SetPaneText(const QString& text);
    // The status bar's second pane: the entries the list shows (or what a search found, and for
    // which keyword), and when the selected site was last updated.
    QString InfoText() const;

    // Notices of the update engine, delivered in the window thread.
    void OnSiteStatus(CFTPSite* site);
    // After an update of the site being browsed ends, the list shows the directory anew.
    void FollowShownDirectory(CFTPSite* site);
    // Hands the entry to the document, which tells every holder it is going, then frees it.
    void OnEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind);
    // The same for an engine notice: the entries one merge removed arrive together and are
    // handed over as one batch once the notices queued with them are taken, so that long lists
    // are gone through once per merge, not once per entry.
    void QueueEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind);

    // Reads sites' files in threads of its own (first use, and sites other programs saved).
    CSiteLoader* SiteLoader() const { return m_pLoader.get(); }

    // The document's notices: the frame holds no records itself; it greys the catalogue
    // commands while a walk runs.
    void EntryGoing(const CObject*, EntryKind) override {}
    void WalkStateChanged(bool walking) override;

    // Lets waiting events through during a long walk, at most every ~10 ms; false once a stop or
    // the close of the window has been asked for. A repaint asked for meanwhile shows the next
    // time, so a pointer over the window waits twice that at worst.
    bool PumpPending();

    // Ends the program as closing the window does, for a request from outside (a signal, the
    // session): open dialogs are closed first and nothing is asked; `why` goes to the log.
    void CloseFromOutside(const std::string& why);
    // Saves the unsaved read marks of every site no update holds, in this thread (the session
    // asks for it, or the display went away). The number of sites saved.
    std::size_t SaveMarksNow(const std::string& why);
    // The delay of the save after the last change (tests shorten it).
    void SetMarkSaveDelay(int ms) { m_markSaveTimer.setInterval(ms); }

    // "help.pdf" in the current directory, else in the program directory, else beside the
    // executable or in its ../share/doc/quarnel; empty when none has it.
    static QString FindHelpFile();

    // Commands.
    void OnImport();
    void OnAddSite();
    void OnEditSite();
    void OnDeleteSite();
    void OnForward();
    void OnBack();
    void OnUp();
    void OnToggleBrowseSearch();
    void OnUpdateSelected();
    void OnUpdateAll();
    void OnStopUpdate();
    void OnSearch();
    void OnShowNewFiles();
    void OnShowAllNewFiles();
    void OnMarkShownRead();
    void OnMarkUpdatedRead();
    void OnMarkAllRead();
    void OnUpdateSettings();
    void OnHelp();
    void OnAppAbout();
    void OnShowTreeNew();
    void OnMarkTreeRead();
    void OnCopyListPath();
    void OnCopyListUrl();
    void OnCopyTreeUrl();

    // Back, Forward and Up enabled by the history.
    void UpdateNavigationActions();

    int m_nUpdateTotal = 0;

signals:
    // The close path has finished: the window is about to go (tests watch this).
    void Closed();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreateClient();
    void OnProgressTimer();
    // After a run: asks whether to trust the servers of secure sites that were refused for it.
    void AskAboutRefusedServers();
    void StartProgressTimer();
    void FocusOtherPane();
    void ShowMessage(const std::string& utf8);
    // Keys that go up, back or forward, help and update (Backspace leaves text fields alone).
    void CreateKeys();
    // The info pane is filled again shortly after the list or the selection changed.
    void ScheduleInfo();
    void RefreshInfo();
    QString SiteUpdatedText(CFTPSite* site) const;
    void CopyExactUrlOf(const std::string& location);
    // Tree items and list rows already shown follow the marks a read command cleared.
    void ShowReadMarks();
    // Runs a command that walks the catalogue; one that arrives while another walk runs stops
    // that walk and runs after it.
    void RunWalkCommand(std::function<void()> command);
    // Runs a command that may free records only when no walk runs (else after it has stopped).
    bool DeferWhileWalking(std::function<void()> command);
    void AfterWalk();
    void RunDeferred();
    // site.ds changed by another program (a quarnel-cli run): the site tree takes in its sites.
    void OnSiteListTimer();
    void AddMissingSiteItems();
    // Loaded sites whose files another program replaced are read again in a thread, unless this
    // window updates or reads them already; what was read takes the place of their tree here.
    void FollowSiteFiles();
    void OnSiteLoaded(CFTPSite* site);
    void OnSiteReloaded(CFTPSite* site, std::shared_ptr<CFTPSite::CStoredTree> tree);
    // Runs `command` once `sites` are no longer being read (with `loadFirst`, reading those not
    // read yet), so that it never waits for them in the window thread. False when nothing needs
    // waiting for: the caller runs the command itself.
    bool DeferWhileLoading(std::vector<CFTPSite*> sites, std::function<void()> command, bool loadFirst);
    void RunAfterLoads();
    std::vector<CFTPSite*> AllSites() const;
    void RemoveSite(CFTPSite* site);
    void ReleaseRemovedEntries();
    bool AskSaveModified();
    void WaitForEngine();
    // The site dialog for editing `site`, showing `shown`; asked again with what was typed when
    // the document refuses it.
    void EditSiteFrom(CFTPSite* site, const SiteFields& shown);
    // Marks changed since the last look: the save waits for a pause, then runs in threads.
    void WatchMarks();
    void SaveMarksInThreads();
    void CloseWhenNoDialog();

    // ---- the search field (MainFrameSearch.cpp) ----
    void CreateSearchField();
    void OnInstantSearch(const QString& text);
    void RunInstantSearch();
    void ShowLoadProgress();
    CSearchField* m_pSearchField = nullptr;
    std::string m_instantQuery;     // the field's text the next search is for
    bool m_bInstantQueued = false;  // a search for m_instantQuery is on its way
    bool m_bInstantRunning = false; // a search of the field runs (in a walk)
    QTimer m_loadProgressTimer;     // the field's progress while sites are read first

    CQuarnelView* m_pListView = nullptr;
    CDirView* m_pDirView = nullptr;
    QLabel* m_pMessagePane = nullptr;
    QLabel* m_pInfoPane = nullptr;
    QTimer m_infoTimer;
    // What the found lists hold, for the info pane: "查找 “…” 的结果" and the like.
    QString m_foundLabel;
    // When sites finished an update in this run (their content.ct may not have been written).
    std::map<const CFTPSite*, QDateTime> m_updatedInRun;
    QToolBar* m_pToolBar = nullptr;
    QSplitter* m_pSplitter = nullptr;
    CQuarnelDoc* m_pDoc;
    CHistory m_history;
    QHash<int, QAction*> m_actions;
    QActionGroup* m_pCatalogueCommands = nullptr;
    QTimer m_progressTimer;
    QTimer m_siteListTimer;
    std::string m_siteListSeen; // size, inode and time of site.ds when last looked at
    QElapsedTimer m_pumpClock;
    std::unique_ptr<CUiUpdateEvents> m_pEvents;
    std::unique_ptr<CWindowSearchSink> m_pSearchSink;
    struct CAfterLoad {
        std::vector<CFTPSite*> sites; // still being read
        std::function<void()> command;
    };
    std::vector<CAfterLoad> m_afterLoads;
    std::vector<std::pair<std::unique_ptr<CObject>, EntryKind>> m_removedEntries;
    // Sites whose marks could not be saved before a reload, and since when: not tried again for a
    // while (only compared, never followed).
    std::map<const CFTPSite*, QElapsedTimer> m_reloadsHeld;
    CDesktopNotice* m_pNotice = nullptr; // a child of the window
    std::vector<std::function<void()>> m_deferred;
    QTimer m_markWatchTimer;
    QTimer m_markSaveTimer;
    uint64_t m_nMarksSeen = 0;
    bool m_bClosingFromOutside = false;
    bool m_bStopRequested = false;
    bool m_bClosing = false;
    bool m_bClosed = false;
    // Last, so that it goes first: its threads read the document's sites.
    std::unique_ptr<CSiteLoader> m_pLoader;
};
