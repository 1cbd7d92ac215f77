// Walks that list by path and over several connections store what a walk that changes to every
// directory over one connection stores, byte for byte, on real servers: pyftpdlib (MLSD and LIST,
// with faults) and vsftpd. What a refusal means stays as it was: a directory that cannot be
// entered keeps what is stored, one that cannot be listed is emptied.

#include "model/SiteSettings.h"
#include "tests/support/inetd_server.h"
#include "tests/support/vsftpd_server.h"
#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>

namespace enginetest {
namespace {

using ftptest::PyFtpFault;

const std::string kGbk = "\xd6\xd0\xce\xc4"; // 中文 in GBK

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; }));
}

// The libcurl client as it was before listings by path: every directory is changed to first.
class ChangingDirectoryFirst : public IServerConnection {
public:
    explicit ChangingDirectoryFirst(std::unique_ptr<IServerConnection> inner) : m_inner(std::move(inner)) {}
    FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                      const std::string& password) override {
        return m_inner->Connect(host, port, user, password);
    }
    FtpResult ChangeDir(const std::string& path) override { return m_inner->ChangeDir(path); }
    using IServerConnection::List;
    FtpResult List(FtpDirListing& listing) override { return m_inner->List(listing); }
    bool OffersUtf8() const override { return m_inner->OffersUtf8(); }
    FtpResult EnableUtf8() override { return m_inner->EnableUtf8(); }
    std::string LastReply() const override { return m_inner->LastReply(); }
    void Close() override { m_inner->Close(); }

private:
    std::unique_ptr<IServerConnection> m_inner;
};

// A client whose listings by path are all refused with `reply`, as a server that lists only in
// place would: the walk must change to each directory and go by that listing.
class PathsRefused : public ChangingDirectoryFirst {
public:
    PathsRefused(std::unique_ptr<IServerConnection> inner, int reply)
        : ChangingDirectoryFirst(std::move(inner)), m_reply(reply) {}
    bool CanListPath(const std::string&) const override { return true; }
    FtpResult ListPath(const std::string&, FtpDirListing& listing) override {
        listing = FtpDirListing();
        return {FtpStatus::Refused, 19, std::to_string(m_reply) + " Not now.", m_reply, 0};
    }

private:
    int m_reply;
};

// How a crawl is made.
struct Walk {
    bool byPath = true;
    int connections = 1;
    int pathRefusal = 0; // every listing by path refused with this reply; 0: none
};

class CrawlComparison : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m_served = std::make_unique<ftptest::TempDir>("quarnel-served");
        m_root = m_served->path() + "/root";
    }

    static void UseWalk(const Walk& walk) {
        SetFtpConnectionFactory([walk](const std::atomic<bool>* stop) -> std::unique_ptr<IServerConnection> {
            auto connection = CreateFtpConnection(stop);
            if (walk.pathRefusal)
                return std::make_unique<PathsRefused>(std::move(connection), walk.pathRefusal);
            if (walk.byPath)
                return connection;
            return std::make_unique<ChangingDirectoryFirst>(std::move(connection));
        });
    }

    // Updates a fresh anonymous site on 127.0.0.1:port `rounds` times, calling `before(round)`
    // ahead of each, and returns content.ct and state.st as the last one wrote them. The site
    // stays in m_sites until the next call.
    std::string Crawl(int port, const Walk& walk, int rounds, const std::function<void(int)>& before) {
        UseWalk(walk);
        if (!m_sites.IsEmpty())
            m_sites.RemoveAt(0);
        std::filesystem::remove_all(SiteDataDirPath("127.0.0.1"));
        CFTPSite* site = AddSite("127.0.0.1", port);
        if (walk.connections != kDefaultSiteConnections) {
            CSiteSettings settings;
            settings.m_nConnections = walk.connections;
            site->SetSettings(settings);
        }
        for (int round = 0; round < rounds; ++round) {
            before(round);
            EXPECT_TRUE(UpdateAndWait(site));
        }
        return ReadBytes(SiteFile(site, "content.ct")) + "|" + ReadBytes(SiteFile(site, "state.st"));
    }

    CFTPSite* Site() { return m_sites.GetAt(0); }

    std::unique_ptr<ftptest::TempDir> m_served;
    std::string m_root;
};

// Names that need care in a command's argument, names a server could take for patterns (listed
// by changing there), an empty directory and one whose only entry has its name; names a listing
// over the control connection cannot carry.
void BuildOddTree(const std::string& root) {
    ftptest::TreeBuilder(root)
        .File("pub/a b/f", 1)
        .File("pub/ lead/f", 2)
        .File("pub/trail /f", 3)
        .File("pub/#hash/f", 4)
        .File("pub/100%/f", 5)
        .File("pub/" + kGbk + "/f", 6)
        .File("pub/-dash/f", 7)
        .File("pub/star*/f", 8)
        .File("pub/br[1]/f", 9)
        .File("pub/x/x", 10)
        .Dir("pub/empty")
        .File("locked/kept", 11)
        .File("nolist/gone", 12)
        .File("busy/gone", 13)
        // Names that LIST hides and STAT shows (vsftpd), a CR alone, a link whose target ends a
        // reply on the control connection.
        .File("dots/.hidden", 14)
        .File("dots/seen", 15)
        .File("odd/cr\rname", 16)
        .Link("odd/link", "tgt\r\n213 End of status.")
        .File("odd/z", 17);
}

// The second round: /locked can be neither entered nor listed, /nolist entered but not listed
// (550: emptied), /busy answers 450 (not now: kept); /locked/kept and /nolist/gone are no longer
// on disk either.
TEST_F(CrawlComparison, ListingByPathStoresWhatChangingDirectoryStores) {
    struct Case {
        const char* name;
        bool vsftpd;
        bool mlsd;
    };
    for (const Case& c : {Case{"pyftpdlib MLSD", false, true}, Case{"pyftpdlib LIST", false, false},
                          Case{"vsftpd", true, false}}) {
        SCOPED_TRACE(c.name);
        const std::string root = m_root + "-" + c.name;
        std::map<bool, std::string> stored;
        for (bool byPath : {false, true}) {
            SCOPED_TRACE(byPath ? "by path" : "changing directory");
            std::filesystem::remove_all(root);
            BuildOddTree(root);
            std::unique_ptr<ftptest::PyFtpServer> pyftpd;
            std::unique_ptr<ftptest::VsftpdServer> vsftpd;
            if (c.vsftpd)
                vsftpd = ftptest::VsftpdServer::Start(root);
            else
                pyftpd = ftptest::PyFtpServer::Start(root, {.mlsd = c.mlsd});
            const int port = c.vsftpd ? vsftpd->port() : pyftpd->port();
            stored[byPath] = Crawl(port, {byPath, 1}, 2, [&](int round) {
                if (round == 0)
                    return;
                ftptest::TreeBuilder(root).Remove("locked/kept").Remove("nolist/gone");
                if (c.vsftpd) { // vsftpd serves as "ftp"
                    ::chmod((root + "/locked").c_str(), 0700);
                    ::chmod((root + "/nolist").c_str(), 0711);
                    return;
                }
                pyftpd->SetFaults({{"/locked", PyFtpFault::RefuseCwd},
                                   {"/locked", PyFtpFault::RefuseList},
                                   {"/nolist", PyFtpFault::RefuseList},
                                   {"/busy", PyFtpFault::BusyList}});
                pyftpd->ClearCommands();
            });
            // /odd's link ends a LIST line inside its target: that listing fails both ways.
            EXPECT_EQ(Site()->GetStatusText(), std::string(kStatusSucceeded) +
                                                   (c.mlsd ? "" : kStatusListingFailed) +
                                                   (c.vsftpd ? "" : kStatusListingBusy));
            EXPECT_NE(FindFile(Site(), "/locked/kept"), nullptr);
            EXPECT_EQ(FindFile(Site(), "/nolist/gone"), nullptr);
            EXPECT_NE(FindFile(Site(), "/pub/" + kGbk + "/f"), nullptr);
            EXPECT_NE(FindFile(Site(), "/pub/x/x"), nullptr);
            if (pyftpd) {
                EXPECT_NE(FindFile(Site(), "/busy/gone"), nullptr); // 450: not now, kept
                const auto commands = pyftpd->Commands();
                EXPECT_EQ(Count(commands, "CWD /pub/ lead"), byPath && c.mlsd ? 0 : 1); // LIST after CWD
                EXPECT_EQ(Count(commands, "CWD /pub/star*"), 1);
                EXPECT_EQ(Count(commands, "CWD /locked"), 1);
            }
        }
        EXPECT_EQ(stored[true], stored[false]);
    }
}

// A tree as "path/" for directories and "path<TAB>size" for files, in one sorted set.
using TreeLines = std::set<std::string>;

void StoredLines(const CFTPDir* dir, const std::string& path, TreeLines& out) {
    for (const CFTPFile* file : dir->m_files)
        out.insert(path + file->m_strName + "\t" + std::to_string(file->m_nSize));
    for (const CFTPDir* sub : dir->m_subDirs) {
        out.insert(path + sub->m_strName + "/");
        StoredLines(sub, path + sub->m_strName + "/", out);
    }
}

// What the server serves from `root`. A directory whose name cannot be sent in a command (CR,
// LF) is listed by its parent but cannot be changed to: its contents stay unknown.
void ServedLines(const std::string& root, const std::string& path, TreeLines& out) {
    for (const auto& entry : std::filesystem::directory_iterator(root + "/" + path)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory()) {
            out.insert(path + name + "/");
            if (name.find_first_of("\r\n") == std::string::npos)
                ServedLines(root, path + name + "/", out);
        } else {
            out.insert(path + name + "\t" + std::to_string(entry.file_size()));
        }
    }
}

// Names that LIST servers split or misread in an argument, a leading blank, two blanks, a CR
// alone inside a name; each directory holds a file of its own, so a listing of the wrong
// directory shows.
void BuildSplitTree(const std::string& root) {
    ftptest::TreeBuilder(root)
        .File("split/a/in-a", 1)
        .File("split/a b/in-ab", 2)
        .File("split/c/in-c", 3)
        .File("split/c d e/in-cde", 4)
        .File("split/ lead/in-lead", 5)
        .File("split/two  blanks/in-two", 6)
        .File("split/trail /in-trail", 7)
        .File("split/-l/in-dash", 8)
        .File("split/cr\rname", 9)
        .File("split/cr\rdir/in-crdir", 10)
        .File(" lead/x", 11)
        .File("lead", 12);
}

// On every server, listing by path or not, over one connection or four: the stored tree is the
// served one.
TEST_F(CrawlComparison, StoredTreeIsTheServedTreeOnEveryServer) {
    enum Kind { PyMlsd, PyList, Vsftpd, Inetutils, Bsd, PathsRefused550, PathsRefused450 };
    struct Server {
        const char* name;
        Kind kind;
    };
    const Server servers[] = {{"pyftpdlib MLSD", PyMlsd},
                              {"pyftpdlib LIST", PyList},
                              {"vsftpd", Vsftpd},
                              {"inetutils ftpd", Inetutils},
                              {"BSD ftpd", Bsd},
                              {"paths refused 550", PathsRefused550},
                              {"paths refused 450", PathsRefused450}};
    for (const Server& server : servers) {
        SCOPED_TRACE(server.name);
        const auto inetd = server.kind == Inetutils ? ftptest::InetdFtpd::Inetutils : ftptest::InetdFtpd::Bsd;
        if ((server.kind == Inetutils || server.kind == Bsd) &&
            ftptest::InetdFtpServer::ProgramPath(inetd).empty()) {
            ADD_FAILURE() << server.name << " is not unpacked: run scripts/install-deps test";
            continue;
        }
        const std::string root = m_root + "-" + std::to_string(server.kind);
        BuildSplitTree(root);
        std::unique_ptr<ftptest::PyFtpServer> pyftpd;
        std::unique_ptr<ftptest::VsftpdServer> vsftpd;
        std::unique_ptr<ftptest::InetdFtpServer> inetdServer;
        int port = 0;
        if (server.kind == Vsftpd) {
            vsftpd = ftptest::VsftpdServer::Start(root);
            port = vsftpd->port();
        } else if (server.kind == Inetutils || server.kind == Bsd) {
            inetdServer = ftptest::InetdFtpServer::Start(inetd, root);
            port = inetdServer->port();
        } else {
            pyftpd = ftptest::PyFtpServer::Start(root, {.mlsd = server.kind != PyList});
            port = pyftpd->port();
        }
        TreeLines served;
        ServedLines(root, "/", served);
        for (int connections : {1, 4}) {
            SCOPED_TRACE(connections);
            const int refusal = server.kind == PathsRefused550   ? 550
                                : server.kind == PathsRefused450 ? 450
                                                                 : 0;
            Crawl(port, {true, connections, refusal}, 1, [](int) {});
            EXPECT_EQ(Site()->GetStatusText(), kStatusSucceeded);
            TreeLines stored;
            StoredLines(Site()->m_pRootDir.get(), "/", stored);
            EXPECT_EQ(stored, served);
        }
        if (vsftpd) { // LIST never carries a path; STAT does
            for (const std::string& command : vsftpd->Commands())
                EXPECT_TRUE(command.rfind("LIST", 0) != 0 || command == "LIST") << command;
            EXPECT_GT(Count(vsftpd->Commands(), "STAT /split/"), 0);
        }
        if (pyftpd) { // listed over the control connection where LIST is what STAT shows
            EXPECT_EQ(Count(pyftpd->Commands(), "STAT /split/") > 0, server.kind == PyList);
        }
        if (inetdServer) {
            EXPECT_EQ(inetdServer->Errors(), "");
        }
    }
}

// A tree of 61 directories over four connections, then again after changes and with a refused
// directory: what is stored does not depend on which connection listed what, or when.
TEST_F(CrawlComparison, FourConnectionsStoreWhatOneStores) {
    const auto build = [this] {
        std::filesystem::remove_all(m_root);
        ftptest::TreeBuilder tree(m_root);
        for (int top = 0; top < 6; ++top)
            for (int sub = 0; sub < 9; ++sub)
                for (int file = 0; file < 3; ++file)
                    tree.File("t" + std::to_string(top) + "/" + (sub % 3 ? "s" : kGbk) + std::to_string(sub) +
                                  "/f" + std::to_string(file),
                              static_cast<uint64_t>(top * 100 + sub * 10 + file));
        tree.File("pub/star*/f", 1).File("locked/kept", 2);
    };
    for (bool vsftpd : {false, true}) {
        SCOPED_TRACE(vsftpd ? "vsftpd" : "pyftpdlib");
        std::map<int, std::string> stored;
        for (int connections : {1, 4}) {
            SCOPED_TRACE(connections);
            build();
            std::unique_ptr<ftptest::PyFtpServer> pyftpd;
            std::unique_ptr<ftptest::VsftpdServer> vsftpdServer;
            if (vsftpd)
                vsftpdServer = ftptest::VsftpdServer::Start(m_root);
            else
                pyftpd = ftptest::PyFtpServer::Start(m_root);
            const int port = vsftpd ? vsftpdServer->port() : pyftpd->port();
            stored[connections] = Crawl(port, {true, connections}, 2, [&](int round) {
                if (round == 0)
                    return;
                ftptest::TreeBuilder(m_root)
                    .Remove("t0/s1/f0")
                    .File("t1/s2/f9", 9)
                    .Remove("t4")
                    .Dir("t3/new");
                if (vsftpd)
                    ::chmod((m_root + "/locked").c_str(), 0700);
                else
                    pyftpd->SetFaults(
                        {{"/locked", PyFtpFault::RefuseCwd}, {"/locked", PyFtpFault::RefuseList}});
            });
            EXPECT_EQ(Site()->GetStatusText(), kStatusSucceeded);
            EXPECT_EQ(Site()->m_nRetryCount, 0);
            EXPECT_NE(FindFile(Site(), "/locked/kept"), nullptr);
            if (pyftpd) {
                const int logins = Count(pyftpd->Commands(), "USER ");
                if (connections == 1)
                    EXPECT_EQ(logins, 2);
                else
                    EXPECT_GT(logins, 2); // the helpers log in while the walk goes on
            }
        }
        EXPECT_EQ(stored[4], stored[1]);
        EXPECT_GT(stored[1].size(), 1000u);
    }
}

// Extra connections a server refuses (421 at the greeting) leave the walk to those it took, with
// nothing said; a connection lost in a listing gives the directory to another one. A directory
// that costs two connections ends the walk as lost there, and the site's re-queue finishes it.
TEST_F(CrawlComparison, RefusedAndLostExtraConnections) {
    ftptest::TreeBuilder tree(m_root);
    for (int top = 0; top < 4; ++top)
        for (int sub = 0; sub < 5; ++sub)
            tree.File("t" + std::to_string(top) + "/s" + std::to_string(sub) + "/f", 1);
    std::string expected;
    {
        auto server = ftptest::PyFtpServer::Start(m_root);
        expected = Crawl(server->port(), {true, 1}, 1, [](int) {});
    }
    struct Case {
        const char* what;
        int maxConnections; // per address; 0: no limit
        PyFtpFault::Action action;
        int times; // of the fault on /t2/s3; 0: no fault
        int retries;
    };
    const Case cases[] = {
        {"one connection taken of four", 1, PyFtpFault::DropList, 0, 0},
        {"two taken of four", 2, PyFtpFault::DropList, 0, 0},
        {"one listing dropped", 0, PyFtpFault::DropList, 1, 0},
        {"one listing answered 421", 0, PyFtpFault::Close421List, 1, 0},
        {"two listings dropped", 0, PyFtpFault::DropList, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ftptest::PyFtpOptions options;
        options.maxConnectionsPerIp = c.maxConnections;
        if (c.times > 0)
            options.faults = {{"/t2/s3", c.action, c.times}};
        auto server = ftptest::PyFtpServer::Start(m_root, options);
        const std::string stored = Crawl(server->port(), {true, 4}, 1, [](int) {});
        EXPECT_EQ(Site()->GetStatusText(), kStatusSucceeded);
        EXPECT_EQ(Site()->m_nRetryCount, c.retries);
        EXPECT_EQ(stored, expected);
        if (c.times > 0) {
            const auto commands = server->Commands();
            EXPECT_GE(Count(commands, "MLSD /t2/s3"), c.times + 1);
        }
    }
}

// connections=N in site.conf: 1 to 4; anything else reads as 1 and is not written back.
TEST(SiteConnectionsSetting, ReadsOneToFourAndFallsBackOtherwise) {
    struct Case {
        const char* line;
        int connections;
    };
    const Case cases[] = {{"connections=4\n", 4},  {"connections = 2 \r\n", 2}, {"connections=1\n", 1},
                          {"connections=0\n", 1},  {"connections=5\n", 1},      {"connections=-3\n", 1},
                          {"connections=04\n", 1}, {"connections=many\n", 1},   {"encoding=gbk\n", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        CSiteSettings settings;
        ASSERT_TRUE(ParseSiteSettings(c.line, settings));
        EXPECT_EQ(settings.m_nConnections, c.connections);
        EXPECT_EQ(FormatSiteSettings(settings).find("connections=") != std::string::npos, c.connections != 1);
        EXPECT_TRUE(settings.m_otherLines.empty());
    }
    CSiteSettings three;
    three.m_nConnections = 3;
    EXPECT_FALSE(three.IsDefault());
    CSiteSettings read;
    ASSERT_TRUE(ParseSiteSettings(FormatSiteSettings(three), read));
    EXPECT_EQ(read.m_nConnections, 3);
}

} // namespace
} // namespace enginetest

namespace enginetest {
namespace {

// A site set to explicit TLS whose server refuses AUTH: the program says the server does not
// offer TLS, then what the server answered (vsftpd's 530 alone reads like a wrong password).
TEST_F(CrawlComparison, ServerRefusingTlsIsSaidSoBeforeItsReply) {
    ftptest::TreeBuilder(m_root).File("pub/f", 1);
    auto vsftpd = ftptest::VsftpdServer::Start(m_root);
    auto pyftpd = ftptest::PyFtpServer::Start(m_root);
    struct Case {
        const char* server;
        int port;
        const char* reply;
    };
    const Case cases[] = {{"vsftpd", vsftpd->port(), "530 Please login with USER and PASS."},
                          {"pyftpdlib", pyftpd->port(), "500 Command \"AUTH\" not understood."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        SetFtpConnectionFactory(nullptr); // the real client, with the site's security
        if (!m_sites.IsEmpty())
            m_sites.RemoveAt(0);
        CFTPSite* site = AddSite("127.0.0.1", c.port);
        CSiteSettings settings;
        settings.SetProtocol(SiteProtocol::FtpExplicitTls);
        site->SetSettings(settings);
        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
        EXPECT_EQ(site->GetStatusText(),
                  std::string(kStatusFailedPrefix) + kFailureTlsNotOffered + "\n" + c.reply);
    }
}

} // namespace
} // namespace enginetest
