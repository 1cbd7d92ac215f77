#include "model/SiteListFile.h"
#include "ops/QuarnelDoc.h"
#include "tests/ops/CatalogueBuilder.h"

#include <gtest/gtest.h>

namespace {

using opstest::AddDir;
using opstest::AddFile;

// One site: root { new/ (new) { inner.txt (new) }, old/ { fresh.bin (new), seen.bin } , top.txt (new) }
struct Tree {
    CFTPSite* site;
    CFTPDir* newDir;
    CFTPFile* inner;
    CFTPDir* oldDir;
    CFTPFile* fresh;
    CFTPFile* seen;
    CFTPFile* top;
};

Tree Build(CObList<CFTPSite>& list, const std::string& host) {
    Tree t{};
    t.site = opstest::AddSite(list, host);
    CFTPDir* root = t.site->m_pRootDir.get();
    t.newDir = AddDir(root, "new", 1);
    t.inner = AddFile(t.newDir, "inner.txt", 1, 1);
    t.oldDir = AddDir(root, "old");
    t.fresh = AddFile(t.oldDir, "fresh.bin", 2, 1);
    t.seen = AddFile(t.oldDir, "seen.bin", 3);
    t.top = AddFile(root, "top.txt", 4, 1);
    return t;
}

int CountNew(const CFTPDir* dir) {
    int n = 0;
    for (const CFTPDir* sub : dir->m_subDirs)
        n += sub->m_bNew + CountNew(sub);
    for (const CFTPFile* file : dir->m_files)
        n += file->m_bNew;
    return n;
}

class ReadStateTest : public ::testing::Test {
protected:
    opstest::ProgramDir m_dir;
    CQuarnelDoc m_doc;
};

TEST_F(ReadStateTest, UpdatedSitesScopeRightAfterStartChangesNothing) {
    Tree t = Build(m_doc.m_siteList, "a");
    EXPECT_EQ(m_doc.MarkSitesRead(SiteScope::Updated), OpStatus::Done);
    EXPECT_EQ(CountNew(t.site->m_pRootDir.get()), 4);
    EXPECT_EQ(t.site->m_bStateDirty, 0);

    t.site->m_nUpdateStatus = UpdateStatus::Failed; // failed: still not in the scope
    m_doc.MarkSitesRead(SiteScope::Updated);
    EXPECT_EQ(CountNew(t.site->m_pRootDir.get()), 4);

    t.site->m_nUpdateStatus = UpdateStatus::Ended; // ended early: in the scope
    m_doc.MarkSitesRead(SiteScope::Updated);
    EXPECT_EQ(CountNew(t.site->m_pRootDir.get()), 0);
    EXPECT_EQ(t.site->m_bStateDirty, 1);
}

TEST_F(ReadStateTest, AllSitesLoadsUnreadSitesAndCloseSavesTheMarks) {
    {
        // A previous run left a catalogue with new entries on disk.
        CObList<CFTPSite> earlier;
        Tree t = Build(earlier, "srv");
        ASSERT_TRUE(t.site->SaveCatalogue());
        ASSERT_TRUE(t.site->SaveState());
        ASSERT_TRUE(SaveSiteList(SiteListPath(), earlier));
    }
    ASSERT_TRUE(m_doc.OnNewDocument().ok);
    CFTPSite* site = m_doc.m_siteList.GetHead();
    EXPECT_EQ(site->m_nLoadState, TreeLoadState::NotLoaded);
    EXPECT_EQ(m_doc.MarkSitesRead(SiteScope::All), OpStatus::Done);
    EXPECT_EQ(site->m_nLoadState, TreeLoadState::Loaded);
    EXPECT_EQ(site->m_pRootDir->m_subDirs.GetCount(), 2u);
    EXPECT_EQ(CountNew(site->m_pRootDir.get()), 0);
    EXPECT_EQ(site->m_bStateDirty, 1);
    m_doc.OnCloseDocument(); // no update in this run, the marks are saved all the same

    CQuarnelDoc next;
    ASSERT_TRUE(next.OnNewDocument().ok);
    CFTPSite* again = next.m_siteList.GetHead();
    again->EnsureLoaded();
    EXPECT_EQ(again->m_pRootDir->m_subDirs.GetCount(), 2u);
    EXPECT_EQ(CountNew(again->m_pRootDir.get()), 0);
}

TEST_F(ReadStateTest, SetReadFromTreeClearsBelowAndTheBoldMarkOnlyOnTheSiteItem) {
    Tree t = Build(m_doc.m_siteList, "a");
    t.site->m_bHasNew = 1;
    EXPECT_EQ(m_doc.SetReadFromTree(t.oldDir), OpStatus::Done);
    EXPECT_EQ(t.fresh->m_bNew, 0);
    EXPECT_EQ(t.newDir->m_bNew, 1); // outside the sub-tree
    EXPECT_EQ(t.top->m_bNew, 1);
    EXPECT_EQ(t.site->m_bHasNew, 1);

    EXPECT_EQ(m_doc.SetReadFromTree(t.newDir), OpStatus::Done);
    EXPECT_EQ(t.newDir->m_bNew, 1); // its own mark is the selection's business
    EXPECT_EQ(t.inner->m_bNew, 0);

    EXPECT_EQ(m_doc.SetReadFromTree(t.site->m_pRootDir.get()), OpStatus::Done);
    EXPECT_EQ(t.site->m_bHasNew, 0);
    EXPECT_EQ(CountNew(t.site->m_pRootDir.get()), 0);
}

TEST_F(ReadStateTest, ShownFilesAreTheBrowsedOnesNotTheSearchResults) {
    Tree t = Build(m_doc.m_siteList, "a");
    m_doc.ShowDir(t.oldDir);
    m_doc.SearchAllSites("inner");
    ASSERT_EQ(m_doc.m_foundFiles.size(), 1u);
    m_doc.MarkShownFilesRead();
    EXPECT_EQ(t.fresh->m_bNew, 0);
    EXPECT_EQ(t.inner->m_bNew, 1);
    EXPECT_EQ(t.site->m_bStateDirty, 1);
}

TEST_F(ReadStateTest, ClearingAReadEntryDoesNotDirtyTheSite) {
    Tree t = Build(m_doc.m_siteList, "a");
    EXPECT_FALSE(CQuarnelDoc::ClearMark(t.oldDir));
    EXPECT_FALSE(CQuarnelDoc::ClearMark(t.seen));
    EXPECT_EQ(t.site->m_bStateDirty, 0);
    EXPECT_TRUE(CQuarnelDoc::ClearMark(t.newDir));
    EXPECT_EQ(t.site->m_bStateDirty, 1);
}

TEST_F(ReadStateTest, AStoppedWalkKeepsWhatItClearedAndRefusesSecondWalks) {
    // Enough entries for the walk to ask the pump on the way.
    CFTPSite* site = opstest::AddSite(m_doc.m_siteList, "big");
    for (int d = 0; d < 20; ++d) {
        CFTPDir* dir = AddDir(site->m_pRootDir.get(), "d" + std::to_string(d), 1);
        for (int f = 0; f < 100; ++f)
            AddFile(dir, "f" + std::to_string(f), 0, 1);
    }
    int calls = 0;
    OpStatus nested = OpStatus::Done;
    m_doc.SetPumpPending([&] {
        EXPECT_TRUE(m_doc.IsWalkInProgress());
        if (calls == 0)
            nested = m_doc.MarkSitesRead(SiteScope::All);
        return ++calls < 3;
    });
    EXPECT_EQ(m_doc.MarkSitesRead(SiteScope::All), OpStatus::Stopped);
    EXPECT_EQ(nested, OpStatus::Busy);
    const int left = CountNew(site->m_pRootDir.get());
    EXPECT_GT(left, 0);
    EXPECT_LT(left, 2020);
    EXPECT_EQ(site->m_bStateDirty, 1);
    EXPECT_FALSE(m_doc.IsWalkInProgress());

    m_doc.SetPumpPending(nullptr);
    EXPECT_EQ(m_doc.MarkSitesRead(SiteScope::All), OpStatus::Done);
    EXPECT_EQ(CountNew(site->m_pRootDir.get()), 0);
}

} // namespace
