#pragma once
// The update engine's public side: the request queue, the dispatcher that starts one worker per
// request within the thread limit, the update and stop commands, the progress figures, and the
// hand-over of sites the user deletes while they are updated. Called from the window thread (or
// the CLI's main thread); everything else happens in the engine's own threads.

#include "model/ObList.h"
#include "update/SiteCrawler.h"
#include "update/UpdateEvents.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class CFTPSite;
class CFTPDir;

// FIFO of waiting requests, owning them; every access holds its one lock.
class CUpdateQueue {
public:
    void AddTail(std::unique_ptr<UpdateRequest> request);
    bool IsEmpty() const;
    std::size_t GetCount() const;
    bool Contains(const CFTPSite* site) const;

    // The lock, and the members below that need it held (the engine's own use).
    std::mutex& Lock() const { return m_lock; }
    std::deque<std::unique_ptr<UpdateRequest>>& ItemsLocked() { return m_requests; }

private:
    mutable std::mutex m_lock;
    std::deque<std::unique_ptr<UpdateRequest>> m_requests;
};

extern CUpdateQueue g_updateQueue;
extern std::atomic<unsigned> g_nRunningUpdates; // workers started and not yet finished
extern std::atomic<bool> g_bDispatcherRunning;  // taken with exchange(true): a test-and-set
extern std::atomic<bool> g_bStopUpdate;
extern std::atomic<int> g_nMaxUpdateThreads; // 5 at start; the settings dialog keeps it in 1..500

inline constexpr int kMinUpdateThreads = 1;
inline constexpr int kMaxUpdateThreads = 500;
inline constexpr int kDefaultUpdateThreads = 5;

// Where the engine reports. Null: nothing is reported and removed entries are destroyed at once.
// Set it before the first update; it must outlive the engine's activity. The two Post calls come
// from engine threads with the queue's lock held (so that nothing is posted for a site once
// RetireSite has returned): they must only queue the notice, never call back into the engine.
// A posted site may have been retired by the time the notice is handled: compare it with the
// sites you hold before using it. SendSiteStatus is called without any engine lock.
void SetUpdateEvents(IUpdateEvents* events);

// Queues every site not already in the engine (in list order) and adds their number to
// nUpdateTotal. The caller starts its progress timer.
void UpdateAllSites(const CObList<CFTPSite>& sites, int& nUpdateTotal);

// Queues the site of `selected` (the whole site for its root, else the subtree below `selected`)
// unless nothing is selected, the site is not in `sites`, or it is already waiting or running.
// Returns whether a request was queued (then nUpdateTotal has grown by one).
bool UpdateSelectedDir(CFTPDir* selected, const CObList<CFTPSite>& sites, int& nUpdateTotal);

// Sets the stop flag; the dispatcher and the workers react to it.
void StopUpdates();

// Body of the one-second progress timer: "更新%d/%d" while something runs or waits (returns
// true), else "更新完成", nUpdateTotal reset to 0 and false (stop the timer).
bool UpdateProgressTick(int& nUpdateTotal, std::string& text);

// Something runs or waits: the progress display's test, on one consistent look at the queue
// and the running count.
bool IsUpdateWorkPending();

// Nothing running, nothing queued, no dispatcher, no site held by the engine. The close path polls
// this from a timer; it must not block waiting for the engine, since the dispatcher's drain sends
// synchronous status notices to the window thread.
bool IsUpdateEngineIdle();

// True while the site is queued, running, or being drained by a stop.
bool IsSiteInEngine(const CFTPSite* site);

// Takes a site the user deleted. If the engine holds it, its requests leave the queue and its
// worker finishes quietly (no more notices, no files written); the site is destroyed once the
// worker has ended. Otherwise it is destroyed at once. When this returns, no file of the site
// is being written and none will be.
void RetireSite(std::unique_ptr<CFTPSite> site);

// Starts a dispatcher thread; one that finds another already running ends at once.
void StartDispatcher();
