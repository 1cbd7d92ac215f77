// Read marks: clearing m_bNew over the files on show, a directory's sub-tree or whole sites.
#include "model/Log.h"
#include "ops/DocWalk.h"
#include "ops/QuarnelDoc.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_nMarksCleared{0};

// Clears one mark whose site is known; true when it was set.
template <class Entry> inline bool ClearKnown(Entry* entry, CFTPSite* site) {
    if (entry->m_bNew != 1)
        return false;
    entry->m_bNew = 0;
    if (site)
        site->m_bStateDirty = 1;
    g_nMarksCleared.fetch_add(1, std::memory_order_relaxed);
    return true;
}

} // namespace

uint64_t CQuarnelDoc::MarksCleared() {
    return g_nMarksCleared.load(std::memory_order_relaxed);
}

std::size_t CQuarnelDoc::SaveReadMarks(const std::string& why,
                                       const std::function<bool(const CFTPSite*)>& skip) {
    // The save holds the site's lock only to take the marks, and keeps those another program saved
    // meanwhile. A failure is logged by the save; the marks stay dirty.
    std::size_t saved = 0;
    for (CFTPSite* site : m_siteList) {
        if (!site->m_bStateDirty || (skip && skip(site)))
            continue;
        if (site->SaveState()) {
            LogInfo("site " + site->GetKey() + ": read marks saved " + why);
            ++saved;
        }
    }
    return saved;
}

// Under the site's lock: a worker may be writing state.st from the same marks.
bool CQuarnelDoc::ClearMark(CFTPDir* dir) {
    if (!dir)
        return false;
    CFTPSite* site = dir->GetSite();
    auto lock = LockTree(site);
    return ClearKnown(dir, site);
}

bool CQuarnelDoc::ClearMark(CFTPFile* file) {
    if (!file)
        return false;
    CFTPSite* site = file->GetSite();
    auto lock = LockTree(site);
    return ClearKnown(file, site);
}

bool CQuarnelDoc::MarkListRead(const CObList<CFTPDir>& dirs) {
    WalkScope walk(*this);
    CFTPSite* site = dirs.IsEmpty() ? nullptr : dirs.GetHead()->GetSite();
    auto lock = LockTree(site);
    return MarkList(dirs, site);
}

bool CQuarnelDoc::MarkList(const CObList<CFTPDir>& dirs, CFTPSite* site) {
    return WalkDirList(
        dirs,
        [&](CFTPDir* dir) {
            ClearKnown(dir, site);
            return WalkCheck() ? DirStep::kDescend : DirStep::kStop;
        },
        [&](CFTPFile* file) {
            ClearKnown(file, site);
            return WalkCheck();
        });
}

bool CQuarnelDoc::MarkBelow(CFTPDir* dir, CFTPSite* site) {
    if (!MarkList(dir->m_subDirs, site))
        return false;
    for (CFTPFile* file : dir->m_files) {
        ClearKnown(file, site);
        if (!WalkCheck())
            return false;
    }
    return true;
}

void CQuarnelDoc::MarkShownFilesRead() {
    if (m_browseFiles.empty())
        return;
    CFTPSite* site = m_browseFiles.front()->GetSite();
    auto lock = LockTree(site);
    for (CFTPFile* file : m_browseFiles)
        ClearKnown(file, site);
}

OpStatus CQuarnelDoc::MarkDirRead(CFTPDir* dir) {
    if (!dir)
        return OpStatus::Done;
    if (IsWalkInProgress())
        return OpStatus::Busy;
    WalkScope walk(*this);
    CFTPSite* site = dir->GetSite();
    if (site)
        site->EnsureLoaded(); // before the lock: a worker may be loading it under the lock
    auto lock = LockTree(site);
    return MarkBelow(dir, site) ? OpStatus::Done : OpStatus::Stopped;
}

OpStatus CQuarnelDoc::SetReadFromTree(CFTPDir* dir) {
    if (!dir)
        return OpStatus::Done;
    if (IsWalkInProgress())
        return OpStatus::Busy;
    if (!dir->m_pParent) {
        if (CFTPSite* site = dir->GetSite())
            site->m_bHasNew = 0;
    }
    return MarkDirRead(dir);
}

OpStatus CQuarnelDoc::MarkSitesRead(SiteScope scope) {
    if (IsWalkInProgress())
        return OpStatus::Busy;
    WalkScope walk(*this);
    const std::size_t total = m_siteList.GetCount();
    // By position, re-read each time: a site added meanwhile (through the pump) is appended and
    // does not disturb the walk; deleting is refused while it runs.
    for (std::size_t i = 0; i < total && i < m_siteList.GetCount(); ++i) {
        CFTPSite* site = m_siteList.GetAt(i);
        if (scope == SiteScope::Updated) {
            // Nothing is read from disk in this scope; an unloaded tree holds no marks yet.
            if (!site->IsUpdatedThisRunAndLoaded())
                continue;
        } else {
            site->EnsureLoaded();
        }
        if (!PumpNow())
            return OpStatus::Stopped;
        auto lock = LockTree(site);
        if (!MarkBelow(site->m_pRootDir.get(), site))
            return OpStatus::Stopped;
    }
    return OpStatus::Done;
}
