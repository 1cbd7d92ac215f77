// The queue, the dispatcher and the thread limit, the commands, stop and drain, progress, and
// sites deleted while the engine holds them.

#include "tests/update/EngineTestSupport.h"
#include "update/UpdateTexts.h"

#include <cstdint>
#include <filesystem>

namespace enginetest {
namespace {

using Scheduler = EngineTest;
using namespace std::chrono_literals;

// Every listing takes a while, so that workers overlap.
void SlowListings(FakeFtpServer& fake, std::chrono::milliseconds delay) {
    fake.OnList([delay](const std::string&) { std::this_thread::sleep_for(delay); });
}

// Every listing waits until `release` is set; `listing`, when given, is set once one has begun.
void HoldListings(FakeFtpServer& fake, std::atomic<bool>& release, std::atomic<bool>* listing = nullptr) {
    fake.OnList([&release, listing](const std::string&) {
        if (listing)
            *listing = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
    });
}

TEST_F(Scheduler, TwelveSitesNeverRunMoreThanTheLimit) {
    m_fake->Put("/a/", 0);
    m_fake->Put("/b/", 0);
    // Each listing waits until the limit's worth of workers are connected (or every site has been),
    // so that workers overlap however loaded the machine is.
    m_fake->OnList([this](const std::string&) {
        WaitFor([this] { return m_fake->OpenConnections() >= 5 || m_fake->Logins() >= 12; }, 5s);
    });
    for (int i = 0; i < 12; ++i)
        AddSite("site" + std::to_string(i));
    int total = 0;
    UpdateAllSites(m_sites, total);
    EXPECT_EQ(total, 12);

    std::string text;
    ASSERT_TRUE(WaitFor([] { return GetUpdateWorkCounts().running > 0; }));
    EXPECT_TRUE(UpdateProgressTick(total, text));
    int done = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "更新%d/12", &done), 1) << text;
    EXPECT_GE(done, 0);
    EXPECT_LE(done, 12);

    ASSERT_TRUE(WaitFor([] { return !IsUpdateWorkPending(); }));
    EXPECT_EQ(m_fake->MaxConnections(), 5);
    for (CFTPSite* site : m_sites)
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_FALSE(UpdateProgressTick(total, text));
    EXPECT_EQ(text, kProgressDone);
    EXPECT_EQ(total, 0);
}

TEST_F(Scheduler, LimitOneServesTheQueueInOrderOneAtATime) {
    SetMaxUpdateThreads(1);
    m_fake->Put("/a/", 0);
    SlowListings(*m_fake, 5ms);
    for (int i = 0; i < 4; ++i)
        AddSite("s" + std::to_string(i));
    int total = 0;
    UpdateAllSites(m_sites, total);
    ASSERT_TRUE(WaitUntilFinished());

    EXPECT_EQ(m_fake->MaxConnections(), 1);
    std::vector<std::string> users;
    for (auto& line : m_fake->Log())
        if (line.rfind("USER ", 0) == 0)
            users.push_back(line);
    EXPECT_EQ(users, (std::vector<std::string>{"USER anonymous@s0", "USER anonymous@s1", "USER anonymous@s2",
                                               "USER anonymous@s3"}));
}

TEST_F(Scheduler, CommandsSkipSitesAlreadyInTheEngine) {
    std::atomic<bool> release{false};
    HoldListings(*m_fake, release);
    CFTPSite* busy = AddSite("busy");
    AddSite("idle");
    int total = 0;
    ASSERT_TRUE(UpdateSelectedDir(busy->m_pRootDir.get(), m_sites, total));
    EXPECT_EQ(total, 1);
    EXPECT_FALSE(UpdateSelectedDir(busy->m_pRootDir.get(), m_sites, total));
    EXPECT_FALSE(UpdateSelectedDir(nullptr, m_sites, total));
    CFTPSite stranger;
    EXPECT_FALSE(UpdateSelectedDir(stranger.m_pRootDir.get(), m_sites, total));
    EXPECT_EQ(total, 1);

    UpdateAllSites(m_sites, total); // the busy one is not counted twice
    EXPECT_EQ(total, 2);
    release = true;
    ASSERT_TRUE(WaitUntilFinished());
    EXPECT_EQ(busy->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
}

TEST_F(Scheduler, StopEndsRunningWorkersAndDrainsWaitingRequests) {
    SetMaxUpdateThreads(1);
    m_fake->Put("/a/", 0);
    std::atomic<bool> listing{false};
    m_fake->OnList([&](const std::string&) {
        listing = true;
        while (!IsStopRequested())
            std::this_thread::sleep_for(1ms);
    });
    CFTPSite* running = AddSite("running");
    CFTPSite* waiting1 = AddSite("waiting1");
    CFTPSite* waiting2 = AddSite("waiting2");
    int total = 0;
    UpdateAllSites(m_sites, total);
    ASSERT_TRUE(WaitFor([&] { return listing.load(); }));

    StopUpdates();
    ASSERT_TRUE(WaitFor([] { return IsUpdateEngineIdle(); }));

    EXPECT_EQ(running->GetStatusText(), kStatusStopped); // full-width mark
    EXPECT_EQ(running->m_nUpdateStatus.load(), UpdateStatus::Ended);
    EXPECT_TRUE(std::filesystem::exists(SiteFile(running, "content.ct")));
    for (CFTPSite* site : {waiting1, waiting2}) {
        EXPECT_EQ(site->GetStatusText(), kStatusDrained); // half-width mark
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
        auto notes = m_events.StatusesOf(site);
        ASSERT_FALSE(notes.empty());
        EXPECT_TRUE(notes.back().sync);
        EXPECT_EQ(notes.back().text, kStatusDrained);
        EXPECT_FALSE(std::filesystem::exists(SiteFile(site, "content.ct")));
    }
    EXPECT_EQ(m_fake->Logins(), 1);
    std::string text;
    EXPECT_FALSE(UpdateProgressTick(total, text));
    EXPECT_EQ(text, kProgressDone);
}

TEST_F(Scheduler, CommandRightAfterAStopIsServed) {
    m_fake->Put("/a/", 0);
    std::atomic<bool> listing{false};
    m_fake->OnList([&](const std::string&) {
        listing = true;
        std::this_thread::sleep_for(30ms);
    });
    CFTPSite* first = AddSite("first");
    CFTPSite* second = AddSite("second");
    int total = 0;
    ASSERT_TRUE(UpdateSelectedDir(first->m_pRootDir.get(), m_sites, total));
    ASSERT_TRUE(WaitFor([&] { return listing.load(); }));
    StopUpdates(); // the dispatcher now waits for the worker
    ASSERT_TRUE(UpdateSelectedDir(second->m_pRootDir.get(), m_sites, total));
    ASSERT_TRUE(WaitUntilFinished());
    EXPECT_EQ(second->GetStatusText(), kStatusSucceeded);
}

TEST_F(Scheduler, SiteDeletedWhileRunningEndsQuietlyAndWritesNothing) {
    m_fake->Put("/a/f", 1);
    std::atomic<bool> listing{false}, release{false};
    HoldListings(*m_fake, release, &listing);
    CFTPSite* site = AddSite("doomed");
    std::string contentPath = SiteFile(site, "content.ct");
    int total = 0;
    ASSERT_TRUE(UpdateSelectedDir(site->m_pRootDir.get(), m_sites, total));
    ASSERT_TRUE(WaitFor([&] { return listing.load(); }));

    ASSERT_TRUE(IsSiteInEngine(site));
    const CFTPSite* identity = site;
    RetireSite(m_sites.RemoveAt(0));
    size_t notesAtRetire = m_events.StatusesOf(site).size();
    release = true;
    ASSERT_TRUE(WaitFor([&] { return !IsSiteInEngine(identity); }));

    EXPECT_EQ(m_events.StatusesOf(site).size(), notesAtRetire);
    EXPECT_FALSE(std::filesystem::exists(contentPath));
    EXPECT_EQ(m_fake->OpenConnections(), 0);
    ASSERT_TRUE(WaitUntilFinished());
}

TEST_F(Scheduler, SiteDeletedWhileQueuedLeavesTheQueue) {
    SetMaxUpdateThreads(1);
    std::atomic<bool> release{false};
    HoldListings(*m_fake, release);
    AddSite("first");
    CFTPSite* queued = AddSite("queued");
    int total = 0;
    UpdateAllSites(m_sites, total);
    ASSERT_TRUE(WaitFor([] { return GetUpdateWorkCounts().running == 1; }));
    ASSERT_TRUE(IsSiteInEngine(queued));

    RetireSite(m_sites.RemoveAt(1));
    EXPECT_FALSE(IsSiteInEngine(queued));
    EXPECT_EQ(GetUpdateWorkCounts().queued, 0u);
    release = true;
    ASSERT_TRUE(WaitUntilFinished());
    EXPECT_EQ(m_fake->Logins(), 1);

    RetireSite(nullptr);
    RetireSite(std::make_unique<CFTPSite>()); // not in the engine: destroyed at once
}

TEST_F(Scheduler, IdleEngineSleepsUntilWorkComes) {
    m_fake->Put("/a/", 0);
    CFTPSite* first = AddSite("first");
    CFTPSite* second = AddSite("second");
    int total = 0;
    ASSERT_TRUE(UpdateSelectedDir(first->m_pRootDir.get(), m_sites, total));
    ASSERT_TRUE(WaitFor([] { return !IsUpdateWorkPending() && GetDispatcherLook().asleep; }));

    // A dispatcher that polled every 10 ms would pass over the empty queue several times
    // meanwhile; one that sleeps passes once for each wake-up (the ended worker's last ones may
    // still come), and once more for a wake-up asked for just before the first look.
    const DispatcherLook before = GetDispatcherLook();
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(WaitFor([] { return GetDispatcherLook().asleep; }));
    const DispatcherLook after = GetDispatcherLook();
    EXPECT_LE(after.passes - before.passes, after.changes - before.changes + 1);

    // A request wakes it.
    ASSERT_TRUE(UpdateSelectedDir(second->m_pRootDir.get(), m_sites, total));
    ASSERT_TRUE(WaitUntilFinished());
    EXPECT_EQ(first->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(second->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
}

TEST_F(Scheduler, RaisingTheLimitStartsWaitingRequests) {
    SetMaxUpdateThreads(1);
    std::atomic<bool> release{false};
    HoldListings(*m_fake, release);
    AddSite("first");
    AddSite("second");
    int total = 0;
    UpdateAllSites(m_sites, total);
    ASSERT_TRUE(WaitFor([] { return GetUpdateWorkCounts().running == 1 && GetDispatcherLook().asleep; }));
    EXPECT_EQ(GetUpdateWorkCounts().queued, 1u);

    SetMaxUpdateThreads(2); // the first still runs
    EXPECT_TRUE(WaitFor([] { return GetUpdateWorkCounts().running == 2; }));
    // A worker counts as running before it has connected: both hold a connection before either
    // may end.
    EXPECT_TRUE(WaitFor([this] { return m_fake->OpenConnections() >= 2; }));
    release = true;
    ASSERT_TRUE(WaitUntilFinished());
    EXPECT_EQ(m_fake->MaxConnections(), 2);
}

} // namespace
} // namespace enginetest
