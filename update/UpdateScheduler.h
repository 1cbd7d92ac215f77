#pragma once
// The update engine's public side: the update and stop commands, the thread limit, the progress
// figures, and the hand-over of sites the user deletes while they are updated. The queue, the
// dispatcher and the counters they share with the workers stay inside update/; callers see them
// only through these functions. Called from the window thread (or the CLI's main thread);
// everything else happens in the engine's own threads.

#include "model/ObList.h"
#include "update/SiteCrawler.h"
#include "update/UpdateEvents.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CFTPSite;
class CFTPDir;

inline constexpr int kMinUpdateThreads = 1;
inline constexpr int kMaxUpdateThreads = 500;
inline constexpr int kDefaultUpdateThreads = 5;

// Most workers that may run at once: 5 at every start, kept within 1..500. A new limit applies
// from the dispatcher's next pass; lowering it stops no running worker.
void SetMaxUpdateThreads(int threads);
int GetMaxUpdateThreads();

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

// Sets the stop flag; the dispatcher and the workers react to it. The update commands clear it.
void StopUpdates();
bool IsStopRequested();

// Body of the one-second progress timer: "更新%d/%d" while something runs or waits (returns
// true), else "更新完成", nUpdateTotal reset to 0 and false (stop the timer).
bool UpdateProgressTick(int& nUpdateTotal, std::string& text);

// Requests waiting in the queue and workers running, taken in one look.
struct UpdateWorkCounts {
    std::size_t queued = 0;
    unsigned running = 0;
};
UpdateWorkCounts GetUpdateWorkCounts();

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

// The dispatcher seen from outside, for tests of its waking: the passes it has made over the queue
// and the running count so far, and whether it is asleep with nothing to start.
struct DispatcherLook {
    std::uint64_t passes = 0;
    std::uint64_t changes = 0; // wake-ups asked for so far: an idle dispatcher passes once for each
    bool asleep = false;
};
DispatcherLook GetDispatcherLook();

// Back to the state of a program start: no stop requested, the default thread limit. For tests
// between cases; the engine must be idle (IsUpdateEngineIdle).
void ResetUpdateEngine();
