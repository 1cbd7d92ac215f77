// Several programs on one program directory, played by several documents and site objects in one
// process: each stands for a program that read the files at one moment and saves later.
#include "model/FileLock.h"
#include "model/Records.h"
#include "model/SiteListFile.h"
#include "ops/QuarnelDoc.h"
#include "tests/ops/CatalogueBuilder.h"

#include <atomic>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using opstest::AddDir;
using opstest::AddFile;

// "path" -> mark, for every entry below the root ("a/", "a/x").
std::map<std::string, int> Marks(const CFTPDir& dir, const std::string& prefix = "") {
    std::map<std::string, int> marks;
    for (const CFTPDir* sub : dir.m_subDirs) {
        marks[prefix + sub->m_strName + "/"] = sub->m_bNew;
        for (auto& [path, mark] : Marks(*sub, prefix + sub->m_strName + "/"))
            marks[path] = mark;
    }
    for (const CFTPFile* file : dir.m_files)
        marks[prefix + file->m_strName] = file->m_bNew;
    return marks;
}

// The site "srv" as another program reads it from disk.
// True once `count` descriptors of this process are open on the file at `path` (within ten seconds).
bool WaitForOpenCount(const std::string& path, int count) {
    const std::filesystem::path target = std::filesystem::canonical(path);
    for (int i = 0; i < 2000; ++i) {
        int open = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code gone; // a descriptor closed meanwhile
            open += std::filesystem::read_symlink(fd.path(), gone) == target;
        }
        if (open >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::unique_ptr<CFTPSite> LoadedSite() {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = "srv";
    site->m_strUser = kAnonymousUser;
    site->m_strPassword = kAnonymousPassword;
    site->LoadCatalogueAndState();
    return site;
}

void MarkAllRead(CFTPDir& dir) {
    for (CFTPDir* sub : dir.m_subDirs) {
        sub->m_bNew = 0;
        MarkAllRead(*sub);
    }
    for (CFTPFile* file : dir.m_files)
        file->m_bNew = 0;
}

class SharedDirectoryTest : public ::testing::Test {
protected:
    // srv: a/ with x and y, b/ with z, everything new.
    void SetUp() override { Seed(); }
    static void Seed() {
        CObList<CFTPSite> list;
        CFTPSite* site = opstest::AddSite(list, "srv");
        CFTPDir* a = AddDir(site->m_pRootDir.get(), "a", 1);
        AddFile(a, "x", 1, 1);
        AddFile(a, "y", 2, 1);
        AddFile(AddDir(site->m_pRootDir.get(), "b", 1), "z", 3, 1);
        ASSERT_TRUE(site->SaveCatalogue());
        ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    }

    opstest::ProgramDir m_dir;
};

// A reader marks entries read while an updater (which read the files before) crawls and saves a
// grown tree; whichever saves first, the read marks and the new entries both stay.
TEST_F(SharedDirectoryTest, MarksSavedElsewhereSurviveEitherOrder) {
    struct Case {
        const char* name;
        bool readerFirst;
        bool readerReadsAll; // else only a/
    };
    const Case cases[] = {
        {"read saves, then update", true, true},
        {"update saves, then read", false, true},
        {"partial read, then update", true, false},
        {"update, then partial read", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        opstest::ProgramDir dir; // each case on a directory of its own
        Seed();
        auto reader = LoadedSite();
        auto updater = LoadedSite();
        CFTPDir* a = reader->m_pRootDir->FindSubDir("a");
        a->m_bNew = 0;
        MarkAllRead(c.readerReadsAll ? *reader->m_pRootDir : *a);
        AddFile(updater->m_pRootDir->FindSubDir("b"), "fresh", 9, 1);
        if (c.readerFirst) {
            ASSERT_TRUE(reader->SaveState());
            ASSERT_TRUE(updater->SaveCatalogue());
        } else {
            ASSERT_TRUE(updater->SaveCatalogue());
            ASSERT_TRUE(reader->SaveState());
        }
        const int rest = c.readerReadsAll ? 0 : 1;
        const std::map<std::string, int> expected{{"a/", 0},    {"a/x", 0},    {"a/y", 0},
                                                  {"b/", rest}, {"b/z", rest}, {"b/fresh", 1}};
        EXPECT_EQ(Marks(*LoadedSite()->m_pRootDir), expected);
    }
}

// Two readers of different parts, and a reader whose tree on disk did not change: nothing of the
// other's marks is lost, and a mark set nowhere stays new.
TEST_F(SharedDirectoryTest, TwoReadersKeepBothMarks) {
    auto first = LoadedSite();
    auto second = LoadedSite();
    first->m_pRootDir->FindSubDir("a")->FindFile("x")->m_bNew = 0;
    second->m_pRootDir->FindSubDir("b")->FindFile("z")->m_bNew = 0;
    ASSERT_TRUE(first->SaveState());
    ASSERT_TRUE(second->SaveState());
    const std::map<std::string, int> expected{{"a/", 1}, {"a/x", 0}, {"a/y", 1}, {"b/", 1}, {"b/z", 0}};
    EXPECT_EQ(Marks(*LoadedSite()->m_pRootDir), expected);
    EXPECT_EQ(Marks(*second->m_pRootDir), expected); // the later saver took the other's marks in too
}

// A save waits for the site's lock held by another program, and gives up only after the wait.
TEST_F(SharedDirectoryTest, SaveWaitsForTheSiteLock) {
    CFileLock other;
    ASSERT_TRUE(other.Lock(SiteSaveLockPath("srv"), std::chrono::milliseconds(0)));
    CFileLock second;
    EXPECT_FALSE(second.Lock(SiteSaveLockPath("srv"), std::chrono::milliseconds(30)));
    EXPECT_EQ(errno, EWOULDBLOCK);
    other.Unlock();
    EXPECT_TRUE(second.Lock(SiteSaveLockPath("srv"), std::chrono::milliseconds(0)));
}

// Lock files go with their site, but never from under a holder: a held one stays, and whoever
// locked the removed file finds it gone and takes the file that is there now.
TEST_F(SharedDirectoryTest, LockFilesOfADeletedSiteGoWhenFree) {
    CFileLock updating;
    ASSERT_TRUE(updating.Lock(SiteUpdateLockPath("srv"), std::chrono::milliseconds(0)));
    CFileLock saving;
    ASSERT_TRUE(saving.Lock(SiteSaveLockPath("srv"), std::chrono::milliseconds(0)));
    saving.Unlock();
    RemoveSiteLockFiles("srv");
    struct stat info {};
    EXPECT_EQ(lstat(SiteUpdateLockPath("srv").c_str(), &info), 0);
    EXPECT_NE(lstat(SiteSaveLockPath("srv").c_str(), &info), 0);

    // A waiter opened the file before its holder removed it: once it has the lock, it must move
    // to the file now at the path, or a newcomer would lock that one beside it.
    // Each step waits for the one before it: the waiter has the file open, then it holds the new
    // file's lock, then the newcomer has tried.
    std::promise<bool> waiterHas;
    std::promise<void> newcomerTried;
    std::thread waiter([&waiterHas, tried = newcomerTried.get_future()] {
        CFileLock lock;
        waiterHas.set_value(lock.Lock(SiteUpdateLockPath("srv"), std::chrono::milliseconds(20000)));
        tried.wait();
    });
    ASSERT_TRUE(WaitForOpenCount(SiteUpdateLockPath("srv"), 2)); // the holder's and the waiter's
    ASSERT_EQ(unlink(SiteUpdateLockPath("srv").c_str()), 0);
    updating.Unlock();
    std::future<bool> has = waiterHas.get_future();
    const bool waiterLocked = has.get();
    CFileLock newcomer;
    EXPECT_FALSE(newcomer.Lock(SiteUpdateLockPath("srv"), std::chrono::milliseconds(0)));
    newcomerTried.set_value();
    waiter.join();
    EXPECT_TRUE(waiterLocked);
}

// Two documents (a window and a command) change site.ds in turn; each change keeps the other's.
TEST_F(SharedDirectoryTest, SiteListChangesOfTwoDocumentsMerge) {
    CQuarnelDoc window, command;
    ASSERT_TRUE(window.OnNewDocument().ok);
    ASSERT_TRUE(command.OnNewDocument().ok);
    CFTPSite* kept = window.m_siteList.GetAt(0);

    SiteFields fields;
    fields.anonymous = true;
    fields.host = "one";
    ASSERT_EQ(window.AddSite(fields).status, OpStatus::Done);
    fields.host = "two";
    ASSERT_EQ(command.AddSite(fields).status, OpStatus::Done);
    fields.host = "one"; // added by the other document meanwhile: a repeat
    EXPECT_EQ(command.AddSite(fields).status, OpStatus::Refused);

    // The command edits srv's remark and deletes "one"; the window takes both in.
    SiteFields edited = command.FieldsFromSite(*command.m_siteList.GetAt(0));
    edited.remark = "mirror";
    ASSERT_EQ(command.EditSite(command.m_siteList.GetAt(0), edited).status, OpStatus::Done);
    ASSERT_EQ(command.DeleteSite(command.FindSiteByKey("one")), OpStatus::Done);

    struct DropWatch : ICatalogueObserver {
        std::vector<CFTPSite*> sites;
        void EntryGoing(const CObject*, EntryKind) override {}
        void SiteGoing(CFTPSite* site) override { sites.push_back(site); }
    } watch;
    window.AddObserver(&watch);
    const CQuarnelDoc::SiteListMerge merge = window.ReloadSiteList();
    window.RemoveObserver(&watch);
    const std::vector<CFTPSite*>& dropped = watch.sites;
    EXPECT_EQ(merge.removed, 1u);
    ASSERT_EQ(dropped.size(), 1u);
    ASSERT_EQ(merge.added.size(), 1u);
    EXPECT_EQ(merge.added[0]->m_strHost, "two");
    ASSERT_EQ(merge.changed.size(), 1u);
    EXPECT_EQ(merge.changed[0], kept); // the same object, edited in place
    EXPECT_EQ(kept->m_strRemark, "mirror");

    std::vector<std::string> keys;
    for (const CFTPSite* site : window.m_siteList)
        keys.push_back(site->GetKey());
    EXPECT_EQ(keys, (std::vector<std::string>{"srv", "two"}));
    CObList<CFTPSite> onDisk;
    ASSERT_EQ(LoadSiteList(SiteListPath(), onDisk).outcome, SiteListLoadResult::Ok);
    EXPECT_EQ(onDisk.GetCount(), 2u);
}

} // namespace
