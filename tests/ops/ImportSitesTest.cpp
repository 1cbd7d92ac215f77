#include "model/SiteListFile.h"
#include "ops/ImportLine.h"
#include "ops/QuarnelDoc.h"
#include "tests/ops/CatalogueBuilder.h"

#include <fstream>
#include <gtest/gtest.h>

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
    EXPECT_EQ(m_doc.m_siteList.GetAt(1)->m_nLoadState, 0); // read from disk on first use
    EXPECT_EQ(m_doc.m_siteList.GetAt(2)->GetKey(), "srv@user");
    EXPECT_EQ(m_doc.m_siteList.GetAt(3)->m_nPort, 7);

    EXPECT_EQ(Reload(), (std::vector<std::string>{"old", "srv", "srv", "last"}));

    // The same file again adds nothing, but the list is written all the same.
    std::remove(SiteListPath().c_str());
    result = m_doc.ImportSites(path);
    EXPECT_EQ(result.added, 0u);
    EXPECT_EQ(Reload().size(), 4u);
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

} // namespace
