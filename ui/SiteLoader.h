#pragma once
// Reads sites' files off the window thread, so that the window never waits for a large site: the
// first use of a site (its tree read once, as EnsureLoaded does) and the reload of a site whose
// files another program replaced (its unsaved read marks saved first, where they meet those saved
// elsewhere). What was read comes back in the window thread through the callbacks. Large trees
// the window no longer needs are freed here too.

#include "model/Records.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

class CSiteLoader : public QObject {
    Q_OBJECT
public:
    // The site's tree is loaded now (called in the window thread).
    using LoadedCallback = std::function<void(CFTPSite*)>;
    // The site's files as stored now, read into a tree of their own; null when the site's own
    // read marks could not be saved first (the window then keeps its tree).
    using ReloadedCallback = std::function<void(CFTPSite*, std::shared_ptr<CFTPSite::CStoredTree>)>;
    // A save of the site's read marks has ended (whether or not it went through).
    using SavedCallback = std::function<void(CFTPSite*)>;

    explicit CSiteLoader(QObject* parent = nullptr);
    // Waits for every thread.
    ~CSiteLoader() override;

    void SetLoadedCallback(LoadedCallback callback) { m_onLoaded = std::move(callback); }
    void SetReloadedCallback(ReloadedCallback callback) { m_onReloaded = std::move(callback); }
    void SetSavedCallback(SavedCallback callback) { m_onSaved = std::move(callback); }

    // Reads the site's tree in a thread of its own unless it is loaded. True while it is being
    // read: a second ask meanwhile reads nothing more. False when the tree is there already (or
    // no thread could be had: then it has been read here).
    bool Load(CFTPSite* site);
    // Saves the site's unsaved read marks, then reads its files into a tree of their own. Nothing
    // while the site is being read already.
    void Reload(CFTPSite* site);
    // Saves the site's unsaved read marks in a thread, as the close does, and logs it with
    // `why`. False when the site is being read or saved already (or no thread could be had).
    bool SaveMarks(CFTPSite* site, std::string why);
    bool IsBusy(const CFTPSite* site) const { return m_jobs.count(site) != 0; }
    // Reads of a site's tree begun so far (first uses, not reloads).
    std::size_t ReadsStarted() const { return m_nReads; }
    bool IsIdle() const { return m_jobs.empty(); }
    // Frees trees the window has let go of.
    void Dispose(std::vector<std::unique_ptr<CObject>> trees);
    // Waits for every thread, and hands nothing more to the callbacks (the window closes).
    void WaitAll();

private:
    struct CJob {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    // Runs `work` for `site` in a thread; `then` runs in the window thread once it has ended.
    bool Start(CFTPSite* site, std::function<void()> work, std::function<void()> then);
    void Reap();

    LoadedCallback m_onLoaded;
    ReloadedCallback m_onReloaded;
    SavedCallback m_onSaved;
    std::map<const CFTPSite*, std::unique_ptr<CJob>> m_jobs; // one per site; window thread only
    std::vector<std::unique_ptr<CJob>> m_disposals;
    bool m_bStopped = false;
    std::size_t m_nReads = 0;
};
