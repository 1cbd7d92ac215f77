// site.ds: the byte layout, the outcome of loading damaged or missing files, and safe saving.
#include "model/SiteListFile.h"
#include "ModelTestSupport.h"
#include "model/DataArchive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace model_test;

namespace {

const std::string kSiteClass = Hex("FF FF 01 00 08 00 43 46 54 50 53 69 74 65");

// The body of a site with host h, no password, user u, port 21 and nothing else.
const std::string kSiteBody = Hex("01 68 00 01 75 15 00 00 00 00 00 00");

std::string ThreeSites() {
    return Hex("03 00") + kSiteClass + kSiteBody + Hex("01 80") + kSiteBody + Hex("01 80") + kSiteBody;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(SiteListLayout, OneSiteMatchesTheWorkedExample) {
    TempAppDir dir;
    CObList<CFTPSite> list;
    auto site = list.AddTail(std::make_unique<CFTPSite>());
    site->m_strHost = "h";
    site->m_strUser = "u";
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    EXPECT_EQ(ReadWhole(SiteListPath()), Hex("01 00") + kSiteClass + kSiteBody);
}

TEST(SiteListLayout, EveryStoredFieldRoundTrips) {
    TempAppDir dir;
    CObList<CFTPSite> list;
    auto first = list.AddTail(std::make_unique<CFTPSite>());
    first->m_strHost = "ftp.example.org";
    first->m_strUser = "anonymous";
    first->m_strPassword = kAnonymousPassword;
    first->m_nPort = 70000; // above 65535: kept as a 32-bit value
    first->m_bAnonymousUpdate = 1;
    first->m_strNickname = "\xD6\xD0\xCE\xC4"; // GBK bytes
    first->m_strRemark = "line 1\r\nline 2";
    auto second = list.AddTail(std::make_unique<CFTPSite>());
    second->m_strHost = "h2";
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    const std::string bytes = ReadWhole(SiteListPath());
    EXPECT_EQ(bytes.substr(bytes.size() - 2 - 12, 2), Hex("01 80")); // second site: class reference

    CObList<CFTPSite> loaded;
    const SiteListLoadResult result = LoadSiteList(SiteListPath(), loaded);
    EXPECT_EQ(result.outcome, SiteListLoadResult::Ok);
    EXPECT_FALSE(result.modified);
    ASSERT_EQ(loaded.GetCount(), 2u);
    const CFTPSite* site = loaded.GetHead();
    EXPECT_EQ(site->m_strHost, first->m_strHost);
    EXPECT_EQ(site->m_strUser, first->m_strUser);
    EXPECT_EQ(site->m_strPassword, first->m_strPassword);
    EXPECT_EQ(site->m_nPort, 70000);
    EXPECT_EQ(site->m_bAnonymousUpdate, 1);
    EXPECT_EQ(site->m_strNickname, first->m_strNickname);
    EXPECT_EQ(site->m_strRemark, first->m_strRemark);
    EXPECT_EQ(site->m_nLoadState.load(), TreeLoadState::NotLoaded);
    EXPECT_EQ(site->GetStatusText(), "未更新");
    EXPECT_EQ(loaded.GetTail()->m_strHost, "h2");

    std::string again;
    ASSERT_TRUE(SaveSiteList(dir.Path() + "/copy.ds", loaded));
    EXPECT_EQ(ReadWhole(dir.Path() + "/copy.ds"), bytes);
}

TEST(SiteListLoad, MissingFileIsCreatedEmptyAndPrivate) {
    TempAppDir dir;
    CObList<CFTPSite> list;
    const SiteListLoadResult result = LoadSiteList(SiteListPath(), list);
    EXPECT_EQ(result.outcome, SiteListLoadResult::Ok);
    EXPECT_TRUE(result.message.empty());
    EXPECT_FALSE(result.modified);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_TRUE(std::filesystem::exists(SiteListPath()));
    EXPECT_EQ(std::filesystem::file_size(SiteListPath()), 0u);
    EXPECT_EQ(ModeOf(SiteListPath()), 0600u);
}

TEST(SiteListLoad, EmptyFileAndZeroCountGiveAnEmptyList) {
    TempAppDir dir;
    for (const std::string& bytes : {std::string(), Hex("00 00")}) {
        WriteWhole(SiteListPath(), bytes);
        CObList<CFTPSite> list;
        const SiteListLoadResult result = LoadSiteList(SiteListPath(), list);
        EXPECT_EQ(result.outcome, SiteListLoadResult::Ok);
        EXPECT_FALSE(result.modified);
        EXPECT_TRUE(list.IsEmpty());
    }
}

TEST(SiteListLoad, DamagedFileKeepsTheSitesReadBeforeTheFault) {
    TempAppDir dir;
    const std::string whole = ThreeSites();
    struct Case {
        const char* what;
        std::string bytes;
        std::size_t survivors;
    };
    const Case cases[] = {
        {"cut in the third site", whole.substr(0, whole.size() - 4), 2},
        {"cut in the count", whole.substr(0, 1), 0},
        {"count larger than the sites", Hex("FF FF 00 00 00 10") + whole.substr(2), 3},
        {"first object a CFTPDir", Hex("01 00 FF FF 01 00 07 00 43 46 54 50 44 69 72 00 00 00 00 00"), 0},
        {"wrong schema", Hex("01 00 FF FF 02 00 08 00 43 46 54 50 53 69 74 65") + kSiteBody, 0},
        {"unknown class", Hex("01 00 FF FF 01 00 08 00 43 46 54 50 53 69 74 66") + kSiteBody, 0},
        {"bad index", Hex("02 00") + kSiteClass + kSiteBody + Hex("05 80") + kSiteBody, 1},
    };
    for (const Case& c : cases) {
        WriteWhole(SiteListPath(), c.bytes);
        CObList<CFTPSite> list;
        const SiteListLoadResult result = LoadSiteList(SiteListPath(), list);
        EXPECT_EQ(result.outcome, SiteListLoadResult::BadFormat) << c.what;
        EXPECT_EQ(result.message, "Unexpected file format.") << c.what;
        EXPECT_TRUE(result.modified) << c.what;
        EXPECT_EQ(list.GetCount(), c.survivors) << c.what;
        // The file itself is left as it was.
        EXPECT_EQ(ReadWhole(SiteListPath()), c.bytes) << c.what;
    }
}

TEST(SiteListLoad, OverlongStringLengthIsAnotherArchiveError) {
    TempAppDir dir;
    WriteWhole(SiteListPath(),
               Hex("01 00") + kSiteClass + Hex("FF FF FF FF FF FF FF 00 00 00 80 00 00 00 00"));
    CObList<CFTPSite> list;
    const SiteListLoadResult result = LoadSiteList(SiteListPath(), list);
    EXPECT_EQ(result.outcome, SiteListLoadResult::OpenFailed);
    EXPECT_EQ(result.message, "Failed to open document.");
    EXPECT_TRUE(result.modified);
}

TEST(SiteListLoad, FileThatCannotBeOpenedNamesItsPath) {
    TempAppDir dir;
    CObList<CFTPSite> list;
    const std::string missing = dir.Path() + "/no-such-dir/site.ds";
    SiteListLoadResult result = LoadSiteList(missing, list);
    EXPECT_EQ(result.outcome, SiteListLoadResult::FileError);
    EXPECT_EQ(result.message, missing + " was not found.");
    EXPECT_FALSE(result.modified);

    std::filesystem::create_directory(SiteListPath());
    result = LoadSiteList(SiteListPath(), list);
    EXPECT_EQ(result.outcome, SiteListLoadResult::FileError);
    EXPECT_EQ(result.message, "Access to " + SiteListPath() + " was denied.");
    EXPECT_FALSE(result.modified);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(SiteListSave, ReplacesTheFileWhole) {
    TempAppDir dir;
    CObList<CFTPSite> list;
    list.AddTail(MakeSite("a"));
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    chmod(SiteListPath().c_str(), 0644);
    list.AddTail(MakeSite("b"));
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    EXPECT_EQ(ModeOf(SiteListPath()), 0600u);
    CObList<CFTPSite> loaded;
    LoadSiteList(SiteListPath(), loaded);
    EXPECT_EQ(loaded.GetCount(), 2u);
    // No temporary file is left beside it.
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(SiteListSave, UnwritableLocationFailsAndKeepsTheOldFile) {
    TempAppDir dir;
    CObList<CFTPSite> list;
    list.AddTail(MakeSite("a"));
    EXPECT_FALSE(SaveSiteList(dir.Path() + "/missing/site.ds", list));

    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    const std::string before = ReadWhole(SiteListPath());
    // A directory standing where the file should be: the rename cannot replace it.
    const std::string blocked = dir.Path() + "/blocked.ds";
    std::filesystem::create_directories(blocked + "/inside");
    EXPECT_FALSE(SaveSiteList(blocked, list));
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    EXPECT_EQ(ReadWhole(SiteListPath()), before);
}

TEST(SiteListLoad, ReadErrorAfterOpeningGivesTheFileErrorAndModified) {
    TempAppDir dir;
    // A directory opens but cannot be read: the read fails after the "open".
    const int fd = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    CDataArchive ar(fd, CDataArchive::load, dir.Path());
    CObList<CFTPSite> list;
    const SiteListLoadResult result = ReadSiteList(ar, list);
    close(fd);
    EXPECT_EQ(result.outcome, SiteListLoadResult::FileError);
    EXPECT_EQ(result.message, "Access to " + dir.Path() + " was denied.");
    EXPECT_TRUE(result.modified);
}
