// How an update ends when it is stopped before the server has let it in, and what the user is
// told when it cannot connect, log in or stay connected: whole runs against real servers on
// 127.0.0.1 (pyftpdlib with faults) and against addresses that cannot work.

#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <filesystem>

namespace enginetest {
namespace {

class StopAndFailure : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetFtpConnectionFactory(nullptr); // the libcurl client
        ftptest::TreeBuilder(m_served.path() + "/root").File("pub/a", 5);
    }

    std::unique_ptr<ftptest::PyFtpServer> Serve(std::vector<ftptest::PyFtpFault> faults = {}) {
        return ftptest::PyFtpServer::Start(m_served.path() + "/root", {.faults = std::move(faults)});
    }

    bool SawStatus(CFTPSite* site, const std::string& text) const {
        auto notes = m_events.StatusesOf(site);
        return std::any_of(notes.begin(), notes.end(), [&](const StatusNote& n) { return n.text == text; });
    }

    ftptest::TempDir m_served{"quarnel-served"};
};

bool ServerSaw(const ftptest::PyFtpServer& server, const std::string& line) {
    auto commands = server.Commands();
    return std::find(commands.begin(), commands.end(), line) != commands.end();
}

// Whether the server has not greeted yet or has not answered the password: a stop is a stop.
TEST_F(StopAndFailure, AStopBeforeTheServerLetsUsInIsAStop) {
    const std::pair<ftptest::PyFtpFault::Action, const char*> cases[] = {
        {ftptest::PyFtpFault::StallGreeting, "FAULT stall_greeting"},
        {ftptest::PyFtpFault::StallLogin, "FAULT stall_login"},
    };
    for (const auto& [action, fired] : cases) {
        SCOPED_TRACE(fired);
        auto server = Serve({{"/", action}});
        CFTPSite* site = AddSite("127.0.0.1", server->port());
        m_events.Clear();
        ResetUpdateEngine();
        int total = 0;
        ASSERT_TRUE(UpdateSelectedDir(site->m_pRootDir.get(), m_sites, total));
        ASSERT_TRUE(WaitFor([&] { return ServerSaw(*server, fired); }));

        StopUpdates();
        ASSERT_TRUE(WaitFor([] { return IsUpdateEngineIdle(); }, std::chrono::seconds(5)));
        EXPECT_EQ(site->GetStatusText(), kStatusStopped);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
        auto notes = m_events.StatusesOf(site);
        ASSERT_FALSE(notes.empty());
        EXPECT_EQ(notes.back().text, kStatusStopped);
        EXPECT_EQ(notes.back().code, UpdateStatus::Ended);
        // Not queued again, and nothing written: the run never reached the walk.
        EXPECT_EQ(site->m_nRetryCount, 0);
        EXPECT_EQ(GetUpdateWorkCounts().queued, 0u);
        EXPECT_FALSE(std::filesystem::exists(SiteFile(site, "content.ct")));
    }
}

TEST_F(StopAndFailure, AFailedConnectOrLoginSaysWhyInChinese) {
    auto server = Serve();
    struct Case {
        std::string host;
        int port;
        const char* password;
        std::string expected;
    };
    const Case cases[] = {
        {"127.0.0.1", ftptest::detail::FreeLoopbackPort(), "secret", kFailureConnectionRefused},
        {"quarnel-test.invalid", 21, "secret", kFailureHostNotFound},
        {"127.0.0.1", server->port(), "wrong", "530 Authentication failed."}, // the server's own words
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        CFTPSite* site = AddSite(c.host, c.port);
        site->m_strUser = server->user();
        site->m_strPassword = c.password;
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), kStatusFailedPrefix + c.expected);
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
        EXPECT_EQ(site->m_nRetryCount, 0);
    }
}

// A connection lost during the walk: the lost text names the cause, or gives the server's reply.
TEST_F(StopAndFailure, ALostConnectionSaysWhy) {
    const std::pair<ftptest::PyFtpFault::Action, std::string> cases[] = {
        {ftptest::PyFtpFault::DropList, kFailureConnectionLost},
        {ftptest::PyFtpFault::Close421List, "421 Service closing control connection."},
    };
    for (const auto& [action, why] : cases) {
        SCOPED_TRACE(why);
        auto server = Serve({{"/pub", action, 1}});
        CFTPSite* site = AddSite("127.0.0.1", server->port());
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_TRUE(SawStatus(site, kStatusLostFormat + why + kStatusRequeued));
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded); // the re-queued run got through
    }
}

} // namespace
} // namespace enginetest
