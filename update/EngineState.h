#pragma once
// What the crawler shares with the scheduler, inside update/ only: the stop flag and the running
// count, reporting through the events sink (silenced for a site the user deleted), the automatic
// re-queue, and leaving the engine at the end of a run.

#include <atomic>
#include <chrono>

class CFTPSite;
class CFTPDir;
struct MergeOutcome;

// Set by StopUpdates and the close, cleared by the update commands; polled by every engine thread.
extern std::atomic<bool> g_bStopUpdate;
// Workers started and not yet finished: raised by the dispatcher as it starts one, lowered once by
// each worker after any re-queue of its site, so that the engine never looks idle in between.
extern std::atomic<unsigned> g_nRunningUpdates;

// Set when the user deleted the site while the engine held it. Valid from the dispatcher's start
// of the worker until LeaveEngine.
const std::atomic<bool>& RetiredFlag(const CFTPSite* site);

// Posts a status notice for the site, unless it has been retired.
void NotifySiteStatus(CFTPSite* site);

// Hands the entries a merge removed to the events sink, one notice each (files first, then
// directories, in list order), or destroys them at once when nobody listens or the site is retired.
void HandOverRemovedEntries(CFTPSite* site, MergeOutcome& outcome);

// The automatic re-queue after a lost connection. Under the queue lock, so that it and an update
// command never both queue the site: if the status still reads "更新意外终止...", no stop is set,
// the site is not retired and m_nRetryCount is at most 3, appends "\t等待继续更新", sets code 4,
// queues (site, startDir) and counts the retry. Returns whether it did. `spent` is the time the
// update has taken so far, which the re-queued run carries on from.
bool RequeueLostSite(CFTPSite* site, CFTPDir* startDir, std::chrono::steady_clock::duration spent);

// The worker's last act: the site is no longer held by it; a retired site is destroyed here.
void LeaveEngine(CFTPSite* site);
