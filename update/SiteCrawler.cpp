#include "update/SiteCrawler.h"

#include "model/Records.h"
#include "platform/FtpErrors.h"
#include "platform/TextCodec.h"
#include "update/DirectoryMerge.h"
#include "update/EngineState.h"
#include "update/UpdateScheduler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_factoryLock;
FtpConnectionFactory g_factory;

std::unique_ptr<IFtpConnection> MakeConnection() {
    FtpConnectionFactory factory;
    {
        std::lock_guard<std::mutex> lock(g_factoryLock);
        factory = g_factory;
    }
    try {
        return factory ? factory(&g_bStopUpdate) : CreateFtpConnection(&g_bStopUpdate);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Text from outside (a server reply, a library message) as UTF-8, without trailing line ends,
// cut to at most `limit` bytes on a character boundary.
std::string ForeignText(const std::string& raw, std::size_t limit) {
    std::string text = NarrowToUtf8(raw);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.size() > limit) {
        std::size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    return text;
}

constexpr std::size_t kFailureTextLimit = 1023;

// The text for the kinds of failure a user meets, or null for the rare rest.
const char* FailureClassText(FtpFailure failure) {
    switch (failure) {
    case FtpFailure::HostNotFound:
        return kFailureHostNotFound;
    case FtpFailure::ConnectionRefused:
        return kFailureConnectionRefused;
    case FtpFailure::CannotConnect:
        return kFailureCannotConnect;
    case FtpFailure::TimedOut:
        return kFailureTimedOut;
    case FtpFailure::LoginDenied:
        return kFailureLoginDenied;
    case FtpFailure::ConnectionLost:
        return kFailureConnectionLost;
    default:
        return nullptr;
    }
}

// Why a call failed: the server's own reply where it gave one (it may say more, and in the
// site's language), else the kind of failure, else the library's message.
std::string FailureText(const FtpResult& result) {
    if (result.reply >= 400 && !result.text.empty())
        return ForeignText(result.text, kFailureTextLimit);
    if (const char* text = FailureClassText(FailureOf(result)))
        return text;
    if (!result.text.empty())
        return ForeignText(result.text, kFailureTextLimit);
    return "FTP error " + std::to_string(result.code);
}

// True when every name from `dir` up to the root can be sent to the server as one component.
bool IsWalkable(const CFTPDir* dir) {
    for (; dir && dir->m_pParent; dir = dir->m_pParent)
        if (!IsUsableEntryName(dir->m_strName))
            return false;
    return true;
}

// A fingerprint of a listing that does not depend on the order the server lists in.
uint64_t ListingSignature(const std::vector<FtpEntry>& listing) {
    std::vector<uint64_t> hashes;
    hashes.reserve(listing.size());
    for (const FtpEntry& entry : listing) {
        uint64_t h = 1469598103934665603ull; // FNV-1a over kind, size and name
        auto mix = [&h](unsigned char byte) { h = (h ^ byte) * 1099511628211ull; };
        mix(entry.isDir ? 'd' : 'f');
        for (int shift = 0; shift < 64; shift += 8)
            mix(static_cast<unsigned char>(entry.size >> shift));
        for (char c : entry.name)
            mix(static_cast<unsigned char>(c));
        hashes.push_back(h);
    }
    std::sort(hashes.begin(), hashes.end());
    uint64_t signature = 0x9E3779B97F4A7C15ull;
    for (uint64_t h : hashes)
        signature = (signature ^ h) * 0xff51afd7ed558ccdull;
    return signature;
}

constexpr long kLoopRepeats = 2;

bool HasDirectory(const std::vector<FtpEntry>& listing) {
    return std::any_of(listing.begin(), listing.end(), [](const FtpEntry& e) { return e.isDir; });
}

// The walk of one run: the connection, the site and what the walk has found out on the way.
class CSiteWalker {
public:
    CSiteWalker(IFtpConnection& connection, CFTPSite* site, const std::atomic<bool>& retired)
        : m_connection(connection), m_site(site), m_retired(retired) {}

    bool Run(CFTPDir* start) {
        if (!IsWalkable(start))
            return true; // a stored name that cannot be sent: nothing to list
        return Walk(start, 0);
    }
    bool ReachedDepthLimit() const { return m_bDepthLimitReached; }
    bool FoundLoop() const { return m_bLoopFound; }
    bool MetTruncatedListing() const { return m_bTruncatedListing; }

private:
    // A deleted site's walk ends like a stopped one; nobody will see its status.
    bool StopRequested() const { return g_bStopUpdate.load() || m_retired.load(); }

    void SetResumePoint(CFTPDir* dir) {
        if (!dir->m_pParent)
            return; // the root: a new run starts over
        m_site->m_pResumeDir = dir;
        m_site->m_bResume = 1;
    }

    bool EndStopped(CFTPDir* dir) {
        SetResumePoint(dir);
        m_site->SetStatus(kStatusStopped, 3);
        return false;
    }

    bool EndLost(CFTPDir* dir, const FtpResult& result) {
        if (StopRequested())
            return EndStopped(dir); // the client aborts a blocked call when the stop comes
        SetResumePoint(dir);
        m_site->SetStatus(std::string(kStatusLostFormat) + FailureText(result), 3);
        return false;
    }

    // Only this worker changes the lists of this site, so indexes stay valid across the walks of
    // the children; the window thread only reads them and changes read marks.
    bool WalkChildren(CFTPDir* dir, int depth, bool resuming) {
        if (depth >= kMaxWalkDepth) {
            if (!dir->m_subDirs.IsEmpty())
                m_bDepthLimitReached = true;
            return true;
        }
        for (std::size_t i = 0; i < dir->m_subDirs.GetCount(); ++i) {
            if (StopRequested())
                return EndStopped(dir);
            CFTPDir* child = dir->m_subDirs.GetAt(i);
            if (resuming && child == m_site->m_pResumeDir)
                m_site->m_bResume = 0;
            if (!Walk(child, depth + 1))
                return false;
        }
        return true;
    }

    bool Walk(CFTPDir* dir, int depth) {
        if (StopRequested())
            return EndStopped(dir);

        if (m_site->m_bResume && dir != m_site->m_pResumeDir)
            return WalkChildren(dir, depth, /*resuming=*/true); // lists nothing on the way down
        if (m_site->m_bResume)
            m_site->m_bResume = 0;

        FtpResult result = m_connection.ChangeDir(dir->GetPath());
        if (!result.ok()) {
            if (result.status == FtpStatus::Lost)
                return EndLost(dir, result);
            return true; // refused: keep what is stored, leave the children alone
        }
        if (StopRequested())
            return EndStopped(dir);

        FtpDirListing dirListing;
        result = m_connection.List(dirListing);
        if (!result.ok()) {
            if (result.status == FtpStatus::Lost)
                return EndLost(dir, result);
            dirListing = FtpDirListing(); // refused or failed: taken as empty
        }
        const std::vector<FtpEntry>& listing = dirListing.entries;
        // What a listing the server cut short leaves out may still be there: nothing is removed.
        const MergeSweep sweep = dirListing.truncated ? MergeSweep::KeepUnlisted : MergeSweep::RemoveUnlisted;
        if (dirListing.truncated)
            m_bTruncatedListing = true;

        // A directory listed exactly like two of its ancestors is taken for a link back up the
        // tree (some servers list links to directories as directories): it is merged, but not
        // gone down, or links such as "loop -> ." would multiply the walk at every level. One
        // repeat is let through, since a real tree may hold a directory just like its parent.
        bool loops = false;
        uint64_t signature = 0;
        if (HasDirectory(listing)) {
            signature = ListingSignature(listing);
            loops = std::count(m_ancestors.begin(), m_ancestors.end(), signature) >= kLoopRepeats;
        }

        MergeOutcome outcome;
        {
            // Listed first, merged and swept under the lock: never held across a network call.
            std::lock_guard<std::recursive_mutex> lock(m_site->m_treeLock);
            outcome = MergeListing(*m_site, *dir, listing, g_bStopUpdate, sweep);
        }
        if (outcome.stopped)
            return EndStopped(dir);
        HandOverRemovedEntries(m_site, outcome);

        if (loops) {
            m_bLoopFound = true;
            return true;
        }
        m_ancestors.push_back(signature);
        bool complete = WalkChildren(dir, depth, /*resuming=*/false);
        m_ancestors.pop_back();
        return complete;
    }

    IFtpConnection& m_connection;
    CFTPSite* m_site;
    const std::atomic<bool>& m_retired;
    bool m_bDepthLimitReached = false;
    bool m_bLoopFound = false;
    bool m_bTruncatedListing = false;
    std::vector<uint64_t> m_ancestors; // listing signatures of the directories above, from the start
};

// Counts the worker out of g_nRunningUpdates exactly once.
class CRunningSlot {
public:
    ~CRunningSlot() { Release(); }
    void Release() {
        if (!m_bReleased) {
            m_bReleased = true;
            --g_nRunningUpdates;
        }
    }

private:
    bool m_bReleased = false;
};

void SaveSiteFiles(CFTPSite* site, const std::atomic<bool>& retired) {
    std::lock_guard<std::recursive_mutex> lock(site->m_treeLock);
    if (retired.load())
        return; // deleted by the user: its files are gone and must stay gone
    bool catalogueSaved = site->SaveCatalogue();
    bool stateSaved = site->SaveState();
    // Keep the mark when a write failed, so that the close still tries to save the read marks.
    if (catalogueSaved && stateSaved)
        site->m_bStateDirty = 0;
}

void RunUpdate(std::unique_ptr<UpdateRequest> request, const std::atomic<bool>& retired) {
    CRunningSlot slot;
    CFTPSite* site = request->m_pSite;

    site->SetStatusText(kStatusConnecting);
    NotifySiteStatus(site);
    if (g_bStopUpdate.load()) {
        site->SetStatus(kStatusStopped, 3);
        slot.Release();
        NotifySiteStatus(site);
        return;
    }

    std::unique_ptr<IFtpConnection> connection = MakeConnection();
    if (!connection) {
        site->SetStatus(kStatusNoSession, 1);
        NotifySiteStatus(site);
        return;
    }

    std::string user = site->m_strUser;
    std::string password = site->m_strPassword;
    if (site->m_bAnonymousUpdate) {
        user = kAnonymousUser;
        password = kAnonymousPassword;
    }
    FtpResult login = connection->Connect(site->m_strHost, site->m_nPort, user, password);
    if (!login.ok()) {
        const std::string reply = connection->LastReply();
        connection->Close();
        // A stop aborts a login the server is slow to answer; that is a stop, not a failure.
        if (g_bStopUpdate.load() || FailureOf(login) == FtpFailure::Stopped) {
            site->SetStatus(kStatusStopped, 3);
            slot.Release();
            NotifySiteStatus(site);
            return;
        }
        // A refused login shows the server's words as sent (a 530 says why, often in the
        // site's own language).
        const std::string reason = login.status == FtpStatus::Refused && !reply.empty()
                                       ? ForeignText(reply, kFailureTextLimit)
                                       : FailureText(login);
        site->SetStatus(kStatusFailedPrefix + reason, 1);
        NotifySiteStatus(site);
        return;
    }

    site->SetStatusText(kStatusConnected);
    NotifySiteStatus(site);
    if (g_bStopUpdate.load()) {
        connection->Close();
        site->SetStatus(kStatusStopped, 3);
        slot.Release();
        NotifySiteStatus(site);
        return;
    }

    site->EnsureLoaded();
    CFTPDir* start = request->m_pStartDir ? request->m_pStartDir : site->m_pRootDir.get();
    CSiteWalker walker(*connection, site, retired);
    if (walker.Run(start)) {
        site->m_bResume = 0;
        std::string text = kStatusSucceeded;
        if (walker.FoundLoop())
            text += kStatusLoopSkipped;
        if (walker.ReachedDepthLimit())
            text += kStatusDepthLimit;
        if (walker.MetTruncatedListing())
            text += kStatusTruncated;
        site->SetStatus(text, 2);
    }
    NotifySiteStatus(site);
    connection->Close();
    connection.reset();

    SaveSiteFiles(site, retired);

    // Queued again before the worker is counted out, so that nobody sees the engine idle between.
    if (RequeueLostSite(site, start)) {
        NotifySiteStatus(site);
        StartDispatcher();
    }
    slot.Release();
}

} // namespace

void SetFtpConnectionFactory(FtpConnectionFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryLock);
    g_factory = std::move(factory);
}

bool WalkDirectory(IFtpConnection& connection, CFTPSite* site, CFTPDir* dir) {
    CSiteWalker walker(connection, site, RetiredFlag(site));
    return walker.Run(dir);
}

void UpdateSiteThread(std::unique_ptr<UpdateRequest> request) {
    CFTPSite* site = request->m_pSite;
    const std::atomic<bool>& retired = RetiredFlag(site);
    try {
        RunUpdate(std::move(request), retired);
    } catch (const std::exception& e) {
        // Out of memory or a failing library: the site fails, the engine carries on.
        site->SetStatus(std::string(kStatusFailedPrefix) + e.what(), 1);
        NotifySiteStatus(site);
    }
    LeaveEngine(site);
}
