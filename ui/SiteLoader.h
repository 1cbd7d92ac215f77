#pragma once
// Reads sites' files off the window thread, so that the window never waits for a large site: the
// first use of a site (its tree read once, as EnsureLoaded does) and the reload of a site whose
// files another program replaced (its unsaved read marks saved first, where they meet those saved
// elsewhere). What was read comes back in the window thread through the callbacks. Large trees
// the window no longer needs are freed here too. Reads run in a pool of as many threads as the
// machine has cores; more wait their turn. Trees are freed in one thread of their own, so that a
// large one never holds up a read.

#include "model/Records.h"
#include "ui/SiteFiles.h"

#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class CSiteLoader : public QObject, public ISiteFiles {
    Q_OBJECT
public:
    // The site's tree is loaded now (called in the window thread).
    using LoadedCallback = std::function<void(CFTPSite*)>;
    // The site's files as stored now, read into a tree of their own; null when the site's own
    // read marks could not be saved first (the window then keeps its tree).
    using ReloadedCallback = std::function<void(CFTPSite*, std::shared_ptr<CFTPSite::CStoredTree>)>;
    // A save of the site's read marks has ended (whether or not it went through).
    using SavedCallback = std::function<void(CFTPSite*)>;

    // For tests: called in the reading thread as a read or reload of the site begins (true) and
    // ends (false).
    using WorkProbe = std::function<void(const CFTPSite*, bool begins)>;

    explicit CSiteLoader(QObject* parent = nullptr);
    // Waits for every read and disposal.
    ~CSiteLoader() override;

    void SetLoadedCallback(LoadedCallback callback) { m_onLoaded = std::move(callback); }
    void SetReloadedCallback(ReloadedCallback callback) { m_onReloaded = std::move(callback); }
    void SetSavedCallback(SavedCallback callback) { m_onSaved = std::move(callback); }

    // Reads the site's tree in the pool unless it is loaded. True while it is being read or waits
    // for a thread: a second ask meanwhile reads nothing more. False when the tree is there
    // already (or the loader has stopped: then it has been read here).
    bool Load(CFTPSite* site);
    // Saves the site's unsaved read marks, then reads its files into a tree of their own. Nothing
    // while the site is being read already.
    void Reload(CFTPSite* site) override;
    // Saves the site's unsaved read marks in a thread, as the close does, and logs it with
    // `why`. False when the site is being read or saved already (or no thread could be had).
    bool SaveMarks(CFTPSite* site, std::string why) override;
    bool IsBusy(const CFTPSite* site) const { return m_jobs.count(site) != 0; }
    // Reads of a site's tree begun so far (first uses, not reloads).
    std::size_t ReadsStarted() const { return m_nReads; }
    bool IsIdle() const override { return m_jobs.empty(); }
    // Frees trees the window has let go of.
    void Dispose(std::vector<std::unique_ptr<CObject>> trees) override;
    // Waits for every read and disposal, and hands nothing more to the callbacks (the window
    // closes).
    void WaitAll();

    // Most reads that run at once.
    int PoolSize() const { return m_pool.maxThreadCount(); }
    // Set before the first read.
    void SetWorkProbe(WorkProbe probe) { m_probe = std::move(probe); }

private:
    // Runs `work` for `site` in the pool; `then` runs in the window thread once it has ended.
    bool Start(CFTPSite* site, std::function<void()> work, std::function<void()> then);

    LoadedCallback m_onLoaded;
    ReloadedCallback m_onReloaded;
    SavedCallback m_onSaved;
    WorkProbe m_probe;
    // The job of each site being read, by its number, so that a finished job never ends a later
    // one of a site at the same address; window thread only.
    std::map<const CFTPSite*, std::uint64_t> m_jobs;
    std::uint64_t m_nLastJob = 0;
    bool m_bStopped = false;
    std::size_t m_nReads = 0;
    // Last, so that they go first, waiting for their work while the probe it calls is still there.
    QThreadPool m_disposer;
    QThreadPool m_pool;
};
