#include "ui/SiteLoader.h"

#include "model/Log.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Reading and freeing can wait a little; the window thread, which shares the machine with them,
// should not. Once per pool thread: the threads are used again and again.
void YieldToTheWindow() {
    thread_local bool yielded = false;
    if (yielded)
        return;
    yielded = true;
    const auto self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (errno == 0)
        setpriority(PRIO_PROCESS, self, std::min(now + 5, 19));
}

} // namespace

CSiteLoader::CSiteLoader(QObject* parent) : QObject(parent) {
    m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    m_disposer.setMaxThreadCount(1);
}

CSiteLoader::~CSiteLoader() {
    WaitAll();
}

bool CSiteLoader::Start(CFTPSite* site, std::function<void()> work, std::function<void()> then) {
    const std::uint64_t job = ++m_nLastJob;
    // Before the pool can run it: its end is handed to this thread's event loop.
    m_jobs[site] = job;
    m_pool.start([this, site, job, work = std::move(work), then = std::move(then)] {
        YieldToTheWindow();
        if (m_probe)
            m_probe(site, true);
        try {
            work();
        } catch (const std::exception& e) {
            LogError("site " + site->GetKey() + ": could not be read: " + e.what());
        }
        if (m_probe)
            m_probe(site, false);
        // The job is forgotten in the window thread, which alone touches m_jobs; a call left
        // queued when the loader goes is dropped with it.
        QMetaObject::invokeMethod(
            this,
            [this, site, job, then] {
                auto it = m_jobs.find(site);
                if (it == m_jobs.end() || it->second != job)
                    return; // waited for by WaitAll
                m_jobs.erase(it);
                if (!m_bStopped)
                    then();
            },
            Qt::QueuedConnection);
    });
    return true;
}

bool CSiteLoader::Load(CFTPSite* site) {
    if (!site || site->IsLoaded())
        return false;
    if (IsBusy(site))
        return true;
    if (!m_bStopped && Start(
                           site, [site] { site->EnsureLoaded(); },
                           [this, site] {
                               if (m_onLoaded)
                                   m_onLoaded(site);
                           })) {
        ++m_nReads;
        return true;
    }
    site->EnsureLoaded();
    return false;
}

void CSiteLoader::Reload(CFTPSite* site) {
    if (!site || m_bStopped || IsBusy(site))
        return;
    auto result = std::make_shared<std::shared_ptr<CFTPSite::CStoredTree>>();
    auto work = [site, result] {
        // Marks set here and not yet saved go to disk first, merged with those saved elsewhere;
        // the tree read next then holds them. A save that fails keeps the tree in memory as it is.
        if (site->m_bStateDirty.load() && !site->TrySaveState())
            return;
        *result = std::make_shared<CFTPSite::CStoredTree>(site->ReadStoredTree());
    };
    auto then = [this, site, result] {
        if (m_onReloaded)
            m_onReloaded(site, *result);
    };
    Start(site, work, then);
}

bool CSiteLoader::SaveMarks(CFTPSite* site, std::string why) {
    if (!site || m_bStopped || IsBusy(site))
        return false;
    auto work = [site, why = std::move(why)] {
        // Marks cleared while it writes make the site dirty again, for the next save.
        if (site->m_bStateDirty.load() && site->SaveState())
            LogInfo("site " + site->GetKey() + ": read marks saved " + why);
    };
    auto then = [this, site] {
        if (m_onSaved)
            m_onSaved(site);
    };
    return Start(site, work, then);
}

void CSiteLoader::Dispose(std::vector<std::unique_ptr<CObject>> trees) {
    std::erase(trees, nullptr);
    if (trees.empty())
        return;
    if (m_bStopped)
        return; // freed here
    auto doomed = std::make_shared<std::vector<std::unique_ptr<CObject>>>(std::move(trees));
    m_disposer.start([doomed = std::move(doomed)]() mutable {
        YieldToTheWindow();
        doomed.reset();
    });
}

void CSiteLoader::WaitAll() {
    m_bStopped = true;
    m_pool.waitForDone();
    m_jobs.clear();
    m_disposer.waitForDone();
}
