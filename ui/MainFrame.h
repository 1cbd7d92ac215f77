#pragma once
// The main window: it builds the menus, the toolbar, the status bar and the two panes side by
// side, and hands each command to its home: the site list's commands, the walks of the
// catalogue, the update runs. Whatever stands on sites passes one command gate, which waits for a
// walk, a thread reading the site or an update, or refuses; the site follower keeps the sites in
// step with what other programs save. What is left here: the panes' own commands (back, forward,
// up, copying paths), the engine's notices and the close path.

#include "model/Records.h"
#include "ops/CatalogueObserver.h"
#include "ui/History.h"
#include "update/UpdateEvents.h"

#include <QHash>
#include <QMainWindow>
#include <QTimer>

#include <string>

#include <functional>
#include <memory>
#include <vector>

class CCommandGate;
class CDesktopNotice;
class CDirView;
class CQuarnelDoc;
class CQuarnelView;
class CSiteCommands;
class CSiteFollower;
class CSiteLoader;
class CStatusPanes;
class CUpdateRuns;
class CWalkCommands;
class CUiUpdateEvents;
class CWindowSearchSink;
class CSearchField;
class QActionGroup;
class QSplitter;
class QToolBar;

class CMainFrame : public QMainWindow, public ICatalogueObserver {
    Q_OBJECT
public:
    static constexpr int kTreePaneWidth = 250;

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
    // commands while a walk runs, and lets the commands that waited for it go after it.
    void EntryGoing(const CObject*, EntryKind) override {}
    void SiteGoing(CFTPSite* site) override;
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
    void SetMarkSaveDelay(int ms);

    // "help.pdf" in the current directory, else in the program directory, else beside the
    // executable or in its ../share/doc/quarnel; empty when none has it.
    static QString FindHelpFile();

    // Commands.
    void OnEditSite();
    void OnDeleteSite();
    void OnForward();
    void OnBack();
    void OnUp();
    void OnToggleBrowseSearch();
    void OnHelp();
    void OnAppAbout();
    void OnCopyListPath();
    void OnCopyListUrl();
    void OnCopyTreeUrl();

    // Back, Forward and Up enabled by the history.
    void UpdateNavigationActions();

signals:
    // The close path has finished: the window is about to go (tests watch this).
    void Closed();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateActions();
    void CreateStatusBar();
    void CreateClient();
    void FocusOtherPane();
    void ShowMessage(const std::string& utf8);
    // Keys that go up, back or forward, help and update (Backspace leaves text fields alone).
    void CreateKeys();
    void CopyExactUrlOf(const std::string& location);
    // Runs a command that walks the catalogue (all sites, or `sites`, read first): one that
    // arrives while another walk runs stops that walk and runs after it.
    void RunWalk(bool allSites, std::vector<CFTPSite*> sites, std::function<void()> walk);
    void ReleaseRemovedEntries();
    bool AskSaveModified();
    void CloseWhenNoDialog();
    // While the close asks and waits, nothing is read again and no server is trusted.
    void SetClosing(bool closing);

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
    CStatusPanes* m_pStatus = nullptr;
    CUpdateRuns* m_pUpdates = nullptr; // children of the window
    CSiteCommands* m_pSites = nullptr;
    CWalkCommands* m_pWalks = nullptr;
    QToolBar* m_pToolBar = nullptr;
    QSplitter* m_pSplitter = nullptr;
    CQuarnelDoc* m_pDoc;
    CHistory m_history;
    QHash<int, QAction*> m_actions;
    QActionGroup* m_pCatalogueCommands = nullptr;
    std::unique_ptr<CUiUpdateEvents> m_pEvents;
    std::unique_ptr<CWindowSearchSink> m_pSearchSink;
    std::vector<std::pair<std::unique_ptr<CObject>, EntryKind>> m_removedEntries;
    CDesktopNotice* m_pNotice = nullptr; // a child of the window
    bool m_bClosingFromOutside = false;
    bool m_bClosing = false; // SetClosing
    bool m_bClosed = false;
    // Every command that stands on sites passes the gate; the follower keeps the sites in step
    // with their files.
    class CGateHolders;
    std::unique_ptr<CGateHolders> m_pHolders;
    std::unique_ptr<CCommandGate> m_pGate;
    std::unique_ptr<CSiteFollower> m_pFollower;
    // Last, so that it goes first: its threads read the document's sites.
    std::unique_ptr<CSiteLoader> m_pLoader;
};
