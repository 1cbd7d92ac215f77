// The compact records: names kept in shared chunks and files linked to their directory by number.
// What these can get wrong that a string and a pointer could not: the edges of the length form and
// of a chunk, chunks given back while a name still lives or kept after the last one, a directory
// number reused under a file of another directory, an object destroyed as the wrong class.
#include "ModelTestSupport.h"
#include "model/DataArchive.h"

#include <gtest/gtest.h>

#include <thread>

using namespace model_test;

namespace {

struct NameCase {
    const char* what;
    std::string name;
};

const std::vector<NameCase>& NameCases() {
    static const std::vector<NameCase> cases = {
        {"empty", ""},
        {"one byte", "a"},
        {"254 bytes, the last of the short length", std::string(254, 'x')},
        {"255 bytes, the first of the long length", std::string(255, 'y')},
        {"GBK bytes", "\xD6\xD0\xCE\xC4.txt"},
        {"the longest name that shares a chunk", std::string(8186, 'p')},
        {"a name with a chunk of its own", std::string(8192, 'q')},
        {"longer than a chunk", std::string(70000, 'r')},
        {"NUL inside", std::string("a\0b", 3)},
        {"NUL alone", std::string(1, '\0')},
    };
    return cases;
}

std::string Encode(CFTPDir& root) {
    std::string bytes;
    CDataArchive ar(&bytes);
    root.Persist(ar);
    ar.Close();
    return bytes;
}

} // namespace

TEST(CompactRecords, EdgeNamesRoundTripInMemoryAndThroughContentCt) {
    CFTPDir root;
    for (const NameCase& c : NameCases())
        AddFile(AddDir(&root, c.name), c.name, c.name.size());

    const std::string bytes = Encode(root);
    CFTPDir loaded;
    CDataArchive in(bytes.data(), bytes.size());
    loaded.Persist(in);
    ASSERT_EQ(loaded.m_subDirs.GetCount(), NameCases().size());
    for (std::size_t i = 0; i < NameCases().size(); ++i) {
        const NameCase& c = NameCases()[i];
        const CFTPDir* dir = root.m_subDirs.GetAt(i);
        EXPECT_EQ(dir->m_strName, c.name) << c.what;
        EXPECT_EQ(dir->m_files.GetHead()->m_strName, c.name) << c.what;
        CName copy = dir->m_strName;
        copy = copy; // a name assigned to itself keeps its bytes
        EXPECT_EQ(copy.View(), c.name) << c.what;
        // content.ct cuts a name at its first NUL, as it always did.
        const std::string stored = c.name.substr(0, c.name.find('\0'));
        EXPECT_EQ(loaded.m_subDirs.GetAt(i)->m_strName, stored) << c.what;
        EXPECT_EQ(loaded.m_subDirs.GetAt(i)->m_files.GetHead()->m_nSize, c.name.size()) << c.what;
    }
    // Saved again, what was loaded is the same file as its own save.
    CFTPDir reloaded;
    const std::string again = Encode(loaded);
    CDataArchive second(again.data(), again.size());
    reloaded.Persist(second);
    EXPECT_TRUE(Encode(reloaded) == again);
}

TEST(CompactRecords, ChunksGoBackWithTheLastNameWhicheverThreadMadeOrFreesThem) {
    const std::size_t before = CName::ChunksInUse();
    auto site = std::make_unique<CFTPSite>();
    CFTPSite::CStoredTree tree;
    // Read into a tree of its own by a thread that ends before the tree is used, as a reload does.
    std::thread([&tree] {
        tree.m_pRoot = std::make_unique<CFTPDir>();
        for (int d = 0; d < 100; ++d) {
            CFTPDir* dir = AddDir(tree.m_pRoot.get(), "directory " + std::to_string(d));
            for (int f = 0; f < 1000; ++f)
                AddFile(dir, "a file name of some length " + std::to_string(d * 1000 + f), 1);
        }
    }).join();
    EXPECT_GT(CName::ChunksInUse(), before + 30); // 100,000 names of about 32 bytes
    site->TakeStoredTree(std::move(tree));

    std::size_t wrong = 0;
    for (int d = 0; d < 100; ++d) {
        const CFTPDir* dir = site->m_pRootDir->m_subDirs.GetAt(static_cast<std::size_t>(d));
        wrong += dir->m_strName != "directory " + std::to_string(d);
        for (int f = 0; f < 1000; ++f) {
            const CFTPFile* file = dir->m_files.GetAt(static_cast<std::size_t>(f));
            wrong += file->m_strName != "a file name of some length " + std::to_string(d * 1000 + f);
            wrong += file->m_pParent != dir || file->GetSite() != site.get();
        }
    }
    EXPECT_EQ(wrong, 0u);
    std::thread([&site] { site.reset(); }).join();
    EXPECT_EQ(CName::ChunksInUse(), before);
}

TEST(CompactRecords, ReusedDirectoryNumbersLinkEachFileToItsOwnDirectory) {
    CFTPDir root;
    for (int round = 0; round < 3; ++round) {
        for (int d = 0; d < 5000; ++d)
            AddFile(AddDir(&root, "d"), "f", static_cast<uint64_t>(round));
        // Every other directory goes, through the base class as the removal notices hand it on.
        std::size_t index = 0;
        for (auto& gone : root.m_subDirs.ExtractIf([&index](CFTPDir*) { return index++ % 2 == 0; })) {
            std::unique_ptr<CObject> object(gone.release());
            EXPECT_EQ(object->GetClassRecord(), &CFTPDir::classCFTPDir);
        }
    }
    std::size_t wrong = 0;
    for (CFTPDir* dir : root.m_subDirs) {
        wrong += dir->m_pParent != &root;
        for (CFTPFile* file : dir->m_files)
            wrong += file->m_pParent != dir;
    }
    EXPECT_EQ(wrong, 0u);
    std::unique_ptr<CObject> file(root.m_subDirs.GetHead()->m_files.RemoveAt(0).release());
    EXPECT_EQ(file->GetClassRecord(), &CFTPFile::classCFTPFile);
}

TEST(CompactRecords, ChildListsKeepTheirOrderThroughGrowthAndRemovals) {
    CFTPDir dir;
    dir.m_files.Reserve(3);
    for (uint64_t i = 0; i < 1000; ++i) // grows far past what was reserved
        AddFile(&dir, std::to_string(i), i);
    const auto removed = dir.m_files.ExtractIf([](CFTPFile* file) { return file->m_nSize % 3 == 0; });
    const std::unique_ptr<CFTPFile> taken = dir.m_files.RemoveAt(10);

    std::vector<uint64_t> expected;
    for (uint64_t i = 0; i < 1000; ++i)
        if (i % 3 != 0)
            expected.push_back(i);
    EXPECT_EQ(taken->m_nSize, expected[10]);
    expected.erase(expected.begin() + 10);
    std::vector<uint64_t> kept;
    for (const CFTPFile* file : dir.m_files)
        kept.push_back(file->m_nSize);
    EXPECT_EQ(kept, expected);
    ASSERT_EQ(removed.size(), 334u);
    EXPECT_EQ(removed.front()->m_nSize, 0u);
    EXPECT_EQ(removed.back()->m_nSize, 999u);
    EXPECT_EQ(dir.m_files.GetTail()->m_nSize, 998u);
    dir.m_files.RemoveAll();
    EXPECT_TRUE(dir.m_files.IsEmpty());
    AddFile(&dir, "again", 1); // usable after it was emptied
    EXPECT_EQ(dir.m_files.GetHead()->m_strName, "again");
}
