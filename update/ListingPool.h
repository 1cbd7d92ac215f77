#pragma once
// The extra connections of one site's update. The walk still merges one directory after the
// other in its own order; meanwhile helper threads, each logged in on a connection of its own,
// list the directories it will come to next. The walk takes each listing when it reaches that
// directory (or lists it itself when nobody has yet), so the stored tree is the one a walk with
// one connection stores, whatever the timing.
//
// A connection that is lost gives its directory back to be listed on another one; a directory
// that has cost two connections ends the walk as lost there, as it would with one connection. A
// helper whose login fails (a server that takes fewer connections answers 421) just ends: the
// site is crawled with the connections it accepted.

#include "update/DirectoryLister.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class CFTPDir;

struct FtpLogin {
    std::string host;
    int32_t port = 21;
    std::string user;
    std::string password;
    bool utf8 = false; // the walk's connection asked for UTF-8 names: every helper must too
};

// Makes a connection whose blocked calls end when `stop` is set.
using FtpConnectionMaker = std::function<std::unique_ptr<IServerConnection>(const std::atomic<bool>* stop)>;

class CListingPool {
public:
    // A directory's place in the walk: the index of each child taken from the start directory
    // down. Ordered as the walk visits them (depth first, children in list order).
    using WalkKey = std::vector<uint32_t>;
    struct Task {
        CFTPDir* dir;
        WalkKey key;
        std::string path;
    };

    // `own` is the walk's connection, used by the walk's thread only (through Take).
    CListingPool(FtpConnectionMaker maker, FtpLogin login, int helpers, CDirectoryLister& own);
    ~CListingPool(); // ends the helpers' calls and waits for them
    CListingPool(const CListingPool&) = delete;
    CListingPool& operator=(const CListingPool&) = delete;

    // Directories the walk will come to; the helpers list them, nearest first.
    void Offer(std::vector<Task> tasks);

    // The listing of `dir`, for the walk's thread: a helper's if it has one or is at it, else
    // listed on the walk's own connection. Lost only when no connection is left for it, or when
    // it has cost two connections. `stopRequested` ends a wait with Stopped.
    DirListResult Take(CFTPDir* dir, const std::string& path, const std::function<bool()>& stopRequested);

    // How many listings a helper may hold that the walk has not taken yet, and their entries: a
    // bound on memory when the helpers run ahead of the walk.
    static constexpr std::size_t kMaxHeldListings = 64;
    static constexpr std::size_t kMaxHeldEntries = 1u << 18;
    // A directory whose listing cost this many connections ends the walk as lost.
    static constexpr int kMaxLosses = 2;
    // Logins per helper in one run (the first, and new ones after lost connections).
    static constexpr int kMaxHelperLogins = 3;

private:
    enum class State { Pending, Listing, Done };
    struct Entry {
        WalkKey key;
        std::string path;
        State state = State::Pending;
        int losses = 0;
        DirListResult result; // Done: the outcome; Pending after a loss: that loss
    };

    void HelperMain();
    // Serves tasks on one logged-in connection; true when the connection was lost.
    bool Serve(CDirectoryLister& lister);
    bool CanTakeLocked() const;
    DirListResult ConsumeLocked(std::unordered_map<CFTPDir*, Entry>::iterator it);
    DirListResult ListOnOwn(CFTPDir* dir, const std::string& path, const WalkKey& key, int losses,
                            const std::function<bool()>& stopRequested);
    DirListResult AwaitLocked(std::unique_lock<std::mutex>& lock, CFTPDir* dir,
                              const std::function<bool()>& stopRequested);

    FtpConnectionMaker m_maker;
    const FtpLogin m_login;
    CDirectoryLister& m_own;
    bool m_bOwnAlive = true; // the walk's thread only

    std::atomic<bool> m_bStop{false}; // ends the helpers' blocked calls

    std::mutex m_lock; // guards everything below
    std::condition_variable m_changed;
    bool m_bEnd = false;
    int m_nLiveHelpers = 0;                      // started and not yet ended (logging in or serving)
    std::unordered_map<CFTPDir*, Entry> m_tasks; // the directories offered and not yet taken
    std::map<WalkKey, CFTPDir*> m_pending;       // those nobody lists yet, nearest first
    CFTPDir* m_pAwaited = nullptr;               // the walk waits for it: always served first
    std::size_t m_nHeld = 0;                     // Done and not yet taken
    std::size_t m_nHeldEntries = 0;
    FtpResult m_lastLoss; // why the last connection was lost, for a walk that runs out of them
    std::vector<std::thread> m_helpers;
};
