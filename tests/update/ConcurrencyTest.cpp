// The window thread reads, searches and marks the trees while workers merge into them. Meant for
// the ThreadSanitizer build (make tsan), where any unguarded access shows up; in a plain build it
// still checks that the trees end up right.

#include "tests/update/EngineTestSupport.h"
#include "update/UpdateTexts.h"

#include <random>

namespace enginetest {
namespace {

using Concurrency = EngineTest;

// What the window does with a site's tree, under the site's lock as the window takes it.
struct WindowReader {
    std::size_t nodes = 0;
    std::size_t hits = 0;
    uint64_t bytes = 0;

    void Visit(CFTPSite* site, bool markRead) {
        site->EnsureLoaded();
        auto lock = site->LockTree();
        Walk(site->m_pRootDir.get(), site, markRead);
    }

    void Walk(CFTPDir* dir, CFTPSite* site, bool markRead) {
        for (CFTPFile* file : dir->m_files) {
            ++nodes;
            bytes += file->m_nSize;
            hits += file->m_strName.find('7') != std::string::npos;
            if (markRead && file->m_bNew) {
                file->m_bNew = 0;
                site->m_bStateDirty = 1;
            }
        }
        for (CFTPDir* sub : dir->m_subDirs) {
            ++nodes;
            if (markRead && sub->m_bNew) {
                sub->m_bNew = 0;
                site->m_bStateDirty = 1;
            }
            Walk(sub, site, markRead);
        }
    }
};

TEST_F(Concurrency, WindowReadsAndMarksWhileWorkersMerge) {
    std::mt19937 random(7);
    for (int d = 0; d < 12; ++d)
        for (int f = 0; f < 15; ++f)
            m_fake->Put("/d" + std::to_string(d) + "/s" + std::to_string(d % 3) + "/f" + std::to_string(f),
                        f);
    // Every listing changes the served tree a little, so that each round adds, resizes and removes.
    std::mutex churnLock;
    m_fake->OnList([&](const std::string& path) {
        std::lock_guard<std::mutex> lock(churnLock);
        int n = static_cast<int>(random() % 20);
        if (path == "/")
            return;
        m_fake->Put(path + "/new" + std::to_string(n), random() % 1000);
        m_fake->Remove(path + "/f" + std::to_string(n));
    });
    for (int i = 0; i < 6; ++i)
        AddSite("site" + std::to_string(i));

    std::atomic<bool> done{false};
    std::size_t passes = 0;
    std::thread window([&] {
        WindowReader reader;
        int total = 0;
        std::string progress;
        while (!done.load()) {
            for (CFTPSite* site : m_sites) {
                reader.Visit(site, passes % 2 == 1);
                (void)site->GetStatusText();
                (void)site->m_bHasNew.load();
                (void)IsSiteInEngine(site);
            }
            UpdateProgressTick(total, progress);
            ++passes;
        }
    });

    for (int round = 0; round < 3; ++round) {
        int total = 0;
        UpdateAllSites(m_sites, total);
        ASSERT_TRUE(WaitUntilFinished());
    }
    done = true;
    window.join();

    EXPECT_GT(passes, 0u);
    for (CFTPSite* site : m_sites) {
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        // The stored tree matches what the server lists now, apart from the last round's churn.
        ASSERT_NE(FindDir(site, "/d0/s0"), nullptr);
    }
    EXPECT_FALSE(m_events.Removed().empty());
}

} // namespace
} // namespace enginetest
