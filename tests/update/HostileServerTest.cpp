// Whole updates against a pyftpdlib server that misbehaves: data connections that fail, listings
// that never end or trickle, names too long to send. The stored tree keeps what the server did not
// show, the walk goes on, and nothing is queued again for what a new connection would meet again.

#include "tests/support/Sanitizers.h"
#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace enginetest {
namespace {

using ftptest::PyFtpFault;

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; }));
}

class HostileServer : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        UseLimits(FtpLimits());
        m_served = std::make_unique<ftptest::TempDir>("quarnel-served");
        m_root = m_served->path() + "/root";
    }

    // The libcurl client, with these limits.
    static void UseLimits(FtpLimits limits) {
        SetFtpConnectionFactory(
            [limits](const std::atomic<bool>* stop) { return CreateFtpConnection(stop, limits); });
    }

    std::unique_ptr<ftptest::TempDir> m_served;
    std::string m_root;
};

// 425 and 426 say nothing of the directory, on a control connection that goes on; nor does 450,
// the server's "not now". A refused data port makes curl close the control
// connection: that run ends as lost, keeps everything, and its re-queue lists the directory. The
// server picks the dead port by the current directory, and a walk that lists by path stays in
// "/": that fault is set on the root, whose listing comes first.
TEST_F(HostileServer, FailedDataConnectionsKeepTheDirectory) {
    struct Case {
        const char* what;
        PyFtpFault::Action action;
        int times;
        std::string status;
        bool emptied;
        int retries;
        const char* dir = "/big";
    };
    const Case cases[] = {
        {"425", PyFtpFault::Reply425List, 1, std::string(kStatusSucceeded) + kStatusListingFailed, false, 0},
        {"426", PyFtpFault::Reply426List, 1, std::string(kStatusSucceeded) + kStatusListingFailed, false, 0},
        {"cut off half way", PyFtpFault::AbortData, 1, std::string(kStatusSucceeded) + kStatusListingFailed,
         false, 0},
        // By path, then in place: the listing in place decides.
        {"450", PyFtpFault::BusyList, 2, std::string(kStatusSucceeded) + kStatusListingBusy, false, 0},
        {"data port refused", PyFtpFault::RefuseData, 2, kStatusSucceeded, false, 1, "/"}, // EPSV, then PASV
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string root = m_root + std::to_string(n);
        ftptest::TreeBuilder tree(root);
        for (int i = 0; i < 40; ++i)
            tree.File("big/f" + std::to_string(i), 1);
        tree.File("big/sub/x", 1).File("other/y", 1);
        auto server = ftptest::PyFtpServer::Start(root);
        CFTPSite* site = AddSite("127.0.0.1", server->port());
        ASSERT_TRUE(UpdateAndWait(site));
        ASSERT_EQ(FindDir(site, "/big")->m_files.GetCount(), 40u);
        m_events.Clear();

        tree.Remove("big/f0").File("big/new", 1).File("big/sub/z", 1).Remove("other/y");
        server->SetFaults({{c.dir, c.action, c.times}});
        server->ClearCommands();
        ASSERT_TRUE(UpdateAndWait(site));

        EXPECT_EQ(site->GetStatusText(), c.status);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
        EXPECT_EQ(site->m_nRetryCount, c.retries);
        EXPECT_EQ(Count(server->Commands(), "USER "), 1 + c.retries);
        EXPECT_EQ(FindFile(site, "/other/y"), nullptr); // the walk went on
        CFTPDir* big = FindDir(site, "/big");
        if (c.emptied) {
            EXPECT_EQ(big->m_files.GetCount(), 0u);
            EXPECT_EQ(big->m_subDirs.GetCount(), 0u);
        } else if (c.retries == 0) {
            EXPECT_EQ(big->m_files.GetCount(), 40u); // f0 stays, new is not seen yet
            EXPECT_NE(big->FindFile("f0"), nullptr);
            EXPECT_EQ(FindFile(site, "/big/sub/z"), nullptr);
        } else {
            EXPECT_EQ(big->FindFile("f0"), nullptr); // listed by the re-queued run
            EXPECT_NE(big->FindFile("new"), nullptr);
            EXPECT_NE(FindFile(site, "/big/sub/z"), nullptr);
        }
        m_sites.RemoveAt(0);
        ++n;
    }
}

// A listing that never ends and one that trickles are each given up once, the client logs in
// again, the rest of the site is walked, and the status says what was left as it was.
TEST_F(HostileServer, EndlessAndTricklingListingsAreGivenUpOnce) {
    FtpLimits limits;
    limits.maxListingEntries = 20000;
    limits.listingTimeoutS = 2;
    UseLimits(limits);
    ftptest::TreeBuilder tree(m_root);
    tree.File("endless/kept", 1).File("slow/a", 1).File("slow/b", 2).File("z/f", 1);
    auto server = ftptest::PyFtpServer::Start(m_root);
    CFTPSite* site = AddSite("127.0.0.1", server->port());
    ASSERT_TRUE(UpdateAndWait(site));
    tree.File("z/new", 1);

    server->SetFaults({{"endless", PyFtpFault::EndlessList}, {"slow", PyFtpFault::TrickleList}});
    server->ClearCommands();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(UpdateAndWait(site));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(site->GetStatusText(),
              std::string(kStatusSucceeded) + kStatusListingTooLarge + kStatusListingTooSlow);
    EXPECT_EQ(site->m_nRetryCount, 0);
    const auto commands = server->Commands();
    EXPECT_EQ(Count(commands, "USER "), 3); // the run's login and one after each listing given up
    EXPECT_EQ(Count(commands, "MLSD /endless"), 1);
    EXPECT_EQ(Count(commands, "MLSD /slow"), 1);
    EXPECT_NE(FindFile(site, "/endless/kept"), nullptr);
    EXPECT_EQ(FindDir(site, "/endless")->m_files.GetCount(), 1u);
    EXPECT_EQ(FindDir(site, "/slow")->m_files.GetCount(), 2u);
    EXPECT_NE(FindFile(site, "/z/new"), nullptr);
    EXPECT_LT(seconds, 10.0 * testsupport::kSlowdown);
}

// A name no file system holds (64 KiB) is not stored and never sent, and the status says so; a
// long but possible one is tried and refused like any directory that is not there. Nothing costs
// the connection.
TEST_F(HostileServer, NamesTooLongToSendCostNothing) {
    ftptest::TreeBuilder(m_root).File("pub/f", 1);
    for (int length : {64 << 10, 1000}) {
        SCOPED_TRACE(length);
        auto server = ftptest::PyFtpServer::Start(m_root);
        server->SetFaults({{"/", PyFtpFault::LongName, 0, length}});
        CFTPSite* site = AddSite("127.0.0.1", server->port());
        ASSERT_TRUE(UpdateAndWait(site));

        // The name left out is reported; the one tried is a directory like any other.
        EXPECT_EQ(site->GetStatusText(), length <= int(kMaxFtpNameBytes)
                                             ? std::string(kStatusSucceeded)
                                             : std::string(kStatusSucceeded) + kStatusNamesSkipped);
        EXPECT_EQ(site->m_nRetryCount, 0);
        const auto commands = server->Commands();
        EXPECT_EQ(Count(commands, "USER "), 1);
        const std::string name(length, 'L');
        EXPECT_EQ(FindDir(site, "/" + name) != nullptr, length <= int(kMaxFtpNameBytes));
        EXPECT_EQ(Count(commands, "CWD /" + name), length <= int(kMaxFtpNameBytes) ? 1 : 0);
        EXPECT_NE(FindFile(site, "/pub/f"), nullptr);
        m_sites.RemoveAt(0);
    }
}

// quarnel-cli updating a site whose root listing never ends, with the program's own limits: it
// gives the listing up at its size, says so, and its peak memory stays bounded (before, it grew
// to 2 GiB per site). The figure is recorded next to that of a small site.
class CliAgainstEndlessListing : public ::testing::Test {
protected:
    const std::string m_cli = std::string(QUARNEL_BINARY_DIR) + "/bin/quarnel-cli";
    ftptest::TempDir m_work{"quarnel-cli-endless"};

    // Runs quarnel-cli to its end; its exit code, output and peak resident size in KiB.
    int Run(const std::vector<std::string>& args, std::string& output, long& maxRssKb) {
        std::vector<std::string> argv = {m_cli, "--dir", m_work.path() + "/app"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (auto& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        const std::string outPath = m_work.path() + "/out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, m_cli.c_str(), &actions, nullptr, raw.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return -1;
        int status = 0;
        rusage usage{};
        // Bounded: a run that hangs is killed rather than hanging the suite.
        for (int i = 0; i < 6000; ++i) {
            if (wait4(pid, &status, WNOHANG, &usage) == pid) {
                output = ftptest::detail::ReadFile(outPath);
                maxRssKb = usage.ru_maxrss;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
};

TEST_F(CliAgainstEndlessListing, GivesItUpWithBoundedMemory) {
    if (!std::filesystem::exists(m_cli))
        GTEST_SKIP() << "quarnel-cli is not built";
    const std::string root = m_work.path() + "/root";
    ftptest::TreeBuilder(root).File("pub/a", 1);
    std::filesystem::create_directories(m_work.path() + "/app");
    auto server = ftptest::PyFtpServer::Start(root);
    std::string output;
    long rssKb = 0;
    ASSERT_EQ(Run({"add", "--host", "127.0.0.1", "--port", std::to_string(server->port()), "--anonymous"},
                  output, rssKb),
              0);
    ASSERT_EQ(Run({"update", "127.0.0.1"}, output, rssKb), 0) << output;
    const long smallSiteKb = rssKb;

    server->SetFaults({{"/", PyFtpFault::EndlessList}});
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run({"update", "127.0.0.1"}, output, rssKb), 0) << output;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_NE(output.find("部分目录的列表过大"), std::string::npos) << output;
    const auto commands = server->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "MLSD /"), 2); // once a run: no re-queue

    // The listing stops at FtpLimits' entries (3,000,000), kept as parsed entries, never as bytes.
    if (!testsupport::kSanitized) {
        EXPECT_LT(rssKb, 800 * 1024);
    }
    RecordProperty("small_site_max_rss_kb", std::to_string(smallSiteKb));
    RecordProperty("endless_listing_max_rss_kb", std::to_string(rssKb));
    RecordProperty("endless_listing_seconds", std::to_string(seconds));
    std::printf(
        "quarnel-cli peak RSS: %ld KiB for a small site, %ld KiB against an endless listing (%.1f s)\n",
        smallSiteKb, rssKb, seconds);
}

} // namespace
} // namespace enginetest
