#include "update/ListingPool.h"

#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

namespace {

// How often a walk that waits for a helper looks at the stop flag.
constexpr std::chrono::milliseconds kWaitSlice{20};

DirListResult LostResult(const FtpResult& why) {
    DirListResult out;
    out.kind = DirListKind::Lost;
    out.result = why;
    out.result.status = FtpStatus::Lost;
    return out;
}

} // namespace

CListingPool::CListingPool(FtpConnectionMaker maker, FtpLogin login, int helpers, CDirectoryLister& own)
    : m_maker(std::move(maker)), m_login(std::move(login)), m_own(own) {
    for (int i = 0; i < helpers; ++i) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_nLiveHelpers;
        }
        try {
            m_helpers.emplace_back([this] { HelperMain(); });
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(m_lock);
            --m_nLiveHelpers; // no thread to be had: the others do the work
            break;
        }
    }
}

CListingPool::~CListingPool() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bEnd = true;
    }
    m_bStop.store(true);
    m_changed.notify_all();
    for (std::thread& helper : m_helpers)
        helper.join();
}

void CListingPool::HelperMain() {
    for (int logins = 0; logins < kMaxHelperLogins; ++logins) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_bEnd)
                break;
        }
        std::unique_ptr<IServerConnection> connection;
        try {
            connection = m_maker(&m_bStop);
        } catch (const std::exception&) {
        }
        if (!connection)
            break;
        // A server that takes fewer connections refuses this one ("421 Too many connections"):
        // the walk goes on with those it accepted, and nobody is told of a failure.
        if (!connection->Connect(m_login.host, m_login.port, m_login.user, m_login.password).ok())
            break;
        // Names in another encoding than the walk's would not match the stored ones.
        if (m_login.utf8 && !connection->EnableUtf8().ok())
            break;
        CDirectoryLister lister(*connection);
        const bool lost = Serve(lister);
        connection->Close();
        if (!lost)
            break;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    --m_nLiveHelpers;
    m_changed.notify_all();
}

bool CListingPool::CanTakeLocked() const {
    if (m_pending.empty())
        return false;
    if (m_pAwaited) {
        auto awaited = m_tasks.find(m_pAwaited);
        if (awaited != m_tasks.end() && awaited->second.state == State::Pending)
            return true;
    }
    return m_nHeld < kMaxHeldListings && m_nHeldEntries < kMaxHeldEntries;
}

bool CListingPool::Serve(CDirectoryLister& lister) {
    const auto stop = [this] { return m_bStop.load(); };
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_bEnd || CanTakeLocked(); });
        if (m_bEnd)
            return false;
        // The directory the walk waits for, else the one it comes to first.
        auto next = m_pending.begin();
        if (m_pAwaited) {
            auto awaited = m_tasks.find(m_pAwaited);
            if (awaited != m_tasks.end() && awaited->second.state == State::Pending)
                next = m_pending.find(awaited->second.key);
        }
        CFTPDir* dir = next->second;
        m_pending.erase(next);
        Entry& taken = m_tasks.at(dir);
        taken.state = State::Listing;
        const std::string path = taken.path;
        lock.unlock();

        DirListResult result;
        try {
            result = lister.List(path, stop);
        } catch (const std::exception& e) {
            result = LostResult({FtpStatus::Lost, 0, e.what(), 0, 0}); // nothing certain of this connection
        }

        lock.lock();
        // The walk leaves a directory in place while a helper lists it.
        Entry& entry = m_tasks.at(dir);
        const bool lost = result.kind == DirListKind::Lost;
        if (lost)
            m_lastLoss = result.result;
        if (lost && !m_bStop.load() && ++entry.losses < kMaxLosses) {
            entry.state = State::Pending; // listed again on another connection
            entry.result = std::move(result);
            m_pending.emplace(entry.key, dir);
        } else {
            entry.state = State::Done;
            ++m_nHeld;
            m_nHeldEntries += result.listing.entries.size();
            entry.result = std::move(result);
        }
        m_changed.notify_all();
        if (lost)
            return true;
    }
}

void CListingPool::Offer(std::vector<Task> tasks) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_nLiveHelpers == 0)
            return; // nobody to list ahead: the walk lists everything itself
        for (Task& task : tasks) {
            auto [it, added] = m_tasks.try_emplace(task.dir);
            if (!added)
                continue;
            it->second.key = task.key;
            it->second.path = std::move(task.path);
            m_pending.emplace(std::move(task.key), task.dir);
        }
    }
    m_changed.notify_all();
}

DirListResult CListingPool::ConsumeLocked(std::unordered_map<CFTPDir*, Entry>::iterator it) {
    DirListResult result = std::move(it->second.result);
    --m_nHeld;
    m_nHeldEntries -= result.listing.entries.size();
    m_tasks.erase(it);
    m_changed.notify_all(); // room for the helpers again
    return result;
}

DirListResult CListingPool::Take(CFTPDir* dir, const std::string& path,
                                 const std::function<bool()>& stopRequested) {
    std::unique_lock<std::mutex> lock(m_lock);
    auto it = m_tasks.find(dir);
    if (it == m_tasks.end()) {
        if (m_bOwnAlive) {
            lock.unlock();
            return ListOnOwn(dir, path, WalkKey(), 0, stopRequested);
        }
        // Nobody was offered it: first in line for the helpers (no offered key is empty).
        it = m_tasks.try_emplace(dir).first;
        it->second.path = path;
        m_pending.emplace(WalkKey(), dir);
    } else if (it->second.state == State::Done) {
        return ConsumeLocked(it);
    } else if (it->second.state == State::Pending && m_bOwnAlive) {
        const WalkKey key = it->second.key;
        const int losses = it->second.losses;
        m_pending.erase(key);
        m_tasks.erase(it);
        lock.unlock();
        return ListOnOwn(dir, path, key, losses, stopRequested);
    }
    return AwaitLocked(lock, dir, stopRequested);
}

DirListResult CListingPool::ListOnOwn(CFTPDir* dir, const std::string& path, const WalkKey& key, int losses,
                                      const std::function<bool()>& stopRequested) {
    DirListResult result = m_own.List(path, stopRequested);
    if (result.kind != DirListKind::Lost || stopRequested())
        return result;
    m_bOwnAlive = false; // it fails every call from now on
    std::unique_lock<std::mutex> lock(m_lock);
    m_lastLoss = result.result;
    if (losses + 1 >= kMaxLosses || m_nLiveHelpers == 0)
        return result; // the walk ends here, as with one connection
    Entry& entry = m_tasks.try_emplace(dir).first->second;
    entry.key = key;
    entry.path = path;
    entry.losses = losses + 1;
    entry.result = std::move(result);
    m_pending.emplace(key, dir);
    return AwaitLocked(lock, dir, stopRequested);
}

DirListResult CListingPool::AwaitLocked(std::unique_lock<std::mutex>& lock, CFTPDir* dir,
                                        const std::function<bool()>& stopRequested) {
    m_pAwaited = dir;
    m_changed.notify_all();
    for (;;) {
        auto it = m_tasks.find(dir);
        Entry& entry = it->second;
        if (entry.state == State::Done) {
            m_pAwaited = nullptr;
            return ConsumeLocked(it);
        }
        if (entry.state == State::Pending && m_bOwnAlive) {
            // Given back by a helper that lost its connection: the walk's own one lists it.
            m_pAwaited = nullptr;
            const WalkKey key = entry.key;
            const int losses = entry.losses;
            const std::string path = entry.path;
            m_pending.erase(key);
            m_tasks.erase(it);
            lock.unlock();
            DirListResult result = ListOnOwn(dir, path, key, losses, stopRequested);
            lock.lock(); // the caller's lock is held again on return
            return result;
        }
        if (entry.state == State::Pending && m_nLiveHelpers == 0) {
            // No connection is left to list it on: the walk ends here as lost.
            m_pAwaited = nullptr;
            DirListResult lost =
                entry.result.kind == DirListKind::Lost ? std::move(entry.result) : LostResult(m_lastLoss);
            m_pending.erase(entry.key);
            m_tasks.erase(it);
            return lost;
        }
        if (stopRequested()) {
            m_pAwaited = nullptr;
            m_bStop.store(true); // the helpers' calls end too
            DirListResult stopped;
            stopped.kind = DirListKind::Stopped;
            return stopped;
        }
        m_changed.wait_for(lock, kWaitSlice);
    }
}
