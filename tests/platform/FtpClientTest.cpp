// The libcurl FTP client against a real pyftpdlib server on 127.0.0.1.
#include "platform/FtpClient.h"
#include "platform/FtpErrors.h"
#include "tests/platform/EntrySet.h"
#include "tests/support/FtpServer.h"
#include "tests/support/Sanitizers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <netinet/in.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using ftptest::PyFtpFault;
using Clock = std::chrono::steady_clock;

const std::string kGbk = "\xc4\xe3\xba\xc3";          // 你好 in GBK
const std::string kUtf8 = "\xe4\xbd\xa0\xe5\xa5\xbd"; // 你好 in UTF-8

using platformtest::EntrySet;
using platformtest::Set;

long CountOf(const std::vector<std::string>& commands, const std::string& prefix) {
    return std::count_if(commands.begin(), commands.end(),
                         [&](const std::string& c) { return c.compare(0, prefix.size(), prefix) == 0; });
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class FtpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ftptest::TreeBuilder(root())
            .Dir("pub/a b")
            .File("pub/a b/file one.txt", 10)
            .File("pub/100%/x", 1)
            .Dir("pub/#hash?q+;&")
            .File("pub/" + kGbk + "/" + kGbk + ".txt", 2)
            .Dir("pub/" + kUtf8)
            .File("pub/big.iso", 5ull << 30)
            .File("readme", 3);
        for (const char* dir : {"refused", "nolist", "busy", "drop", "dropcwd", "close421", "hangup", "stall",
                                "stalldata", "nomlsd"})
            ftptest::TreeBuilder(root()).File(std::string(dir) + "/inside", 1);
    }

    std::string root() const { return m_dir.path() + "/root"; }

    void StartServer(ftptest::PyFtpOptions options = {}) {
        m_server = ftptest::PyFtpServer::Start(root(), options);
    }

    std::unique_ptr<IServerConnection> Login(const std::atomic<bool>* stop = nullptr, FtpLimits limits = {}) {
        auto conn = CreateFtpConnection(stop, limits);
        FtpResult r = conn->Connect("127.0.0.1", m_server->port(), "anonymous", "quarnel@example.com");
        EXPECT_TRUE(r.ok()) << r.code << " " << r.text;
        return conn;
    }

    ftptest::TempDir m_dir;
    std::unique_ptr<ftptest::PyFtpServer> m_server;
};

TEST_F(FtpClientTest, LogsInAndListsTheRoot) {
    StartServer();
    auto conn = Login();
    ASSERT_TRUE(conn->ChangeDir("/").ok());
    std::vector<FtpEntry> entries;
    FtpResult r = conn->List(entries);
    ASSERT_TRUE(r.ok()) << r.text;
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.text.empty());
    EntrySet expected = {{"pub", true, 0}, {"readme", false, 3}};
    for (const char* dir : {"refused", "nolist", "busy", "drop", "dropcwd", "close421", "hangup", "stall",
                            "stalldata", "nomlsd"})
        expected.emplace(dir, true, 0);
    EXPECT_EQ(Set(entries), expected);
    EXPECT_EQ(conn->LastReply().substr(0, 3), "226");
}

TEST_F(FtpClientTest, LoginWithTheUserAccountAndRefusedLogin) {
    StartServer({.user = "alice", .password = "s3cret", .anonymous = false});
    auto good = CreateFtpConnection();
    FtpResult r = good->Connect("127.0.0.1", m_server->port(), "alice", "s3cret");
    EXPECT_TRUE(r.ok()) << r.text;

    auto bad = CreateFtpConnection();
    r = bad->Connect("127.0.0.1", m_server->port(), "alice", "wrong");
    EXPECT_EQ(r.status, FtpStatus::Refused);
    EXPECT_EQ(r.code, 67);
    EXPECT_EQ(r.text, "530 Authentication failed."); // the server's own words
    EXPECT_EQ(bad->LastReply(), "530 Authentication failed.");
    // A connection whose login failed is no connection.
    EXPECT_EQ(bad->ChangeDir("/").status, FtpStatus::Lost);

    auto anon = CreateFtpConnection();
    r = anon->Connect("127.0.0.1", m_server->port(), "anonymous", "x@y.z");
    EXPECT_EQ(r.status, FtpStatus::Refused);
    EXPECT_NE(r.text.find("530"), std::string::npos);
}

TEST_F(FtpClientTest, ConnectFailuresCarryAReadableText) {
    const int closedPort = ftptest::detail::FreeLoopbackPort();
    auto conn = CreateFtpConnection();
    FtpResult r = conn->Connect("127.0.0.1", closedPort, "anonymous", "a@b.c");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.code, 7);
    EXPECT_FALSE(r.text.empty());
    EXPECT_LE(r.text.size(), 1023u);

    r = conn->Connect("127.0.0.1/x", 21, "anonymous", "a@b.c");
    EXPECT_EQ(r.status, FtpStatus::Failed);
    EXPECT_FALSE(r.text.empty());
}

// What the user is told depends on the class of a failed connect; the server's reply rides along.
TEST_F(FtpClientTest, ConnectFailuresAreClassed) {
    StartServer({.user = "alice", .password = "s3cret", .anonymous = false});
    struct Case {
        std::string host;
        int port;
        const char* password;
        FtpFailure expected;
        int reply;
    };
    const Case cases[] = {
        {"127.0.0.1", ftptest::detail::FreeLoopbackPort(), "s3cret", FtpFailure::ConnectionRefused, 0},
        {"quarnel-test.invalid", 21, "s3cret", FtpFailure::HostNotFound, 0},
        {"127.0.0.1/x", 21, "s3cret", FtpFailure::HostNotFound, 0},
        {"127.0.0.1", m_server->port(), "wrong", FtpFailure::LoginDenied, 530},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + ":" + std::to_string(c.port));
        auto conn = CreateFtpConnection();
        FtpResult r = conn->Connect(c.host, c.port, "alice", c.password);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(FailureOf(r), c.expected) << r.code << " " << r.text;
        EXPECT_EQ(r.reply, c.reply);
    }
}

// A server that never answers the login holds Connect until its time-outs, unless a stop comes.
TEST_F(FtpClientTest, AStopEndsAStalledLogin) {
    for (auto action : {PyFtpFault::StallGreeting, PyFtpFault::StallLogin}) {
        const std::string fired =
            action == PyFtpFault::StallGreeting ? "FAULT stall_greeting" : "FAULT stall_login";
        SCOPED_TRACE(fired);
        StartServer({.faults = {{"/", action}}});
        std::atomic<bool> stop{false};
        Clock::time_point stoppedAt;
        std::thread stopper([&] {
            for (int i = 0; i < 500 && CountOf(m_server->Commands(), fired) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            stoppedAt = Clock::now();
            stop = true;
        });
        auto conn = CreateFtpConnection(&stop);
        FtpResult r = conn->Connect("127.0.0.1", m_server->port(), "anonymous", "a@b.c");
        stopper.join();
        EXPECT_EQ(CountOf(m_server->Commands(), fired), 1);
        EXPECT_EQ(r.status, FtpStatus::Lost);
        EXPECT_EQ(FailureOf(r), FtpFailure::Stopped) << r.code << " " << r.text;
        EXPECT_LT(SecondsSince(stoppedAt), 2.5);
        m_server.reset();
    }
}

// A listener whose accept queue is full drops further SYNs: connecting hangs as it would to a host
// that does not answer.
TEST_F(FtpClientTest, TheConnectTimeOutCoversTheTcpConnect) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    auto conn = CreateFtpConnection();
    auto start = Clock::now();
    FtpResult r = conn->Connect("127.0.0.1", ntohs(addr.sin_port), "anonymous", "a@b.c");
    const double waited = SecondsSince(start);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.code, 28);
    EXPECT_EQ(FailureOf(r), FtpFailure::TimedOut);
    EXPECT_GE(waited, 2.5);
    EXPECT_LT(waited, 6.0);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST_F(FtpClientTest, OddNamesReachTheServerByteForByte) {
    StartServer();
    auto conn = Login();
    struct Case {
        std::string path;
        EntrySet expected;
    };
    const std::vector<Case> cases = {
        {"/pub/a b", {{"file one.txt", false, 10}}},
        {"/pub/100%", {{"x", false, 1}}},
        {"/pub/#hash?q+;&", {}},
        {"/pub/" + kGbk, {{kGbk + ".txt", false, 2}}},
        {"/pub/" + kUtf8, {}},
        {"/pub/",
         {{"a b", true, 0},
          {"100%", true, 0},
          {"#hash?q+;&", true, 0},
          {kGbk, true, 0},
          {kUtf8, true, 0},
          {"big.iso", false, 5ull << 30}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FtpResult r = conn->ChangeDir(c.path);
        ASSERT_TRUE(r.ok()) << r.text;
        std::vector<FtpEntry> entries;
        ASSERT_TRUE(conn->List(entries).ok());
        EXPECT_EQ(Set(entries), c.expected);
    }
    const auto commands = m_server->Commands();
    EXPECT_EQ(CountOf(commands, "USER "), 1); // one login carried every step
    EXPECT_EQ(CountOf(commands, "CWD /pub/" + kGbk), 1);
    EXPECT_EQ(CountOf(commands, "MLSD /pub/#hash?q+;&"), 1);
    EXPECT_EQ(CountOf(commands, "MLSD /pub/100%"), 1);
}

TEST_F(FtpClientTest, MlsdAndListGiveTheSameEntries) {
    std::map<bool, std::map<std::string, EntrySet>> seen;
    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        StartServer({.mlsd = mlsd});
        auto conn = Login();
        for (const std::string& path : std::vector<std::string>{"/", "/pub", "/pub/a b", "/pub/" + kGbk}) {
            ASSERT_TRUE(conn->ChangeDir(path).ok());
            std::vector<FtpEntry> entries;
            ASSERT_TRUE(conn->List(entries).ok());
            seen[mlsd][path] = Set(entries);
        }
        const auto commands = m_server->Commands();
        EXPECT_EQ(CountOf(commands, "MLSD "), mlsd ? 4 : 0);
        EXPECT_EQ(CountOf(commands, "LIST "), mlsd ? 0 : 4);
        m_server.reset();
    }
    EXPECT_EQ(seen[true], seen[false]);
    EXPECT_EQ(seen[true]["/pub"].size(), 6u);
}

TEST_F(FtpClientTest, FallsBackToListWhenMlsdIsRejected) {
    StartServer({.faults = {{"nomlsd", PyFtpFault::RejectMlsd}}});
    auto conn = Login();
    ASSERT_TRUE(conn->ChangeDir("/nomlsd").ok());
    std::vector<FtpEntry> entries;
    FtpResult r = conn->List(entries);
    ASSERT_TRUE(r.ok()) << r.text;
    EXPECT_EQ(Set(entries), (EntrySet{{"inside", false, 1}}));
    ASSERT_TRUE(conn->ChangeDir("/pub/a b").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    EXPECT_EQ(entries.size(), 1u);
    // Decided once: after the fallback every listing is a LIST, on the same login.
    const auto commands = m_server->Commands();
    EXPECT_EQ(CountOf(commands, "MLSD "), 1);
    EXPECT_EQ(CountOf(commands, "LIST "), 2);
    EXPECT_EQ(CountOf(commands, "USER "), 1);
}

TEST_F(FtpClientTest, RefusalsLeaveTheConnectionWorking) {
    StartServer({.faults = {{"refused", PyFtpFault::RefuseCwd},
                            {"nolist", PyFtpFault::RefuseList},
                            {"busy", PyFtpFault::BusyList}}});
    auto conn = Login();
    std::vector<FtpEntry> entries;

    FtpResult r = conn->ChangeDir("/refused");
    EXPECT_EQ(r.status, FtpStatus::Refused);
    EXPECT_EQ(r.code, 9);
    EXPECT_EQ(conn->LastReply().substr(0, 4), "550 ");
    EXPECT_EQ(r.text, conn->LastReply());

    ASSERT_TRUE(conn->ChangeDir("/nolist").ok());
    entries.push_back({"stale", false, 1});
    r = conn->List(entries);
    EXPECT_EQ(r.status, FtpStatus::Refused);
    EXPECT_EQ(r.code, 19);
    EXPECT_TRUE(entries.empty());

    ASSERT_TRUE(conn->ChangeDir("/busy").ok());
    r = conn->List(entries);
    EXPECT_EQ(r.status, FtpStatus::Refused);
    EXPECT_EQ(conn->LastReply().substr(0, 3), "450");
    EXPECT_TRUE(entries.empty());

    ASSERT_TRUE(conn->ChangeDir("/pub/a b").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(CountOf(m_server->Commands(), "USER "), 1);
}

// A listing by path holds what a listing after changing there holds, for names that need care in
// an argument; nothing changes directory on the way. Only MLSD is asked by path: LIST's argument
// is whatever the server makes of it, so a server without MLSD is never asked.
TEST_F(FtpClientTest, ListingByPathMatchesListingAfterChangingThere) {
    ftptest::TreeBuilder(root()).File("pub/ lead/x", 1).File("pub/-dash/y", 2).File("pub/trail /z", 3);
    const std::vector<std::string> paths = {
        "/", "/pub", "/pub/a b", "/pub/100%", "/pub/" + kGbk, "/pub/ lead", "/pub/-dash", "/pub/trail "};
    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        StartServer({.mlsd = mlsd});
        auto conn = Login();
        for (const std::string& path : paths) {
            SCOPED_TRACE(path);
            EXPECT_EQ(conn->CanListPath(path), mlsd);
            FtpDirListing byPath;
            FtpResult r = conn->ListPath(path, byPath);
            EXPECT_EQ(r.ok(), mlsd) << r.text;
            const auto commands = m_server->Commands();
            EXPECT_EQ(CountOf(commands, "CWD "), 0);
            EXPECT_EQ(CountOf(commands, "LIST "), 0);
            std::vector<FtpEntry> entries;
            ASSERT_TRUE(conn->ChangeDir(path).ok());
            ASSERT_TRUE(conn->List(entries).ok());
            EXPECT_FALSE(entries.empty());
            if (mlsd) {
                EXPECT_EQ(Set(byPath.entries), Set(entries));
            }
            m_server->ClearCommands();
        }
        m_server.reset();
    }
}

// What a listing by path cannot settle comes back refused with the server's reply (550 and 450
// for the directory, 501 for an MLSD of something else, 500 for an MLSD the server does not know
// after all, which is not asked again as a LIST with the path); paths a server could read
// otherwise are not asked at all. The connection goes on after each.
TEST_F(FtpClientTest, ListingByPathRefusalsAndPathsNotAsked) {
    struct Case {
        std::string path;
        int reply;
    };
    const Case cases[] = {
        {"/nolist", 550}, {"/busy", 450}, {"/missing", 501}, {"/readme", 501}, {"/nomlsd", 500}};
    StartServer({.faults = {{"nolist", PyFtpFault::RefuseList},
                            {"busy", PyFtpFault::BusyList},
                            {"nomlsd", PyFtpFault::RejectMlsd, 1}}});
    auto conn = Login();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(conn->CanListPath(c.path));
        FtpDirListing listing;
        listing.entries.push_back({"stale", false, 1});
        FtpResult r = conn->ListPath(c.path, listing);
        EXPECT_EQ(r.status, FtpStatus::Refused);
        EXPECT_EQ(r.reply, c.reply) << r.text;
        EXPECT_TRUE(listing.entries.empty());
    }
    EXPECT_EQ(CountOf(m_server->Commands(), "LIST "), 0);
    // The server has no MLSD now: nothing more is asked by path, and LIST comes after a CWD.
    EXPECT_FALSE(conn->CanListPath("/pub/a b"));
    std::vector<FtpEntry> entries;
    ASSERT_TRUE(conn->ChangeDir("/pub/a b").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    EXPECT_EQ(entries.size(), 1u);

    StartServer();
    conn = Login();
    m_server->ClearCommands();
    for (const std::string& path :
         {std::string("/pub/#hash?q+;&"), std::string("/a*b"), std::string("/a[1]"), std::string("/a{b,c}"),
          std::string("/~x"), std::string("/a\\b"), std::string("/a\tb"), std::string("/a\rb"),
          std::string("relative"), "/" + std::string(kMaxFtpPathBytes - 1, 'x')}) {
        EXPECT_FALSE(conn->CanListPath(path)) << path;
        FtpDirListing listing;
        EXPECT_EQ(conn->ListPath(path, listing).status, FtpStatus::Failed);
    }
    EXPECT_TRUE(m_server->Commands().empty());
    EXPECT_TRUE(conn->CanListPath("/" + std::string(kMaxFtpPathBytes - 2, 'x')));
    EXPECT_TRUE(conn->CanListPath("/a -l"));
}

// The same object can close its connection and log in again; a closed one sends nothing.
TEST_F(FtpClientTest, CloseThenConnectAgain) {
    StartServer();
    auto conn = Login();
    std::vector<FtpEntry> entries;
    ASSERT_TRUE(conn->ChangeDir("/pub/a b").ok());
    ASSERT_TRUE(conn->List(entries).ok());
    conn->Close();
    const size_t before = m_server->Commands().size();
    EXPECT_EQ(conn->ChangeDir("/pub").status, FtpStatus::Lost);
    EXPECT_EQ(conn->List(entries).status, FtpStatus::Lost);
    EXPECT_EQ(m_server->Commands().size(), before);

    for (int round = 0; round < 2; ++round) {
        FtpResult r = conn->Connect("127.0.0.1", m_server->port(), "anonymous", "a@b.c");
        ASSERT_TRUE(r.ok()) << r.text;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(conn->ChangeDir("/pub/a b").ok());
            ASSERT_TRUE(conn->List(entries).ok());
            EXPECT_EQ(Set(entries), (EntrySet{{"file one.txt", false, 10}}));
        }
    }
    EXPECT_EQ(CountOf(m_server->Commands(), "USER "), 3); // one login per Connect, none behind our back
}

TEST_F(FtpClientTest, PathsThatCannotBeSentFailWithoutSending) {
    StartServer();
    auto conn = Login();
    m_server->ClearCommands();
    for (const std::string& path :
         {std::string("/pub/a\rb"), std::string("/pub/a\nb"), std::string("/a\0b", 4),
          std::string("relative"), "/" + std::string(kMaxFtpPathBytes, 'x'),
          "/" + std::string(64 << 10, 'x')}) {
        FtpResult r = conn->ChangeDir(path);
        EXPECT_EQ(r.status, FtpStatus::Failed);
        EXPECT_FALSE(r.text.empty());
    }
    EXPECT_TRUE(m_server->Commands().empty());
    EXPECT_TRUE(conn->ChangeDir("/pub").ok());
}

// Every way of losing the connection ends as Lost, and the connection stays lost: no call after
// it reaches the server, where curl would otherwise log in again without a word.
TEST_F(FtpClientTest, LostConnectionsStayLost) {
    struct Case {
        const char* dir;
        PyFtpFault::Action action;
        bool failsOnCwd;
    };
    const Case cases[] = {
        {"drop", PyFtpFault::DropList, false},
        {"dropcwd", PyFtpFault::DropCwd, true},
        {"close421", PyFtpFault::Close421List, false},
        {"hangup", PyFtpFault::HangUpAfterCwd, false},
    };
    StartServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        m_server->SetFaults({{c.dir, c.action}});
        m_server->ClearCommands();
        auto conn = Login();
        FtpResult r = conn->ChangeDir(std::string("/") + c.dir);
        std::vector<FtpEntry> entries;
        if (!c.failsOnCwd) {
            ASSERT_TRUE(r.ok()) << r.text;
            r = conn->List(entries);
        }
        EXPECT_EQ(r.status, FtpStatus::Lost);
        EXPECT_FALSE(r.text.empty());

        const size_t before = m_server->Commands().size();
        EXPECT_EQ(conn->ChangeDir("/pub").status, FtpStatus::Lost);
        EXPECT_EQ(conn->List(entries).status, FtpStatus::Lost);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto commands = m_server->Commands();
        EXPECT_EQ(commands.size(), before);
        EXPECT_EQ(CountOf(commands, "USER "), 1);
    }
}

TEST_F(FtpClientTest, AStalledListingTimesOut) {
    StartServer({.faults = {{"stall", PyFtpFault::StallList}, {"stalldata", PyFtpFault::StallData}}});
    // The reply time-out, at its real 7 s.
    auto conn = Login();
    ASSERT_TRUE(conn->ChangeDir("/stall").ok());
    std::vector<FtpEntry> entries;
    auto start = Clock::now();
    FtpResult r = conn->List(entries);
    const double waited = SecondsSince(start);
    EXPECT_EQ(r.status, FtpStatus::Lost);
    EXPECT_EQ(r.code, 28);
    EXPECT_GE(waited, 6.0);
    EXPECT_LT(waited, 12.0);
    EXPECT_EQ(conn->ChangeDir("/pub").status, FtpStatus::Lost);

    // A data connection that moves nothing, with a short stall limit.
    auto quick = Login(nullptr, FtpLimits{3000, 7, 2});
    ASSERT_TRUE(quick->ChangeDir("/stalldata").ok());
    r = quick->List(entries);
    EXPECT_EQ(r.status, FtpStatus::Lost);
    EXPECT_EQ(r.code, 28);
}

TEST_F(FtpClientTest, AStopEndsABlockedCallSoon) {
    StartServer({.faults = {{"stall", PyFtpFault::StallList}}});
    std::atomic<bool> stop{false};
    auto conn = Login(&stop);
    ASSERT_TRUE(conn->ChangeDir("/stall").ok());
    Clock::time_point stoppedAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stoppedAt = Clock::now();
        stop = true;
    });
    std::vector<FtpEntry> entries;
    FtpResult r = conn->List(entries);
    stopper.join();
    EXPECT_EQ(r.status, FtpStatus::Lost);
    EXPECT_EQ(r.code, 42);
    EXPECT_FALSE(r.text.empty());
    EXPECT_LT(SecondsSince(stoppedAt), 2.5);

    // With the flag already set nothing is sent at all.
    m_server->ClearCommands();
    auto second = CreateFtpConnection(&stop);
    EXPECT_EQ(second->Connect("127.0.0.1", m_server->port(), "anonymous", "a@b.c").status, FtpStatus::Lost);
    EXPECT_TRUE(m_server->Commands().empty());
}

// A listing whose data connection fails says nothing of the directory, unlike a refusal; the
// session goes on wherever curl keeps the control connection.
TEST_F(FtpClientTest, DataConnectionFailuresAreToldFromRefusals) {
    struct Case {
        const char* dir;
        PyFtpFault::Action action;
        FtpStatus expected;
        int reply;
    };
    const Case cases[] = {
        {"d425", PyFtpFault::Reply425List, FtpStatus::DataFailed, 425},
        {"d426", PyFtpFault::Reply426List, FtpStatus::DataFailed, 426},
        {"abort", PyFtpFault::AbortData, FtpStatus::DataFailed, 426}, // after half the listing
        {"busy", PyFtpFault::BusyList, FtpStatus::Refused, 450},
        {"nolist", PyFtpFault::RefuseList, FtpStatus::Refused, 550},
        {"refdata", PyFtpFault::RefuseData, FtpStatus::Lost, 0}, // curl closes the control connection
    };
    for (const Case& c : cases)
        for (int i = 0; i < 40; ++i)
            ftptest::TreeBuilder(root()).File(std::string(c.dir) + "/file" + std::to_string(i), 1);
    for (bool mlsd : {true, false}) {
        StartServer({.mlsd = mlsd});
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.dir) + (mlsd ? " MLSD" : " LIST"));
            m_server->SetFaults({{c.dir, c.action}});
            m_server->ClearCommands();
            auto conn = Login();
            ASSERT_TRUE(conn->ChangeDir(std::string("/") + c.dir).ok());
            FtpDirListing listing;
            FtpResult r = conn->List(listing);
            EXPECT_EQ(r.status, c.expected) << r.code << " " << r.text;
            EXPECT_EQ(r.reply, c.reply);
            EXPECT_TRUE(listing.entries.empty());

            std::vector<FtpEntry> entries;
            const bool lost = c.expected == FtpStatus::Lost;
            EXPECT_EQ(conn->ChangeDir("/pub/a b").ok(), !lost);
            EXPECT_EQ(conn->List(entries).ok(), !lost);
            EXPECT_EQ(entries.size(), lost ? 0u : 1u);
            EXPECT_EQ(CountOf(m_server->Commands(), "USER "), 1); // never logged in behind our back
        }
        m_server.reset();
    }
}

// Listings past the line length, entry or time limits are given up; the client logs in again with the
// session's options, so the next directory can be listed.
TEST_F(FtpClientTest, ListingsPastTheLimitsAreGivenUpAndTheSessionGoesOn) {
    ftptest::TreeBuilder(root()).File("endless/f", 1).File("long/f", 1);
    for (int i = 0; i < 6; ++i)
        ftptest::TreeBuilder(root()).File("trickle/file" + std::to_string(i), 1);
    FtpLimits line, entries, deadline;
    line.maxListingLineBytes = 4000;
    entries.maxListingEntries = 5000;
    deadline.listingTimeoutS = 2;
    struct Case {
        const char* what;
        const char* dir;
        FtpLimits limits;
        FtpStatus expected;
    };
    const Case cases[] = {
        {"line", "long", line, FtpStatus::TooLarge},
        {"entries", "endless", entries, FtpStatus::TooLarge},
        {"deadline", "trickle", deadline, FtpStatus::TooSlow},
    };
    for (bool mlsd : {true, false}) {
        StartServer({.mlsd = mlsd,
                     .unique = ftptest::PyFtpOptions::UniqueOff,
                     .faults = {{"endless", PyFtpFault::EndlessList},
                                {"trickle", PyFtpFault::TrickleList},
                                {"long", PyFtpFault::LongName, 0, 5000}}});
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (mlsd ? " MLSD" : " LIST"));
            m_server->ClearCommands();
            auto conn = Login(nullptr, c.limits);
            conn->EnableUtf8(); // refused by pyftpdlib; asked again all the same after a new login
            ASSERT_TRUE(conn->ChangeDir(std::string("/") + c.dir).ok());
            FtpDirListing listing;
            const auto start = Clock::now();
            FtpResult r = conn->List(listing);
            const double waited = SecondsSince(start);
            EXPECT_EQ(r.status, c.expected) << r.code << " " << r.text;
            EXPECT_FALSE(r.text.empty());
            EXPECT_TRUE(listing.entries.empty());
            if (c.expected == FtpStatus::TooSlow) {
                EXPECT_GE(waited, 1.9);
                EXPECT_LT(waited, 4.5);
            } else {
                EXPECT_LT(waited, 5.0);
            }

            std::vector<FtpEntry> after;
            ASSERT_TRUE(conn->ChangeDir("/pub/a b").ok());
            FtpResult next = conn->List(after);
            EXPECT_TRUE(next.ok()) << next.text;
            EXPECT_EQ(Set(after), (EntrySet{{"file one.txt", false, 10}}));
            const auto commands = m_server->Commands();
            EXPECT_EQ(CountOf(commands, "USER "), 2);
            EXPECT_EQ(CountOf(commands, "OPTS MLST "), mlsd ? 2 : 0);
            EXPECT_EQ(CountOf(commands, "OPTS UTF8 ON"), 2);
            EXPECT_EQ(CountOf(commands, mlsd ? "MLSD /pub/a b" : "LIST /pub/a b"), 1);
        }
        m_server.reset();
    }
}

// Memory that runs out while a listing is parsed comes back as a result: an exception that
// unwound through curl's C code would end the process. Run in a child whose address space is
// capped, with the size limits lifted.
TEST_F(FtpClientTest, RunningOutOfMemoryInAListingIsAResult) {
    if (testsupport::kSanitized)
        GTEST_SKIP() << "a sanitizer's allocator ends the process instead of failing an allocation";
    ftptest::TreeBuilder(root()).Dir("endless");
    StartServer({.faults = {{"endless", PyFtpFault::EndlessList}}});
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t(256) << 20);
        const rlimit limit{cap, cap};
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(10);
        FtpLimits unlimited;
        unlimited.maxListingLineBytes = SIZE_MAX;
        unlimited.maxListingEntries = SIZE_MAX;
        auto conn = CreateFtpConnection(nullptr, unlimited);
        if (!conn->Connect("127.0.0.1", m_server->port(), "anonymous", "a@b.c").ok() ||
            !conn->ChangeDir("/endless").ok())
            _exit(11);
        FtpDirListing listing;
        FtpResult r = conn->List(listing);
        if (r.status != FtpStatus::TooLarge)
            _exit(12);
        if (r.text.find("could not be kept") == std::string::npos)
            _exit(13);
        std::vector<FtpEntry> entries;
        if (!conn->ChangeDir("/pub/a b").ok() || !conn->List(entries).ok() || entries.size() != 1)
            _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
