#pragma once
// The document: the site list and the catalogue operations on it (site management, read
// marks, search, locations). No widgets here: the window and the CLI call these and show the
// outcomes themselves. Everything runs in one thread (the window thread); update workers
// change site trees under each site's m_treeLock, which the walks here take too.

#include "model/ObList.h"
#include "model/Records.h"
#include "ops/CatalogueObserver.h"
#include "ops/OpResults.h"
#include "ops/SearchKeyword.h"
#include "ops/SearchSink.h"
#include "ops/SiteFields.h"
#include "update/UpdateEvents.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

enum class SiteScope {
    Updated, // sites updated in this run whose tree is in memory (IsUpdatedThisRunAndLoaded)
    All,     // every site of the list
};

class CSearchQuery;

class CQuarnelDoc {
public:
    CQuarnelDoc();
    ~CQuarnelDoc();
    CQuarnelDoc(const CQuarnelDoc&) = delete;
    CQuarnelDoc& operator=(const CQuarnelDoc&) = delete;

    // ---- document life ----------------------------------------------------------------------
    // Reads site.ds of the program directory into m_siteList (creating it empty when missing).
    // After a damaged file the sites read before the fault stay and m_bModified is set.
    LoadOutcome OnNewDocument();
    // Writes state.st of every site whose read marks changed (m_bStateDirty), in list order.
    // Must not be called while IsWalkInProgress().
    void OnCloseDocument();
    // Writes m_siteList to site.ds, after taking in what other programs changed there (see
    // ReloadSiteList); false when the file could not be written.
    bool SaveSiteList();
    // Writes m_siteList in site.ds layout to `path` (the save-as after a damaged load).
    bool SaveSiteListAs(const std::string& path);

    // ---- site management ----------------------------------------------------------------------
    // Adds a site from the dialog's fields ("站点已有！" when host and user name exist).
    // On Done, `site` is the new site, appended at the end of m_siteList.
    SiteOpResult AddSite(const SiteFields& fields);
    // What is wrong with the host or the port typed for a site, as the window says it (empty:
    // nothing): the host must be there and hold no blank or control character (UTF-8), the port
    // is 1 to 65535.
    static std::string HostProblem(const std::string& hostUtf8);
    static std::string PortProblem(int32_t port);
    // "站点已有！" when another site than `editing` (null: none) has the host and user name, or the
    // key, the fields give; empty when none has.
    std::string SiteClash(const SiteFields& fields, const CFTPSite* editing) const;
    // The dialog's initial fields for editing `site` (UTF-8).
    SiteFields FieldsFromSite(const CFTPSite& site) const;
    // Stores the fields into `site`, renames its data directory to the new key, writes site.ds.
    // Refused (nothing changes) while the site is being updated, and when another site has the
    // host and user name or the key the fields give ("站点已有！").
    SiteOpResult EditSite(CFTPSite* site, const SiteFields& fields);
    // Tells the observers the site is going, deletes its data files, takes it out of the list,
    // writes site.ds and destroys it (or, while a worker updates it, hands it to the engine,
    // which destroys it when the worker has ended). Busy while a walk runs.
    OpStatus DeleteSite(CFTPSite* site);
    // Reads the text file of one site per line and appends the new ones; writes site.ds.
    // Refused with "无法打开所选文件！" when the file cannot be opened.
    ImportResult ImportSites(const std::string& path);

    // ---- other programs on the program directory -----------------------------------------------
    // Every writer of site.ds holds its lock (site.ds.lock), reads the file again, applies its
    // change and writes, so that changes made by the window and quarnel-cli runs meanwhile stay.
    struct SiteListMerge {
        std::vector<CFTPSite*> added;   // appended to m_siteList
        std::vector<CFTPSite*> changed; // fields taken from the file
        std::size_t removed = 0;        // dropped (the observers were told first)
    };
    // Takes in what other programs changed in site.ds since this document last read or wrote
    // it: sites added there are appended, sites edited there take the fields from the file,
    // sites deleted there go unless an update or a walk holds them here. A loaded site whose key
    // another program changed (its data directory renamed with it) takes the new fields and keeps
    // its tree and unsaved read marks. Existing CFTPSite objects stay where they are.
    SiteListMerge ReloadSiteList();

    // ---- read marks ---------------------------------------------------------------------------
    // The window installs its event pump: it lets waiting events through (at most every ~10 ms)
    // and returns false when a stop or quit was requested. Defaults to "always go on".
    void SetPumpPending(std::function<bool()> pump);
    bool PumpPending();

    // How many marks this process has cleared so far: a front end that saves marks a while after
    // the last change watches it.
    static uint64_t MarksCleared();
    // Writes state.st (with content.ct where the tree changed) of every site whose marks changed,
    // in list order, skipping those `skip` names; each save is logged with `why`. The number of
    // sites saved.
    std::size_t SaveReadMarks(const std::string& why, const std::function<bool(const CFTPSite*)>& skip = {});

    // Clears one mark; sets the site's m_bStateDirty when it was 1. True when it changed.
    static bool ClearMark(CFTPDir* dir);
    static bool ClearMark(CFTPFile* file);

    // The listed directories and everything below them. False when stopped.
    bool MarkListRead(const CObList<CFTPDir>& dirs);
    // The files of the browsed directory (m_browseFiles).
    void MarkShownFilesRead();
    // Everything below `dir` (not `dir` itself), loading its site first.
    OpStatus MarkDirRead(CFTPDir* dir);
    // The set-read command of the site tree: on a site's root also clears m_bHasNew (the caller
    // redraws the site's item), then MarkDirRead.
    OpStatus SetReadFromTree(CFTPDir* dir);
    // Whole sites of the scope; the all-sites scope loads unloaded sites first.
    OpStatus MarkSitesRead(SiteScope scope);

    // ---- search -------------------------------------------------------------------------------
    // The window installs its result sink once; null means "collect into the found lists only".
    void SetSearchSink(ISearchSink* sink) { m_pSearchSink = sink; }

    // Keyword search over every site. The keyword is the typed text (UTF-8), lowered here.
    SearchOutcome SearchAllSites(const std::string& keywordUtf8);
    SearchOutcome SearchAllSites(const CSearchKeyword& keyword);
    // Every entry of every site that a query of the search language matches (ops/SearchQuery.h),
    // into the found lists as the keyword search fills them; sites a site: term rules out are
    // neither read nor walked. A query with an error finds nothing. `asYouType`: no progress
    // window and no busy cursor (the search field shows its own progress).
    SearchOutcome FindAllSites(const CSearchQuery& query, bool asYouType = false);
    // The new entries of the updated sites or of all sites ("没有未读文件！" when none).
    SearchOutcome ShowNewFiles(SiteScope scope);
    // The new entries below one directory of the site tree (no progress window, no message).
    SearchOutcome ShowNewUnder(CFTPDir* dir);
    // The matching walks themselves (what SearchAllSites runs per site); false when stopped.
    bool SearchDirList(const CObList<CFTPDir>& dirs, const CSearchKeyword& keyword);
    bool SearchUnder(CFTPDir* dir, const CSearchKeyword& keyword);

    // Progress of the running SearchAllSites / ShowNewFiles, for the progress window.
    std::atomic<int32_t> m_nSearchDone{0};
    std::atomic<int32_t> m_nSearchTotal{0};

    // ---- walks in progress --------------------------------------------------------------------
    // True while a search or a mark-read walk runs. Commands that arrive through PumpPending()
    // and would free records (deleting a site, closing) must wait or be refused meanwhile; the
    // walks of this class refuse themselves (Busy).
    bool IsWalkInProgress() const { return m_nWalkDepth > 0; }
    // Makes the running walk stop at its next check, as if PumpPending() had returned false.
    void RequestStopWalk() { m_bStopWalk = true; }

    // ---- entries and sites leaving the catalogue -------------------------------------------------
    // Every holder of pointers into the catalogue joins here when it is made and leaves when it
    // goes; joining twice counts once. Members hear notices in the order they joined, after the
    // document has dropped its own references.
    void AddObserver(ICatalogueObserver* observer);
    void RemoveObserver(ICatalogueObserver* observer);
    // An entry the engine unlinked: every holder hears it is going, then it is freed (at once,
    // or when the running walk ends, since the walk may stand on it). Kinds other than file and
    // directory are only freed.
    void ReleaseEntry(std::unique_ptr<CObject> entry, EntryKind kind);
    // Several such entries at once: every list is gone through once for all of them. Hands back
    // those no walk stands on, for the caller to free (a removed directory may hold a large
    // subtree, better freed off the window thread); the others are freed when the walk ends.
    using GoingEntries = std::vector<std::pair<std::unique_ptr<CObject>, EntryKind>>;
    [[nodiscard]] std::vector<std::unique_ptr<CObject>> ReleaseEntries(GoingEntries entries);
    // Every holder hears that these entries are going; the caller keeps them and frees them once
    // no walk stands on them (a reloaded site's old tree).
    void AnnounceEntriesGoing(const std::vector<std::pair<const CObject*, EntryKind>>& entries);
    // Drops every reference in the browse and found lists to `entry` or anything below it (the
    // document's own part of the notice).
    void ForgetEntry(CObject* entry, EntryKind kind);
    void ForgetEntries(const std::vector<std::pair<const CObject*, EntryKind>>& entries);
    // The same for everything of one site.
    void ForgetSite(CFTPSite* site);

    // ---- browsing -----------------------------------------------------------------------------
    // The browse lists become the directory's sub-directories and files.
    void ShowDir(CFTPDir* dir);

    // ---- locations and URLs -------------------------------------------------------------------
    // The first site whose key equals `key` byte for byte, or null.
    CFTPSite* FindSiteByKey(const std::string& key) const;
    // The full ftp:// URL (login and port) of a location, or "" when no site has its key.
    // Readable: names byte for byte, nothing escaped.
    std::string BuildUrl(const std::string& location) const;
    // The same URL percent-encoded from the stored bytes (ExactUrl), for the shell and for
    // other programs, ending with "/" when the location names a stored directory; "" when no
    // site has the key.
    std::string BuildExactUrl(const std::string& location) const;
    // The readable URL as a person reads it (UTF-8): the site's fields as typed, each name as
    // shown; "" when no site has the key.
    std::string BuildShownUrl(const std::string& location) const;
    // The directory a location names (the site's root for "ftp://KEY/"), or null. Names are
    // compared byte for byte, and also through their display (UTF-8) form.
    CFTPDir* FindDirByLocation(const std::string& location) const;

    // ---- data ---------------------------------------------------------------------------------
    CObList<CFTPSite> m_siteList;
    std::vector<CFTPDir*> m_browseDirs;   // not owning
    std::vector<CFTPFile*> m_browseFiles; // not owning
    std::vector<CFTPDir*> m_foundDirs;    // not owning
    std::vector<CFTPFile*> m_foundFiles;  // not owning
    bool m_bModified = false;             // set after a damaged site list; the window then asks to save
    FileError m_lastListSaveError;        // the last write of site.ds that failed (path empty: none)
    // The lock that stopped the last refused change (path empty: none); EWOULDBLOCK: held.
    FileError m_lastLockFailure;
    // Deleting a site, or changing its key, while another program updates it waits up to this
    // for that update to end (0: refused at once), telling m_onUpdateWait (with the key) first.
    std::chrono::milliseconds m_updateWait{0};
    std::function<void(const std::string&)> m_onUpdateWait;

private:
    class WalkScope;
    // Under the site.ds lock: merges the file into m_siteList; `keep` is never dropped.
    SiteListMerge MergeSiteListFile(const CFTPSite* keep);
    bool WriteSiteListLocked(); // writes and remembers what the file now holds
    SiteOpResult LockRefused(const FileError& failure);
    void RememberSavedLogins(const CObList<CFTPSite>& list);
    std::set<std::pair<std::string, std::string>> m_savedLogins; // (host, user) last seen in site.ds
    // The one notice of a site leaving: the document's lists, then every observer.
    void SiteGoing(CFTPSite* site);
    void WalkStateChanged(bool walking);
    std::vector<ICatalogueObserver*> m_observers;
    std::vector<std::unique_ptr<CObject>> m_releasedEntries; // announced, freed when no walk runs
    // WalkCheck: PumpPending() every few entries. PumpAfterHit, after a query search's hit: at
    // once for the first hit, else as WalkCheck.
    bool WalkCheck();
    bool PumpNow();
    bool PumpAfterHit();
    SearchOutcome RunSiteSearch(const CSearchKeyword& keyword, SiteScope scope, bool newFilesCommand);
    bool SearchList(const CObList<CFTPDir>& dirs, const CSearchKeyword& keyword);
    bool SearchBelow(CFTPDir* dir, const CSearchKeyword& keyword);
    bool FindBelow(CFTPDir* dir, const CSearchQuery& query, NameCharset charset);
    bool MarkList(const CObList<CFTPDir>& dirs, CFTPSite* site);
    bool MarkBelow(CFTPDir* dir, CFTPSite* site);
    void AppendFound(CFTPDir* dir);
    void AppendFound(CFTPFile* file);
    void BeginFound(const SearchStart& start);

    std::function<bool()> m_pumpPending;
    ISearchSink* m_pSearchSink = nullptr;
    int m_nWalkDepth = 0;
    bool m_bStopWalk = false;
    bool m_bWalkStopped = false; // a check returned false: every later check does too
    uint32_t m_nSinceCheck = 0;
};
