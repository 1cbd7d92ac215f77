// The records themselves: keys, paths, look-ups, destruction of deep trees, status accessors,
// and the removal and renaming of a site's data directory.
#include "ModelTestSupport.h"
#include "model/SiteData.h"

#include <gtest/gtest.h>

using namespace model_test;

TEST(SiteRecord, FreshSiteHasItsInitialValues) {
    CFTPSite site;
    EXPECT_EQ(site.m_nPort, 21);
    EXPECT_EQ(site.GetStatusText(), "未更新");
    EXPECT_EQ(site.m_nLoadState.load(), TreeLoadState::NotLoaded);
    ASSERT_NE(site.m_pRootDir, nullptr);
    EXPECT_EQ(site.m_pRootDir->m_pSite, &site);
    EXPECT_EQ(site.m_pRootDir->m_pParent, nullptr);
    EXPECT_EQ(site.m_pRootDir->GetPath(), "/");
}

TEST(SiteRecord, KeyAndDisplayName) {
    auto site = MakeSite("ftp.h", "anonymous", "someone@else.org");
    EXPECT_FALSE(site->IsAnonymous());
    EXPECT_EQ(site->GetKey(), "ftp.h@anonymous");
    site->m_strPassword = kAnonymousPassword;
    EXPECT_TRUE(site->IsAnonymous());
    EXPECT_EQ(site->GetKey(), "ftp.h");
    EXPECT_EQ(site->GetDisplayName(), "ftp.h");
    site->m_strNickname = "mirror";
    EXPECT_EQ(site->GetDisplayName(), "mirror");
}

TEST(TreeNodes, PathsSitesAndLookups) {
    CFTPSite site;
    CFTPDir* pub = AddDir(site.m_pRootDir.get(), "pub");
    CFTPDir* linuxDir = AddDir(pub, "linux");
    CFTPFile* file = AddFile(linuxDir, "A.txt", 3);
    AddDir(linuxDir, "A.txt"); // a directory and a file may share a name
    EXPECT_EQ(pub->GetPath(), "/pub");
    EXPECT_EQ(linuxDir->GetPath(), "/pub/linux");
    EXPECT_EQ(linuxDir->GetSite(), &site);
    EXPECT_EQ(file->GetSite(), &site);
    EXPECT_EQ(linuxDir->FindFile("A.txt"), file);
    EXPECT_EQ(linuxDir->FindFile("a.txt"), nullptr);
    ASSERT_NE(linuxDir->FindSubDir("A.txt"), nullptr);
    EXPECT_EQ(pub->FindSubDir("linux"), linuxDir);

    CFTPFile loose;
    EXPECT_EQ(loose.GetSite(), nullptr);
    site.m_pRootDir->m_strName = "root";
    EXPECT_EQ(site.m_pRootDir->GetPath(), "root");
    EXPECT_EQ(linuxDir->GetPath(), "root/pub/linux");
}

TEST(TreeNodes, FirstOfTwoEqualNamesIsFound) {
    CFTPDir dir;
    CFTPFile* first = AddFile(&dir, "same", 1);
    AddFile(&dir, "same", 2);
    EXPECT_EQ(dir.FindFile("same"), first);
}

TEST(TreeNodes, VeryDeepAndWideTreesAreDestroyed) {
    auto site = std::make_unique<CFTPSite>();
    CFTPDir* dir = site->m_pRootDir.get();
    for (int depth = 0; depth < 200000; ++depth) {
        AddFile(dir, "f", 1);
        dir = AddDir(dir, "d");
    }
    for (int i = 0; i < 1000; ++i)
        AddDir(AddDir(site->m_pRootDir.get(), "w"), "x");
    EXPECT_EQ(dir->GetSite(), site.get());
    site.reset(); // must not exhaust the stack
    SUCCEED();
}

TEST(SiteDataDirectory, DeleteRemovesOnlyTheSiteFiles) {
    TempAppDir dir;
    const std::string site = dir.Path() + "/Data/h@u";
    WriteWhole(site + "/content.ct", "c");
    WriteWhole(site + "/state.st", "s");
    WriteWhole(site + "/content.ct.tmp-a1b2c3", "left by a crash");
    WriteWhole(dir.Path() + "/Data/other/content.ct", "keep");
    EXPECT_TRUE(DeleteSiteData("h@u"));
    EXPECT_FALSE(std::filesystem::exists(site));
    EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/Data/other/content.ct"));
    // Already gone: nothing to do.
    EXPECT_TRUE(DeleteSiteData("h@u"));

    // A directory with something else in it stays, with that file.
    WriteWhole(site + "/content.ct", "c");
    WriteWhole(site + "/notes.txt", "mine");
    EXPECT_FALSE(DeleteSiteData("h@u"));
    EXPECT_FALSE(std::filesystem::exists(site + "/content.ct"));
    EXPECT_TRUE(std::filesystem::exists(site + "/notes.txt"));
}

TEST(SiteDataDirectory, UnusableKeysAndLinksAreRefused) {
    TempAppDir dir;
    WriteWhole(dir.Path() + "/content.ct", "outside");
    WriteWhole(dir.Path() + "/Data/x", "");
    for (const std::string& key :
         {std::string(), std::string("."), std::string(".."), std::string("../.."), std::string("a/b")}) {
        EXPECT_FALSE(DeleteSiteData(key)) << key;
        EXPECT_FALSE(RenameSiteData(key, "new")) << key;
        EXPECT_FALSE(RenameSiteData("x", key)) << key;
    }
    EXPECT_EQ(ReadWhole(dir.Path() + "/content.ct"), "outside");

    // Data/link -> the program directory: its content.ct must survive a delete of "link".
    std::filesystem::create_directory_symlink(dir.Path(), dir.Path() + "/Data/link");
    DeleteSiteData("link");
    EXPECT_EQ(ReadWhole(dir.Path() + "/content.ct"), "outside");
}

TEST(SiteDataDirectory, RenameMovesTheDirectoryButNeverOverwrites) {
    TempAppDir dir;
    WriteWhole(dir.Path() + "/Data/old/content.ct", "tree");
    EXPECT_TRUE(RenameSiteData("old", "new"));
    EXPECT_EQ(ReadWhole(dir.Path() + "/Data/new/content.ct"), "tree");
    EXPECT_FALSE(RenameSiteData("old", "other")); // the old one no longer exists

    WriteWhole(dir.Path() + "/Data/taken/content.ct", "theirs");
    EXPECT_FALSE(RenameSiteData("new", "taken"));
    EXPECT_EQ(ReadWhole(dir.Path() + "/Data/taken/content.ct"), "theirs");
    EXPECT_EQ(ReadWhole(dir.Path() + "/Data/new/content.ct"), "tree");
}

TEST(AppDirectory, TakenFromTheExecutablePath) {
    EXPECT_EQ(AppDirFromExecutable("/opt/quarnel/bin/quarnel"), "/opt/quarnel/bin");
    EXPECT_EQ(AppDirFromExecutable("/quarnel"), "/");
    EXPECT_TRUE(IsUsableSiteKey("h@u"));
    EXPECT_TRUE(IsUsableSiteKey("..."));
    EXPECT_FALSE(IsUsableSiteKey(std::string("a\0b", 3)));
}
