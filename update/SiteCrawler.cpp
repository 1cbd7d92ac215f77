#include "update/SiteCrawler.h"

#include "model/FileLock.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/SafeText.h"
#include "model/SiteCatalogue.h"
#include "model/SiteSecurity.h"
#include "model/SiteSettings.h"
#include "platform/FtpErrors.h"
#include "platform/TextCodec.h"
#include "update/DirectoryMerge.h"
#include "update/EngineState.h"
#include "update/ListingPool.h"
#include "update/RefusedPeers.h"
#include "update/UpdateScheduler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

std::mutex g_factoryLock;
FtpConnectionFactory g_factory;

// What every walk of this process has listed so far, for progress displays.
std::atomic<uint64_t> g_nDirsListed{0};
std::atomic<uint64_t> g_nEntriesListed{0};

// `stop` ends the connection's blocked calls: the engine's flag for a run's own connection.
std::unique_ptr<IServerConnection> MakeConnection(const ConnectionSecurity& security,
                                                  const std::atomic<bool>* stop = &g_bStopUpdate) {
    FtpConnectionFactory factory;
    {
        std::lock_guard<std::mutex> lock(g_factoryLock);
        factory = g_factory;
    }
    try {
        return factory ? factory(stop) : CreateFtpConnection(stop, {}, security);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// `text` without the site's password in any form a server could echo it in (another letter
// case, percent-encoded), as stored and as it reads in UTF-8.
std::string HidePassword(const CFTPSite& site, std::string text) {
    const std::string& password = site.m_strPassword;
    if (password.empty())
        return text;
    text = MaskSecret(text, password);
    const std::string shown = GbkToUtf8(password);
    return shown == password ? text : MaskSecret(text, shown);
}

// Text from outside (a server reply, a library message) as UTF-8, without trailing line ends,
// cut to at most `limit` bytes on a character boundary. With a site, its password is hidden
// before the text is converted and cut, so that neither can leave a form of it or a part showing.
std::string ForeignText(const std::string& raw, std::size_t limit, const CFTPSite* site = nullptr) {
    std::string text = site ? HidePassword(*site, NarrowToUtf8(HidePassword(*site, raw))) : NarrowToUtf8(raw);
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
    case FtpFailure::TlsNotOffered:
        return kFailureTlsNotOffered;
    case FtpFailure::TlsFailed:
        return kFailureSecureHandshake;
    default:
        return nullptr;
    }
}

const char* TrustFailureText(const PeerIdentity& refused) {
    if (refused.kind == PeerIdentity::Kind::HostKey)
        return refused.changed ? kFailureHostKeyChanged : kFailureHostKeyUnknown;
    return refused.changed ? kFailureCertificateChanged : kFailureCertificateUntrusted;
}

// Why a call failed: the server's own reply where it gave one (it may say more, and in the
// site's language), else the kind of failure, else the library's message.
std::string FailureText(const FtpResult& result, const CFTPSite& site) {
    // A refused AUTH reads like a refused login ("530 Please login with USER and PASS."): the
    // program says what it means first.
    if (FailureOf(result) == FtpFailure::TlsNotOffered) {
        std::string text = kFailureTlsNotOffered;
        if (result.reply >= 400 && !result.text.empty())
            text += "\n" + ForeignText(result.text, kFailureTextLimit, &site);
        return text;
    }
    if (result.reply >= 400 && !result.text.empty())
        return ForeignText(result.text, kFailureTextLimit, &site);
    if (const char* text = FailureClassText(FailureOf(result)))
        return text;
    if (!result.text.empty())
        return ForeignText(result.text, kFailureTextLimit, &site);
    return "FTP error " + std::to_string(result.code);
}

// True when every name from `dir` up to the root can be sent to the server as one component,
// and the whole path in one command line: a path curl cannot send costs the connection.
bool IsWalkable(const CFTPDir* dir) {
    std::size_t pathBytes = 0;
    for (; dir && dir->m_pParent; dir = dir->m_pParent) {
        if (!IsUsableEntryName(dir->m_strName))
            return false;
        pathBytes += 1 + dir->m_strName.size();
    }
    return pathBytes <= kMaxFtpPathBytes;
}

// Directories below `dir` and files in and below it.
uint64_t CountEntries(const CFTPDir& dir) {
    uint64_t count = 0;
    std::vector<const CFTPDir*> pending{&dir};
    while (!pending.empty()) {
        const CFTPDir* next = pending.back();
        pending.pop_back();
        count += next->m_subDirs.GetCount() + next->m_files.GetCount();
        for (const CFTPDir* child : next->m_subDirs)
            pending.push_back(child);
    }
    return count;
}

// A listed name the merge leaves out: too long to send back, or not one path component.
bool HasUnusableName(const std::vector<FtpEntry>& listing) {
    return std::any_of(listing.begin(), listing.end(),
                       [](const FtpEntry& entry) { return !IsUsableEntryName(entry.name); });
}

// A fingerprint of a listing that does not depend on the order the server lists in. The
// entries' ids take part: two listings with the same ids are the same directory.
uint64_t ListingSignature(const std::vector<FtpEntry>& listing) {
    std::vector<uint64_t> hashes;
    hashes.reserve(listing.size());
    for (const FtpEntry& entry : listing) {
        uint64_t h = 1469598103934665603ull; // FNV-1a over kind, size, name and id
        auto mix = [&h](unsigned char byte) { h = (h ^ byte) * 1099511628211ull; };
        mix(entry.isDir ? 'd' : 'f');
        for (int shift = 0; shift < 64; shift += 8)
            mix(static_cast<unsigned char>(entry.size >> shift));
        for (char c : entry.name)
            mix(static_cast<unsigned char>(c));
        mix('/'); // no name holds it: name and id cannot run into each other
        for (char c : entry.id)
            mix(static_cast<unsigned char>(c));
        hashes.push_back(h);
    }
    std::sort(hashes.begin(), hashes.end());
    uint64_t signature = 0x9E3779B97F4A7C15ull;
    for (uint64_t h : hashes)
        signature = (signature ^ h) * 0xff51afd7ed558ccdull;
    return signature | 1; // never 0, which stands for "no signature"
}

bool HasDirectory(const std::vector<FtpEntry>& listing) {
    return std::any_of(listing.begin(), listing.end(), [](const FtpEntry& e) { return e.isDir; });
}

bool HasIds(const std::vector<FtpEntry>& listing) {
    return std::any_of(listing.begin(), listing.end(), [](const FtpEntry& e) { return !e.id.empty(); });
}

// Links to directories that a server lists as directories (pyftpdlib, pure-ftpd -b, proftpd
// without ShowSymlinks) make loops such as "loop -> ." or "up -> ..". Where the server gives
// identity (MLSD "unique"), a directory that is one of its ancestors is a loop. Where it gives
// none, a directory listed exactly like an ancestor may be a link to it or a real directory
// that happens to look the same: x/x/x chains of single-name directories and unpacked archives
// such as pkg/pkg are real. Such a directory is walked on only along its chain (the child named
// like the one that led from the ancestor down to it), which for a link repeats the ancestor
// once per level and for a real chain is the one way on; its other children are walked while a
// small budget per run lasts (a link's other children only repeat what is walked anyway, so a
// loop entry in every directory cannot multiply the walk). A listing met sixteen times on one
// path is a loop: real chains of identical directories are a few levels deep, and a loop costs
// sixteen listings per chain to find.
constexpr int kLoopRepeats = 16;
constexpr int kRepeatBudget = 64; // directories per run below the off-chain children of repeats

// How a walk ended early: at which directory, with what status text (code 3), and whether by a
// lost connection, which the site may be queued again for.
struct WalkEnd {
    CFTPDir* dir = nullptr;
    std::string text;
    bool lost = false;
};

// Where a re-queued run picks up: the directory a walk ended early at. None at the root: a new
// run starts over.
void SetResumePoint(CFTPSite* site, CFTPDir* dir) {
    if (!dir->m_pParent)
        return;
    site->m_pResumeDir = dir;
    site->m_bResume = 1;
}

// The walk of one run: the connection, the site and what the walk has found out on the way.
class CSiteWalker {
public:
    CSiteWalker(IServerConnection& connection, CFTPSite* site, const std::atomic<bool>& retired)
        : m_lister(connection, /*overControl=*/true), m_site(site), m_retired(retired),
          m_nMaxEntries(site->GetSettings().m_nMaxEntries) {}

    // The walk ends at the first directory after `deadline` as one the server made too slow.
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }

    // Extra connections that list ahead of the walk; `login` as the walk's own connection logged in.
    // Not while the walk's connection lists over its control connection, which is faster alone:
    // they start when it turns out it cannot.
    void UseExtraConnections(int extra, const FtpLogin& login) {
        m_nExtra = extra;
        m_login = login;
        StartExtraConnections();
    }
    void StartExtraConnections() {
        if (m_nExtra > 0 && !m_pool && !m_lister.MayListOverControl())
            m_pool = std::make_unique<CListingPool>(
                [security = SiteSecurity(*m_site)](const std::atomic<bool>* stop) {
                    return MakeConnection(security, stop);
                },
                m_login, m_nExtra, m_lister);
    }
    // Ends the extra connections (also done when the walker goes).
    void EndExtraConnections() { m_pool.reset(); }

    bool Run(CFTPDir* start) {
        m_nEntries = CountEntries(*m_site->m_pRootDir);
        if (!IsWalkable(start)) {
            m_bSkippedPath = true;
            return true; // a stored name that cannot be sent: nothing to list
        }
        return Walk(start, 0, std::string());
    }
    // After a Run that returned false: where and why the walk ended.
    const WalkEnd& EarlyEnd() const { return m_end; }

    // The status of a walk that reached its end: success, with a line for each kind of directory
    // or entry it left out.
    std::string CompletedText() const {
        std::string text = kStatusSucceeded;
        if (m_bLoopFound)
            text += kStatusLoopSkipped;
        if (m_bDepthLimitReached)
            text += kStatusDepthLimit;
        if (m_bTruncatedListing)
            text += kStatusTruncated;
        if (m_bFailedListing)
            text += kStatusListingFailed;
        if (m_bBusyListing)
            text += kStatusListingBusy;
        if (m_bLargeListing)
            text += kStatusListingTooLarge;
        if (m_bSlowListing)
            text += kStatusListingTooSlow;
        if (m_bEntryLimitReached)
            text += kStatusEntryLimitPrefix + std::to_string(m_nMaxEntries) + kStatusEntryLimitSuffix;
        if (m_bSkippedNames)
            text += kStatusNamesSkipped;
        if (m_bSkippedPath)
            text += kStatusPathsSkipped;
        return text;
    }

private:
    // A deleted site's walk ends like a stopped one; nobody will see its status.
    bool StopRequested() const { return g_bStopUpdate.load() || m_retired.load(); }

    // Records where and why the walk ends early; the levels above only pass false up.
    bool EndEarly(CFTPDir* dir, std::string text, bool lost = false) {
        m_end = {dir, std::move(text), lost};
        return false;
    }

    bool EndStopped(CFTPDir* dir) { return EndEarly(dir, kStatusStopped); }

    bool EndLost(CFTPDir* dir, const FtpResult& result) {
        if (StopRequested())
            return EndStopped(dir); // the client aborts a blocked call when the stop comes
        return EndEarly(dir, std::string(kStatusLostFormat) + FailureText(result, *m_site), /*lost=*/true);
    }

    bool OutOfTime() const { return std::chrono::steady_clock::now() >= m_deadline; }

    // The site's update has had its time: what was merged stays, and no re-queue follows.
    bool EndOutOfTime(CFTPDir* dir) { return EndEarly(dir, kStatusRunTooLong); }

    // Keeps the site's tree within its bound on entries: of the new entries a listing brings, only
    // as many are added as there is room for (directories first, each kind in listing order); the
    // stored ones are merged as always. How many the merge adds.
    uint64_t LimitGrowth(MergePlan& plan) {
        const uint64_t room = m_nMaxEntries - std::min(m_nEntries, m_nMaxEntries);
        const uint64_t dirs = plan.newDirs.size(), files = plan.newFiles.size();
        if (dirs + files <= room)
            return dirs + files;
        m_bEntryLimitReached = true;
        plan.newDirs.resize(std::min(dirs, room));
        plan.newFiles.resize(std::min(files, room - plan.newDirs.size()));
        return plan.newDirs.size() + plan.newFiles.size();
    }

    // Counts what a merge added and removed; before the removed entries are handed over.
    void CountMerge(uint64_t added, const MergeOutcome& outcome) {
        uint64_t removed = outcome.removedFiles.size();
        for (const auto& gone : outcome.removedDirs)
            removed += 1 + CountEntries(*gone);
        m_nEntries = m_nEntries + added - std::min(removed, m_nEntries + added);
    }

    // A directory on the path from the start directory down to the one being walked.
    struct Level {
        CFTPDir* dir;
        std::string id;         // the server's identity of it, empty if unknown
        uint64_t signature = 0; // of its listing, 0 when not listed or without directories
    };

    class PathStep {
    public:
        PathStep(std::vector<Level>& path, CFTPDir* dir, const std::string& id) : m_path(path) {
            m_path.push_back({dir, id, 0});
        }
        ~PathStep() { m_path.pop_back(); }

    private:
        std::vector<Level>& m_path;
    };

    // How the children of a listed directory are walked.
    struct Descent {
        std::unordered_map<std::string, std::string> ids; // child directory name -> its id
        bool repeat = false; // listed like an ancestor: only `chain` goes on freely
        std::string chain;
    };

    // Decides, from the listing of the directory at the end of the path, whether it is a loop
    // (merged but not gone down) and how its children are walked.
    bool IsLoop(const FtpDirListing& listing, Descent& descent) {
        Level& self = m_path.back();
        if (!listing.dirId.empty())
            self.id = listing.dirId;
        const std::vector<FtpEntry>& entries = listing.entries;
        if (!HasDirectory(entries))
            return false;
        self.signature = ListingSignature(entries);
        const std::size_t ancestors = m_path.size() - 1;
        const bool entryIds = HasIds(entries);
        if (!self.id.empty() || entryIds) {
            // Listings that name the same entries by id are of the same directory.
            for (std::size_t i = 0; i < ancestors; ++i)
                if ((!self.id.empty() && m_path[i].id == self.id) ||
                    (entryIds && m_path[i].signature == self.signature))
                    return true;
            for (const FtpEntry& entry : entries)
                if (entry.isDir && !entry.id.empty())
                    descent.ids.emplace(entry.name, entry.id);
            return false;
        }
        int repeats = 0;
        std::size_t nearest = ancestors;
        for (std::size_t i = ancestors; i-- > 0;) {
            if (m_path[i].signature == self.signature) {
                ++repeats;
                if (nearest == ancestors)
                    nearest = i;
            }
        }
        if (repeats + 1 >= kLoopRepeats)
            return true;
        if (repeats > 0) {
            descent.repeat = true;
            descent.chain = m_path[nearest + 1].dir->m_strName;
        }
        return false;
    }

    // Only this worker changes the lists of this site, so indexes stay valid across the walks of
    // the children; the window thread only reads them and changes read marks.
    bool WalkChildren(CFTPDir* dir, int depth, bool resuming, const Descent* descent) {
        if (depth >= kMaxWalkDepth) {
            if (!dir->m_subDirs.IsEmpty())
                m_bDepthLimitReached = true;
            return true;
        }
        for (std::size_t i = 0; i < dir->m_subDirs.GetCount(); ++i) {
            if (StopRequested())
                return EndStopped(dir);
            if (OutOfTime())
                return EndOutOfTime(dir);
            CFTPDir* child = dir->m_subDirs.GetAt(i);
            if (resuming && child == m_site->m_pResumeDir)
                m_site->m_bResume = 0;
            std::string id;
            bool offChain = false;
            if (descent) {
                auto found = descent->ids.find(child->m_strName.str());
                if (found != descent->ids.end())
                    id = found->second;
                offChain = descent->repeat && child->m_strName != descent->chain;
            }
            m_offChainDepth += offChain;
            m_key.push_back(static_cast<uint32_t>(i));
            const bool complete = Walk(child, depth + 1, id);
            m_key.pop_back();
            m_offChainDepth -= offChain;
            if (!complete)
                return false;
        }
        return true;
    }

    bool Walk(CFTPDir* dir, int depth, const std::string& id) {
        if (StopRequested())
            return EndStopped(dir);
        if (OutOfTime())
            return EndOutOfTime(dir);
        if (m_offChainDepth > 0) {
            if (m_repeatBudget == 0) {
                m_bLoopFound = true;
                return true;
            }
            --m_repeatBudget;
        }
        PathStep step(m_path, dir, id);

        if (m_site->m_bResume && dir != m_site->m_pResumeDir) // lists nothing on the way down
            return WalkChildren(dir, depth, /*resuming=*/true, nullptr);
        if (m_site->m_bResume)
            m_site->m_bResume = 0;

        if (!IsWalkable(dir)) {
            m_bSkippedPath = true;
            return true; // a path too long to send: what is stored stays
        }
        const auto stop = [this] { return StopRequested(); };
        DirListResult listed =
            m_pool ? m_pool->Take(dir, dir->GetPath(), stop) : m_lister.List(dir->GetPath(), stop);
        FtpDirListing& dirListing = listed.listing;
        StartExtraConnections();
        switch (listed.kind) {
        case DirListKind::Listed:
            break;
        case DirListKind::EnterRefused:
            return true; // refused: keep what is stored, leave the children alone
        case DirListKind::Stopped:
            return EndStopped(dir);
        case DirListKind::Lost:
            return EndLost(dir, listed.result);
        // Nothing is known of the directory: like one that cannot be entered, it keeps its stored
        // entries and children. A listing given up at the client's limits is not lost either:
        // the client has logged in again, and a re-queued run would only meet it again.
        case DirListKind::DataFailed:
            m_bFailedListing = true;
            return true;
        case DirListKind::Busy:
            m_bBusyListing = true;
            return true;
        case DirListKind::TooLarge:
            m_bLargeListing = true;
            return true;
        case DirListKind::TooSlow:
            m_bSlowListing = true;
            return true;
        case DirListKind::Empty: // refused for good (550) or failed: taken as empty
            dirListing = FtpDirListing();
            break;
        }
        const std::vector<FtpEntry>& listing = dirListing.entries;
        g_nDirsListed.fetch_add(1, std::memory_order_relaxed);
        g_nEntriesListed.fetch_add(listing.size(), std::memory_order_relaxed);
        // What a listing the server cut short leaves out may still be there: nothing is removed.
        const MergeSweep sweep = dirListing.truncated ? MergeSweep::KeepUnlisted : MergeSweep::RemoveUnlisted;
        if (dirListing.truncated)
            m_bTruncatedListing = true;

        // A loop is merged, so that the link shows what it holds, but not gone down.
        Descent descent;
        const bool loops = IsLoop(dirListing, descent);

        if (!m_bSkippedNames)
            m_bSkippedNames = HasUnusableName(listing);
        // Worked out without the lock (this walk alone changes the lists of `dir`), then put in
        // place under it: a huge directory holds the window up for the swap only.
        MergePlan plan = PlanMerge(*dir, listing, g_bStopUpdate);
        const uint64_t added = LimitGrowth(plan);
        MergeOutcome outcome;
        {
            auto lock = m_site->LockTree();
            outcome = ApplyMerge(*m_site, *dir, std::move(plan), listing, g_bStopUpdate, sweep);
        }
        if (outcome.stopped)
            return EndStopped(dir);
        CountMerge(added, outcome);
        HandOverRemovedEntries(m_site, outcome);

        if (loops) {
            m_bLoopFound = true;
            return true;
        }
        OfferChildren(dir, depth, descent);
        return WalkChildren(dir, depth, /*resuming=*/false, &descent);
    }

    // Hands the children the walk goes down to next to the extra connections. Not those below a
    // repeating directory: how many of them are walked depends on the order they are met in.
    void OfferChildren(CFTPDir* dir, int depth, const Descent& descent) {
        if (!m_pool || descent.repeat || m_offChainDepth > 0 || depth >= kMaxWalkDepth)
            return;
        std::vector<CListingPool::Task> tasks;
        tasks.reserve(dir->m_subDirs.GetCount());
        for (std::size_t i = 0; i < dir->m_subDirs.GetCount(); ++i) {
            CFTPDir* child = dir->m_subDirs.GetAt(i);
            if (!IsWalkable(child))
                continue;
            CListingPool::WalkKey key = m_key;
            key.push_back(static_cast<uint32_t>(i));
            tasks.push_back({child, std::move(key), child->GetPath()});
        }
        m_pool->Offer(std::move(tasks));
    }

    CDirectoryLister m_lister;
    int m_nExtra = 0;
    FtpLogin m_login;
    std::unique_ptr<CListingPool> m_pool;
    CListingPool::WalkKey m_key; // the place of the directory being walked, for the pool
    CFTPSite* m_site;
    const std::atomic<bool>& m_retired;
    bool m_bDepthLimitReached = false;
    bool m_bLoopFound = false;
    bool m_bTruncatedListing = false;
    bool m_bFailedListing = false;
    bool m_bBusyListing = false;
    bool m_bLargeListing = false;
    bool m_bSlowListing = false;
    bool m_bSkippedNames = false;
    bool m_bSkippedPath = false;
    bool m_bEntryLimitReached = false;
    WalkEnd m_end;
    uint64_t m_nEntries = 0; // in the site's whole tree
    uint64_t m_nMaxEntries;
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
    std::vector<Level> m_path;
    int m_offChainDepth = 0; // > 0 below an off-chain child of a repeating directory
    int m_repeatBudget = kRepeatBudget;
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

// Logs an update that did not simply succeed. The status text may quote the server, which a
// hostile one could make repeat the password: it never reaches the log.
void LogOutcome(const CFTPSite* site) {
    const UpdateStatus status = site->m_nUpdateStatus.load();
    std::string text = site->GetStatusText();
    if (status == UpdateStatus::Succeeded && site->m_nSaveError.load() == 0)
        return;
    text = HidePassword(*site, text);
    const LogLevel level = status == UpdateStatus::Failed || site->m_nSaveError.load() != 0
                               ? LogLevel::Error
                               : LogLevel::Warning;
    Log(level, "site " + GbkToUtf8(site->GetKey()) + ": update ended with status " +
                   std::to_string(static_cast<int>(status)) + ": " + text);
}

// Writes content.ct and state.st as one pair. A failure is added to the site's status text as a
// line of its own, after what the run ended with (its code stays), and the site is told again.
bool SaveSiteFiles(CFTPSite* site, const std::atomic<bool>& retired, bool settingsLearned) {
    if (retired.load())
        return true; // deleted by the user: its files are gone and must stay gone
    // Deleted or given another key by another program since this one read the list: its tree
    // saved now would be nobody's. The update lock, held since before the crawl, keeps such a
    // change from happening between this look and the save.
    if (FindKeyInSiteList(site->GetKey()) == SiteListing::Missing) {
        site->SetStatus(std::string(kStatusFailedPrefix) + kFailureSiteGone, UpdateStatus::Failed);
        return false;
    }
    // What the run learned of the server is written with the files it describes. A settings file
    // that cannot be written is learned again by the next run.
    if (settingsLearned)
        site->SetSettings(site->GetSettings());
    // The walk is over, so this worker alone changes the tree's shape: content.ct is written
    // without the tree lock, which the save takes only for the read marks and to put the files in
    // place. A deletion takes that lock after marking the site retired, so no files come back.
    CFTPSite::CSaveOptions options;
    options.m_bShapeOwned = true;
    options.m_mayCommit = [&retired] { return !retired.load(); };
    const CResult<void> saved = site->TrySaveCatalogue(options);
    if (saved)
        return true;
    // "PATH: reason": which file, and why. The save left the marks dirty: the close writes the
    // files again.
    site->SetStatusText(site->GetStatusText() + kStatusSaveFailed +
                        ForeignText(saved.error().Text(), kFailureTextLimit));
    return false;
}

// A server that offers UTF8 sends its names in UTF-8 once asked. Ask only where the stored tree
// is empty or already UTF-8 (and the user did not choose GBK): switching a GBK catalogue would
// make every stored entry new and lose its read marks. A refusal changes nothing; a lost
// connection shows at the walk's first call. True when the server now sends UTF-8 names;
// `learned` is set when the site's settings did not know it yet (they are written at the end).
bool SwitchToUtf8Names(IServerConnection& connection, CFTPSite* site, bool& learned) {
    if (!connection.OffersUtf8() || site->GetNameCharset() == NameCharset::Gbk)
        return false;
    if (!connection.EnableUtf8().ok())
        return false;
    CSiteSettings settings = site->GetSettings();
    if (!settings.m_bServerUtf8) {
        settings.m_bServerUtf8 = true;
        site->KeepSettings(settings);
        learned = true;
    }
    auto lock = site->LockTree();
    site->DecideNameCharset();
    return true;
}

std::atomic<int64_t> g_nRunTimeLimitMs{std::chrono::milliseconds(kDefaultSiteRunTimeLimit).count()};

// The time one site's update has, over its automatic re-queues: what the runs before this one
// took is carried by the request.
class CRunClock {
public:
    using Clock = std::chrono::steady_clock;
    explicit CRunClock(Clock::duration spentBefore)
        : m_began(Clock::now()), m_spentBefore(spentBefore),
          m_deadline(m_began + std::chrono::milliseconds(g_nRunTimeLimitMs.load()) - spentBefore) {}

    Clock::time_point Deadline() const { return m_deadline; }
    Clock::duration Spent() const { return m_spentBefore + (Clock::now() - m_began); }

    // A connection lost once the time was up (a call that blocked past it) is not tried again:
    // the status says why the update ended instead.
    void EndLostRunOutOfTime(WalkEnd& end) const {
        if (end.lost && Clock::now() >= m_deadline)
            end = {end.dir, kStatusRunTooLong, false};
    }

private:
    Clock::time_point m_began;
    Clock::duration m_spentBefore;
    Clock::time_point m_deadline;
};

// What a run came to. The run works it out and returns; EndRun alone applies it to the site.
struct RunOutcome {
    std::string text;
    UpdateStatus code = UpdateStatus::Failed;
    // The walk began: what it merged is written, whatever its end, and the resume point follows
    // it (cleared by a whole walk, set where an early end left off).
    bool walked = false;
    bool complete = false;
    // The settings gained what the server offers (UTF-8 names): written with the site's files.
    bool settingsLearned = false;
    CFTPDir* resumeAt = nullptr;
    // Ended by a lost connection: queued again at `start`, within the re-queue rule.
    bool requeue = false;
    CFTPDir* start = nullptr;
};

RunOutcome EndedBefore(std::string text, UpdateStatus code) {
    RunOutcome outcome;
    outcome.text = std::move(text);
    outcome.code = code;
    return outcome;
}

RunOutcome Failed(const std::string& reason) {
    return EndedBefore(kStatusFailedPrefix + reason, UpdateStatus::Failed);
}

// Logs in and walks; everything after the walk (or a failure before it) is left to EndRun. The
// site's update lock is taken into `updateLock`, for EndRun to let go of.
RunOutcome CrawlSite(const UpdateRequest& request, const std::atomic<bool>& retired,
                     const CRunClock& runClock, CFileLock& updateLock) {
    CFTPSite* site = request.m_pSite;
    if (g_bStopUpdate.load())
        return EndedBefore(kStatusStopped, UpdateStatus::Ended);

    // One crawl of a site at a time across every program on this program directory (the window
    // and quarnel-cli alike): a site another program is updating is not waited for, since that
    // update may take hours.
    const std::string key = site->GetKey();
    if (IsUsableSiteKey(key) && !updateLock.Lock(SiteUpdateLockPath(key), std::chrono::milliseconds(0))) {
        // A lock that cannot be had for another reason is no licence to crawl unlocked.
        if (errno == EWOULDBLOCK)
            return EndedBefore(kStatusBusyElsewhere, UpdateStatus::NotUpdated);
        return Failed(kFailureLockUnusable +
                      ForeignText(LockFailure(SiteUpdateLockPath(key), errno).Text(), kFailureTextLimit));
    }
    // Gone from the list before this run began (another program deleted it or changed its key
    // while it waited here): nothing to crawl for.
    if (FindKeyInSiteList(key) == SiteListing::Missing)
        return Failed(kFailureSiteGone);

    const CSiteSettings settings = site->GetSettings();
    if (settings.HasUnknownProtocol())
        return Failed(kFailureUnknownProtocol);
    // What a damaged settings file lost may have been the protocol or the pin: the site is not
    // reached at all rather than perhaps in the clear.
    if (settings.IsDamaged()) {
        LogError("site " + key + ": not updated, its settings are damaged: " + settings.m_strDamage);
        return Failed(kFailureSettingsDamaged);
    }
    // Connecting is said only once the site is this run's: a site held elsewhere, or one that
    // cannot be reached safely, never shows it.
    site->SetStatusText(kStatusConnecting);
    NotifySiteStatus(site);
    std::unique_ptr<IServerConnection> connection = MakeConnection(SiteSecurity(*site));
    if (!connection)
        return EndedBefore(kStatusNoSession, UpdateStatus::Failed);

    std::string user = site->m_strUser;
    std::string password = site->m_strPassword;
    if (site->m_bAnonymousUpdate) {
        user = kAnonymousUser;
        password = kAnonymousPassword;
    }
    FtpResult login = connection->Connect(site->m_strHost, site->m_nPort, user, password);
    if (!login.ok()) {
        const std::string reply = connection->LastReply();
        const PeerIdentity refusedPeer = connection->RefusedPeer();
        connection->Close();
        // A stop aborts a login the server is slow to answer; that is a stop, not a failure.
        if (g_bStopUpdate.load() || FailureOf(login) == FtpFailure::Stopped)
            return EndedBefore(kStatusStopped, UpdateStatus::Ended);
        // A refused login shows the server's words as sent (a 530 says why, often in the
        // site's own language). A server refused for trust is kept for the user to look at.
        if (!refusedPeer.empty()) {
            NoteRefusedPeer(key, refusedPeer);
            return Failed(TrustFailureText(refusedPeer));
        }
        return Failed(login.status == FtpStatus::Refused && !reply.empty()
                          ? ForeignText(reply, kFailureTextLimit, site)
                          : FailureText(login, *site));
    }

    site->SetStatusText(kStatusConnected);
    NotifySiteStatus(site);
    if (g_bStopUpdate.load()) {
        connection->Close();
        return EndedBefore(kStatusStopped, UpdateStatus::Ended);
    }

    site->EnsureLoaded();
    RunOutcome outcome;
    const bool utf8 = SwitchToUtf8Names(*connection, site, outcome.settingsLearned);
    outcome.walked = true;
    outcome.start = request.m_pStartDir ? request.m_pStartDir : site->m_pRootDir.get();
    CSiteWalker walker(*connection, site, retired);
    walker.UseExtraConnections(ClampSiteConnections(site->GetSettings().m_nConnections) - 1,
                               {site->m_strHost, site->m_nPort, user, password, utf8});
    walker.SetDeadline(runClock.Deadline());
    outcome.complete = walker.Run(outcome.start);
    walker.EndExtraConnections();
    connection->Close();
    if (outcome.complete) {
        outcome.text = walker.CompletedText();
        outcome.code = UpdateStatus::Succeeded;
        return outcome;
    }
    WalkEnd end = walker.EarlyEnd();
    runClock.EndLostRunOutOfTime(end);
    outcome.text = std::move(end.text);
    outcome.code = UpdateStatus::Ended;
    outcome.resumeAt = end.dir;
    outcome.requeue = end.lost;
    return outcome;
}

// The one ending of every run, in one order: the status, the site's files, the notice, the
// site's update lock, the re-queue, and last the worker's count.
void EndRun(CFTPSite* site, const RunOutcome& outcome, const std::atomic<bool>& retired,
            const CRunClock& runClock, CFileLock& updateLock, CRunningSlot& slot) {
    if (outcome.walked) {
        if (outcome.complete)
            site->m_bResume = 0;
        else if (outcome.resumeAt)
            SetResumePoint(site, outcome.resumeAt);
    }
    site->SetStatus(outcome.text, outcome.code);
    if (outcome.walked) {
        // The names merged may say more about the site's encoding than those it had. Read without
        // the tree lock: the walk is over, and this worker alone changes the tree's names and shape.
        site->DecideNameCharset();
        // The outcome is shown once its files are written, so that a save that fails is never
        // seen as a plain success first.
        SaveSiteFiles(site, retired, outcome.settingsLearned);
    }
    NotifySiteStatus(site);

    // Let go of the site before a re-queued run of it can start and ask for it.
    updateLock.Unlock();
    // Queued again before the worker is counted out, so that nobody sees the engine idle between.
    if (outcome.requeue && RequeueLostSite(site, outcome.start, runClock.Spent())) {
        NotifySiteStatus(site);
        StartDispatcher();
    }
    slot.Release();
}

void RunUpdate(std::unique_ptr<UpdateRequest> request, const std::atomic<bool>& retired) {
    CRunningSlot slot;
    CFileLock updateLock;
    const CRunClock runClock(request->m_spent);
    RunOutcome outcome;
    try {
        outcome = CrawlSite(*request, retired, runClock, updateLock);
    } catch (const std::exception& e) {
        // Out of memory or a failing library: the site fails, the engine carries on.
        outcome = Failed(e.what());
    }
    EndRun(request->m_pSite, outcome, retired, runClock, updateLock, slot);
}

} // namespace

void SetSiteRunTimeLimit(std::chrono::milliseconds limit) {
    g_nRunTimeLimitMs.store(limit.count());
}

void SetFtpConnectionFactory(FtpConnectionFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryLock);
    g_factory = std::move(factory);
}

bool WalkDirectory(IServerConnection& connection, CFTPSite* site, CFTPDir* dir) {
    CSiteWalker walker(connection, site, RetiredFlag(site));
    if (walker.Run(dir))
        return true;
    const WalkEnd& end = walker.EarlyEnd();
    SetResumePoint(site, end.dir);
    site->SetStatus(end.text, UpdateStatus::Ended);
    return false;
}

void UpdateSiteThread(std::unique_ptr<UpdateRequest> request) {
    CFTPSite* site = request->m_pSite;
    const std::atomic<bool>& retired = RetiredFlag(site);
    try {
        RunUpdate(std::move(request), retired);
    } catch (const std::exception& e) {
        // The ending itself failed (out of memory while saving, say): the site fails all the same.
        site->SetStatus(std::string(kStatusFailedPrefix) + e.what(), UpdateStatus::Failed);
        NotifySiteStatus(site);
    }
    LogOutcome(site);
    LeaveEngine(site);
}

CrawlCounts GetCrawlCounts() {
    return {g_nDirsListed.load(std::memory_order_relaxed), g_nEntriesListed.load(std::memory_order_relaxed)};
}
