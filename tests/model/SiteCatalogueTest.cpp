// content.ct and state.st: the layout, what survives damage, safe saving, and the key rules that
// decide where the files live.
#include "ModelTestSupport.h"
#include "model/DataArchive.h"
#include "model/TreeWalk.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

using namespace model_test;

namespace {

// The root with one sub-directory pub holding one file a of 5 bytes.
const std::string kPubExample =
    Hex("00 01 00 FF FF 01 00 07 00 43 46 54 50 44 69 72 03 70 75 62 00 00 01 00 "
        "FF FF 01 00 08 00 43 46 54 50 46 69 6C 65 05 00 00 00 00 00 00 00 01 61 00 00");

// Every node below the root in the stored order, as "D name new" / "F name size new".
std::vector<std::string> Nodes(const CFTPSite& site) {
    std::vector<std::string> nodes;
    WalkStoredOrder(
        *site.m_pRootDir,
        [&](const CFTPDir& dir, std::size_t) {
            EXPECT_NE(dir.m_pParent, nullptr);
            nodes.push_back("D " + dir.m_strName + " " + std::to_string(dir.m_bNew));
        },
        [&](const CFTPFile& file, std::size_t) {
            EXPECT_NE(file.m_pParent, nullptr);
            nodes.push_back("F " + file.m_strName + " " + std::to_string(file.m_nSize) + " " +
                            std::to_string(file.m_bNew));
        });
    return nodes;
}

std::unique_ptr<CFTPSite> LoadedCopy(const CFTPSite& site) {
    auto copy = MakeSite(site.m_strHost, site.m_strUser, site.m_strPassword);
    copy->EnsureLoaded();
    return copy;
}

// pub/{sub/{x}, a}, b at the root: 5 nodes.
void FillSmallTree(CFTPSite& site) {
    CFTPDir* pub = AddDir(site.m_pRootDir.get(), "pub", 1);
    CFTPDir* sub = AddDir(pub, "sub", 0);
    AddFile(sub, "x", 1, 1);
    AddFile(pub, "a", 5, 0);
    AddFile(site.m_pRootDir.get(), "b", 7, 1);
}

} // namespace

TEST(CatalogueLayout, PubExampleIsFiftyBytes) {
    TempAppDir dir;
    auto site = MakeSite("h");
    CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub", 1);
    AddFile(pub, "a", 5, 1);
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(site->SaveState());
    EXPECT_EQ(ReadWhole(SiteFile(*site, "content.ct")), kPubExample);
    EXPECT_EQ(ReadWhole(SiteFile(*site, "state.st")), Hex("01 00 00 00 01 00 00 00"));

    auto copy = LoadedCopy(*site);
    EXPECT_EQ(Nodes(*copy), (std::vector<std::string>{"D pub 1", "F a 5 1"}));
    EXPECT_EQ(copy->m_pRootDir->m_pSite, copy.get());
}

TEST(CatalogueLayout, EmptyRootAndFilesOnlyTrees) {
    TempAppDir dir;
    auto site = MakeSite("h");
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(site->SaveState());
    EXPECT_EQ(ReadWhole(SiteFile(*site, "content.ct")), Hex("00 00 00 00 00"));
    EXPECT_EQ(ReadWhole(SiteFile(*site, "state.st")), "");

    AddFile(site->m_pRootDir.get(), "a", 1);
    AddFile(site->m_pRootDir.get(), "b", 2);
    ASSERT_TRUE(site->SaveCatalogue());
    EXPECT_EQ(ReadWhole(SiteFile(*site, "content.ct")),
              Hex("00 00 00 02 00 FF FF 01 00 08 00 43 46 54 50 46 69 6C 65 01 00 00 00 00 00 00 00 01 61 "
                  "01 80 02 00 00 00 00 00 00 00 01 62"));
}

TEST(CatalogueRoundTrip, WriteReadWriteIsByteIdentical) {
    TempAppDir dir;
    auto site = MakeSite("round.example", "\xD3\xC3\xBB\xA7");
    FillSmallTree(*site);
    CFTPDir* big = AddDir(site->m_pRootDir.get(), std::string(300, 'd'), 1);
    AddFile(big, std::string(70000, 'n'), UINT64_MAX, 1);
    AddFile(big, "\xD6\xD0\xCE\xC4.txt", 1ull << 40);
    CFTPDir* many = AddDir(big, "many");
    for (int i = 0; i < 65536; ++i)
        AddFile(many, "f" + std::to_string(i), static_cast<uint64_t>(i), i % 2);
    AddDir(site->m_pRootDir.get(), ""); // an empty name is just a name
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(site->SaveState());
    const std::string content = ReadWhole(SiteFile(*site, "content.ct"));
    const std::string state = ReadWhole(SiteFile(*site, "state.st"));

    auto copy = LoadedCopy(*site);
    EXPECT_EQ(Nodes(*copy), Nodes(*site));
    ASSERT_TRUE(copy->SaveCatalogue());
    ASSERT_TRUE(copy->SaveState());
    EXPECT_EQ(ReadWhole(SiteFile(*site, "content.ct")), content);
    EXPECT_EQ(ReadWhole(SiteFile(*site, "state.st")), state);
}

TEST(CatalogueLoad, MissingOrEmptyFilesGiveAnEmptyReadTree) {
    TempAppDir dir;
    auto site = MakeSite("h");
    site->EnsureLoaded();
    EXPECT_TRUE(site->m_pRootDir->m_subDirs.IsEmpty());
    EXPECT_EQ(site->m_nLoadState.load(), TreeLoadState::Loaded);

    WriteWhole(SiteFile(*site, "content.ct"), "");
    WriteWhole(SiteFile(*site, "state.st"), "");
    EXPECT_TRUE(Nodes(*LoadedCopy(*site)).empty());

    // A tree without state.st: every node read.
    WriteWhole(SiteFile(*site, "content.ct"), kPubExample);
    std::filesystem::remove(SiteFile(*site, "state.st"));
    EXPECT_EQ(Nodes(*LoadedCopy(*site)), (std::vector<std::string>{"D pub 0", "F a 5 0"}));
}

TEST(CatalogueLoad, DamagedContentKeepsWhatWasReadBefore) {
    TempAppDir dir;
    auto site = MakeSite("h");
    std::string wrongSchema = kPubExample;
    wrongSchema[5] = 2;
    std::string unknownClass = kPubExample;
    unknownClass[15] = 'x';
    // pub's file list holding a CFTPDir; the root's directory list holding a CFTPFile.
    const std::string dirAmongFiles = kPubExample.substr(0, 22) + Hex("01 00 01 80 01 62 00 00 00 00");
    const std::string fileAmongDirs =
        Hex("00 01 00 FF FF 01 00 08 00 43 46 54 50 46 69 6C 65 00 00 00 00 00 00 00 00 01 61");
    // A second directory whose tag names an index never assigned.
    const std::string badIndex =
        Hex("00 02 00 FF FF 01 00 07 00 43 46 54 50 44 69 72 01 70 00 00 00 00 09 80 01 71 00 00 00 00");

    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> nodes;
    };
    const Case cases[] = {
        {"cut in pub's name", kPubExample.substr(0, 18), {}},
        {"cut after pub's name", kPubExample.substr(0, 20), {"D pub 0"}},
        {"cut in a's name", kPubExample.substr(0, 47), {"D pub 0"}},
        {"cut in the root's file count", kPubExample.substr(0, 49), {"D pub 0", "F a 5 0"}},
        {"wrong schema", wrongSchema, {}},
        {"unknown class", unknownClass, {}},
        {"directory in a file list", dirAmongFiles, {"D pub 0"}},
        {"file in a directory list", fileAmongDirs, {}},
        {"bad index", badIndex, {"D p 0"}},
        {"trailing bytes ignored", kPubExample + "junk", {"D pub 0", "F a 5 0"}},
    };
    for (const Case& c : cases) {
        WriteWhole(SiteFile(*site, "content.ct"), c.bytes);
        EXPECT_EQ(Nodes(*LoadedCopy(*site)), c.nodes) << c.what;
    }
}

TEST(CatalogueLoad, EveryPrefixOfAFileLoadsWithoutHarm) {
    TempAppDir dir;
    auto site = MakeSite("h");
    FillSmallTree(*site);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string whole = ReadWhole(SiteFile(*site, "content.ct"));
    std::size_t previous = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        WriteWhole(SiteFile(*site, "content.ct"), whole.substr(0, length));
        const std::size_t count = Nodes(*LoadedCopy(*site)).size();
        EXPECT_GE(count, previous) << length; // more bytes never mean fewer nodes
        previous = count;
    }
    EXPECT_EQ(previous, 5u);
}

TEST(CatalogueLoad, NestingBeyondTheLimitStopsThere) {
    TempAppDir dir;
    auto site = MakeSite("h");
    CFTPDir* dirNode = site->m_pRootDir.get();
    for (std::size_t depth = 1; depth <= kMaxTreeDepth + 10; ++depth)
        dirNode = AddDir(dirNode, "d");
    AddFile(dirNode, "deep", 1);
    ASSERT_TRUE(site->SaveCatalogue());
    auto copy = LoadedCopy(*site);
    std::size_t deepest = 0;
    WalkStoredOrder(
        *copy->m_pRootDir, [&](const CFTPDir&, std::size_t depth) { deepest = std::max(deepest, depth); },
        [](const CFTPFile&, std::size_t) {});
    EXPECT_EQ(deepest, kMaxTreeDepth);
}

TEST(StateFile, LengthAroundTheTreeSize) {
    TempAppDir dir;
    auto site = MakeSite("h");
    FillSmallTree(*site); // 5 nodes: pub sub x a b
    ASSERT_TRUE(site->SaveCatalogue());
    const std::string ones = Hex("01 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00");
    struct Case {
        std::string bytes;
        std::vector<std::string> nodes;
    };
    const Case cases[] = {
        {ones, {"D pub 1", "D sub 1", "F x 1 1", "F a 5 1", "F b 7 1"}},
        {ones + Hex("01"), {"D pub 1", "D sub 1", "F x 1 1", "F a 5 1", "F b 7 1"}},
        {ones.substr(0, 19), {"D pub 1", "D sub 1", "F x 1 1", "F a 5 1", "F b 7 0"}},
        {Hex("07 00 00 00"), {"D pub 7", "D sub 0", "F x 1 0", "F a 5 0", "F b 7 0"}},
    };
    for (const Case& c : cases) {
        WriteWhole(SiteFile(*site, "state.st"), c.bytes);
        EXPECT_EQ(Nodes(*LoadedCopy(*site)), c.nodes);
    }
}

TEST(StateFile, SaveStateWritesFlagsInTheStoredOrder) {
    TempAppDir dir;
    auto site = MakeSite("h");
    FillSmallTree(*site);
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(site->SaveState());
    EXPECT_EQ(ReadWhole(SiteFile(*site, "state.st")),
              Hex("01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00"));
}

TEST(StateFile, SaveStateDoesNotCreateTheDataDirectory) {
    TempAppDir dir;
    auto site = MakeSite("h");
    EXPECT_FALSE(site->SaveState());
    EXPECT_FALSE(std::filesystem::exists(DataDirPath()));
}

TEST(SiteKeyPaths, AnonymousPasswordGivesTheHostOnlyDirectory) {
    TempAppDir dir;
    auto anonymous = MakeSite("ftp.h", "anonymous", kAnonymousPassword);
    auto oddUser = MakeSite("ftp.h", "someone", kAnonymousPassword);
    auto withUser = MakeSite("ftp.h", "someone", "pw");
    withUser->m_bAnonymousUpdate = 1; // plays no part in the key
    EXPECT_EQ(anonymous->GetKey(), "ftp.h");
    EXPECT_EQ(oddUser->GetKey(), "ftp.h");
    EXPECT_EQ(withUser->GetKey(), "ftp.h@someone");

    AddDir(anonymous->m_pRootDir.get(), "pub");
    ASSERT_TRUE(anonymous->SaveCatalogue());
    ASSERT_TRUE(withUser->SaveCatalogue());
    EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/Data/ftp.h/content.ct"));
    EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/Data/ftp.h@someone/content.ct"));
    // Two anonymous-password sites on one host share one directory.
    oddUser->EnsureLoaded();
    EXPECT_EQ(oddUser->m_pRootDir->m_subDirs.GetCount(), 1u);
}

TEST(SiteKeyPaths, UnusableKeysNeverBecomePaths) {
    TempAppDir dir;
    for (const std::string& host :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"), std::string("x\0y", 3)}) {
        auto site = MakeSite(host, "anonymous", kAnonymousPassword);
        AddFile(site->m_pRootDir.get(), "f", 1);
        EXPECT_FALSE(site->SaveCatalogue()) << host;
        EXPECT_FALSE(site->SaveState()) << host;
        site->LoadCatalogue();
        EXPECT_EQ(site->m_pRootDir->m_files.GetCount(), 1u);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/Data/a"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/content.ct"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/Data/content.ct"));
}

TEST(AtomicSave, FailedWriteLeavesTheOldFilesWhole) {
    TempAppDir dir;
    auto site = MakeSite("h");
    FillSmallTree(*site);
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(site->SaveState());
    const std::string oldContent = ReadWhole(SiteFile(*site, "content.ct"));
    const std::string oldState = ReadWhole(SiteFile(*site, "state.st"));

    CFTPDir* many = AddDir(site->m_pRootDir.get(), "many");
    for (int i = 0; i < 20000; ++i)
        AddFile(many, "file" + std::to_string(i), 1, 1);

    // A file-size limit makes writes past 8 KB fail as they would on a full disk.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 8192;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool contentSaved = site->SaveCatalogue();
    const bool stateSaved = site->SaveState();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(contentSaved);
    EXPECT_FALSE(stateSaved);
    EXPECT_EQ(ReadWhole(SiteFile(*site, "content.ct")), oldContent);
    EXPECT_EQ(ReadWhole(SiteFile(*site, "state.st")), oldState);
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SiteDataDirPath(site->GetKey()))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2u); // no temporary file left behind

    // The tree is still in memory and the next save goes through.
    EXPECT_TRUE(site->SaveCatalogue());
    EXPECT_EQ(Nodes(*LoadedCopy(*site)).size(), 5u + 1u + 20000u);
}

TEST(AtomicSave, TargetThatCannotBeReplacedFails) {
    TempAppDir dir;
    auto site = MakeSite("h");
    std::filesystem::create_directories(SiteFile(*site, "content.ct") + "/occupied");
    EXPECT_FALSE(site->SaveCatalogue());
    EXPECT_TRUE(std::filesystem::is_directory(SiteFile(*site, "content.ct") + "/occupied"));
    // Data exists as a file: nothing can be created below it.
    TempAppDir other;
    WriteWhole(DataDirPath(), "not a directory");
    EXPECT_FALSE(site->SaveCatalogue());
    EXPECT_EQ(ReadWhole(DataDirPath()), "not a directory");
}

TEST(AtomicSave, SiteDirectoryReplacedByALinkIsNotFollowed) {
    TempAppDir dir;
    TempAppDir elsewhere;
    SetAppDir(dir.Path());
    std::filesystem::create_directories(DataDirPath());
    std::filesystem::create_directory_symlink(elsewhere.Path(), SiteDataDirPath("h@u"));
    auto site = MakeSite("h");
    EXPECT_FALSE(site->SaveCatalogue());
    EXPECT_FALSE(site->SaveState());
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
}

TEST(EnsureLoaded, TwoThreadsReadTheFilesOnce) {
    TempAppDir dir;
    auto site = MakeSite("h");
    FillSmallTree(*site);
    for (int i = 0; i < 2000; ++i)
        AddFile(site->m_pRootDir.get(), "f" + std::to_string(i), 1);
    ASSERT_TRUE(site->SaveCatalogue());
    ASSERT_TRUE(site->SaveState());
    const std::size_t expected = Nodes(*site).size();
    for (int round = 0; round < 20; ++round) {
        auto copy = MakeSite("h");
        std::thread first([&] { copy->EnsureLoaded(); });
        std::thread second([&] { copy->EnsureLoaded(); });
        first.join();
        second.join();
        // A second read would have appended every node again.
        ASSERT_EQ(Nodes(*copy).size(), expected);
        EXPECT_EQ(copy->m_nLoadState.load(), TreeLoadState::Loaded);
    }
}

TEST(EnsureLoaded, AddedSiteMarkedLoadedIgnoresOldFiles) {
    TempAppDir dir;
    WriteWhole(dir.Path() + "/Data/h@u/content.ct", kPubExample);
    auto site = MakeSite("h");
    site->m_nLoadState = TreeLoadState::Loaded;
    site->EnsureLoaded();
    EXPECT_TRUE(site->m_pRootDir->m_subDirs.IsEmpty());
}

TEST(EnsureLoaded, CallerHoldingTheTreeLockDoesNotDeadlockWithALoader) {
    TempAppDir dir;
    auto site = MakeSite("h");
    FillSmallTree(*site);
    for (int i = 0; i < 20000; ++i)
        AddFile(site->m_pRootDir.get(), "f" + std::to_string(i), 1);
    ASSERT_TRUE(site->SaveCatalogue());
    const std::size_t expected = Nodes(*site).size();
    for (int round = 0; round < 10; ++round) {
        auto copy = MakeSite("h");
        std::thread worker([&] { copy->EnsureLoaded(); });
        {
            // The window thread holds the lock while it walks, and asks for the tree inside.
            auto lock = copy->LockTree();
            copy->EnsureLoaded();
        }
        worker.join();
        ASSERT_EQ(Nodes(*copy).size(), expected);
    }
}
