// Listings over the control connection (STAT path, many at once) against what a server may
// answer: hostile and broken replies, read as data from tests/update/data/stat_replies.txt, and
// a connection lost in the middle of a batch. Whatever comes, the stored tree is the served one.

#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace enginetest {
namespace {

struct StatCase {
    std::string name;
    std::string dir;
    bool ordinary = false; // the directory is listed the ordinary way after the answer
    bool after = false;    // later directories are still listed with STAT
    std::string reply;
};

std::string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
        }
    }
    return out;
}

std::vector<StatCase> ReadCases() {
    std::ifstream in(std::string(QUARNEL_TEST_SOURCE_DIR) + "/update/data/stat_replies.txt");
    std::vector<StatCase> cases;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        for (size_t start = 0, tab; fields.size() < 4; start = tab + 1) {
            tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos)
                break;
        }
        if (fields.size() < 4)
            continue;
        const size_t replyAt = line.find('\t', line.find(fields[3], line.find(fields[2]))) + 1;
        cases.push_back(
            {fields[0], fields[1], fields[2] == "1", fields[3] == "stat", Unescape(line.substr(replyAt))});
    }
    return cases;
}

using TreeLines = std::set<std::string>;

void StoredLines(const CFTPDir* dir, const std::string& path, TreeLines& out) {
    for (const CFTPFile* file : dir->m_files)
        out.insert(path + file->m_strName + "\t" + std::to_string(file->m_nSize));
    for (const CFTPDir* sub : dir->m_subDirs) {
        out.insert(path + sub->m_strName + "/");
        StoredLines(sub, path + sub->m_strName + "/", out);
    }
}

const TreeLines kServed = {"/a/", "/a/d/", "/a/d/f1\t1", "/a/d/f2\t2", "/a/e/",        "/a/e/g\t3",
                           "/b/", "/b/c/", "/b/c/x/",    "/b/c/x/y/",  "/b/c/x/y/h\t4"};

class StatListing : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetFtpConnectionFactory(nullptr); // the libcurl client
        ftptest::TreeBuilder(m_served.path() + "/root")
            .File("a/d/f1", 1)
            .File("a/d/f2", 2)
            .File("a/e/g", 3)
            .File("b/c/x/y/h", 4);
        // A server of LIST alone: STAT shows LIST's lines.
        m_server = ftptest::PyFtpServer::Start(m_served.path() + "/root", {.mlsd = false});
    }

    // A fresh site, updated once (and re-queued runs after a lost connection).
    CFTPSite* Crawl() {
        if (!m_sites.IsEmpty())
            m_sites.RemoveAt(0);
        std::filesystem::remove_all(SiteDataDirPath("127.0.0.1"));
        CFTPSite* site = AddSite("127.0.0.1", m_server->port());
        EXPECT_TRUE(UpdateAndWait(site));
        return site;
    }

    bool SawStatus(CFTPSite* site, const std::string& text) const {
        auto notes = m_events.StatusesOf(site);
        return std::any_of(notes.begin(), notes.end(), [&](const StatusNote& n) { return n.text == text; });
    }

    int Count(const std::string& command) const {
        const auto commands = m_server->Commands();
        return static_cast<int>(std::count(commands.begin(), commands.end(), command));
    }

    ftptest::TempDir m_served{"quarnel-served"};
    std::unique_ptr<ftptest::PyFtpServer> m_server;
};

TEST_F(StatListing, AnswersOfEveryKindStoreTheServedTree) {
    const std::vector<StatCase> cases = ReadCases();
    ASSERT_GE(cases.size(), 15u);
    for (const StatCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_server->SetFaults({{c.dir, ftptest::PyFtpFault::StatReply, 0, 1, c.reply}});
        m_server->ClearCommands();
        CFTPSite* site = Crawl();
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        TreeLines stored;
        StoredLines(site->m_pRootDir.get(), "/", stored);
        EXPECT_EQ(stored, kServed);
        EXPECT_EQ(Count("STAT " + c.dir), 1);
        EXPECT_EQ(Count("CWD " + c.dir), c.ordinary ? 1 : 0);
        EXPECT_EQ(Count("STAT /b/c/x/y"), c.after ? 1 : 0);
        EXPECT_EQ(Count("CWD /b/c/x/y"), c.after ? 0 : 1);
    }
}

// The connection that carries the STATs is dropped in the middle of a batch: the walk goes on
// with the ordinary listing, and where that connection is lost too, the run ends there and the
// re-queued run picks up at that directory, as without STAT.
TEST_F(StatListing, ALostConnectionEndsTheWalkWhereItWas) {
    m_server->SetFaults({{"/b/c", ftptest::PyFtpFault::DropList, 2}});
    CFTPSite* site = Crawl();
    EXPECT_TRUE(SawStatus(site, kStatusLostFormat + std::string(kFailureConnectionLost) + kStatusRequeued));
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    TreeLines stored;
    StoredLines(site->m_pRootDir.get(), "/", stored);
    EXPECT_EQ(stored, kServed);
    EXPECT_EQ(Count("CWD /a/d"), 1); // before the resume point: listed by the first run alone
    EXPECT_GE(Count("STAT /b/c") + Count("CWD /b/c"), 3);
}

} // namespace
} // namespace enginetest
