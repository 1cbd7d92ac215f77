#include "ui/SiteFollower.h"

#include "model/Paths.h"
#include "ops/CommandGate.h"
#include "ops/QuarnelDoc.h"

#include <mutex>
#include <sys/stat.h>

namespace {
std::string SiteListSignature() {
    struct stat st {};
    if (stat(SiteListPath().c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' +
           std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec);
}
} // namespace

CSiteFollower::CSiteFollower(CQuarnelDoc& doc, ISiteFiles& files, const CCommandGate& gate)
    : m_doc(doc), m_files(files), m_gate(gate) {
    // Polled: a watcher loses a file that is replaced by a rename, as every save of site.ds is.
    m_pollTimer.setInterval(kPollMs);
    QObject::connect(&m_pollTimer, &QTimer::timeout, &m_pollTimer, [this] { Poll(); });
    m_pollTimer.start();

    m_nMarksSeen = CQuarnelDoc::MarksCleared();
    m_markWatchTimer.setInterval(500);
    QObject::connect(&m_markWatchTimer, &QTimer::timeout, &m_markWatchTimer, [this] { WatchMarks(); });
    m_markWatchTimer.start();
    m_markSaveTimer.setSingleShot(true);
    m_markSaveTimer.setInterval(kMarkSaveDelayMs);
    QObject::connect(&m_markSaveTimer, &QTimer::timeout, &m_markSaveTimer, [this] { SaveMarksInThreads(); });
}

void CSiteFollower::SetCallbacks(std::function<void(const std::vector<CFTPSite*>&)> relabel,
                                 std::function<void()> addMissing, std::function<void(CFTPSite*)> replaced) {
    m_relabel = std::move(relabel);
    m_addMissing = std::move(addMissing);
    m_replaced = std::move(replaced);
}

void CSiteFollower::SiteListSeen() {
    m_siteListSeen = SiteListSignature();
}

void CSiteFollower::Stop() {
    m_bClosing = true;
    m_pollTimer.stop();
    m_markWatchTimer.stop();
    m_markSaveTimer.stop();
}

void CSiteFollower::Poll() {
    FollowSiteFiles();
    FollowSiteList();
}

void CSiteFollower::FollowSiteList() {
    const std::string seen = SiteListSignature();
    if (seen == m_siteListSeen || m_bClosing)
        return;
    // A walk holds pointers into the sites, and so does a thread reading one; the next tick
    // comes back.
    if (m_gate.Walking() || !m_files.IsIdle())
        return;
    const bool first = m_siteListSeen.empty();
    m_siteListSeen = seen;
    if (first)
        return; // the list as the document read it at start
    const CQuarnelDoc::SiteListMerge merge = m_doc.ReloadSiteList();
    if (m_relabel)
        m_relabel(merge.changed);
    if (m_addMissing)
        m_addMissing();
}

void CSiteFollower::FollowSiteFiles() {
    if (m_bClosing)
        return;
    for (CFTPSite* site : m_doc.m_siteList) {
        // A site this window updates writes its own files; one being read or walked is looked at
        // later.
        if (!site->IsLoaded() || m_gate.HeldBy(site) != Hold::None)
            continue;
        if (auto held = m_reloadsHeld.find(site); held != m_reloadsHeld.end()) {
            if (held->second.elapsed() < kReloadRetryMs)
                continue;
            m_reloadsHeld.erase(held);
        }
        bool changed = false;
        {
            // Never waited for: a worker merging into the site holds it, and the next tick comes.
            std::unique_lock<std::recursive_mutex> lock(site->m_treeLock, std::try_to_lock);
            changed = lock.owns_lock() && site->SavedElsewhere();
        }
        if (changed)
            m_files.Reload(site);
    }
}

void CSiteFollower::Reloaded(CFTPSite* site, std::shared_ptr<CFTPSite::CStoredTree> tree) {
    std::unique_ptr<CFTPDir> unused = tree ? std::move(tree->m_pRoot) : nullptr;
    bool listed = false;
    for (CFTPSite* candidate : m_doc.m_siteList)
        listed = listed || candidate == site;
    // Marks set here after the save that came first, a walk standing on the tree, or an update of
    // the site begun meanwhile: this tree is dropped, and the next look reads the files again.
    if (unused && listed && !m_bClosing && !m_gate.Walking() && !m_gate.Updating(site) &&
        site->m_bStateDirty.load() == 0) {
        tree->m_pRoot = std::move(unused);
        std::unique_ptr<CFTPDir> replaced = site->TakeStoredTree(std::move(*tree));
        // The old tree hangs below a directory of its own: every holder drops what lies below it.
        m_doc.AnnounceEntriesGoing({{replaced.get(), kEntryDir}});
        unused = std::move(replaced);
        if (m_replaced)
            m_replaced(site);
    }
    if (!tree) // its marks could not be saved first: the save's failure is logged
        m_reloadsHeld[site].start();
    std::vector<std::unique_ptr<CObject>> doomed;
    doomed.push_back(std::move(unused));
    m_files.Dispose(std::move(doomed));
}

void CSiteFollower::SiteRemoved(const CFTPSite* site) {
    m_reloadsHeld.erase(site);
}

void CSiteFollower::WatchMarks() {
    const uint64_t now = CQuarnelDoc::MarksCleared();
    if (now == m_nMarksSeen)
        return;
    m_nMarksSeen = now;
    m_markSaveTimer.start(); // from the last change on
}

void CSiteFollower::SaveMarksInThreads() {
    if (m_bClosing)
        return;
    bool later = false;
    for (CFTPSite* site : m_doc.m_siteList) {
        if (!site->m_bStateDirty.load())
            continue;
        // An update writes the marks with the tree; a site being read or saved is looked at again.
        if (m_gate.Updating(site) || !m_files.SaveMarks(site, "a few seconds after they changed"))
            later = true;
    }
    if (later)
        m_markSaveTimer.start();
}

std::size_t CSiteFollower::SaveMarksNow(const std::string& why) {
    // A thread saving a site already writes what it took; an update writes its site's marks.
    return m_doc.SaveReadMarks(
        why, [this](const CFTPSite* site) { return m_gate.Updating(site) || m_gate.Reading(site); });
}
