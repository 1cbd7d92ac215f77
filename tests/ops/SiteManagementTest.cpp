#include "model/Paths.h"
#include "model/SiteListFile.h"
#include "ops/QuarnelDoc.h"
#include "tests/ops/CatalogueBuilder.h"

#include <fstream>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void Touch(const std::string& path) {
    std::ofstream(path) << "x";
}

SiteFields Fields(const std::string& host, const std::string& user, const std::string& password) {
    SiteFields fields;
    fields.host = host;
    fields.user = user;
    fields.password = password;
    return fields;
}

SiteFields Anonymous(const std::string& host) {
    SiteFields fields;
    fields.host = host;
    fields.anonymous = true;
    fields.user = "ignored";
    return fields;
}

class SiteManagementTest : public ::testing::Test {
protected:
    // The hosts and nicknames site.ds holds now.
    std::vector<std::pair<std::string, std::string>> Reload() {
        CObList<CFTPSite> list;
        LoadSiteList(SiteListPath(), list);
        std::vector<std::pair<std::string, std::string>> sites;
        for (const CFTPSite* site : list)
            sites.emplace_back(site->m_strHost, site->m_strNickname);
        return sites;
    }
    opstest::ProgramDir m_dir;
    CQuarnelDoc m_doc;
};

TEST_F(SiteManagementTest, AddRefusesTheSameHostAndUserOnly) {
    SiteOpResult first = m_doc.AddSite(Anonymous("srv"));
    ASSERT_EQ(first.status, OpStatus::Done);
    EXPECT_EQ(first.site->m_strUser, "anonymous");
    EXPECT_TRUE(first.site->IsAnonymous());
    EXPECT_EQ(first.site->m_nLoadState, TreeLoadState::Loaded);
    EXPECT_TRUE(first.listSaved);

    SiteOpResult again = m_doc.AddSite(Anonymous("srv"));
    EXPECT_EQ(again.status, OpStatus::Refused);
    EXPECT_EQ(again.message, "站点已有！");
    // Typing "anonymous" by hand with another password is still the same host and user.
    EXPECT_EQ(m_doc.AddSite(Fields("srv", "anonymous", "pw")).status, OpStatus::Refused);
    EXPECT_EQ(m_doc.AddSite(Fields("srv", "bob", "pw")).status, OpStatus::Done);
    EXPECT_EQ(m_doc.AddSite(Fields("", "", "")).status, OpStatus::Done); // empty fields are accepted
    ASSERT_EQ(m_doc.m_siteList.GetCount(), 3u);
    EXPECT_EQ(m_doc.m_siteList.GetAt(2)->GetKey(), "@");
    EXPECT_EQ(Reload().size(), 3u);
}

TEST_F(SiteManagementTest, TypedTextIsStoredInTheNarrowEncoding) {
    SiteFields fields = Fields("srv", "bob", "pw");
    fields.nickname = "镜像"; // UTF-8 as typed
    fields.remark = "line 1\nline 2";
    fields.port = 2121;
    fields.anonymousUpdate = true;
    CFTPSite* site = m_doc.AddSite(fields).site;
    ASSERT_NE(site, nullptr);
    EXPECT_EQ(site->m_strNickname, "\xBE\xB5\xCF\xF1"); // GBK
    EXPECT_EQ(site->m_strRemark, "line 1\nline 2");
    EXPECT_EQ(site->m_bAnonymousUpdate, 1);
    EXPECT_EQ(site->GetDisplayName(), "\xBE\xB5\xCF\xF1");

    const SiteFields shown = m_doc.FieldsFromSite(*site);
    EXPECT_EQ(shown.nickname, "镜像");
    EXPECT_EQ(shown.port, 2121);
    EXPECT_FALSE(shown.anonymous);
    EXPECT_EQ(shown.user, "bob");
}

TEST_F(SiteManagementTest, EditDialogShowsAnAnonymousSiteWithEmptyLogin) {
    CFTPSite* site = m_doc.AddSite(Anonymous("srv")).site;
    const SiteFields shown = m_doc.FieldsFromSite(*site);
    EXPECT_TRUE(shown.anonymous);
    EXPECT_EQ(shown.user, "");
    EXPECT_EQ(shown.password, "");
}

TEST_F(SiteManagementTest, EditRenamesTheDataDirectoryToTheNewKey) {
    CFTPSite* site = m_doc.AddSite(Fields("old", "bob", "pw")).site;
    mkdir(DataDirPath().c_str(), 0755);
    mkdir(SiteDataDirPath("old@bob").c_str(), 0755);
    Touch(SiteDataDirPath("old@bob") + "/content.ct");

    SiteFields fields = m_doc.FieldsFromSite(*site);
    fields.host = "new";
    ASSERT_EQ(m_doc.EditSite(site, fields).status, OpStatus::Done);
    EXPECT_EQ(site->GetKey(), "new@bob");
    EXPECT_FALSE(Exists(SiteDataDirPath("old@bob")));
    EXPECT_TRUE(Exists(SiteDataDirPath("new@bob") + "/content.ct"));
    EXPECT_EQ(Reload().front().first, "new");

    // Only the nickname: the directory keeps its name.
    fields.nickname = "n";
    m_doc.EditSite(site, fields);
    EXPECT_TRUE(Exists(SiteDataDirPath("new@bob") + "/content.ct"));
    EXPECT_EQ(Reload().front().second, "n");

    // Ticking anonymous changes the key to the host alone.
    fields.anonymous = true;
    m_doc.EditSite(site, fields);
    EXPECT_EQ(site->GetKey(), "new");
    EXPECT_TRUE(Exists(SiteDataDirPath("new") + "/content.ct"));
}

// The protocol goes to site.conf with the site; an accepted certificate is forgotten when the
// site is moved to another host or port, and kept through other edits.
TEST_F(SiteManagementTest, ProtocolIsKeptAndAPinForgottenWithTheServer) {
    SiteFields fields = Anonymous("srv");
    fields.protocol = SiteProtocol::FtpImplicitTls;
    CFTPSite* site = m_doc.AddSite(fields).site;
    ASSERT_NE(site, nullptr);
    EXPECT_EQ(LoadSiteSettings("srv").m_protocol, SiteProtocol::FtpImplicitTls);
    CSiteSettings settings = site->GetSettings();
    settings.m_tlsPin = "AB:CD";
    ASSERT_TRUE(site->SetSettings(settings));

    struct Step {
        const char* what;
        std::function<void(SiteFields&)> change;
        const char* pin;
    } steps[] = {
        {"a nickname", [](SiteFields& f) { f.nickname = "mirror"; }, "AB:CD"},
        {"the protocol", [](SiteFields& f) { f.protocol = SiteProtocol::FtpExplicitTls; }, "AB:CD"},
        {"the port", [](SiteFields& f) { f.port = 2121; }, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        SiteFields edited = m_doc.FieldsFromSite(*site);
        step.change(edited);
        ASSERT_EQ(m_doc.EditSite(site, edited).status, OpStatus::Done);
        EXPECT_EQ(LoadSiteSettings("srv").m_tlsPin, step.pin);
    }
    EXPECT_EQ(LoadSiteSettings("srv").m_protocol, SiteProtocol::FtpExplicitTls);
}

TEST_F(SiteManagementTest, EditKeepsStoredBytesOfFieldsLeftAlone) {
    // A password imported as bytes that are not text in any encoding the dialog can show.
    CFTPSite* site = opstest::AddSite(m_doc.m_siteList, "srv", "bob", "p\xFF\xFEw");
    SiteFields fields = m_doc.FieldsFromSite(*site);
    fields.nickname = "nick";
    m_doc.EditSite(site, fields);
    EXPECT_EQ(site->m_strPassword, "p\xFF\xFEw");
    EXPECT_EQ(site->m_strNickname, "nick");
}

TEST_F(SiteManagementTest, KeysThatCannotBeADirectoryNeverTouchTheDisk) {
    mkdir(DataDirPath().c_str(), 0755);
    mkdir(SiteDataDirPath("keep").c_str(), 0755);
    Touch(SiteDataDirPath("keep") + "/content.ct");
    Touch(m_dir.path() + "/content.ct");

    // Anonymous with an empty host: the key is empty, i.e. Data itself.
    CFTPSite* site = m_doc.AddSite(Anonymous("")).site;
    SiteFields fields = m_doc.FieldsFromSite(*site);
    fields.host = "keep/..";
    m_doc.EditSite(site, fields);
    fields.host = "..";
    m_doc.EditSite(site, fields);
    EXPECT_EQ(m_doc.DeleteSite(site), OpStatus::Done);
    EXPECT_TRUE(Exists(SiteDataDirPath("keep") + "/content.ct"));
    EXPECT_TRUE(Exists(m_dir.path() + "/content.ct"));
    EXPECT_TRUE(Exists(m_dir.path() + "/site.ds"));
}

TEST_F(SiteManagementTest, DeleteRemovesFilesListEntryAndEveryReference) {
    CFTPSite* keep = m_doc.AddSite(Anonymous("keep")).site;
    CFTPSite* site = m_doc.AddSite(Anonymous("gone")).site;
    CFTPDir* pub = opstest::AddDir(site->m_pRootDir.get(), "pub");
    CFTPFile* file = opstest::AddFile(pub, "a.txt");
    CFTPDir* other = opstest::AddDir(keep->m_pRootDir.get(), "other");
    mkdir(DataDirPath().c_str(), 0755);
    mkdir(SiteDataDirPath("gone").c_str(), 0755);
    Touch(SiteDataDirPath("gone") + "/content.ct");
    Touch(SiteDataDirPath("gone") + "/state.st");

    m_doc.ShowDir(pub);
    m_doc.m_foundDirs = {pub, other};
    m_doc.m_foundFiles = {file};
    ASSERT_EQ(m_doc.DeleteSite(site), OpStatus::Done);
    EXPECT_FALSE(Exists(SiteDataDirPath("gone")));
    ASSERT_EQ(m_doc.m_siteList.GetCount(), 1u);
    EXPECT_EQ(m_doc.m_siteList.GetHead(), keep);
    EXPECT_TRUE(m_doc.m_browseFiles.empty());
    EXPECT_EQ(m_doc.m_foundDirs, std::vector<CFTPDir*>{other});
    EXPECT_TRUE(m_doc.m_foundFiles.empty());
    EXPECT_EQ(Reload().size(), 1u);

    // A site that is not in the list is left alone.
    CObList<CFTPSite> elsewhere;
    EXPECT_EQ(m_doc.DeleteSite(opstest::AddSite(elsewhere, "x")), OpStatus::Refused);
}

TEST_F(SiteManagementTest, DeleteWaitsForARunningWalk) {
    CFTPSite* site = m_doc.AddSite(Anonymous("srv")).site;
    opstest::AddFile(site->m_pRootDir.get(), "a");
    OpStatus fromInside = OpStatus::Done;
    m_doc.SetPumpPending([&] {
        fromInside = m_doc.DeleteSite(site);
        return true;
    });
    m_doc.SearchAllSites("a");
    EXPECT_EQ(fromInside, OpStatus::Busy);
    EXPECT_EQ(m_doc.m_siteList.GetCount(), 1u);
    m_doc.SetPumpPending(nullptr);
    EXPECT_EQ(m_doc.DeleteSite(site), OpStatus::Done);
}

TEST_F(SiteManagementTest, LoadReportsADamagedListAndMarksTheDocumentModified) {
    std::ofstream(SiteListPath(), std::ios::binary) << std::string("\x02\x00\xFF\xFF\x01\x00", 6);
    const LoadOutcome outcome = m_doc.OnNewDocument();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, "Unexpected file format.");
    EXPECT_TRUE(m_doc.m_bModified);
    EXPECT_TRUE(m_doc.SaveSiteListAs(m_dir.path() + "/copy.ds"));
    EXPECT_FALSE(m_doc.m_bModified);
}

} // namespace
