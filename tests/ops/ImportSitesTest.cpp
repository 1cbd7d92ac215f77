#include "model/SiteListFile.h"
#include "ops/ImportLine.h"
#include "ops/QuarnelDoc.h"
#include "platform/TextCodec.h"
#include "tests/ops/CatalogueBuilder.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LineCase {
    const char* line;
    bool takes;
    const char* host;
    const char* user;
    const char* password;
    int32_t port;
};

const std::string kAnon = kAnonymousPassword;

TEST(ImportLine, GrammarTable) {
    const LineCase cases[] = {
        {"srv", true, "srv", "anonymous", kAnonymousPassword, 21},
        {"ftp://srv:2121", true, "srv", "anonymous", kAnonymousPassword, 2121},
        {"srv:", true, "srv", "anonymous", kAnonymousPassword, 0},
        {"srv:21/pub", true, "srv", "anonymous", kAnonymousPassword, 21},
        {"srv/pub", true, "srv/pub", "anonymous", kAnonymousPassword, 21},
        {"bob:secret@host:990", true, "host", "bob", "secret", 990},
        {"name@host", true, "host", "", "name", 21},
        {"bob:p@ss@host", true, "host", "bob", "p@ss", 21}, // split at the last "@"
        {"a:b:c@host", true, "host", "a:b", "c", 21},       // user before the last ":"
        {"FTP://srv", true, "FTP", "anonymous", kAnonymousPassword, 0},
        {"  \tsrv:21  \r", true, "srv", "anonymous", kAnonymousPassword, 21},
        {"   ", true, "", "anonymous", kAnonymousPassword, 21}, // blanks are trimmed after the test
        {"", false, "", "", "", 0},
        {"srv: +42x", true, "srv", "anonymous", kAnonymousPassword, 42},
        {"srv:-5", true, "srv", "anonymous", kAnonymousPassword, -5},
        {"srv:99999999999999999999", true, "srv", "anonymous", kAnonymousPassword, 2147483647},
        {"srv:abc", true, "srv", "anonymous", kAnonymousPassword, 0},
        {"@host", true, "host", "", "", 21},
        {"ftp://u:p@h:1:2", true, "h", "u", "p", 1},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        ImportedSite site;
        ASSERT_EQ(ParseImportLine(c.line, site), c.takes);
        if (!c.takes)
            continue;
        EXPECT_EQ(site.host, c.host);
        EXPECT_EQ(site.user, c.user);
        EXPECT_EQ(site.password, c.password);
        EXPECT_EQ(site.port, c.port);
    }
}

class ImportSitesTest : public ::testing::Test {
protected:
    std::string WriteFile(const std::string& name, const std::string& content) {
        const std::string path = m_dir.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    // The hosts site.ds holds now.
    std::vector<std::string> Reload() {
        CObList<CFTPSite> list;
        EXPECT_EQ(LoadSiteList(SiteListPath(), list).outcome, SiteListLoadResult::Ok);
        std::vector<std::string> hosts;
        for (const CFTPSite* site : list)
            hosts.push_back(site->m_strHost);
        return hosts;
    }

    opstest::ProgramDir m_dir;
    CQuarnelDoc m_doc;
};

TEST_F(ImportSitesTest, AppendsNewLinesSkipsDuplicatesAndWritesTheList) {
    opstest::AddSite(m_doc.m_siteList, "old", "bob", "x");
    const std::string path = WriteFile(
        "sites.txt", "srv\r\n\r\nbob:other@old\nsrv:2121\nuser:pw@srv\nlast:7"); // no final line end
    ImportResult result = m_doc.ImportSites(path);
    EXPECT_EQ(result.status, OpStatus::Done);
    EXPECT_EQ(result.added, 3u);
    EXPECT_TRUE(result.listSaved);
    ASSERT_EQ(m_doc.m_siteList.GetCount(), 4u);
    EXPECT_EQ(m_doc.m_siteList.GetAt(1)->m_strHost, "srv");
    EXPECT_EQ(m_doc.m_siteList.GetAt(1)->m_nLoadState,
              TreeLoadState::NotLoaded); // read from disk on first use
    EXPECT_EQ(m_doc.m_siteList.GetAt(2)->GetKey(), "srv@user");
    EXPECT_EQ(m_doc.m_siteList.GetAt(3)->m_nPort, 7);

    EXPECT_EQ(Reload(), (std::vector<std::string>{"old", "srv", "srv", "last"}));

    // The same file again adds nothing, but the list is written all the same.
    std::remove(SiteListPath().c_str());
    result = m_doc.ImportSites(path);
    EXPECT_EQ(result.added, 0u);
    EXPECT_EQ(Reload().size(), 4u);
}

// Lines whose host cannot name a site (add refuses the same hosts) are skipped and counted by
// their reason; the lines around them still count.
TEST_F(ImportSitesTest, LinesWhoseHostCannotNameASiteAreSkippedByReason) {
    const std::string longHost(256, 'h');
    const struct {
        std::string line;
        std::size_t ImportResult::*reason; // null: the line adds a site
    } cases[] = {
        {"fine.example", nullptr},
        {"   ", &ImportResult::emptyHosts}, // blanks only: empty once trimmed
        {"user:pw@", &ImportResult::emptyHosts},
        {"user:pw@:21", &ImportResult::emptyHosts},
        {std::string("\0\0\0", 3), &ImportResult::badHosts},
        {std::string("cut\0short", 9), &ImportResult::badHosts},
        {"\x1b[31mred", &ImportResult::badHosts},
        {"a\x01"
         "b",
         &ImportResult::badHosts},
        {"mid dle", &ImportResult::badHosts},
        {"nb\xC2\xA0sp", &ImportResult::badHosts}, // U+00A0 in a UTF-8 file
        {"ideo\xE3\x80\x80sp", &ImportResult::badHosts},
        {"c1\xC2\x85", &ImportResult::badHosts},
        {"del\x7F", &ImportResult::badHosts},
        {longHost, &ImportResult::longKeys},
        {"bob:pw@" + std::string(252, 'h'), &ImportResult::longKeys}, // "hh...h@bob": 256 bytes
        {"bob:pw@" + std::string(251, 'g'), nullptr},                 // 255 bytes
        {std::string(255, 'k'), nullptr},                             // an anonymous key of 255 bytes
        {"文件.example", nullptr},
    };
    std::string file;
    ImportResult expected;
    std::vector<std::string> hosts;
    for (const auto& c : cases) {
        file += c.line + "\n";
        if (c.reason) {
            ++(expected.*c.reason);
        } else {
            ImportedSite parsed;
            ASSERT_TRUE(ParseImportLine(c.line, parsed));
            hosts.push_back(Utf8ToNarrow(parsed.host));
        }
    }
    const ImportResult result = m_doc.ImportSites(WriteFile("bad.txt", file));
    EXPECT_TRUE(result.listSaved);
    EXPECT_EQ(result.added, hosts.size());
    EXPECT_EQ(result.emptyHosts, expected.emptyHosts);
    EXPECT_EQ(result.badHosts, expected.badHosts);
    EXPECT_EQ(result.longKeys, expected.longKeys);
    EXPECT_EQ(Reload(), hosts);
}

TEST_F(ImportSitesTest, AFileThatCannotBeOpenedChangesNothing) {
    const ImportResult missing = m_doc.ImportSites(m_dir.path() + "/nope.txt");
    EXPECT_EQ(missing.status, OpStatus::Refused);
    EXPECT_EQ(missing.message, "无法打开所选文件！");
    const ImportResult directory = m_doc.ImportSites(m_dir.path());
    EXPECT_EQ(directory.status, OpStatus::Refused);
    EXPECT_TRUE(m_doc.m_siteList.IsEmpty());
    std::ifstream siteList(SiteListPath());
    EXPECT_FALSE(siteList.good()); // not written
}

// Only a regular file of a sane size is read: /dev/zero would fill the memory, a FIFO would wait
// for a writer for ever. Each is refused at once with what is wrong, and nothing changes.
TEST_F(ImportSitesTest, OnlyARegularFileOfASaneSizeIsRead) {
    const std::string fifo = m_dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = m_dir.path() + "/huge.txt";
    {
        std::ofstream(huge) << "srv\n";
        std::filesystem::resize_file(huge, 64ull * 1024 * 1024 + 1); // a hole: costs no disk
    }
    struct Refusal {
        std::string path;
        const char* message;
    };
    const Refusal refusals[] = {
        {m_dir.path() + "/nope.txt", "无法打开所选文件！"},
        {m_dir.path(), "所选文件不是普通文件，无法导入！"},
        {"/dev/zero", "所选文件不是普通文件，无法导入！"},
        {fifo, "所选文件不是普通文件，无法导入！"},
        {huge, "所选文件太大（超过 64 MiB），无法导入！"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.path);
        // In a child process of bounded time and memory, so that a read without end fails the
        // test instead of taking the machine's memory or hanging the suite.
        auto importInChild = [&] {
            const rlimit memory{1ull << 30, 1ull << 30};
            setrlimit(RLIMIT_AS, &memory);
            alarm(10);
            const ImportResult result = m_doc.ImportSites(refusal.path);
            std::fprintf(stderr, "%s\n", result.message.c_str());
            const bool refused = result.status == OpStatus::Refused && result.message == refusal.message &&
                                 !result.listSaved && m_doc.m_siteList.IsEmpty();
            std::_Exit(refused ? 0 : 1);
        };
        EXPECT_EXIT(importInChild(), ::testing::ExitedWithCode(0), "");
    }
    EXPECT_TRUE(m_doc.m_siteList.IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(SiteListPath()));
}

// Many lines into many sites, with repeats inside the file and of the list: the first site with a
// (host, user) pair wins, whatever port or password the later lines give; the order is kept.
TEST_F(ImportSitesTest, TheFirstSiteOfAHostAndUserWinsOverAnyNumberOfLines) {
    constexpr int kListed = 5000, kLines = 20000;
    std::set<std::pair<std::string, std::string>> seen;
    std::vector<std::string> expected; // keys in list order
    for (int i = 0; i < kListed; i += 1) {
        const std::string host = "h" + std::to_string(i * 3);
        opstest::AddSite(m_doc.m_siteList, host, "u", "listed", 1);
        seen.insert({host, "u"});
        expected.push_back(host + "@u");
    }
    std::string file;
    std::map<std::string, std::string> firstPassword;
    for (int i = 0; i < kLines; ++i) {
        // Hosts repeat every 7,000 lines and meet the listed ones every third number; the user
        // alternates between "u" and anonymous, passwords and ports differ on every line.
        const std::string host = "h" + std::to_string(i % 7000);
        const bool anonymous = (i / 7000) % 2 == 1;
        const std::string user = anonymous ? kAnonymousUser : "u";
        file += (anonymous ? "" : "u:p" + std::to_string(i) + "@") + host + ":" + std::to_string(i % 60000) +
                "\n";
        if (seen.insert({host, user}).second) {
            const std::string key = anonymous ? host : host + "@u";
            expected.push_back(key);
            firstPassword[key] = anonymous ? kAnonymousPassword : "p" + std::to_string(i);
        }
    }
    const ImportResult result = m_doc.ImportSites(WriteFile("many.txt", file));
    EXPECT_EQ(result.added, expected.size() - kListed);
    ASSERT_EQ(m_doc.m_siteList.GetCount(), expected.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const CFTPSite* site = m_doc.m_siteList.GetAt(i);
        const auto first = firstPassword.find(expected[i]);
        const std::string password = first == firstPassword.end() ? "listed" : first->second;
        mismatches += site->GetKey() != expected[i] || site->m_strPassword != password;
    }
    EXPECT_EQ(mismatches, 0u);
}

// A UTF-8 file is compared after its fields are turned into the stored GB18030: a site typed
// in the window is found again by its Chinese host and user.
TEST_F(ImportSitesTest, DuplicatesAreFoundAfterTheConversionOfAUtf8File) {
    opstest::AddSite(m_doc.m_siteList, Utf8ToNarrow("镜像站"));
    opstest::AddSite(m_doc.m_siteList, Utf8ToNarrow("镜像站"), Utf8ToNarrow("用户"), "x");
    const ImportResult result = m_doc.ImportSites(
        WriteFile("utf8.txt", "镜像站\n用户:新密码@镜像站:2121\n其他:密码@镜像站\n其他:又一个@镜像站\n"));
    EXPECT_EQ(result.added, 1u);
    ASSERT_EQ(m_doc.m_siteList.GetCount(), 3u);
    EXPECT_EQ(m_doc.m_siteList.GetAt(2)->m_strUser, Utf8ToNarrow("其他"));
    EXPECT_EQ(m_doc.m_siteList.GetAt(2)->m_strPassword, Utf8ToNarrow("密码"));
}

} // namespace
