#include "update/DirectoryLister.h"

#include <algorithm>
#include <tuple>

namespace {

// The classes a listing's failure shares whichever way it was asked for; false for the others.
bool ClassOfListing(const FtpResult& result, DirListKind& kind) {
    switch (result.status) {
    case FtpStatus::Ok:
        kind = DirListKind::Listed;
        return true;
    case FtpStatus::Lost:
        kind = DirListKind::Lost;
        return true;
    case FtpStatus::DataFailed:
        kind = DirListKind::DataFailed;
        return true;
    case FtpStatus::TooLarge:
        kind = DirListKind::TooLarge;
        return true;
    case FtpStatus::TooSlow:
        kind = DirListKind::TooSlow;
        return true;
    default:
        return false;
    }
}

// A listing refused with a transient reply (4xx: 450 "file unavailable", 451 "local error"); the
// data connection's own 425 and 426 come as DataFailed, 421 as Lost.
bool RefusedForNow(const FtpResult& result) {
    return result.status == FtpStatus::Refused && result.reply >= 400 && result.reply < 500;
}

bool HasBlank(const std::string& path) {
    return path.find_first_of(" \t") != std::string::npos;
}

std::string LastName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::vector<FtpEntry> Sorted(std::vector<FtpEntry> entries) {
    std::sort(entries.begin(), entries.end(), [](const FtpEntry& a, const FtpEntry& b) {
        return std::tie(a.name, a.isDir, a.size) < std::tie(b.name, b.isDir, b.size);
    });
    return entries;
}

bool SameEntries(const std::vector<FtpEntry>& a, const std::vector<FtpEntry>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].isDir != b[i].isDir || a[i].size != b[i].size)
            return false;
    return true;
}

bool IsStatListingReply(int reply) {
    return reply == 211 || reply == 212 || reply == 213;
}

} // namespace

DirListResult CDirectoryLister::List(const std::string& absPath, const std::function<bool()>& stopRequested) {
    if (m_statMode != StatMode::Off && !m_connection.OffersStatListing())
        TurnStatOff();
    if (m_statMode == StatMode::Off || !m_connection.CanStatPath(absPath) ||
        (HasBlank(absPath) && m_blanks == Evidence::Differ))
        return ListOrdinary(absPath, stopRequested);
    return ListOverControl(absPath, stopRequested);
}

void CDirectoryLister::TurnStatOff() {
    m_statMode = StatMode::Off;
    m_keys.clear();
    m_wanted.clear();
    m_held.clear();
    m_nHeldEntries = 0;
}

void CDirectoryLister::Doubt() {
    if (++m_nDoubts >= kStatDoubtsToGiveUp)
        TurnStatOff();
}

DirListResult CDirectoryLister::ListOverControl(const std::string& absPath,
                                                const std::function<bool()>& stopRequested) {
    Key key;
    auto known = m_keys.find(absPath);
    if (known != m_keys.end()) {
        key = known->second;
        m_keys.erase(known);
        // Directories before this one in walk order that the walk passed by are not asked for.
        for (auto it = m_wanted.begin(); it != m_wanted.end() && it->first < key;)
            it = m_wanted.erase(it);
        for (auto it = m_held.begin(); it != m_held.end() && it->first < key;) {
            m_nHeldEntries -= it->second.reply.listing.entries.size();
            m_keys.erase(it->second.path);
            it = m_held.erase(it);
        }
    } else {
        key = {m_nEpoch++};
    }
    FtpStatListing reply;
    if (!FetchOverControl(absPath, key, reply)) {
        TurnStatOff();
        if (stopRequested()) {
            DirListResult out;
            out.kind = DirListKind::Stopped;
            return out;
        }
        return ListOrdinary(absPath, stopRequested);
    }
    bool compare = false;
    if (Doubtful(absPath, reply, compare)) {
        DirListResult ordinary = ListOrdinary(absPath, stopRequested);
        // STAT refused what LIST shows: a server that keeps STAT for other things.
        if (m_statMode == StatMode::Trying && ++m_nTrials >= kStatTrials)
            TurnStatOff();
        else if (!IsStatListingReply(reply.reply) && ordinary.kind == DirListKind::Listed)
            Doubt();
        if (m_statMode != StatMode::Off && ordinary.kind == DirListKind::Listed)
            Want(absPath, key, ordinary.listing.entries);
        return ordinary;
    }
    if (compare) {
        DirListResult ordinary = ListOrdinary(absPath, stopRequested);
        if (ordinary.kind == DirListKind::Listed) {
            Compare(absPath, reply, ordinary.listing);
            if (m_statMode != StatMode::Off)
                Want(absPath, key, ordinary.listing.entries);
        } else if (m_statMode == StatMode::Trying && ++m_nTrials >= kStatTrials) {
            TurnStatOff();
        }
        return ordinary;
    }
    ++m_nStatListed;
    Want(absPath, key, reply.listing.entries);
    DirListResult out;
    out.listing = std::move(reply.listing);
    out.listing.endReply = reply.text;
    return out;
}

// The reply for `absPath`: held, or asked for now together with the directories wanted next.
// False when STAT failed (the connection for it lost, replies out of step, a stop).
bool CDirectoryLister::FetchOverControl(const std::string& absPath, const Key& key, FtpStatListing& reply) {
    auto held = m_held.find(key);
    if (held != m_held.end() && held->second.path == absPath) {
        m_nHeldEntries -= held->second.reply.listing.entries.size();
        reply = std::move(held->second.reply);
        m_held.erase(held);
        return true;
    }
    std::vector<std::string> batch{absPath};
    std::vector<Key> keys{key};
    std::size_t bytes = absPath.size() + 7;
    for (auto it = m_wanted.begin(); it != m_wanted.end() && batch.size() < kStatBatch &&
                                     m_held.size() + batch.size() <= kMaxHeldListings &&
                                     m_nHeldEntries < kMaxHeldEntries;) {
        if (bytes + it->second.size() + 7 > kStatBatchBytes)
            break;
        if (it->second != absPath) {
            bytes += it->second.size() + 7;
            batch.push_back(it->second);
            keys.push_back(it->first);
        }
        it = m_wanted.erase(it);
    }
    std::vector<FtpStatListing> replies;
    if (!m_connection.StatPaths(batch, replies).ok() || replies.size() != batch.size())
        return false;
    reply = std::move(replies[0]);
    for (std::size_t i = 1; i < batch.size(); ++i) {
        FtpStatListing& got = replies[i];
        if (m_nHeldEntries + got.listing.entries.size() > kMaxHeldEntries) {
            m_keys.erase(batch[i]); // asked again when the walk comes to it
            continue;
        }
        // Its subdirectories are asked for with the next batch, before the walk comes to it: a
        // level of the tree per round trip.
        if (IsStatListingReply(got.reply) && !got.unreadable)
            Want(batch[i], keys[i], got.listing.entries);
        m_nHeldEntries += got.listing.entries.size();
        m_held[keys[i]] = {batch[i], std::move(got)};
    }
    return true;
}

// Whether the reply cannot be taken for the directory's ordinary listing; `compare` when it must
// be compared with that listing first.
bool CDirectoryLister::Doubtful(const std::string& absPath, const FtpStatListing& reply, bool& compare) {
    if (!IsStatListingReply(reply.reply) || reply.tooLarge)
        return true; // a refusal or too much: the ordinary listing says what it means
    if (reply.unreadable) {
        // Servers that hand STAT's argument to `ls` split it at blanks and list each word.
        if (HasBlank(absPath) && m_blanks == Evidence::Unknown)
            m_blanks = Evidence::Differ;
        else
            Doubt();
        return true;
    }
    const std::vector<FtpEntry>& entries = reply.listing.entries;
    if (m_statMode == StatMode::Trying) {
        compare = true;
        return false;
    }
    // Where the server lists "." it lists it for every directory it lists: a reply without it is
    // something else (vsftpd answers for a directory it cannot open with the entries of its
    // parent that match its name). Elsewhere an empty reply or one entry of the directory's own
    // name may be the same.
    if (m_bShowsDot ? !reply.showsDot
                    : entries.empty() || (entries.size() == 1 && entries[0].name == LastName(absPath)))
        return true;
    compare = (reply.dotNames && m_dotNames == Evidence::Unknown) ||
              (HasBlank(absPath) && m_blanks == Evidence::Unknown);
    return reply.dotNames && m_dotNames == Evidence::Differ;
}

// What a comparison with the ordinary listing shows of the server's STAT.
void CDirectoryLister::Compare(const std::string& absPath, const FtpStatListing& reply,
                               const FtpDirListing& ordinary) {
    const std::vector<FtpEntry> listed = Sorted(ordinary.entries);
    const std::vector<FtpEntry> stated = Sorted(reply.listing.entries);
    bool same = SameEntries(listed, stated);
    bool sameUndotted = same;
    if (!same && reply.dotNames) { // LIST may leave out what `ls -a` would show
        std::vector<FtpEntry> undotted;
        std::copy_if(stated.begin(), stated.end(), std::back_inserter(undotted),
                     [](const FtpEntry& e) { return e.name.front() != '.'; });
        sameUndotted = SameEntries(listed, undotted);
    }
    if (!sameUndotted) {
        if (m_statMode == StatMode::Trying)
            TurnStatOff();
        else if (HasBlank(absPath) && m_blanks == Evidence::Unknown)
            m_blanks = Evidence::Differ;
        else
            Doubt();
        return;
    }
    if (reply.dotNames)
        m_dotNames = same ? Evidence::Same : Evidence::Differ;
    if (HasBlank(absPath))
        m_blanks = Evidence::Same;
    if (m_statMode == StatMode::Trying) {
        m_statMode = StatMode::On;
        m_bShowsDot = reply.showsDot;
    }
}

// The subdirectories of a listing, to be asked for ahead of the walk.
void CDirectoryLister::Want(const std::string& absPath, const Key& key,
                            const std::vector<FtpEntry>& entries) {
    for (std::size_t i = 0; i < entries.size() && m_wanted.size() < kMaxHeldListings * 4; ++i) {
        if (!entries[i].isDir)
            continue;
        std::string child = (absPath == "/" ? absPath : absPath + "/") + entries[i].name;
        if (!m_connection.CanStatPath(child) || (HasBlank(child) && m_blanks != Evidence::Same))
            continue;
        Key childKey = key;
        childKey.push_back(static_cast<uint32_t>(i));
        m_keys[child] = childKey;
        m_wanted.emplace(std::move(childKey), std::move(child));
    }
}

DirListResult CDirectoryLister::ListOrdinary(const std::string& absPath,
                                             const std::function<bool()>& stopRequested) {
    DirListResult out;
    bool askedByPath = false;
    if (m_bByPath && m_connection.CanListPath(absPath)) {
        out.result = m_connection.ListPath(absPath, out.listing);
        if (ClassOfListing(out.result, out.kind))
            return out; // kept even where a change to the directory would be refused
        out.listing = FtpDirListing();
        askedByPath = true;
    }

    out.result = m_connection.ChangeDir(absPath);
    if (!out.result.ok()) {
        out.kind = out.result.status == FtpStatus::Lost ? DirListKind::Lost : DirListKind::EnterRefused;
        return out;
    }
    if (stopRequested()) {
        out.kind = DirListKind::Stopped;
        return out;
    }
    out.result = m_connection.List(out.listing);
    if (!ClassOfListing(out.result, out.kind)) {
        out.kind = RefusedForNow(out.result) ? DirListKind::Busy : DirListKind::Empty;
        out.listing = FtpDirListing();
    } else if (out.kind == DirListKind::Listed && askedByPath && ++m_nPathRefusals >= kPathRefusalsToGiveUp) {
        m_bByPath = false; // refused by path, listed in place: the server will not take paths
    }
    return out;
}
