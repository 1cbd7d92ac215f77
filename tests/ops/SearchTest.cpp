#include "ops/QuarnelDoc.h"
#include "ops/SearchKeyword.h"
#include "ops/SearchQuery.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"
#include "tests/ops/CatalogueBuilder.h"

#include <gtest/gtest.h>

namespace {

using opstest::AddDir;
using opstest::AddFile;

struct MatchCase {
    const char* keyword; // narrow bytes
    const char* name;    // narrow bytes
    bool matches;
};

TEST(SearchKeyword, MatchTable) {
    const MatchCase cases[] = {
        {"read", "ReadMe", true},
        {"read", "README.TXT", true},
        {"2006", "a2006b", true},
        {"2006", "2006", true},
        {"2006", "200", false},
        {"", "anything", true},
        {"", "", true},
        {"abc", "", false},
        {"#new ", "#new file", true},
        {"#new ", "#new", false},
        // GBK: a trail byte equal to an ASCII letter never starts a match.
        {"abc",
         "\x81"
         "abc",
         false},
        {"abc",
         "\x81\x61"
         "abc",
         true},
        {"bc",
         "\x81\x62"
         "c",
         false},
        {"a", "\xB0\x41", false},
        {"a",
         "\xB0\x41"
         "A",
         true},
        // A double-byte keyword at the second byte of a character: 你好 = C4E3 BAC3.
        {"\xE3\xBA", "\xC4\xE3\xBA\xC3", false},
        {"\xBA\xC3", "\xC4\xE3\xBA\xC3", true},
        {"\xC4\xE3", "x\xC4\xE3", true},
        // Full-width capitals lower to full-width small letters (Ａ A3C1 -> ａ A3E1).
        {"\xA3\xE1", "\xA3\xC1\xA3\xC2", true},
        {"\xA3\xE1\xA3\xE2", "\xA3\xC1\xA3\xC2", true},
        // Greek Α (A6A1) lowers to α (A6C1); an ASCII letter after it is still found.
        {"\xA6\xC1z", "\xA6\xA1Z", true},
        // A GB18030 four-byte character is stepped over whole.
        {"\x81\x30", "\x81\x30\x81\x30", true},
        {"\x81\x30\x81", "\x82\x81\x30\x81\x30", false},
        // UTF-8 names: found by the keyword's UTF-8 form.
        {"\xCE\xC4\xB5\xB5", "文档Readme", true}, // 文档 in GBK, as the window hands it over
        {"readme", "文档Readme", true},
        {"\xB5\xB5", "文档", true},
        {"\xB5\xB5", "文件", false},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " in " + c.name);
        EXPECT_EQ(CSearchKeyword::FromNarrow(c.keyword).Matches(c.name), c.matches);
    }
}

TEST(SearchKeyword, TypedKeywordsAreLoweredAndFindBothEncodings) {
    const CSearchKeyword cyrillic = CSearchKeyword::FromTyped("ПРИВЕТ");
    EXPECT_TRUE(cyrillic.Matches("привет.txt"));                                       // UTF-8 name
    EXPECT_TRUE(cyrillic.Matches("\xA7\xB1\xA7\xB2\xA7\xAA\xA7\xA3\xA7\xA6\xA7\xB4")); // GBK capitals
    const CSearchKeyword chinese = CSearchKeyword::FromTyped("文档");
    EXPECT_TRUE(chinese.Matches("\xD0\xC2\xCE\xC4\xB5\xB5")); // 新文档 in GBK
    EXPECT_TRUE(chinese.Matches("新文档.doc"));               // in UTF-8
    EXPECT_FALSE(chinese.Matches("wendang"));
    EXPECT_TRUE(CSearchKeyword::FromTyped("Ｒead").Matches("ｒEAD")); // full-width, UTF-8 name
    EXPECT_TRUE(CSearchKeyword::FromTyped("#NEW").IsNewEntries());
    EXPECT_FALSE(CSearchKeyword::FromTyped("#new ").IsNewEntries());
}

// Collects what a search shows, in the order it shows it.
class RecordingSink : public ISearchSink {
public:
    void SearchStarted(const SearchStart& start) override {
        events.push_back("start");
        lastStart = start;
    }
    void FoundDir(CFTPDir* dir) override { events.push_back("D " + dir->m_strName); }
    void FoundFile(CFTPFile* file) override { events.push_back("F " + file->m_strName); }
    void SearchProgress(int32_t done, int32_t total) override {
        events.push_back("site " + std::to_string(done) + "/" + std::to_string(total));
    }
    void SearchEnded() override { events.push_back("end"); }
    std::vector<std::string> events;
    SearchStart lastStart;
};

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_doc.SetSearchSink(&m_sink);
        // a: root { 2006/ (new) { x2006.txt (new), sub/ { deep (new) } }, docs/ { ReadMe/ , README.TXT } ,
        // 2006.iso }
        a = opstest::AddSite(m_doc.m_siteList, "a");
        CFTPDir* year = AddDir(a->m_pRootDir.get(), "2006", 1);
        AddFile(year, "x2006.txt", 1, 1);
        CFTPDir* sub = AddDir(year, "sub");
        AddFile(sub, "deep", 1, 1);
        CFTPDir* docs = AddDir(a->m_pRootDir.get(), "docs");
        AddDir(docs, "ReadMe");
        AddFile(docs, "README.TXT", 5, 1);
        AddFile(a->m_pRootDir.get(), "2006.iso", 7);
        // b: root { pub/ { new.txt (new) } }
        b = opstest::AddSite(m_doc.m_siteList, "b");
        AddFile(AddDir(b->m_pRootDir.get(), "pub"), "new.txt", 1, 1);
    }

    std::vector<std::string> Found() const {
        std::vector<std::string> names;
        for (const CFTPDir* dir : m_doc.m_foundDirs)
            names.push_back("D " + dir->m_strName);
        for (const CFTPFile* file : m_doc.m_foundFiles)
            names.push_back("F " + file->m_strName);
        return names;
    }

    opstest::ProgramDir m_dir;
    CQuarnelDoc m_doc;
    RecordingSink m_sink;
    CFTPSite* a = nullptr;
    CFTPSite* b = nullptr;
};

TEST_F(SearchTest, KeywordFindsDirectoriesAndEverythingBelowInWalkOrder) {
    const SearchOutcome outcome = m_doc.SearchAllSites("2006");
    EXPECT_EQ(outcome.status, OpStatus::Done);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(Found(), (std::vector<std::string>{"D 2006", "F x2006.txt", "F 2006.iso"}));
    EXPECT_EQ(m_sink.events, (std::vector<std::string>{"start", "site 1/2", "D 2006", "F x2006.txt",
                                                       "F 2006.iso", "site 2/2", "end"}));
    EXPECT_TRUE(m_sink.lastStart.showProgress);
    EXPECT_TRUE(m_sink.lastStart.busyCursor);
    EXPECT_EQ(m_doc.m_nSearchDone, 2);
}

TEST_F(SearchTest, CaseIsLoweredAndAnEmptyKeywordListsEverything) {
    m_doc.SearchAllSites("READ");
    EXPECT_EQ(Found(), (std::vector<std::string>{"D ReadMe", "F README.TXT"}));
    m_doc.SearchAllSites("");
    EXPECT_EQ(Found(), (std::vector<std::string>{"D 2006", "D sub", "D docs", "D ReadMe", "D pub", "F deep",
                                                 "F x2006.txt", "F README.TXT", "F 2006.iso", "F new.txt"}));
}

TEST_F(SearchTest, NothingFoundSaysSo) {
    EXPECT_EQ(m_doc.SearchAllSites("zzz").message, "对不起，没有找到你要的文件！");
    a->m_nUpdateStatus = UpdateStatus::NotUpdated;
    b->m_nUpdateStatus = UpdateStatus::Failed;
    EXPECT_EQ(m_doc.ShowNewFiles(SiteScope::Updated).message, "没有未读文件！");
    EXPECT_TRUE(Found().empty());
    CQuarnelDoc empty;
    const SearchOutcome none = empty.SearchAllSites("x");
    EXPECT_EQ(none.status, OpStatus::Done);
    EXPECT_EQ(none.message, ""); // no sites: no message
}

TEST_F(SearchTest, NewEntriesListANewDirectoryAlone) {
    SearchOutcome outcome = m_doc.ShowNewFiles(SiteScope::All);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(Found(), (std::vector<std::string>{"D 2006", "F README.TXT", "F new.txt"}));
    EXPECT_FALSE(m_sink.lastStart.busyCursor);

    // The keyword typed into the find box does the same, with the keyword search's message.
    m_doc.SearchAllSites("#new");
    EXPECT_EQ(Found(), (std::vector<std::string>{"D 2006", "F README.TXT", "F new.txt"}));

    // Updated sites only.
    b->m_nUpdateStatus = UpdateStatus::Succeeded;
    m_doc.ShowNewFiles(SiteScope::Updated);
    EXPECT_EQ(Found(), (std::vector<std::string>{"F new.txt"}));

    // Below one tree directory: no progress window.
    m_doc.ShowNewUnder(a->m_pRootDir->m_subDirs.GetHead());
    EXPECT_EQ(Found(), (std::vector<std::string>{"F deep", "F x2006.txt"}));
    EXPECT_FALSE(m_sink.lastStart.showProgress);
}

TEST_F(SearchTest, AStopKeepsTheResultsAndNoMessage) {
    int calls = 0;
    m_doc.SetPumpPending([&] { return ++calls < 2; }); // the second look at the queue sees "stop"
    const SearchOutcome outcome = m_doc.SearchAllSites("");
    EXPECT_EQ(outcome.status, OpStatus::Stopped);
    EXPECT_EQ(outcome.message, "");
    // "sub" was appended before the pump that saw the stop.
    EXPECT_EQ(Found(), (std::vector<std::string>{"D 2006", "D sub"}));
    EXPECT_EQ(m_sink.events.back(), "end");

    // RequestStopWalk from inside the pump does the same.
    m_doc.SetPumpPending([&] {
        m_doc.RequestStopWalk();
        return true;
    });
    EXPECT_EQ(m_doc.SearchAllSites("").status, OpStatus::Stopped);
    EXPECT_EQ(Found(), (std::vector<std::string>{"D 2006"}));
}

// A query search lets events through at its first hit, so that the first row shows at once, and
// after that every few hundred entries, hits or not: the window batches rows anyway, and a
// million hits must not cost a million looks at the event queue.
TEST_F(SearchTest, AQuerySearchPumpsAtItsFirstHitAndThenEveryFewEntries) {
    struct Case {
        const char* query;
        int stopAtCall; // the pump's answer turns to "stop" at this call (0: never)
        OpStatus status;
        std::vector<std::string> found;
        int calls;
    };
    const Case cases[] = {
        {"2006", 0, OpStatus::Done, {"D 2006", "F x2006.txt", "F 2006.iso"}, 1},
        {"2006", 1, OpStatus::Stopped, {"D 2006"}, 1},
        {"type:file", 1, OpStatus::Stopped, {"F deep"}, 1},
        {"e", 0, OpStatus::Done, {"D ReadMe", "F deep", "F README.TXT", "F new.txt"}, 1},
        {"nothing-like-it", 0, OpStatus::Done, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        int calls = 0;
        m_doc.SetPumpPending([&] { return ++calls != c.stopAtCall; });
        EXPECT_EQ(m_doc.FindAllSites(CSearchQuery::Parse(c.query)).status, c.status);
        EXPECT_EQ(Found(), c.found);
        EXPECT_EQ(calls, c.calls);
    }
    m_doc.SetPumpPending(nullptr);
}

TEST_F(SearchTest, ASecondSearchThroughThePumpIsRefused) {
    SearchOutcome nested;
    bool once = false;
    m_doc.SetPumpPending([&] {
        if (!once) {
            once = true;
            nested = m_doc.SearchAllSites("x");
        }
        return true;
    });
    m_doc.SearchAllSites("2006");
    EXPECT_EQ(nested.status, OpStatus::Busy);
    EXPECT_EQ(Found().size(), 3u);
}

TEST_F(SearchTest, ForgetEntryDropsTheEntryAndEverythingBelowIt) {
    m_doc.SearchAllSites("");
    CFTPDir* year = a->m_pRootDir->m_subDirs.GetHead();
    m_doc.ShowDir(year->m_subDirs.GetHead()); // browsing "sub", below "2006"
    ASSERT_EQ(m_doc.m_browseFiles.size(), 1u);
    m_doc.ForgetEntry(year, kEntryDir);
    EXPECT_EQ(Found(), (std::vector<std::string>{"D docs", "D ReadMe", "D pub", "F README.TXT", "F 2006.iso",
                                                 "F new.txt"}));
    EXPECT_TRUE(m_doc.m_browseFiles.empty());

    m_doc.ShowDir(a->m_pRootDir->m_subDirs.GetAt(1)); // docs
    CFTPFile* readme = m_doc.m_browseFiles.front();
    m_doc.ForgetEntry(readme, kEntryFile);
    EXPECT_TRUE(m_doc.m_browseFiles.empty());
    EXPECT_EQ(m_doc.m_browseDirs.size(), 1u);
    EXPECT_EQ(m_doc.m_foundFiles.size(), 2u);

    m_doc.ForgetSite(b);
    EXPECT_EQ(Found(), (std::vector<std::string>{"D docs", "D ReadMe", "F 2006.iso"}));
}

} // namespace

namespace {

// What is shown is what is found: the same names decided per site, searched by typed keywords.
TEST(SearchShownNames, FindsNamesInTheEncodingTheyAreShownIn) {
    opstest::ProgramDir dir;
    CQuarnelDoc doc;
    CFTPSite* gbk = opstest::AddSite(doc.m_siteList, "gbk");
    for (const char* name : {"目录", "学习", "资料"})
        AddDir(gbk->m_pRootDir.get(), Utf8ToNarrow(name));
    AddFile(gbk->m_pRootDir.get(), "中文资料.txt"); // a UTF-8 upload on the GBK server
    gbk->DecideNameCharset();
    CFTPSite* utf8 = opstest::AddSite(doc.m_siteList, "utf8");
    for (const char* name : {"café", "文件", "Ĳssel"})
        AddDir(utf8->m_pRootDir.get(), name);
    utf8->DecideNameCharset();

    struct Case {
        const char* keyword;
        std::vector<std::string> found; // shown names
    };
    const Case cases[] = {
        {"目录", {"目录"}}, {"学习", {"学习"}}, {"资料", {"资料", "中文资料.txt"}},
        {"café", {"café"}}, {"ĳ", {"Ĳssel"}},   {"文件", {"文件"}},
        {"ŀ¼", {}}, // the misreading of 目录 is not there to find
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyword);
        doc.SearchAllSites(c.keyword);
        std::vector<std::string> shown;
        for (const CFTPDir* d : doc.m_foundDirs)
            shown.push_back(ShownName(d));
        for (const CFTPFile* f : doc.m_foundFiles)
            shown.push_back(ShownName(f));
        EXPECT_EQ(shown, c.found);
    }
}

} // namespace
