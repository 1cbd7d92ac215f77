#pragma once
// One update of one site: log in, walk the stored tree (or the subtree below a start directory)
// listing every directory, merge each listing, write the site's files, and queue the site again
// after a lost connection.

#include "platform/FtpClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class CFTPSite;
class CFTPDir;

// A queued update. Refers to records; owns nothing.
struct UpdateRequest {
    CFTPSite* m_pSite = nullptr;
    CFTPDir* m_pStartDir = nullptr; // null: the site's root
    // An automatic re-queue's: the time the earlier runs of the same update took.
    std::chrono::steady_clock::duration m_spent{};
};

// The most time one update of a site may take, the runs of its automatic re-queues included: a
// server that answers just fast enough never to time out holds a worker no longer. A walk that
// runs out of it ends at the next directory, keeps what it merged and is not queued again. A day:
// the largest real sites are walked in a few hours.
inline constexpr std::chrono::hours kDefaultSiteRunTimeLimit{24};
// Tests set a short one.
void SetSiteRunTimeLimit(std::chrono::milliseconds limit);

// Directories more than this many levels below the start directory are not walked, so that a
// server whose links list as directories in a loop cannot keep a walk going for ever.
inline constexpr int kMaxWalkDepth = 256;

// Makes the connection of each run; `stop` is the engine's stop flag. Tests put a fake here. An
// empty function restores the libcurl client.
using FtpConnectionFactory = std::function<std::unique_ptr<IServerConnection>(const std::atomic<bool>* stop)>;
void SetFtpConnectionFactory(FtpConnectionFactory factory);

// Directories listed and the entries their listings held, over every walk of this process so far.
struct CrawlCounts {
    uint64_t dirsListed = 0;
    uint64_t entriesListed = 0;
};
CrawlCounts GetCrawlCounts();

// Thread procedure of one worker. The dispatcher has counted it in g_nRunningUpdates and
// registered its site as busy; both are released here, in every case.
void UpdateSiteThread(std::unique_ptr<UpdateRequest> request);

// Walks `dir` and below on `connection`. True when the subtree was processed to its end (some
// directories may have been skipped), false when the walk ended early; the site's status and
// resume point are then set.
bool WalkDirectory(IServerConnection& connection, CFTPSite* site, CFTPDir* dir);
