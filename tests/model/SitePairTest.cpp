// content.ct and state.st as one pair: replaced together or not at all (full disk, SIGKILL at any
// moment, another writer), read from one save, the site directory's other files kept, leftovers
// of killed saves removed, and the umask obeyed.
#include "ModelTestSupport.h"
#include "model/AtomicFile.h"
#include "model/ReadOnlyAccess.h"
#include "model/SiteCatalogue.h"
#include "model/SiteListFile.h"
#include "model/TreeWalk.h"
#include "tests/support/FileSizeLimit.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace model_test;
namespace fs = std::filesystem;

namespace {

// ---- trees that tell their save apart: N nodes, sizes and marks derived from N

int32_t NumberedFlag(std::size_t index, std::size_t nodes) {
    return static_cast<int32_t>(((index * 0x9E3779B1u) ^ (nodes * 0x85EBCA6Bu)) >> 7 & 1);
}

// Replaces the site's tree by one of exactly `nodes` nodes: directories of up to 100 files.
void SetNumberedTree(CFTPSite& site, std::size_t nodes) {
    CFTPDir* root = site.m_pRootDir.get();
    root->m_subDirs.RemoveAll();
    root->m_files.RemoveAll();
    std::size_t left = nodes;
    for (std::size_t d = 0; left > 0; ++d) {
        CFTPDir* dir = AddDir(root, "d" + std::to_string(d));
        --left;
        for (std::size_t f = 0; f < 100 && left > 0; ++f, --left)
            AddFile(dir, "f" + std::to_string(f), nodes * 1000000 + d * 100 + f);
    }
    std::size_t index = 0;
    WalkStoredOrder(
        *root, [&](CFTPDir& dir, std::size_t) { dir.m_bNew = NumberedFlag(index++, nodes); },
        [&](CFTPFile& file, std::size_t) { file.m_bNew = NumberedFlag(index++, nodes); });
}

// Empty when the loaded tree and its marks are one whole save of SetNumberedTree; else what is
// wrong. `stateBytes` < 0: not checked.
std::string CheckNumberedTree(const CFTPSite& site, long long stateBytes) {
    std::size_t nodes = 0;
    WalkStoredOrder(
        *site.m_pRootDir, [&](const CFTPDir&, std::size_t) { ++nodes; },
        [&](const CFTPFile&, std::size_t) { ++nodes; });
    std::size_t index = 0, wrongFlags = 0, wrongSizes = 0;
    WalkStoredOrder(
        *site.m_pRootDir,
        [&](const CFTPDir& dir, std::size_t) { wrongFlags += dir.m_bNew != NumberedFlag(index++, nodes); },
        [&](const CFTPFile& file, std::size_t) {
            wrongFlags += file.m_bNew != NumberedFlag(index++, nodes);
            wrongSizes += file.m_nSize / 1000000 != nodes;
        });
    std::string problems;
    if (wrongFlags)
        problems += std::to_string(wrongFlags) + " marks of another save; ";
    if (wrongSizes)
        problems += std::to_string(wrongSizes) + " sizes of another save; ";
    if (stateBytes >= 0 && static_cast<std::size_t>(stateBytes) != 4 * nodes)
        problems +=
            "state.st of " + std::to_string(stateBytes) + " bytes for " + std::to_string(nodes) + " nodes";
    return problems;
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Names in a directory (none when it does not exist).
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string SaveArea() {
    return DataDirPath() + "/" + kSaveAreaName;
}

using testsupport::CFileSizeLimit;

class CUmask {
public:
    explicit CUmask(mode_t mask) : m_previous(umask(mask)) {}
    ~CUmask() { umask(m_previous); }

private:
    mode_t m_previous;
};

// Each test runs once with the directory exchange and once as on a file system without it.
class SitePair : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { SetDirectoryExchangeRefused(GetParam()); }
    void TearDown() override { SetDirectoryExchangeRefused(false); }
    TempAppDir m_dir;
};

INSTANTIATE_TEST_SUITE_P(Swap, SitePair, ::testing::Values(false, true),
                         [](const auto& test) { return test.param ? "RenameAside" : "Exchange"; });

} // namespace

TEST_P(SitePair, SaveReplacesThePairAndKeepsTheOtherFiles) {
    auto site = MakeSite("h");
    SetNumberedTree(*site, 300);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string siteDir = SiteDataDirPath(site->GetKey());
    WriteWhole(siteDir + "/site.conf", "encoding=gbk\n");
    fs::create_symlink("site.conf", siteDir + "/link");
    WriteWhole(siteDir + "/extra/inside", "kept");
    const ino_t settings = InodeOf(siteDir + "/site.conf");

    for (std::size_t nodes : {301u, 5u, 0u, 302u}) {
        SetNumberedTree(*site, nodes);
        ASSERT_TRUE(site->SaveCatalogue()) << nodes;
        EXPECT_EQ(site->m_nSaveError.load(), 0);
        auto copy = MakeSite("h");
        copy->EnsureLoaded();
        EXPECT_EQ(CheckNumberedTree(*copy, FileSize(siteDir + "/state.st")), "") << nodes;
        EXPECT_EQ(Entries(siteDir),
                  (std::vector<std::string>{"content.ct", "extra", "link", "site.conf", "state.st"}));
        EXPECT_EQ(ReadWhole(siteDir + "/site.conf"), "encoding=gbk\n");
        EXPECT_EQ(InodeOf(siteDir + "/site.conf"), settings); // linked over, not rewritten
        EXPECT_EQ(fs::read_symlink(siteDir + "/link"), "site.conf");
        EXPECT_EQ(ReadWhole(siteDir + "/extra/inside"), "kept");
        EXPECT_TRUE(Entries(SaveArea()).empty());
    }
}

TEST_P(SitePair, FullDiskLeavesTheOldPairAndAStateSaveDoesNotPairWithIt) {
    auto site = MakeSite("h");
    SetNumberedTree(*site, 400);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string state = SiteFile(*site, "state.st");
    const std::string oldContent = ReadWhole(SiteFile(*site, "content.ct"));
    const std::string oldState = ReadWhole(state);

    // The tree grows and the user reads everything. content.ct no longer fits, state.st would.
    SetNumberedTree(*site, 3000);
    WalkStoredOrder(
        *site->m_pRootDir, [](CFTPDir& dir, std::size_t) { dir.m_bNew = 0; },
        [](CFTPFile& file, std::size_t) { file.m_bNew = 0; });
    const std::size_t stateBytes = 4 * 3000;
    ASSERT_LT(stateBytes, 16384u);
    {
        CFileSizeLimit limit(16384);
        EXPECT_FALSE(site->SaveCatalogue());
        EXPECT_EQ(site->m_nSaveError.load(), EFBIG);
        // The close's state save: a state.st of the new tree beside the old content.ct would put
        // the marks on the wrong entries. It writes the pair, which fails too.
        EXPECT_FALSE(site->SaveState());
    }
    EXPECT_TRUE(ReadWhole(SiteFile(*site, "content.ct")) == oldContent);
    EXPECT_TRUE(ReadWhole(state) == oldState);
    auto copy = MakeSite("h");
    copy->EnsureLoaded();
    EXPECT_EQ(CheckNumberedTree(*copy, FileSize(state)), "");
    EXPECT_EQ(Entries(SiteDataDirPath("h@u")), (std::vector<std::string>{"content.ct", "state.st"}));
    EXPECT_TRUE(Entries(SaveArea()).empty());

    // With room again the state save writes both.
    EXPECT_TRUE(site->SaveState());
    EXPECT_EQ(site->m_nSaveError.load(), 0);
    auto after = MakeSite("h");
    after->EnsureLoaded();
    std::size_t nodes = 0, unread = 0;
    WalkStoredOrder(
        *after->m_pRootDir, [&](const CFTPDir& d, std::size_t) { ++nodes, unread += d.m_bNew; },
        [&](const CFTPFile& f, std::size_t) { ++nodes, unread += f.m_bNew; });
    EXPECT_EQ(nodes, 3000u);
    EXPECT_EQ(unread, 0u);
}

TEST_P(SitePair, StateSaveAloneOnlyBesideItsOwnCatalogue) {
    auto site = MakeSite("h");
    SetNumberedTree(*site, 200);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string content = SiteFile(*site, "content.ct");
    const ino_t saved = InodeOf(content);

    // Marks read, tree as saved: only state.st changes.
    site->m_pRootDir->m_subDirs.GetAt(0)->m_bNew = 0;
    ASSERT_TRUE(site->SaveState());
    EXPECT_EQ(InodeOf(content), saved);
    auto copy = MakeSite("h");
    copy->EnsureLoaded();
    EXPECT_EQ(copy->m_pRootDir->m_subDirs.GetAt(0)->m_bNew, 0);

    // A tree changed since its save (an update that never got to save): the pair.
    AddFile(site->m_pRootDir.get(), "late", 9, 1);
    ASSERT_TRUE(site->SaveState());
    EXPECT_NE(InodeOf(content), saved);
    auto withLate = MakeSite("h");
    withLate->EnsureLoaded();
    ASSERT_NE(withLate->m_pRootDir->FindFile("late"), nullptr);
    EXPECT_EQ(withLate->m_pRootDir->FindFile("late")->m_bNew, 1);

    // Another writer replaced the pair with a newer tree: that tree stays, with whole marks, and
    // takes this writer's read marks rather than being overwritten by its older tree.
    auto other = MakeSite("h");
    SetNumberedTree(*other, 50);
    ASSERT_TRUE(other->SaveCatalogue());
    SetNumberedTree(*site, 120);
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(other->SaveState());
    auto last = MakeSite("h");
    last->EnsureLoaded();
    EXPECT_EQ(CheckNumberedTree(*last, -1).find("sizes"), std::string::npos);
    EXPECT_EQ(FileSize(SiteFile(*site, "state.st")), 4 * 120);
    EXPECT_EQ(last->m_pRootDir->m_subDirs.GetCount(), 2u); // 120 nodes: two directories

    // A key changed under a loaded tree (an edit whose rename failed) is not taken on trust.
    site->m_strUser = "v";
    ASSERT_TRUE(site->SaveState());
    EXPECT_TRUE(fs::exists(SiteFile(*site, "content.ct")));
}

TEST_P(SitePair, LeftoversOfKilledSavesAreClearedAtTheNextLoad) {
    auto site = MakeSite("h");
    SetNumberedTree(*site, 30);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string siteDir = SiteDataDirPath("h@u");
    WriteWhole(siteDir + "/site.conf", "settings");
    const std::string area = SaveArea();
    // A fresh directory killed while written: half a catalogue and a link of the settings.
    WriteWhole(area + "/h@u.new-Aa0001/content.ct", "cut");
    fs::create_hard_link(siteDir + "/site.conf", area + "/h@u.new-Aa0001/site.conf");
    // An old directory killed while taken apart: a directory of its own and a newer note.
    WriteWhole(area + "/h@u.new-Bb0002/state.st", "old");
    WriteWhole(area + "/h@u.new-Bb0002/keep/x", "x");
    WriteWhole(siteDir + "/notes", "older");
    WriteWhole(area + "/h@u.new-Bb0002/notes", "newer");
    fs::last_write_time(siteDir + "/notes", fs::last_write_time(siteDir + "/notes") - std::chrono::hours(1));
    // Temporary files of state saves, one of them still being written by a live writer.
    WriteWhole(siteDir + "/state.st.tmp-Cc0003", "stale");
    WriteWhole(siteDir + "/state.st.tmp-Dd0004", "busy");
    const int busy = open((siteDir + "/state.st.tmp-Dd0004").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(busy, LOCK_EX), 0);
    // Someone else's, and a lookalike of a longer key.
    WriteWhole(area + "/other.new-Ee0005/content.ct", "theirs");
    WriteWhole(area + "/h@u.new-Ff00067/content.ct", "not ours");

    auto copy = MakeSite("h");
    copy->EnsureLoaded();
    EXPECT_EQ(CheckNumberedTree(*copy, -1), "");
    EXPECT_EQ(Entries(area), (std::vector<std::string>{"h@u.new-Ff00067", "other.new-Ee0005"}));
    EXPECT_EQ(Entries(siteDir), (std::vector<std::string>{"content.ct", "keep", "notes", "site.conf",
                                                          "state.st", "state.st.tmp-Dd0004"}));
    EXPECT_EQ(ReadWhole(siteDir + "/notes"), "newer");
    EXPECT_EQ(ReadWhole(siteDir + "/keep/x"), "x");
    EXPECT_EQ(ReadWhole(siteDir + "/site.conf"), "settings");
    close(busy);

    // Killed between the two renames where the file system cannot exchange: Data/KEY is gone
    // and the whole old directory waits in the save area. It goes back.
    fs::rename(siteDir, area + "/h@u.old-Gg0008");
    auto restored = MakeSite("h");
    restored->EnsureLoaded();
    EXPECT_EQ(CheckNumberedTree(*restored, FileSize(siteDir + "/state.st")), "");
    EXPECT_EQ(restored->m_pRootDir->m_subDirs.GetCount(), 1u);
    EXPECT_EQ(ReadWhole(siteDir + "/site.conf"), "settings");
    EXPECT_FALSE(fs::exists(area + "/h@u.old-Gg0008"));

    // A save clears them too, and deleting the site takes all of its leftovers.
    WriteWhole(area + "/h@u.new-Hh0009/content.ct", "x");
    ASSERT_TRUE(site->SaveCatalogue());
    EXPECT_EQ(Entries(area), (std::vector<std::string>{"h@u.new-Ff00067", "other.new-Ee0005"}));
}

// Killed between the two renames of a save that cannot exchange, with only readers after it: a
// reader that may not write reads the old pair where it was set aside, and changes nothing. One
// held by a save at work is not read: that save puts a directory in place in a moment.
TEST(SitePairFiles, AReaderThatMayNotWriteFindsThePairSetAside) {
    TempAppDir dir;
    auto site = MakeSite("h");
    SetNumberedTree(*site, 40);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string siteDir = SiteDataDirPath("h@u");
    const std::string aside = SaveArea() + "/h@u.old-Gg0008";
    fs::rename(siteDir, aside);
    SetReadOnlyAccess(true);
    auto copy = MakeSite("h");
    const CResult<void> loaded = copy->LoadCatalogueAndState();
    SetReadOnlyAccess(false);
    EXPECT_TRUE(loaded.ok());
    EXPECT_EQ(CheckNumberedTree(*copy, FileSize(aside + "/state.st")), "");
    EXPECT_EQ(copy->m_pRootDir->m_subDirs.GetCount(), 1u);
    EXPECT_FALSE(fs::exists(siteDir));
    EXPECT_EQ(Entries(SaveArea()), (std::vector<std::string>{"h@u.old-Gg0008"}));

    // A writer puts it back, and takes it for the pair it read.
    auto writer = MakeSite("h");
    writer->EnsureLoaded();
    EXPECT_EQ(CheckNumberedTree(*writer, -1), "");
    EXPECT_TRUE(fs::exists(siteDir + "/content.ct"));
    EXPECT_TRUE(Entries(SaveArea()).empty());
    auto lock = copy->LockTree();
    EXPECT_FALSE(copy->SavedElsewhere());
}

// What killed writers left anywhere goes when a program that may write starts, except what a
// live writer holds; a site directory killed between the renames comes back.
TEST(SitePairFiles, WritersClearWhatKilledWritersLeftAtTheirStart) {
    TempAppDir dir;
    for (const char* host : {"a", "b", "c"}) {
        auto site = MakeSite(host);
        SetNumberedTree(*site, 20);
        ASSERT_TRUE(site->SaveCatalogue());
    }
    std::vector<int> held;
    auto hold = [&held](const std::string& path) {
        held.push_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(flock(held.back(), LOCK_EX), 0);
    };
    struct Leftover {
        std::string path;
        bool live; // a writer holds it
        bool directory;
    };
    const std::string area = SaveArea(), data = DataDirPath();
    const Leftover leftovers[] = {
        {dir.Path() + "/site.ds.tmp-Ab12Cd", false, false},
        {dir.Path() + "/site.ds.tmp-Busy00", true, false},
        {data + "/a@u/state.st.tmp-Cc0003", false, false},
        {data + "/b@u/site.conf.tmp-Dd0004", false, false},
        {data + "/b@u/state.st.tmp-Ee0005", true, false},
        {area + "/c@u.new-Ff0006", false, true},
        {area + "/gone@u.new-Gg0007", false, true},
        {area + "/a@u.new-Hh0008", true, true},
    };
    for (const Leftover& left : leftovers) {
        if (left.directory)
            WriteWhole(left.path + "/content.ct", "cut");
        else
            WriteWhole(left.path, "cut");
        if (left.live)
            hold(left.path);
    }
    fs::rename(data + "/c@u", area + "/c@u.old-Ii0009");

    RemoveStaleLeftovers();
    for (const Leftover& left : leftovers)
        EXPECT_EQ(fs::exists(left.path), left.live) << left.path;
    auto back = MakeSite("c");
    back->EnsureLoaded();
    EXPECT_EQ(CheckNumberedTree(*back, FileSize(data + "/c@u/state.st")), "");
    EXPECT_EQ(Entries(area), (std::vector<std::string>{"a@u.new-Hh0008"}));
    for (int fd : held)
        close(fd);
}

TEST(SitePairFiles, StaleSiteListCopiesGoAtTheNextStart) {
    TempAppDir dir;
    WriteWhole(dir.Path() + "/site.ds.tmp-Ab12Cd", "passwords");
    WriteWhole(dir.Path() + "/site.ds.tmp-Busy00", "being written");
    WriteWhole(dir.Path() + "/site.ds.tmp-toolong", "not a temporary name");
    const int busy = open((dir.Path() + "/site.ds.tmp-Busy00").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(busy, LOCK_EX), 0);
    CObList<CFTPSite> list;
    EXPECT_EQ(LoadSiteList(SiteListPath(), list).outcome, SiteListLoadResult::Ok);
    EXPECT_FALSE(fs::exists(dir.Path() + "/site.ds.tmp-Ab12Cd"));
    EXPECT_TRUE(fs::exists(dir.Path() + "/site.ds.tmp-Busy00"));
    EXPECT_TRUE(fs::exists(dir.Path() + "/site.ds.tmp-toolong"));
    close(busy);
}

TEST(SitePairFiles, NewFilesAndDirectoriesFollowTheUmask) {
    struct Case {
        mode_t mask;
        unsigned file, dir;
    };
    for (const Case& c : {Case{077, 0600, 0700}, Case{022, 0644, 0755}, Case{027, 0640, 0750}}) {
        TempAppDir dir;
        CUmask mask(c.mask);
        auto site = MakeSite("h");
        SetNumberedTree(*site, 3);
        ASSERT_TRUE(site->SaveCatalogue());
        EXPECT_EQ(ModeOf(DataDirPath()), c.dir);
        EXPECT_EQ(ModeOf(SiteDataDirPath("h@u")), c.dir);
        EXPECT_EQ(ModeOf(SiteFile(*site, "content.ct")), c.file);
        EXPECT_EQ(ModeOf(SiteFile(*site, "state.st")), c.file);
        site->m_pRootDir->m_subDirs.GetAt(0)->m_bNew = 1 - site->m_pRootDir->m_subDirs.GetAt(0)->m_bNew;
        ASSERT_TRUE(site->SaveState());
        EXPECT_EQ(ModeOf(SiteFile(*site, "state.st")), c.file);
        CObList<CFTPSite> list;
        ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
        EXPECT_EQ(ModeOf(SiteListPath()), 0600u & ~c.mask);
        // A site directory the user narrowed keeps its mode through saves.
        chmod(SiteDataDirPath("h@u").c_str(), 0700);
        ASSERT_TRUE(site->SaveCatalogue());
        EXPECT_EQ(ModeOf(SiteDataDirPath("h@u")), 0700u);
    }
}

// A reader in another thread, with a site object of its own, loads while a writer replaces the
// pair again and again: every load is one save.
TEST(SitePairFiles, LoadsWhileSavingReadOneSave) {
    TempAppDir dir;
    auto writer = MakeSite("h");
    SetNumberedTree(*writer, 1500);
    ASSERT_TRUE(writer->SaveCatalogue());
    std::atomic<bool> done{false};
    std::atomic<int> loads{0}, torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            auto copy = MakeSite("h");
            copy->EnsureLoaded();
            const std::string problem = CheckNumberedTree(*copy, -1);
            if (!problem.empty() && torn++ < 3)
                ADD_FAILURE() << problem;
            ++loads;
        }
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int saves = 0;
    for (std::size_t n = 1501; std::chrono::steady_clock::now() < end || loads.load() < 20; ++n) {
        SetNumberedTree(*writer, n % 2 ? n : n / 2);
        ASSERT_TRUE(writer->SaveCatalogue());
        ++saves;
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0) << loads.load() << " loads, " << saves << " saves";
}

// A child saves a 50,000-node site again and again and is killed at a random moment; what is on
// disk afterwards is always one whole save, and the next load clears what the child left.
TEST_P(SitePair, SigkillAtAnyMomentLeavesOneWholeSave) {
    constexpr std::size_t kBase = 50000;
    const int rounds = GetParam() ? 12 : 20;
    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    auto site = MakeSite("kill.example");
    SetNumberedTree(*site, kBase);
    const std::string siteDir = SiteDataDirPath(site->GetKey());
    int torn = 0, leftovers = 0;
    for (int round = 0; round < rounds; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (std::size_t k = 1;; ++k) {
                site->SaveCatalogue();
                SetNumberedTree(*site, kBase + (static_cast<std::size_t>(round) * 7 + k) % 500);
            }
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 150000)(rng)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);

        auto copy = MakeSite("kill.example");
        copy->EnsureLoaded();
        const std::string problem = CheckNumberedTree(*copy, FileSize(siteDir + "/state.st"));
        const bool nothingYet = !fs::exists(siteDir) && round == 0;
        if (!problem.empty() && !nothingYet) {
            ++torn;
            ADD_FAILURE() << "round " << round << ": " << problem << " (seed " << seed << ")";
        }
        for (const std::string& name : Entries(siteDir))
            leftovers += IsTemporaryName(name, "");
        leftovers += static_cast<int>(Entries(SaveArea()).size());
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(leftovers, 0);
}

// An update's save writes content.ct from the tree itself and takes only the marks under the lock:
// the pair is the same as any other save writes, a site deleted meanwhile gets no files, and a
// mark set while the marks are taken leaves the site dirty.
TEST_P(SitePair, SaveOfAnUpdateWritesTheSamePairAndNothingForADeletedSite) {
    auto site = MakeSite("h");
    SetNumberedTree(*site, 70000); // more marks than one slice
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string content = ReadWhole(SiteFile(*site, "content.ct"));
    const std::string state = ReadWhole(SiteFile(*site, "state.st"));

    CFTPSite::CSaveOptions update;
    update.m_bShapeOwned = true;
    site->m_bStateDirty = 1;
    ASSERT_TRUE(site->TrySaveCatalogue(update));
    EXPECT_TRUE(ReadWhole(SiteFile(*site, "content.ct")) == content);
    EXPECT_TRUE(ReadWhole(SiteFile(*site, "state.st")) == state);
    EXPECT_EQ(site->m_bStateDirty.load(), 0);
    {
        auto lock = site->LockTree();
        EXPECT_FALSE(site->SavedElsewhere()); // what it wrote is what it remembers
    }

    // Deleted while its files were written: they never take the place of the old ones.
    const ino_t before = InodeOf(SiteFile(*site, "content.ct"));
    SetNumberedTree(*site, 10);
    update.m_mayCommit = [] { return false; };
    EXPECT_TRUE(site->TrySaveCatalogue(update));
    EXPECT_EQ(InodeOf(SiteFile(*site, "content.ct")), before);
    EXPECT_TRUE(Entries(SaveArea()).empty());

    // Marks set by another thread while the marks are read: each is saved or leaves the site dirty.
    update.m_mayCommit = {};
    SetNumberedTree(*site, 70000);
    std::atomic<bool> go{false};
    std::thread reader([&] {
        while (!go.load())
            std::this_thread::yield();
        auto lock = site->LockTree();
        site->m_pRootDir->m_subDirs.GetTail()->m_files.GetTail()->m_bNew = 1 - NumberedFlag(69999, 70000);
        site->m_bStateDirty = 1;
    });
    go = true;
    ASSERT_TRUE(site->TrySaveCatalogue(update));
    reader.join();
    auto copy = MakeSite("h");
    copy->EnsureLoaded();
    const bool savedTheMark =
        copy->m_pRootDir->m_subDirs.GetTail()->m_files.GetTail()->m_bNew != NumberedFlag(69999, 70000);
    EXPECT_TRUE(savedTheMark || site->m_bStateDirty.load() == 1);
}

// Another program's save is seen; the window reads the pair as stored now into a tree of its own
// and takes it in, keeping its root; its own saves are not taken for another program's.
TEST_P(SitePair, AReloadTakesInWhatAnotherProgramSaved) {
    auto window = MakeSite("h");
    SetNumberedTree(*window, 300);
    ASSERT_TRUE(window->SaveCatalogue());
    auto saved = [&window] {
        auto lock = window->LockTree();
        return window->SavedElsewhere();
    };
    EXPECT_FALSE(saved());

    auto other = MakeSite("h");
    other->EnsureLoaded();
    SetNumberedTree(*other, 451);
    ASSERT_TRUE(other->SaveCatalogue());
    EXPECT_TRUE(saved());

    CFTPDir* root = window->m_pRootDir.get();
    CFTPDir* oldFirst = root->m_subDirs.GetHead();
    std::unique_ptr<CFTPDir> replaced = window->TakeStoredTree(window->ReadStoredTree());
    EXPECT_EQ(window->m_pRootDir.get(), root);
    EXPECT_EQ(CheckNumberedTree(*window, -1), "");
    EXPECT_EQ(root->m_subDirs.GetHead()->m_pParent, root);
    ASSERT_EQ(replaced->m_subDirs.GetHead(), oldFirst);
    EXPECT_EQ(oldFirst->m_pParent, replaced.get());
    EXPECT_FALSE(saved());

    // Marks alone saved elsewhere count too; the window's own saves do not.
    other->m_pRootDir->m_subDirs.GetHead()->m_bNew = 1 - other->m_pRootDir->m_subDirs.GetHead()->m_bNew;
    ASSERT_TRUE(other->SaveState());
    EXPECT_TRUE(saved());
    window->TakeStoredTree(window->ReadStoredTree());
    EXPECT_EQ(root->m_subDirs.GetHead()->m_bNew, other->m_pRootDir->m_subDirs.GetHead()->m_bNew);
    root->m_subDirs.GetTail()->m_bNew = 0;
    ASSERT_TRUE(window->SaveState());
    EXPECT_FALSE(saved());
    // Removed with its site elsewhere, not saved: nothing to read (the site list tells the rest).
    fs::remove_all(SiteDataDirPath("h@u"));
    EXPECT_FALSE(saved());

    // A site whose tree was never read from disk follows nothing.
    auto added = MakeSite("h");
    added->m_nLoadState = TreeLoadState::Loaded;
    auto lock = added->LockTree();
    EXPECT_FALSE(added->SavedElsewhere());
}
