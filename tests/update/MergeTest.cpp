// The merge of one listing into one stored directory.

#include "model/Records.h"
#include "tests/support/CatalogueBuilder.h"
#include "update/DirectoryMerge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::atomic<bool> g_noStop{false};

FtpEntry F(std::string name, uint64_t size = 0) {
    return FtpEntry{std::move(name), false, size};
}
FtpEntry D(std::string name) {
    return FtpEntry{std::move(name), true, 0};
}

CFTPFile* AddFile(CFTPDir& dir, const std::string& name, uint64_t size = 0, int isNew = 0) {
    return testtree::AddFile(&dir, name, size, isNew != 0);
}

CFTPDir* AddDir(CFTPDir& parent, const std::string& name, int isNew = 0) {
    return testtree::AddDir(&parent, name, isNew != 0);
}

std::vector<std::string> Names(const CObList<CFTPFile>& list) {
    std::vector<std::string> names;
    for (auto* e : list)
        names.push_back(e->m_strName);
    return names;
}
std::vector<std::string> Names(const CObList<CFTPDir>& list) {
    std::vector<std::string> names;
    for (auto* e : list)
        names.push_back(e->m_strName);
    return names;
}

TEST(DirectoryMerge, FirstListingAddsEverythingAsNewInListOrder) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    auto outcome =
        MergeListing(site, root, {F("b.txt", 7), D("pub"), F("a.txt", 1ull << 33), D("incoming")}, g_noStop);

    EXPECT_FALSE(outcome.stopped);
    EXPECT_TRUE(outcome.addedAny);
    EXPECT_EQ(site.m_bHasNew.load(), 1);
    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"b.txt", "a.txt"}));
    EXPECT_EQ(Names(root.m_subDirs), (std::vector<std::string>{"pub", "incoming"}));
    EXPECT_EQ(root.m_files.GetAt(1)->m_nSize, 1ull << 33);
    for (auto* f : root.m_files) {
        EXPECT_EQ(f->m_bNew, 1);
        EXPECT_EQ(f->m_bSeen, 0);
        EXPECT_EQ(f->m_pParent, &root);
    }
    for (auto* d : root.m_subDirs) {
        EXPECT_EQ(d->m_bNew, 1);
        EXPECT_EQ(d->m_bSeen, 0);
        EXPECT_EQ(d->m_pParent, &root);
    }
}

TEST(DirectoryMerge, KnownEntriesKeepTheirMarkAndTakeTheNewSize) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    CFTPFile* read = AddFile(root, "read.txt", 10, 0);
    CFTPFile* unread = AddFile(root, "unread.txt", 10, 1);
    CFTPDir* sub = AddDir(root, "sub", 0);

    auto outcome = MergeListing(site, root, {F("read.txt", 99), F("unread.txt", 10), D("sub")}, g_noStop);

    EXPECT_FALSE(outcome.addedAny);
    EXPECT_EQ(site.m_bHasNew.load(), 0);
    EXPECT_TRUE(outcome.removedFiles.empty());
    EXPECT_TRUE(outcome.removedDirs.empty());
    EXPECT_EQ(read->m_nSize, 99u);
    EXPECT_EQ(read->m_bNew, 0); // a new size alone does not make a file new
    EXPECT_EQ(unread->m_bNew, 1);
    EXPECT_EQ(sub->m_bNew, 0);
    EXPECT_EQ(root.m_files.GetCount(), 2u);
}

TEST(DirectoryMerge, VanishedEntriesAreUnlinkedAndHandedBackInListOrder) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    AddFile(root, "gone1");
    AddFile(root, "stays");
    AddFile(root, "gone2");
    CFTPDir* oldDir = AddDir(root, "old");
    AddFile(*AddDir(*oldDir, "deeper"), "x");
    AddDir(root, "kept");

    auto outcome = MergeListing(site, root, {F("stays"), D("kept")}, g_noStop);

    ASSERT_EQ(outcome.removedFiles.size(), 2u);
    EXPECT_EQ(outcome.removedFiles[0]->m_strName, "gone1");
    EXPECT_EQ(outcome.removedFiles[1]->m_strName, "gone2");
    ASSERT_EQ(outcome.removedDirs.size(), 1u); // the subtree goes with its directory
    EXPECT_EQ(outcome.removedDirs[0].get(), oldDir);
    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"stays"}));
    EXPECT_EQ(Names(root.m_subDirs), (std::vector<std::string>{"kept"}));
}

TEST(DirectoryMerge, NamesAreComparedByteForByteAndKindsApart) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    AddFile(root, "readme");
    AddFile(root, "same");                      // replaced on the server by a directory of the same name
    const std::string gbk = "\xd6\xd0\xce\xc4"; // 中文 in GBK
    const std::string utf8 = "\xe4\xb8\xad\xe6\x96\x87"; // 中文 in UTF-8
    AddFile(root, gbk);

    auto outcome = MergeListing(site, root, {F("README"), F("readme"), D("same"), F(gbk), F(utf8)}, g_noStop);

    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"readme", gbk, "README", utf8}));
    EXPECT_EQ(root.FindFile("README")->m_bNew, 1);
    EXPECT_EQ(root.FindFile(gbk)->m_bNew, 0);
    ASSERT_EQ(outcome.removedFiles.size(), 1u);
    EXPECT_EQ(outcome.removedFiles[0]->m_strName, "same");
    ASSERT_NE(root.FindSubDir("same"), nullptr);
    EXPECT_EQ(root.FindSubDir("same")->m_bNew, 1);
}

TEST(DirectoryMerge, UnusableAndRepeatedNamesAreSkipped) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    std::vector<FtpEntry> listing = {
        D("."),        D(".."),       F(""),    F("a/b"), F(std::string("nul\0x", 5)), F("cr\r"), D("lf\nx"),
        F("twice", 1), F("twice", 2), D("dir"), D("dir"),
    };
    // Names too long to be sent back to a server.
    listing.push_back(F(std::string(kMaxFtpNameBytes + 1, 'f')));
    listing.push_back(D(std::string(64 << 10, 'd')));
    auto outcome = MergeListing(site, root, listing, g_noStop);

    // A CR or LF inside a name is the name's own: such entries are stored as listed.
    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"cr\r", "twice"}));
    EXPECT_EQ(root.FindFile("twice")->m_nSize, 2u);
    EXPECT_EQ(Names(root.m_subDirs), (std::vector<std::string>{"lf\nx", "dir"}));
    EXPECT_TRUE(IsUsableEntryName("a b%#?;&+"));
    EXPECT_FALSE(IsUsableEntryName(".."));
    EXPECT_TRUE(IsUsableEntryName(std::string(kMaxFtpNameBytes, 'n')));
}

TEST(DirectoryMerge, FirstOfEqualStoredNamesWinsAndTheRestGo) {
    // A damaged or old catalogue may hold a name twice; the first one is the one that lives on.
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    CFTPFile* first = AddFile(root, "dup", 1, 1);
    AddFile(root, "dup", 2, 0);

    auto outcome = MergeListing(site, root, {F("dup", 3)}, g_noStop);

    ASSERT_EQ(root.m_files.GetCount(), 1u);
    EXPECT_EQ(root.m_files.GetHead(), first);
    EXPECT_EQ(first->m_nSize, 3u);
    ASSERT_EQ(outcome.removedFiles.size(), 1u);
    EXPECT_EQ(outcome.removedFiles[0]->m_nSize, 2u);
}

TEST(DirectoryMerge, StopKeepsEverythingStoredAndLeavesNoMarks) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    CFTPFile* file = AddFile(root, "f");
    CFTPDir* dir = AddDir(root, "d");
    file->m_bSeen = 1; // as if part of the listing had been merged already
    dir->m_bSeen = 1;
    std::atomic<bool> stop{true};

    auto outcome = MergeListing(site, root, {F("new")}, stop);

    EXPECT_TRUE(outcome.stopped);
    EXPECT_TRUE(outcome.removedFiles.empty());
    EXPECT_TRUE(outcome.removedDirs.empty());
    EXPECT_EQ(root.m_files.GetCount(), 1u);
    EXPECT_EQ(root.m_subDirs.GetCount(), 1u);
    EXPECT_EQ(file->m_bSeen, 0);
    EXPECT_EQ(dir->m_bSeen, 0);
}

TEST(DirectoryMerge, ListingCutShortAddsAndUpdatesButRemovesNothing) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    CFTPFile* listed = AddFile(root, "a", 1, 0);
    CFTPFile* unlisted = AddFile(root, "b", 2, 0);
    CFTPDir* unlistedDir = AddDir(root, "d", 0);
    AddFile(root, "same", 3, 0); // now a directory on the server, but only the directory came

    auto outcome =
        MergeListing(site, root, {F("a", 10), F("c", 4), D("same")}, g_noStop, MergeSweep::KeepUnlisted);

    EXPECT_FALSE(outcome.stopped);
    EXPECT_TRUE(outcome.addedAny);
    EXPECT_TRUE(outcome.removedFiles.empty());
    EXPECT_TRUE(outcome.removedDirs.empty());
    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"a", "b", "same", "c"}));
    EXPECT_EQ(Names(root.m_subDirs), (std::vector<std::string>{"d", "same"}));
    EXPECT_EQ(listed->m_nSize, 10u);
    EXPECT_EQ(listed->m_bNew, 0);
    EXPECT_EQ(unlisted->m_bNew, 0);
    EXPECT_EQ(root.FindFile("c")->m_bNew, 1);
    for (auto* f : root.m_files)
        EXPECT_EQ(f->m_bSeen, 0) << f->m_strName;
    for (auto* d : root.m_subDirs)
        EXPECT_EQ(d->m_bSeen, 0) << d->m_strName;

    // The next complete listing sweeps as usual.
    outcome = MergeListing(site, root, {F("a", 10), F("c", 4)}, g_noStop);
    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(outcome.removedFiles.size(), 2u);
    ASSERT_EQ(outcome.removedDirs.size(), 2u);
    EXPECT_EQ(outcome.removedDirs[0].get(), unlistedDir);
}

TEST(DirectoryMerge, EmptyListingEmptiesTheDirectory) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    AddFile(root, "a");
    AddDir(root, "b");
    auto outcome = MergeListing(site, root, {}, g_noStop);
    EXPECT_EQ(outcome.removedFiles.size(), 1u);
    EXPECT_EQ(outcome.removedDirs.size(), 1u);
    EXPECT_TRUE(root.m_files.IsEmpty());
    EXPECT_TRUE(root.m_subDirs.IsEmpty());
}

} // namespace

namespace {

// The merge as a linear walk from the head would do it, for comparison: what each list holds
// afterwards (name, size, new mark) and the names removed.
struct MergedState {
    std::vector<std::tuple<std::string, uint64_t, int32_t>> files;
    std::vector<std::pair<std::string, int32_t>> dirs;
    std::vector<std::string> removedFiles, removedDirs;
    bool operator==(const MergedState&) const = default;
};

MergedState StateOf(const CFTPDir& dir, const MergeOutcome& outcome) {
    MergedState state;
    for (const CFTPFile* f : dir.m_files)
        state.files.emplace_back(f->m_strName, f->m_nSize, f->m_bNew);
    for (const CFTPDir* d : dir.m_subDirs)
        state.dirs.emplace_back(d->m_strName, d->m_bNew);
    for (const auto& f : outcome.removedFiles)
        state.removedFiles.push_back(f->m_strName);
    for (const auto& d : outcome.removedDirs)
        state.removedDirs.push_back(d->m_strName);
    return state;
}

MergedState ReferenceMerge(MergedState stored, const std::vector<FtpEntry>& listing) {
    std::vector<bool> seenFiles(stored.files.size()), seenDirs(stored.dirs.size());
    for (const FtpEntry& entry : listing) {
        if (!IsUsableEntryName(entry.name))
            continue;
        if (entry.isDir) {
            std::size_t i = 0;
            while (i < stored.dirs.size() && stored.dirs[i].first != entry.name)
                ++i;
            if (i == stored.dirs.size()) {
                stored.dirs.emplace_back(entry.name, 1);
                seenDirs.push_back(true);
            } else {
                seenDirs[i] = true;
            }
            continue;
        }
        std::size_t i = 0;
        while (i < stored.files.size() && std::get<0>(stored.files[i]) != entry.name)
            ++i;
        if (i == stored.files.size()) {
            stored.files.emplace_back(entry.name, entry.size, 1);
            seenFiles.push_back(true);
        } else {
            std::get<1>(stored.files[i]) = entry.size;
            seenFiles[i] = true;
        }
    }
    MergedState merged;
    for (std::size_t i = 0; i < stored.files.size(); ++i)
        (seenFiles[i] ? merged.files.push_back(stored.files[i])
                      : merged.removedFiles.push_back(std::get<0>(stored.files[i])));
    for (std::size_t i = 0; i < stored.dirs.size(); ++i)
        (seenDirs[i] ? merged.dirs.push_back(stored.dirs[i])
                     : merged.removedDirs.push_back(stored.dirs[i].first));
    return merged;
}

} // namespace

// Random directories and listings from a small alphabet, so that names repeat in the stored lists
// (an old catalogue), in the listing, and across kinds; in the stored order, shuffled, or cut.
TEST(DirectoryMerge, AgreesWithALinearWalkFromTheHead) {
    std::mt19937 rng(20240607);
    auto name = [&rng](int alphabet) {
        return "n" + std::to_string(rng() % static_cast<unsigned>(alphabet));
    };
    for (int round = 0; round < 300; ++round) {
        const int alphabet = 2 + static_cast<int>(rng() % 60);
        CFTPSite site;
        CFTPDir& root = *site.m_pRootDir;
        const int stored = static_cast<int>(rng() % 80);
        for (int i = 0; i < stored; ++i) {
            if (rng() % 4 == 0)
                AddDir(root, name(alphabet), static_cast<int>(rng() % 2));
            else
                AddFile(root, name(alphabet), rng() % 5, static_cast<int>(rng() % 2));
        }
        std::vector<FtpEntry> listing;
        const int order = round % 3;
        if (order == 0) { // the stored entries in their order, some left out, some new ones
            for (const CFTPDir* d : root.m_subDirs)
                if (rng() % 5)
                    listing.push_back(D(d->m_strName));
            for (const CFTPFile* f : root.m_files)
                if (rng() % 5)
                    listing.push_back(F(f->m_strName, rng() % 5));
        }
        const int extra = static_cast<int>(rng() % 40);
        for (int i = 0; i < extra; ++i)
            listing.push_back(rng() % 4 == 0 ? D(name(alphabet)) : F(name(alphabet), rng() % 5));
        if (order == 1)
            std::shuffle(listing.begin(), listing.end(), rng);
        if (rng() % 10 == 0)
            listing.push_back(F("bad/name"));

        const MergedState expected = ReferenceMerge(StateOf(root, MergeOutcome()), listing);
        auto outcome = MergeListing(site, root, listing, g_noStop);
        ASSERT_TRUE(StateOf(root, outcome) == expected) << "round " << round;
        for (const CFTPFile* f : root.m_files)
            ASSERT_EQ(f->m_pParent, &root);
        for (const CFTPDir* d : root.m_subDirs)
            ASSERT_EQ(d->m_pParent, &root);
    }
}

// Planned without the lock, applied under it; lists that changed in between are planned again.
TEST(DirectoryMerge, APlanOfListsThatChangedSinceIsMadeAgain) {
    CFTPSite site;
    CFTPDir& root = *site.m_pRootDir;
    AddFile(root, "a", 1);
    const std::vector<FtpEntry> listing = {F("a", 2), F("b", 3)};
    MergePlan plan = PlanMerge(root, listing, g_noStop);
    EXPECT_EQ(root.m_files.GetCount(), 1u); // planning changes nothing
    AddFile(root, "late", 4);
    auto outcome = ApplyMerge(site, root, std::move(plan), listing, g_noStop);
    EXPECT_EQ(Names(root.m_files), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(root.m_files.GetHead()->m_nSize, 2u);
    ASSERT_EQ(outcome.removedFiles.size(), 1u);
    EXPECT_EQ(outcome.removedFiles[0]->m_strName, "late");
}
