// The SFTP client against OpenSSH's sshd: the same entries as FTP shows of the same tree, the
// failure classes of the crawler, and the host key check.
#include "platform/SftpClient.h"
#include "tests/platform/EntrySet.h"
#include "tests/support/FtpServer.h"
#include "tests/support/ssh_server.h"
#include "tests/support/vsftpd_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
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

    std::unique_ptr<IFtpConnection> Connected() {
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
// login resumes; an unknown host key fails the login, saying what the server showed.
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

    auto stranger = CreateSftpConnection(dir.path() + "/no_known_hosts");
    const FtpResult refused = stranger->Connect("127.0.0.1", server->port(), server->user(), "");
    EXPECT_EQ(refused.status, FtpStatus::Failed);
    EXPECT_EQ(stranger->RefusedPeer().kind, PeerIdentity::Kind::HostKey);
}

} // namespace
