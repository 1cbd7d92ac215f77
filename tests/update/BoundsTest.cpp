// The bounds an update keeps against a server that would have it grow or run without end: entries
// per site, the time of one update over its re-queues, and the names and paths it cannot use. Each
// is reported in the site's status, and what was stored stays.

#include "model/SiteSettings.h"
#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace enginetest {
namespace {

using ftptest::PyFtpFault;

uint64_t StoredEntries(const CFTPDir* dir) {
    uint64_t count = dir->m_files.GetCount();
    for (const CFTPDir* child : dir->m_subDirs)
        count += 1 + StoredEntries(child);
    return count;
}

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; }));
}

class UpdateBounds : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m_served = std::make_unique<ftptest::TempDir>("quarnel-served");
        m_root = m_served->path() + "/root";
    }
    void TearDown() override {
        EngineTest::TearDown();
        SetSiteRunTimeLimit(kDefaultSiteRunTimeLimit);
    }
    static void UseLimits(FtpLimits limits) {
        SetFtpConnectionFactory(
            [limits](const std::atomic<bool>* stop) { return CreateFtpConnection(stop, limits); });
    }
    // The site's settings file as a user would write it, before anything reads it.
    static void WriteSiteConf(CFTPSite* site, const std::string& text) {
        std::filesystem::create_directories(SiteDataDirPath(site->GetKey()));
        std::ofstream(SiteSettingsPath(site->GetKey())) << text;
    }
    std::unique_ptr<ftptest::TempDir> m_served;
    std::string m_root;
};

// Three directories of ten files against a bound of 25: the update stops adding at 25 entries,
// says so, and writes what it has. Once the server holds fewer, the next update takes them all:
// entries removed make room again.
TEST_F(UpdateBounds, ASiteStopsGrowingAtItsBoundOnEntries) {
    ftptest::TreeBuilder tree(m_root);
    for (const char* dir : {"a", "b", "c"})
        for (int i = 0; i < 10; ++i)
            tree.File(std::string(dir) + "/f" + std::to_string(i), 1);
    auto server = ftptest::PyFtpServer::Start(m_root);
    UseLimits(FtpLimits());
    CFTPSite* site = AddSite("127.0.0.1", server->port());
    WriteSiteConf(site, "# mine\nmax-entries = 25\n");
    const std::string reached =
        std::string(kStatusSucceeded) + kStatusEntryLimitPrefix + "25" + kStatusEntryLimitSuffix;

    struct Step {
        const char* what;
        int keepPerDir; // files left in each directory on the server
        std::string status;
        uint64_t stored;
    };
    const Step steps[] = {
        {"33 on the server", 10, reached, 25},
        {"the same again", 10, reached, 25},
        {"21 on the server", 6, kStatusSucceeded, 21},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        for (const char* dir : {"a", "b", "c"})
            for (int i = step.keepPerDir; i < 10; ++i)
                tree.Remove(std::string(dir) + "/f" + std::to_string(i));
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), step.status);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
        EXPECT_EQ(StoredEntries(site->m_pRootDir.get()), step.stored);
        EXPECT_EQ(site->m_pRootDir->m_subDirs.GetCount(), 3u);
    }
    for (const char* dir : {"/a", "/b", "/c"})
        EXPECT_EQ(FindDir(site, dir)->m_files.GetCount(), 6u) << dir;

    // What the bounded update wrote is what a new program reads.
    CObList<CFTPSite> again;
    CFTPSite* reread =
        testtree::AddSite(again, "127.0.0.1", kAnonymousUser, kAnonymousPassword, server->port());
    reread->m_nLoadState = TreeLoadState::NotLoaded;
    reread->EnsureLoaded();
    EXPECT_EQ(StoredEntries(reread->m_pRootDir.get()), 21u);
    EXPECT_EQ(reread->GetSettings().m_nMaxEntries, 25u);
}

// Listings that trickle past their own deadline one after another, and listings that stall and
// cost the connection each time (re-queued): either way the update ends when its time is up, says
// the server was too slow, keeps what it merged, and is not queued again.
TEST_F(UpdateBounds, AnUpdateEndsWhenItsTimeIsUpReQueuesIncluded) {
    struct Case {
        const char* what;
        PyFtpFault::Action action;
        long listingTimeoutS; // a trickle is given up at it; a stall times out at the reply first
        bool requeued;
    };
    const Case cases[] = {
        {"trickling listings", PyFtpFault::TrickleList, 1, false},
        {"stalled listings", PyFtpFault::StallList, 60, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string root = m_root + std::to_string(n++);
        ftptest::TreeBuilder tree(root);
        std::vector<PyFtpFault> faults;
        for (int i = 0; i < 8; ++i) {
            const std::string dir = "s" + std::to_string(i);
            tree.File(dir + "/x", 1);
            faults.push_back({dir, c.action});
        }
        auto server = ftptest::PyFtpServer::Start(root);
        FtpLimits limits;
        limits.listingTimeoutS = c.listingTimeoutS;
        limits.replyTimeoutS = 1;
        UseLimits(limits);
        CFTPSite* site = AddSite("127.0.0.1", server->port());
        ASSERT_TRUE(UpdateAndWait(site));
        ASSERT_EQ(site->m_pRootDir->m_subDirs.GetCount(), 8u);

        server->SetFaults(faults);
        server->ClearCommands();
        SetSiteRunTimeLimit(std::chrono::milliseconds(3500)); // 3 stalls fit, 4 do not
        ASSERT_TRUE(UpdateAndWait(site));
        SetSiteRunTimeLimit(kDefaultSiteRunTimeLimit);

        EXPECT_EQ(site->GetStatusText(), kStatusRunTooLong);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
        const auto commands = server->Commands();
        // Each re-queue would log in again; without the bound the stalls would take all four.
        EXPECT_LT(site->m_nRetryCount, 4);
        EXPECT_EQ(site->m_nRetryCount > 0, c.requeued);
        EXPECT_LT(Count(commands, "MLSD /s"), 8);
        EXPECT_EQ(site->m_pRootDir->m_subDirs.GetCount(), 8u); // nothing of the stored tree is lost
        EXPECT_NE(FindFile(site, "/s7/x"), nullptr);
        EXPECT_TRUE(std::filesystem::exists(SiteFile(site, "content.ct")));
        m_sites.RemoveAt(0);
    }
}

// Names the merge cannot store and directories whose path is too long to send are left out, and
// the status says so, as it does for the depth limit.
TEST_F(UpdateBounds, SkippedNamesAndPathsAreReported) {
    std::string deep; // names that differ, or the chain would be taken for a link loop
    for (char level = 'a'; deep.size() <= kMaxFtpPathBytes; ++level)
        deep += "/" + std::string(250, level);
    struct Case {
        const char* what;
        std::vector<std::string> paths;
        std::vector<FtpEntry> raw; // added to /pub as listed
        std::string status;
    };
    const Case cases[] = {
        {"plain", {"/pub/f"}, {}, kStatusSucceeded},
        {"a name too long",
         {"/pub/f"},
         {{std::string(kMaxFtpNameBytes + 1, 'n'), false, 1}},
         std::string(kStatusSucceeded) + kStatusNamesSkipped},
        {"a NUL byte in a name",
         {"/pub/f"},
         {{std::string("nul\0byte", 8), false, 1}},
         std::string(kStatusSucceeded) + kStatusNamesSkipped},
        {"a path too long", {"/pub/f", deep + "/f"}, {}, std::string(kStatusSucceeded) + kStatusPathsSkipped},
        {"both",
         {"/pub/f", deep + "/f"},
         {{std::string(kMaxFtpNameBytes + 1, 'n'), true, 0}},
         std::string(kStatusSucceeded) + kStatusNamesSkipped + kStatusPathsSkipped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fake = std::make_shared<FakeFtpServer>();
        m_fake->Put("/");
        auto fake = m_fake;
        SetFtpConnectionFactory([fake](const std::atomic<bool>*) { return fake->Connect(); });
        for (const std::string& path : c.paths)
            m_fake->Put(path, 1);
        for (const FtpEntry& entry : c.raw)
            m_fake->AddRaw("/pub", entry);
        CFTPSite* site = AddSite();
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), c.status);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
        EXPECT_NE(FindFile(site, "/pub/f"), nullptr);
        EXPECT_EQ(FindDir(site, "/pub")->m_files.GetCount() + FindDir(site, "/pub")->m_subDirs.GetCount(),
                  1u);
        m_sites.RemoveAt(0);
    }
}

} // namespace
} // namespace enginetest
