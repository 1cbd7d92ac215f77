// Whole updates against real servers on 127.0.0.1: pyftpdlib (with injected faults) and vsftpd.

#include "tests/support/vsftpd_server.h"
#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <chrono>

namespace enginetest {
namespace {

const std::string kGbk = "\xd6\xd0\xce\xc4\xc4\xbf\xc2\xbc"; // 中文目录 in GBK
const std::string kUtf8 = "\xe4\xb8\xad\xe6\x96\x87.txt";    // 中文.txt in UTF-8

class RealServer : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetFtpConnectionFactory(nullptr); // the libcurl client
        m_served = std::make_unique<ftptest::TempDir>("quarnel-served");
        m_root = m_served->path() + "/root";
    }

    CFTPSite* AddServedSite(int port) { return AddSite("127.0.0.1", port); }

    std::unique_ptr<ftptest::TempDir> m_served;
    std::string m_root;
};

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; }));
}

TEST_F(RealServer, PyftpdlibFirstAndSecondUpdate) {
    ftptest::TreeBuilder tree(m_root);
    tree.File("pub/a", 5);
    auto server = ftptest::PyFtpServer::Start(m_root);
    CFTPSite* site = AddServedSite(server->port());
    ASSERT_TRUE(UpdateAndWait(site));
    ASSERT_EQ(site->GetStatusText(), kStatusSucceeded);

    EXPECT_EQ(ReadBytes(SiteFile(site, "content.ct")), kPubTreeContent);
    EXPECT_EQ(ReadBytes(SiteFile(site, "state.st")), kPubTreeStateAllNew);

    FindFile(site, "/pub/a")->m_bNew = 0;
    FindDir(site, "/pub")->m_bNew = 0;
    CFTPFile* a = FindFile(site, "/pub/a");
    tree.File("pub/a", 1ull << 32) // resized past 4 GiB (a hole on disk)
        .File("pub/A", 1)
        .File("pub/" + kUtf8, 3)
        .Dir("pub/" + kGbk)
        .File("pub/" + kGbk + "/x", 2);
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_EQ(a->m_nSize, 1ull << 32);
    EXPECT_EQ(a->m_bNew, 0);
    EXPECT_EQ(FindFile(site, "/pub/A")->m_bNew, 1);
    ASSERT_NE(FindFile(site, "/pub/" + kUtf8), nullptr);
    ASSERT_NE(FindFile(site, "/pub/" + kGbk + "/x"), nullptr); // GBK bytes went out and back unchanged
    EXPECT_TRUE(m_events.Removed().empty());

    tree.Remove("pub/a").Remove("pub/" + kGbk).Dir("pub/a");
    ASSERT_TRUE(UpdateAndWait(site));
    auto removed = m_events.Removed();
    ASSERT_EQ(removed.size(), 2u);
    EXPECT_EQ(removed[0].id, a);
    EXPECT_EQ(removed[0].kind, kEntryFile);
    EXPECT_EQ(removed[1].kind, kEntryDir);
    EXPECT_EQ(removed[1].name, kGbk);
    EXPECT_EQ(FindDir(site, "/pub/a")->m_bNew, 1);
}

TEST_F(RealServer, PyftpdlibRefusedDirectoryKeepsItsEntries) {
    ftptest::TreeBuilder(m_root).File("open/f", 1).File("locked/g", 1).File("locked/in/h", 1);
    auto server = ftptest::PyFtpServer::Start(m_root);
    CFTPSite* site = AddServedSite(server->port());
    ASSERT_TRUE(UpdateAndWait(site));

    server->SetFaults({{"/locked", ftptest::PyFtpFault::RefuseCwd, 0}});
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_NE(FindFile(site, "/locked/g"), nullptr);
    EXPECT_NE(FindFile(site, "/locked/in/h"), nullptr);
    EXPECT_TRUE(m_events.Removed().empty());
}

TEST_F(RealServer, PyftpdlibDropThreeLevelsDeepResumesThere) {
    ftptest::TreeBuilder(m_root).File("a/b/early/f", 1).File("a/b/c/d/f", 1).File("z/f", 1);
    auto server = ftptest::PyFtpServer::Start(m_root);
    server->SetFaults({{"/a/b/c", ftptest::PyFtpFault::DropList, 1}});
    CFTPSite* site = AddServedSite(server->port());
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_EQ(site->m_nRetryCount, 1);
    EXPECT_NE(FindFile(site, "/a/b/c/d/f"), nullptr);
    EXPECT_NE(FindFile(site, "/z/f"), nullptr);
    // After the second login: nothing above or before /a/b/c is listed again.
    auto commands = server->Commands();
    auto second =
        std::find_if(commands.begin() + 1, commands.end(), [](auto& c) { return c.rfind("USER", 0) == 0; });
    ASSERT_NE(second, commands.end());
    std::vector<std::string> after(second + 1, commands.end());
    EXPECT_EQ(Count(after, "MLSD /a/b/early") + Count(after, "LIST /a/b/early"), 0);
    EXPECT_EQ(Count(after, "MLSD /a/b/c") + Count(after, "LIST /a/b/c"), 2); // c and c/d
    for (auto& c : after)
        EXPECT_TRUE(c.rfind("MLSD /a/b/c", 0) == 0 || c.rfind("LIST /a/b/c", 0) == 0 ||
                    c.rfind("CWD", 0) == 0 || c.rfind("OPTS", 0) == 0 || c.find("/z") != std::string::npos)
            << c;
}

TEST_F(RealServer, PyftpdlibLinkLoopsEndTheWalk) {
    ftptest::TreeBuilder(m_root).File("a/f", 1).Link("a/loop", ".").Link("a/up", "../a");
    auto server = ftptest::PyFtpServer::Start(m_root);
    CFTPSite* site = AddServedSite(server->port());
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->GetStatusText().rfind(kStatusSucceeded, 0), 0u) << site->GetStatusText();
    EXPECT_LT(Count(server->Commands(), "MLSD"), 40);
    EXPECT_NE(site->GetStatusText().find(kStatusLoopSkipped), std::string::npos);
}

// pure-ftpd stops a listing at its limit and says so in the 226 reply; MLSD and LIST alike.
TEST_F(RealServer, PyftpdlibListingCutShortRemovesNothing) {
    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        const std::string root = m_root + (mlsd ? "-mlsd" : "-list");
        ftptest::TreeBuilder tree(root);
        tree.File("big/a", 1).File("big/b", 2).File("big/c", 3).File("big/d", 4).File("big/sub/x", 5);
        ftptest::PyFtpOptions options;
        options.mlsd = mlsd;
        auto server = ftptest::PyFtpServer::Start(root, options);
        CFTPSite* site = AddServedSite(server->port());
        ASSERT_TRUE(UpdateAndWait(site));
        ASSERT_EQ(FindDir(site, "/big")->m_files.GetCount(), 4u);
        m_events.Clear();

        // What the client hands the crawler: the entries that came and the server's last words.
        server->SetFaults({{"/big", ftptest::PyFtpFault::TruncateList, 0, 2}});
        auto connection = CreateFtpConnection();
        ASSERT_TRUE(connection->Connect("127.0.0.1", server->port(), "anonymous", "a@b.c").ok());
        ASSERT_TRUE(connection->ChangeDir("/big").ok());
        FtpDirListing listing;
        ASSERT_TRUE(connection->List(listing).ok());
        EXPECT_TRUE(listing.truncated);
        EXPECT_EQ(listing.entries.size(), 2u);
        EXPECT_NE(listing.endReply.find("226 Output truncated to 2 matches"), std::string::npos)
            << listing.endReply;
        connection->Close();

        tree.Remove("big/c").File("big/e", 6);
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusTruncated);
        EXPECT_TRUE(m_events.Removed().empty());
        EXPECT_NE(FindFile(site, "/big/c"), nullptr);
        EXPECT_NE(FindFile(site, "/big/sub/x"), nullptr);

        server->SetFaults({});
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        EXPECT_EQ(FindFile(site, "/big/c"), nullptr);
        EXPECT_NE(FindFile(site, "/big/e"), nullptr);
        m_sites.RemoveAt(0);
    }
}

// Eight nested directories that each list only "x": a real tree, however much it looks like a loop.
const std::string kSameChain = "samechain/x/x/x/x/x/x/x/x";

TEST_F(RealServer, RepeatingChainIsWalkedToItsEndOnEveryServer) {
    struct Case {
        const char* name;
        bool vsftpd;
        bool mlsd;
        ftptest::PyFtpOptions::Unique unique;
    };
    const Case cases[] = {
        {"pyftpdlib MLSD", false, true, ftptest::PyFtpOptions::UniqueOn},
        {"pyftpdlib MLSD without unique", false, true, ftptest::PyFtpOptions::UniqueNone},
        {"pyftpdlib LIST", false, false, ftptest::PyFtpOptions::UniqueOn},
        {"vsftpd", true, false, ftptest::PyFtpOptions::UniqueOn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = m_root + "-" + std::to_string(&c - cases);
        ftptest::TreeBuilder(root).File(kSameChain + "/bottom.txt", 3).File("other/f", 1);
        std::unique_ptr<ftptest::PyFtpServer> pyftpd;
        std::unique_ptr<ftptest::VsftpdServer> vsftpd;
        int port = 0;
        if (c.vsftpd) {
            vsftpd = ftptest::VsftpdServer::Start(root);
            port = vsftpd->port();
        } else {
            ftptest::PyFtpOptions options;
            options.mlsd = c.mlsd;
            options.unique = c.unique;
            pyftpd = ftptest::PyFtpServer::Start(root, options);
            port = pyftpd->port();
        }
        CFTPSite* site = AddServedSite(port);
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        ASSERT_NE(FindFile(site, "/" + kSameChain + "/bottom.txt"), nullptr);
        EXPECT_EQ(FindFile(site, "/" + kSameChain + "/bottom.txt")->m_nSize, 3u);
        m_sites.RemoveAt(0);
    }
}

// Three real directories and three links back to where they stand, listed as directories.
void BuildLoopTree(const std::string& root) {
    ftptest::TreeBuilder(root)
        .File("pub/file", 1)
        .File("pub/deep/f", 2)
        .Link("a", ".")
        .Link("b", ".")
        .Link("pub/self", ".");
}

// "loop -> ." listed as a directory, on a server that gives no identity: the walk ends soon, all
// of the real tree stored, and says it left loops.
TEST_F(RealServer, PyftpdlibLoopsWithoutIdentityEndQuickly) {
    BuildLoopTree(m_root);
    ftptest::PyFtpOptions options;
    options.unique = ftptest::PyFtpOptions::UniqueNone;
    auto server = ftptest::PyFtpServer::Start(m_root, options);
    CFTPSite* site = AddServedSite(server->port());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(UpdateAndWait(site));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusLoopSkipped);
    EXPECT_NE(FindFile(site, "/pub/file"), nullptr);
    EXPECT_NE(FindFile(site, "/pub/deep/f"), nullptr);
    // Three real directories, three loops of fifteen repeats, and the budget for what repeats
    // off those chains.
    const int listings = Count(server->Commands(), "MLSD");
    EXPECT_LE(listings, 3 + 3 * 15 + 64);
    RecordProperty("listings", listings);
    RecordProperty("seconds", std::to_string(seconds));
}

// pyftpdlib offers the unique fact switched off: the client turns it on, and each loop costs one
// listing.
TEST_F(RealServer, PyftpdlibUniqueFactIsAskedForAndEndsLoopsAtOnce) {
    BuildLoopTree(m_root);
    ftptest::PyFtpOptions options;
    options.unique = ftptest::PyFtpOptions::UniqueOff;
    auto server = ftptest::PyFtpServer::Start(m_root, options);
    CFTPSite* site = AddServedSite(server->port());
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusLoopSkipped);
    auto commands = server->Commands();
    EXPECT_EQ(Count(commands, "OPTS MLST type;size;unique;"), 1);
    EXPECT_EQ(Count(commands, "MLSD"), 6); // "/", pub, pub/deep, and one for each link
    EXPECT_NE(FindFile(site, "/pub/deep/f"), nullptr);
}

TEST_F(RealServer, VsftpdNamesByteForByteAndLinksNotFollowed) {
    ftptest::TreeBuilder(m_root)
        .File("pub/" + kGbk + "/x", 7)
        .File("pub/" + kUtf8, 3)
        .File("pub/with space.txt", 1)
        .Link("pub/loop", ".")
        .File("pub/big.iso", 5ull << 30);
    auto server = ftptest::VsftpdServer::Start(m_root);
    CFTPSite* site = AddServedSite(server->port());
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    ASSERT_NE(FindFile(site, "/pub/" + kGbk + "/x"), nullptr);
    EXPECT_EQ(FindFile(site, "/pub/" + kGbk + "/x")->m_nSize, 7u);
    EXPECT_NE(FindFile(site, "/pub/" + kUtf8), nullptr);
    EXPECT_NE(FindFile(site, "/pub/with space.txt"), nullptr);
    EXPECT_EQ(FindFile(site, "/pub/big.iso")->m_nSize, 5ull << 30);
    EXPECT_NE(FindFile(site, "/pub/loop"), nullptr); // a link is a file unless listed as a directory
    EXPECT_EQ(FindDir(site, "/pub/loop"), nullptr);
}

TEST_F(RealServer, RefusedLoginFailsWithTheServersReply) {
    ftptest::TreeBuilder(m_root).Dir("pub");
    auto server = ftptest::PyFtpServer::Start(m_root);
    CFTPSite* site = AddServedSite(server->port());
    site->m_strUser = "user";
    site->m_strPassword = "wrong";
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
    EXPECT_EQ(site->GetStatusText().rfind(kStatusFailedPrefix, 0), 0u);
    EXPECT_NE(site->GetStatusText().find("530"), std::string::npos) << site->GetStatusText();
    EXPECT_EQ(site->m_nRetryCount, 0);
}

} // namespace
} // namespace enginetest
