#include "update/UpdateScheduler.h"

#include "model/Records.h"
#include "update/DirectoryMerge.h"
#include "update/EngineState.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

std::atomic<unsigned> g_nRunningUpdates{0};
std::atomic<bool> g_bStopUpdate{false};

namespace {

using Guard = std::lock_guard<std::mutex>;

// FIFO of waiting requests, owning them. Its lock also guards g_heldSites; every access holds it.
// Lock order: a site's tree lock before this one; this one before a site's status lock and the
// events sink's own lock (the Post calls are made under it).
struct CUpdateQueue {
    std::mutex m_lock;
    std::deque<std::unique_ptr<UpdateRequest>> m_requests;
};

CUpdateQueue g_updateQueue;
std::atomic<bool> g_bDispatcherRunning{false}; // taken with exchange(true): a test-and-set
std::atomic<int> g_nMaxUpdateThreads{kDefaultUpdateThreads};

std::atomic<IUpdateEvents*> g_pEvents{nullptr};

// What the dispatcher sleeps on between passes. Whatever can give it work (a request queued, a
// worker ended, a site let go, a new limit) or end its wait (the stop flag set or cleared) counts
// a change here and signals, so an idle engine sleeps until then and never polls.
struct CDispatcherWake {
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::uint64_t m_nChanges = 0; // guarded by m_lock
    bool m_bAsleep = false;       // guarded by m_lock: waiting with nothing to start
    std::atomic<std::uint64_t> m_nPasses{0};
};

// Never destroyed: a dispatcher may still be asleep on it while the program's statics go.
CDispatcherWake& Wake() {
    static auto* wake = new CDispatcherWake;
    return *wake;
}

// Called after the change it reports has been made, with no engine lock held: the dispatcher
// checks its conditions under the wake lock, so a change made before this is never missed.
void WakeDispatcher() {
    CDispatcherWake& wake = Wake();
    {
        Guard lock(wake.m_lock);
        ++wake.m_nChanges;
    }
    wake.m_changed.notify_all();
}

std::uint64_t ChangesSoFar() {
    CDispatcherWake& wake = Wake();
    Guard lock(wake.m_lock);
    return wake.m_nChanges;
}

void SetStop(bool stop) {
    g_bStopUpdate.store(stop);
    WakeDispatcher();
}

// A site the engine holds: by its worker, by the drain after a stop, or by RetireSite while it
// waits out a save. A retired site is kept here until its last holder lets go.
struct CSiteHold {
    int m_nHolders = 0;
    std::atomic<bool> m_bRetired{false};
    std::unique_ptr<CFTPSite> m_retiredSite;
};

// Guarded by g_updateQueue's lock. Map nodes stay put, so a worker may keep a reference to its
// hold's flag until it leaves.
std::unordered_map<const CFTPSite*, CSiteHold> g_heldSites;

CSiteHold& HoldLocked(const CFTPSite* site) {
    CSiteHold& hold = g_heldSites[site];
    ++hold.m_nHolders;
    return hold;
}

bool IsRetiredLocked(const CFTPSite* site) {
    auto it = g_heldSites.find(site);
    return it != g_heldSites.end() && it->second.m_bRetired.load();
}

// Queues the site unless it is waiting or running already. Under the queue lock, so that an
// update command and a worker's automatic re-queue never both queue one site.
bool QueueSite(CFTPSite* site, CFTPDir* startDir) {
    {
        Guard lock(g_updateQueue.m_lock);
        if (site->m_nUpdateStatus.load() == UpdateStatus::Waiting)
            return false;
        site->SetStatus(kStatusWaiting, UpdateStatus::Waiting);
        site->m_bResume = 0; // a run the user starts walks everything below its start
        g_updateQueue.m_requests.push_back(std::make_unique<UpdateRequest>(UpdateRequest{site, startDir}));
    }
    WakeDispatcher();
    return true;
}

void RefreshSiteItem(CFTPSite* site) {
    if (IUpdateEvents* events = g_pEvents.load())
        events->PostSiteStatus(site);
}

bool IsQueueEmpty() {
    Guard lock(g_updateQueue.m_lock);
    return g_updateQueue.m_requests.empty();
}

enum class PassResult {
    Started,
    NothingToStart, // no free slot, or no request whose site is free
    NoThread,       // a request could be started but no thread could be had
};

// One pass of the dispatcher: starts a worker for the first waiting request whose site no worker
// holds (a site's previous worker may still be writing its files), if a slot is free.
PassResult StartOneWorker() {
    UpdateRequest* request = nullptr;
    {
        Guard lock(g_updateQueue.m_lock);
        if (g_nRunningUpdates.load() >= static_cast<unsigned>(g_nMaxUpdateThreads.load()))
            return PassResult::NothingToStart;
        auto& items = g_updateQueue.m_requests;
        auto startable = std::find_if(items.begin(), items.end(),
                                      [](const auto& r) { return !g_heldSites.count(r->m_pSite); });
        if (startable == items.end())
            return PassResult::NothingToStart;
        request = startable->release();
        items.erase(startable);
        ++g_nRunningUpdates;
        HoldLocked(request->m_pSite);
    }
    try {
        std::thread([request] {
            UpdateSiteThread(std::unique_ptr<UpdateRequest>(request));
            WakeDispatcher(); // a slot is free
        }).detach();
        return PassResult::Started;
    } catch (const std::system_error&) {
        // No thread to be had now: put the request back at the head and try again next pass.
        std::unique_ptr<UpdateRequest> owned(request);
        CFTPSite* site = owned->m_pSite;
        {
            Guard lock(g_updateQueue.m_lock);
            --g_nRunningUpdates;
            if (!IsRetiredLocked(site))
                g_updateQueue.m_requests.push_front(std::move(owned));
        }
        LeaveEngine(site);
        return PassResult::NoThread;
    }
}

// After a stop: every waiting request ends with the half-width text and a synchronous notice.
// Ends early if an update command clears the stop meanwhile; its requests are then served.
void DrainQueue() {
    for (;;) {
        std::unique_ptr<UpdateRequest> request;
        {
            Guard lock(g_updateQueue.m_lock);
            auto& items = g_updateQueue.m_requests;
            if (!g_bStopUpdate.load() || items.empty())
                return;
            request = std::move(items.front());
            items.pop_front();
            HoldLocked(request->m_pSite);
        }
        CFTPSite* site = request->m_pSite;
        site->SetStatus(kStatusDrained, UpdateStatus::Ended);
        bool retired;
        {
            Guard lock(g_updateQueue.m_lock);
            retired = IsRetiredLocked(site);
        }
        IUpdateEvents* events = g_pEvents.load();
        if (events && !retired)
            events->SendSiteStatus(site);
        request.reset();
        LeaveEngine(site);
    }
}

// Starts workers until a stop, at most one every 10 ms, and sleeps while there is nothing it could
// start; after a stop, drains the queue and waits for the running workers to end.
void UpdateDispatcher() {
    using namespace std::chrono_literals;
    CDispatcherWake& wake = Wake();
    for (;;) {
        if (g_bDispatcherRunning.exchange(true))
            return;
        while (!g_bStopUpdate.load()) {
            // Taken before the pass: a change the pass did not see ends the wait below at once.
            const std::uint64_t seen = ChangesSoFar();
            ++wake.m_nPasses;
            const PassResult pass = StartOneWorker();
            std::unique_lock<std::mutex> lock(wake.m_lock);
            if (pass == PassResult::NothingToStart) {
                wake.m_bAsleep = true;
                wake.m_changed.wait(lock, [&] { return g_bStopUpdate.load() || wake.m_nChanges != seen; });
                wake.m_bAsleep = false;
            } else {
                // The pace of starts, or the wait before another try for a thread; a stop cuts it.
                wake.m_changed.wait_for(lock, 10ms, [] { return g_bStopUpdate.load(); });
            }
        }
        DrainQueue();
        {
            std::unique_lock<std::mutex> lock(wake.m_lock);
            wake.m_changed.wait(lock, [&] {
                ++wake.m_nPasses;
                return g_nRunningUpdates.load() == 0 || !g_bStopUpdate.load();
            });
        }
        g_bDispatcherRunning.store(false);
        // An update command given while this one was ending found it still running: serve it.
        if (g_bStopUpdate.load() || IsQueueEmpty())
            return;
    }
}

} // namespace

void SetMaxUpdateThreads(int threads) {
    g_nMaxUpdateThreads.store(std::clamp(threads, kMinUpdateThreads, kMaxUpdateThreads));
    WakeDispatcher(); // a higher limit may start waiting requests
}

int GetMaxUpdateThreads() {
    return g_nMaxUpdateThreads.load();
}

void SetUpdateEvents(IUpdateEvents* events) {
    g_pEvents.store(events);
}

void StartDispatcher() {
    if (g_bDispatcherRunning.load())
        return; // the running one watches the queue; it re-checks the queue when it ends
    try {
        std::thread(UpdateDispatcher).detach();
    } catch (const std::system_error&) {
        // Without a thread the requests wait; the next command or re-queue tries again.
    }
}

void UpdateAllSites(const CObList<CFTPSite>& sites, int& nUpdateTotal) {
    SetStop(false);
    nUpdateTotal += static_cast<int>(sites.GetCount());
    bool queuedAny = false;
    for (CFTPSite* site : sites) {
        if (!QueueSite(site, nullptr)) {
            --nUpdateTotal;
            continue;
        }
        RefreshSiteItem(site);
        queuedAny = true;
    }
    if (queuedAny)
        StartDispatcher();
}

bool UpdateSelectedDir(CFTPDir* selected, const CObList<CFTPSite>& sites, int& nUpdateTotal) {
    SetStop(false);
    if (!selected)
        return false;
    CFTPSite* site = selected->GetSite();
    if (!site)
        return false;
    bool listed = false;
    for (CFTPSite* candidate : sites)
        listed = listed || candidate == site;
    if (!listed)
        return false;
    if (!QueueSite(site, selected->m_pParent ? selected : nullptr))
        return false;
    RefreshSiteItem(site);
    StartDispatcher();
    ++nUpdateTotal;
    return true;
}

void StopUpdates() {
    SetStop(true);
}

bool IsStopRequested() {
    return g_bStopUpdate.load();
}

void ResetUpdateEngine() {
    g_nMaxUpdateThreads.store(kDefaultUpdateThreads);
    SetStop(false);
}

DispatcherLook GetDispatcherLook() {
    CDispatcherWake& wake = Wake();
    Guard lock(wake.m_lock);
    return {wake.m_nPasses.load(), wake.m_nChanges, wake.m_bAsleep};
}

UpdateWorkCounts GetUpdateWorkCounts() {
    Guard lock(g_updateQueue.m_lock);
    return {g_updateQueue.m_requests.size(), g_nRunningUpdates.load()};
}

bool UpdateProgressTick(int& nUpdateTotal, std::string& text) {
    const auto [queued, running] = GetUpdateWorkCounts();
    if (running > 0 || queued > 0) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, kProgressFormat,
                      nUpdateTotal - static_cast<int>(queued) - static_cast<int>(running), nUpdateTotal);
        text = buffer;
        return true;
    }
    text = kProgressDone;
    nUpdateTotal = 0;
    return false;
}

bool IsUpdateWorkPending() {
    const UpdateWorkCounts counts = GetUpdateWorkCounts();
    return counts.running > 0 || counts.queued > 0;
}

bool IsUpdateEngineIdle() {
    Guard lock(g_updateQueue.m_lock);
    return g_updateQueue.m_requests.empty() && g_heldSites.empty() && g_nRunningUpdates.load() == 0 &&
           !g_bDispatcherRunning.load();
}

bool IsSiteInEngine(const CFTPSite* site) {
    Guard lock(g_updateQueue.m_lock);
    if (g_heldSites.count(site))
        return true;
    const auto& items = g_updateQueue.m_requests;
    return std::any_of(items.begin(), items.end(), [site](const auto& r) { return r->m_pSite == site; });
}

void RetireSite(std::unique_ptr<CFTPSite> site) {
    if (!site)
        return;
    CFTPSite* raw = site.get();
    std::vector<std::unique_ptr<UpdateRequest>> dropped;
    bool held = false;
    {
        Guard lock(g_updateQueue.m_lock);
        auto& items = g_updateQueue.m_requests;
        for (auto it = items.begin(); it != items.end();) {
            if ((*it)->m_pSite == raw) {
                dropped.push_back(std::move(*it));
                it = items.erase(it);
            } else {
                ++it;
            }
        }
        auto it = g_heldSites.find(raw);
        if (it != g_heldSites.end()) {
            it->second.m_bRetired.store(true);
            it->second.m_retiredSite = std::move(site);
            ++it->second.m_nHolders; // keeps the site alive through the wait below
            held = true;
        }
    }
    if (!held)
        return; // `site` still owns it: destroyed on return
    {
        // A worker writes the site's files under its tree lock after checking the retired flag:
        // once we have had the lock, no write is under way and none will start.
        auto barrier = raw->LockTree();
    }
    LeaveEngine(raw);
}

// ---- between the crawler and the scheduler ----

const std::atomic<bool>& RetiredFlag(const CFTPSite* site) {
    static const std::atomic<bool> kNeverRetired{false};
    Guard lock(g_updateQueue.m_lock);
    auto it = g_heldSites.find(site); // made by the worker's hold; stays until LeaveEngine
    return it != g_heldSites.end() ? it->second.m_bRetired : kNeverRetired;
}

void NotifySiteStatus(CFTPSite* site) {
    Guard lock(g_updateQueue.m_lock);
    IUpdateEvents* events = g_pEvents.load();
    if (events && !IsRetiredLocked(site))
        events->PostSiteStatus(site);
}

void HandOverRemovedEntries(CFTPSite* site, MergeOutcome& outcome) {
    if (outcome.removedFiles.empty() && outcome.removedDirs.empty())
        return;
    {
        Guard lock(g_updateQueue.m_lock);
        IUpdateEvents* events = g_pEvents.load();
        if (events && !IsRetiredLocked(site)) {
            for (auto& file : outcome.removedFiles)
                events->PostEntryRemoved(site, std::move(file), kEntryFile);
            for (auto& dir : outcome.removedDirs)
                events->PostEntryRemoved(site, std::move(dir), kEntryDir);
        }
    }
    // Whatever was not handed over dies here, outside the lock (a subtree may be large).
    outcome.removedFiles.clear();
    outcome.removedDirs.clear();
}

bool RequeueLostSite(CFTPSite* site, CFTPDir* startDir, std::chrono::steady_clock::duration spent) {
    {
        Guard lock(g_updateQueue.m_lock);
        std::string text = site->GetStatusText();
        if (text.rfind(kStatusLostPrefix, 0) != 0 || g_bStopUpdate.load() || IsRetiredLocked(site) ||
            site->m_nRetryCount > 3)
            return false;
        site->SetStatus(text + kStatusRequeued, UpdateStatus::Waiting);
        // The re-queued run has what is left of the update's time.
        g_updateQueue.m_requests.push_back(
            std::make_unique<UpdateRequest>(UpdateRequest{site, startDir, spent}));
        ++site->m_nRetryCount;
    }
    WakeDispatcher();
    return true;
}

void LeaveEngine(CFTPSite* site) {
    std::unique_ptr<CFTPSite> doomed;
    {
        Guard lock(g_updateQueue.m_lock);
        auto it = g_heldSites.find(site);
        if (it == g_heldSites.end() || --it->second.m_nHolders > 0)
            return;
        doomed = std::move(it->second.m_retiredSite);
        g_heldSites.erase(it);
    }
    WakeDispatcher(); // a request for this site may start now
}
