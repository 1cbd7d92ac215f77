#include "ui/SiteLoader.h"

#include "model/Log.h"

#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace {

// Reading and freeing can wait a little; the window thread, which shares the machine with them,
// should not.
void YieldToTheWindow() {
    const auto self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (errno == 0)
        setpriority(PRIO_PROCESS, self, std::min(now + 5, 19));
}

} // namespace

CSiteLoader::CSiteLoader(QObject* parent) : QObject(parent) {}

CSiteLoader::~CSiteLoader() {
    WaitAll();
}

bool CSiteLoader::Start(CFTPSite* site, std::function<void()> work, std::function<void()> then) {
    auto job = std::make_unique<CJob>();
    CJob* raw = job.get();
    try {
        raw->thread = std::thread([this, raw, site, work = std::move(work), then = std::move(then)] {
            YieldToTheWindow();
            try {
                work();
            } catch (const std::exception& e) {
                LogError("site " + site->GetKey() + ": could not be read: " + e.what());
            }
            raw->done = true;
            // The job is joined and forgotten in the window thread, which alone touches m_jobs; a
            // call left queued when the loader goes is dropped with it.
            QMetaObject::invokeMethod(
                this,
                [this, site, then] {
                    auto it = m_jobs.find(site);
                    if (it == m_jobs.end())
                        return; // waited for by WaitAll
                    it->second->thread.join();
                    m_jobs.erase(it);
                    if (!m_bStopped)
                        then();
                },
                Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        return false;
    }
    // Before the window thread can run the queued call: it runs in this thread's event loop.
    m_jobs.emplace(site, std::move(job));
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
    Start(site, work, then); // without a thread, the next look tries again
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

void CSiteLoader::Reap() {
    std::erase_if(m_disposals, [](const std::unique_ptr<CJob>& job) {
        if (!job->done.load())
            return false;
        job->thread.join();
        return true;
    });
}

void CSiteLoader::Dispose(std::vector<std::unique_ptr<CObject>> trees) {
    Reap();
    std::erase(trees, nullptr);
    if (trees.empty())
        return;
    auto job = std::make_unique<CJob>();
    CJob* raw = job.get();
    auto doomed = std::make_shared<std::vector<std::unique_ptr<CObject>>>(std::move(trees));
    try {
        raw->thread = std::thread([raw, doomed = std::move(doomed)]() mutable {
            YieldToTheWindow();
            doomed.reset();
            raw->done = true;
        });
    } catch (const std::system_error&) {
        return; // freed here instead
    }
    m_disposals.push_back(std::move(job));
}

void CSiteLoader::WaitAll() {
    m_bStopped = true;
    for (auto& [site, job] : m_jobs)
        if (job->thread.joinable())
            job->thread.join();
    m_jobs.clear();
    for (auto& job : m_disposals)
        if (job->thread.joinable())
            job->thread.join();
    m_disposals.clear();
}
