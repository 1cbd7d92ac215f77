#include "ops/QuarnelDoc.h"

#include "ops/DocWalk.h"

#include <algorithm>
#include <unordered_set>

CQuarnelDoc::CQuarnelDoc() : m_pumpPending([] { return true; }) {}

CQuarnelDoc::~CQuarnelDoc() = default;

void CQuarnelDoc::SetPumpPending(std::function<bool()> pump) {
    if (pump)
        m_pumpPending = std::move(pump);
    else
        m_pumpPending = [] { return true; };
}

bool CQuarnelDoc::PumpPending() {
    return m_pumpPending();
}

CQuarnelDoc::WalkScope::WalkScope(CQuarnelDoc& doc) : m_doc(doc) {
    if (m_doc.m_nWalkDepth++ == 0) {
        m_doc.m_bStopWalk = false;
        m_doc.m_bWalkStopped = false;
        m_doc.m_nSinceCheck = 0;
        m_doc.WalkStateChanged(true);
    }
}

CQuarnelDoc::WalkScope::~WalkScope() {
    if (--m_doc.m_nWalkDepth == 0) {
        m_doc.m_releasedEntries.clear(); // nothing stands on them any more
        m_doc.WalkStateChanged(false);
    }
}

bool CQuarnelDoc::PumpNow() {
    m_nSinceCheck = 0;
    if (m_bWalkStopped || m_bStopWalk || !PumpPending() || m_bStopWalk) {
        // The request that stopped us stays in force for the rest of this walk.
        m_bWalkStopped = true;
        return false;
    }
    return true;
}

bool CQuarnelDoc::WalkCheck() {
    // The pump is the expensive part of a walk; the window's version lets events through only
    // every ~10 ms anyway, so asking it after every entry would only cost time.
    if (++m_nSinceCheck < kEntriesPerPump)
        return !m_bWalkStopped;
    return PumpNow();
}

void CQuarnelDoc::ShowDir(CFTPDir* dir) {
    m_browseDirs.clear();
    m_browseFiles.clear();
    if (!dir)
        return;
    CFTPSite* site = dir->GetSite();
    auto lock = LockTree(site);
    m_browseDirs.reserve(dir->m_subDirs.GetCount());
    for (CFTPDir* sub : dir->m_subDirs)
        m_browseDirs.push_back(sub);
    m_browseFiles.reserve(dir->m_files.GetCount());
    for (CFTPFile* file : dir->m_files)
        m_browseFiles.push_back(file);
}

// ---- entries and sites leaving the catalogue

void CQuarnelDoc::AddObserver(ICatalogueObserver* observer) {
    if (observer && std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void CQuarnelDoc::RemoveObserver(ICatalogueObserver* observer) {
    std::erase(m_observers, observer);
}

void CQuarnelDoc::ReleaseEntry(std::unique_ptr<CObject> entry, EntryKind kind) {
    if (!entry)
        return;
    if (kind == kEntryFile || kind == kEntryDir) {
        ForgetEntry(entry.get(), kind);
        // A copy: a member may leave (or another join) while it handles the notice.
        const std::vector<ICatalogueObserver*> observers = m_observers;
        for (ICatalogueObserver* observer : observers)
            observer->EntryGoing(entry.get(), kind);
    }
    if (IsWalkInProgress())
        m_releasedEntries.push_back(std::move(entry));
}

std::vector<std::unique_ptr<CObject>> CQuarnelDoc::ReleaseEntries(GoingEntries entries) {
    std::vector<std::pair<const CObject*, EntryKind>> going;
    going.reserve(entries.size());
    for (const auto& [entry, kind] : entries)
        if (entry && (kind == kEntryFile || kind == kEntryDir))
            going.emplace_back(entry.get(), kind);
    AnnounceEntriesGoing(going);
    std::vector<std::unique_ptr<CObject>> freed;
    freed.reserve(entries.size());
    for (auto& [entry, kind] : entries) {
        if (!entry)
            continue;
        if (IsWalkInProgress())
            m_releasedEntries.push_back(std::move(entry));
        else
            freed.push_back(std::move(entry));
    }
    return freed;
}

void CQuarnelDoc::AnnounceEntriesGoing(const std::vector<std::pair<const CObject*, EntryKind>>& entries) {
    if (entries.empty())
        return;
    ForgetEntries(entries);
    const std::vector<ICatalogueObserver*> observers = m_observers;
    for (ICatalogueObserver* observer : observers)
        observer->EntriesGoing(entries);
}

void CQuarnelDoc::SiteGoing(CFTPSite* site) {
    ForgetSite(site);
    const std::vector<ICatalogueObserver*> observers = m_observers;
    for (ICatalogueObserver* observer : observers)
        observer->SiteGoing(site);
}

void CQuarnelDoc::WalkStateChanged(bool walking) {
    const std::vector<ICatalogueObserver*> observers = m_observers;
    for (ICatalogueObserver* observer : observers)
        observer->WalkStateChanged(walking);
}

namespace {

// Answers "is this directory `gone` or below it?" for many directories in a row; consecutive
// entries of a list mostly share their parent, so the last answer is kept.
class BelowTest {
public:
    explicit BelowTest(const CFTPDir* gone) : m_gone(gone) {}
    bool operator()(const CFTPDir* dir) {
        if (dir == m_lastDir)
            return m_lastAnswer;
        bool below = false;
        for (const CFTPDir* d = dir; d; d = d->m_pParent) {
            if (d == m_gone) {
                below = true;
                break;
            }
        }
        m_lastDir = dir;
        m_lastAnswer = below;
        return below;
    }

private:
    const CFTPDir* m_gone;
    const CFTPDir* m_lastDir = nullptr;
    bool m_lastAnswer = false;
};

} // namespace

void CQuarnelDoc::ForgetEntry(CObject* entry, EntryKind kind) {
    if (!entry)
        return;
    if (kind == kEntryFile) {
        const auto* file = static_cast<const CFTPFile*>(entry);
        std::erase(m_browseFiles, file);
        std::erase(m_foundFiles, file);
        return;
    }
    if (kind != kEntryDir)
        return;
    const auto* gone = static_cast<const CFTPDir*>(entry);

    // The browse lists hold the children of one directory: either that directory is gone (or
    // lies below the removed one), and everything goes, or at most one of its children does.
    const CFTPDir* shown = !m_browseDirs.empty()    ? m_browseDirs.front()->m_pParent
                           : !m_browseFiles.empty() ? m_browseFiles.front()->m_pParent
                                                    : nullptr;
    if (shown && BelowTest(gone)(shown)) {
        m_browseDirs.clear();
        m_browseFiles.clear();
    } else {
        std::erase(m_browseDirs, gone);
    }

    // The found lists may hold anything below the removed directory.
    BelowTest dirTest(gone);
    std::erase_if(m_foundDirs, [&](const CFTPDir* dir) { return dir == gone || dirTest(dir->m_pParent); });
    BelowTest fileTest(gone);
    std::erase_if(m_foundFiles, [&](const CFTPFile* file) { return fileTest(file->m_pParent); });
}

void CQuarnelDoc::ForgetEntries(const std::vector<std::pair<const CObject*, EntryKind>>& entries) {
    if (entries.size() == 1) {
        ForgetEntry(const_cast<CObject*>(entries.front().first), entries.front().second);
        return;
    }
    std::unordered_set<const CObject*> files, dirs;
    // A removed file is looked up only among the entries of a directory that lost one: one merge's
    // removals share their directory, so most entries are passed over by one comparison.
    std::vector<const CFTPDir*> fileParents;
    for (const auto& [entry, kind] : entries) {
        (kind == kEntryDir ? dirs : files).insert(entry);
        const CFTPDir* parent = kind == kEntryDir ? nullptr : static_cast<const CFTPFile*>(entry)->m_pParent;
        if (parent && std::find(fileParents.begin(), fileParents.end(), parent) == fileParents.end())
            fileParents.push_back(parent);
    }
    const std::unordered_set<const CFTPDir*> manyParents =
        fileParents.size() > 8 ? std::unordered_set<const CFTPDir*>(fileParents.begin(), fileParents.end())
                               : std::unordered_set<const CFTPDir*>();
    auto goneFile = [&](const CFTPFile* file) {
        const bool lostOne = fileParents.size() > 8 ? manyParents.count(file->m_pParent) != 0
                                                    : std::find(fileParents.begin(), fileParents.end(),
                                                                file->m_pParent) != fileParents.end();
        return lostOne && files.count(file) != 0;
    };
    // Whether a directory is one of the removed ones or lies below one; consecutive entries of a
    // list mostly share their parent, so the last answer is kept.
    const CFTPDir* lastDir = nullptr;
    bool lastAnswer = false;
    auto gone = [&](const CFTPDir* dir) {
        if (dirs.empty() || !dir)
            return false;
        if (dir == lastDir)
            return lastAnswer;
        bool below = false;
        for (const CFTPDir* d = dir; d && !below; d = d->m_pParent)
            below = dirs.count(d) != 0;
        lastDir = dir;
        lastAnswer = below;
        return below;
    };
    const CFTPDir* shown = !m_browseDirs.empty()    ? m_browseDirs.front()->m_pParent
                           : !m_browseFiles.empty() ? m_browseFiles.front()->m_pParent
                                                    : nullptr;
    if (shown && gone(shown)) {
        m_browseDirs.clear();
        m_browseFiles.clear();
    } else {
        std::erase_if(m_browseDirs, [&](const CFTPDir* dir) { return dirs.count(dir) != 0; });
        std::erase_if(m_browseFiles, goneFile);
    }
    std::erase_if(m_foundDirs,
                  [&](const CFTPDir* dir) { return dirs.count(dir) != 0 || gone(dir->m_pParent); });
    std::erase_if(m_foundFiles,
                  [&](const CFTPFile* file) { return goneFile(file) || gone(file->m_pParent); });
}

void CQuarnelDoc::ForgetSite(CFTPSite* site) {
    if (site)
        ForgetEntry(site->m_pRootDir.get(), kEntryDir);
}
