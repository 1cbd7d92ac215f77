// The SFTP client against OpenSSH's sshd: the same entries as FTP shows of the same tree, names
// of any bytes, the failure classes of the crawler, the host key check, stops and time-outs.
#include "platform/SftpClient.h"
#include "tests/platform/EntrySet.h"
#include "tests/support/FtpServer.h"
#include "tests/support/ssh_server.h"
#include "tests/support/vsftpd_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

namespace {

using platformtest::EntrySet;
using platformtest::Set;

class SftpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = ftptest::SshServer::Start();
        const char* home = std::getenv("HOME");
        savedHome = home ? home : "";
        setenv("HOME", server->KeyHome().c_str(), 1); // the user's own key, as a user has it
        const std::string gbk = "\xd6\xd0\xce\xc4";   // 中文 in GBK
        ftptest::TreeBuilder(server->root())
            .Apply("pub/\n"
                   "pub/huge.img\t6442450944\n"
                   "pub/small.txt\t12\n"
                   "pub/latest\t-> small.txt\n"
                   "pub/with space/\n"
                   "pub/#1 %41 ?x/\n")
            .Dir("pub/" + gbk)
            .File("pub/" + gbk + "/" + gbk + ".txt", 7);
        trustedHosts = dir.path() + "/known_hosts";
        const std::string key = server->HostKey();
        const size_t space = key.find(' ');
        ASSERT_TRUE(TrustHostKey(trustedHosts, "127.0.0.1", server->port(), key.substr(0, space),
                                 key.substr(space + 1)));
    }
    void TearDown() override { setenv("HOME", savedHome.c_str(), 1); }

    std::unique_ptr<IServerConnection> Connected() {
        auto conn = CreateSftpConnection(trustedHosts);
        const FtpResult login = conn->Connect("127.0.0.1", server->port(), server->user(), "");
        EXPECT_TRUE(login.ok()) << login.text;
        return conn;
    }

    ftptest::TempDir dir;
    std::unique_ptr<ftptest::SshServer> server;
    std::string savedHome, trustedHosts;
};

TEST_F(SftpClientTest, ListsWhatFtpListsOfTheSameTree) {
    auto vsftpd = ftptest::VsftpdServer::Start(server->root());
    auto ftp = CreateFtpConnection();
    ASSERT_TRUE(ftp->Connect("127.0.0.1", vsftpd->port(), "anonymous", "x").ok());
    auto sftp = Connected();
    for (const std::string path :
         {"/", "/pub", "/pub/\xd6\xd0\xce\xc4", "/pub/with space", "/pub/#1 %41 ?x"}) {
        std::vector<FtpEntry> overFtp, overSftp, byPath;
        ASSERT_TRUE(ftp->ChangeDir(path).ok()) << path;
        ASSERT_TRUE(ftp->List(overFtp).ok()) << path;
        ASSERT_TRUE(sftp->ChangeDir(path).ok()) << path;
        ASSERT_TRUE(sftp->List(overSftp).ok()) << path;
        FtpDirListing listing;
        ASSERT_TRUE(sftp->ListPath(path, listing).ok()) << path;
        EXPECT_EQ(Set(overSftp), Set(overFtp)) << path;
        EXPECT_EQ(Set(listing.entries), Set(overFtp)) << path;
    }
}

// A missing directory is refused and the session goes on; a lost session is Lost, and a new
// login resumes; a listing too large is given up alone; an unknown host key fails the login,
// saying what the server showed.
TEST_F(SftpClientTest, FailuresFallIntoTheCrawlersClasses) {
    auto sftp = Connected();
    EXPECT_EQ(sftp->ChangeDir("/nothing-here").status, FtpStatus::Refused);
    FtpDirListing listing;
    EXPECT_EQ(sftp->ListPath("/nothing-here", listing).status, FtpStatus::Refused);
    EXPECT_TRUE(sftp->ChangeDir("/pub").ok());

    server->DropSessions();
    EXPECT_EQ(sftp->ChangeDir("/pub/with space").status, FtpStatus::Lost);
    EXPECT_EQ(sftp->List(listing).status, FtpStatus::Lost);
    auto again = Connected();
    EXPECT_TRUE(again->ChangeDir("/pub/with space").ok());

    // A listing over the limits is given up alone: the session goes on.
    FtpLimits small;
    small.maxListingEntries = 2;
    auto limited = CreateSftpConnection(trustedHosts, nullptr, small);
    ASSERT_TRUE(limited->Connect("127.0.0.1", server->port(), server->user(), "").ok());
    EXPECT_EQ(limited->ListPath("/pub", listing).status, FtpStatus::TooLarge);
    EXPECT_TRUE(listing.entries.empty());
    EXPECT_TRUE(limited->ListPath("/pub/with space", listing).ok());

    auto stranger = CreateSftpConnection(dir.path() + "/no_known_hosts");
    const FtpResult refused = stranger->Connect("127.0.0.1", server->port(), server->user(), "");
    EXPECT_EQ(refused.status, FtpStatus::Failed);
    EXPECT_EQ(stranger->RefusedPeer().kind, PeerIdentity::Kind::HostKey);
}

// Names are taken from the server's name records, whatever bytes they hold: a line end and a
// made-up `ls -l` line inside a name make no second entry, and a directory with a line end in its
// name is listed by its path.
TEST_F(SftpClientTest, NamesComeWholeWhateverBytesTheyHold) {
    struct Case {
        std::string name;
        bool isDir;
        uint64_t size;
    };
    const Case cases[] = {
        {"evil\n-rw-r--r-- 1 0 0 999999 Jan 01 2020 injected", false, 3},
        {"cr\rname", false, 4},
        {"crlf\r\n-rw-r--r-- 1 0 0 5 Jan 01 2020 x", false, 5},
        {"dir\nwith line end", true, 0},
        {" lead", false, 1},
        {"two  blanks ", false, 2},
        {"tab\tname", false, 6},
        {"back\\slash", false, 7},
        {"a -> b", false, 8},
        {"\x1b]0;title\x07", false, 9},
        {"\xff\xfe\x80", false, 10},
    };
    const std::string odd = server->root() + "/odd";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    EntrySet expected;
    for (const Case& c : cases) {
        const std::string path = odd + "/" + c.name;
        if (c.isDir)
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        else
            std::ofstream(path, std::ios::binary) << std::string(c.size, 'x');
        expected.emplace(c.name, c.isDir, c.size);
    }
    std::ofstream(odd + "/dir\nwith line end/inner", std::ios::binary) << "12345";

    auto sftp = Connected();
    FtpDirListing listing;
    ASSERT_TRUE(sftp->ListPath("/odd", listing).ok());
    EXPECT_EQ(Set(listing.entries), expected);
    ASSERT_TRUE(sftp->CanListPath("/odd/dir\nwith line end"));
    ASSERT_TRUE(sftp->ChangeDir("/odd/dir\nwith line end").ok());
    std::vector<FtpEntry> inner;
    ASSERT_TRUE(sftp->List(inner).ok());
    EXPECT_EQ(Set(inner), (EntrySet{{"inner", false, 5}}));
}

// A server that accepts the connection and says nothing: a stop ends the wait, and without one
// the reply time-out does.
TEST(SftpClient, BlockedCallsEndAtAStopOrTheTimeOut) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const int port = ntohs(address.sin_port);
    ftptest::TempDir dir;

    struct Case {
        bool stop;
        long replyTimeoutS;
        int code;
    };
    const Case cases[] = {{true, 600, CURLE_ABORTED_BY_CALLBACK}, {false, 1, CURLE_OPERATION_TIMEDOUT}};
    for (const Case& c : cases) {
        std::atomic<bool> stop{false};
        FtpLimits limits;
        limits.replyTimeoutS = c.replyTimeoutS;
        limits.stallTimeoutS = c.replyTimeoutS;
        auto conn = CreateSftpConnection(dir.path() + "/known_hosts", &stop, limits);
        std::thread stopper([&] {
            if (c.stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                stop = true;
            }
        });
        const FtpResult result = conn->Connect("127.0.0.1", port, "user", "");
        stopper.join();
        EXPECT_EQ(result.status, FtpStatus::Lost) << result.text;
        EXPECT_EQ(result.code, c.code) << result.text;
    }
    close(listener);
}

} // namespace
