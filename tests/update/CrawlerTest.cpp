// One site's update against the in-memory server: statuses, marks, removal notices, files,
// resuming after a lost connection and the automatic re-queue.

#include "model/FileLock.h"
#include "tests/update/EngineTestSupport.h"
#include "update/SiteCrawler.h"
#include "update/UpdateTexts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace enginetest {
namespace {

using Crawler = EngineTest;

std::vector<std::string> Texts(const std::vector<StatusNote>& notes) {
    std::vector<std::string> texts;
    for (auto& n : notes)
        texts.push_back(n.text);
    return texts;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

void MarkAllRead(CFTPDir* dir) {
    for (auto* f : dir->m_files)
        f->m_bNew = 0;
    for (auto* d : dir->m_subDirs) {
        d->m_bNew = 0;
        MarkAllRead(d);
    }
}

TEST_F(Crawler, FirstUpdateMarksEverythingNewAndWritesBothFiles) {
    m_fake->Put("/pub/a", 5);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->m_bHasNew.load(), 1);
    ASSERT_NE(FindFile(site, "/pub/a"), nullptr);
    EXPECT_EQ(FindDir(site, "/pub")->m_bNew, 1);
    EXPECT_EQ(FindFile(site, "/pub/a")->m_bNew, 1);
    auto texts = Texts(m_events.StatusesOf(site));
    EXPECT_TRUE(Contains(texts, kStatusConnecting));
    EXPECT_TRUE(Contains(texts, kStatusConnected));
    EXPECT_EQ(texts.back(), kStatusSucceeded);

    // The two files of the site's directory, byte for byte.
    EXPECT_EQ(ReadBytes(SiteFile(site, "content.ct")), kPubTreeContent);
    EXPECT_EQ(ReadBytes(SiteFile(site, "state.st")), kPubTreeStateAllNew);
    EXPECT_EQ(m_fake->OpenConnections(), 0);
}

TEST_F(Crawler, SecondUpdateMarksWhatChangedAndReportsEachRemovalOnce) {
    m_fake->Put("/keep.txt", 1);
    m_fake->Put("/resize.txt", 1);
    m_fake->Put("/old-name.txt", 3);
    m_fake->Put("/same", 4);
    m_fake->Put("/Case.txt", 1);
    m_fake->Put("/gone/deep/x", 1);
    m_fake->Put("/gone/y", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    MarkAllRead(site->m_pRootDir.get());
    site->m_bHasNew = 0;
    CFTPFile* goneFile = FindFile(site, "/old-name.txt");
    CFTPDir* goneDir = FindDir(site, "/gone");
    CFTPFile* replaced = FindFile(site, "/same");
    m_events.Clear();

    m_fake->Put("/resize.txt", 1000);
    m_fake->Remove("/old-name.txt");
    m_fake->Put("/new-name.txt", 3);
    m_fake->Remove("/same");
    m_fake->Put("/same/");
    m_fake->Put("/case.txt", 1);
    m_fake->Remove("/gone/");
    m_fake->Put("/added/inner.bin", 8);
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->m_bHasNew.load(), 1);
    EXPECT_EQ(FindFile(site, "/keep.txt")->m_bNew, 0);
    EXPECT_EQ(FindFile(site, "/resize.txt")->m_bNew, 0);
    EXPECT_EQ(FindFile(site, "/resize.txt")->m_nSize, 1000u);
    EXPECT_EQ(FindFile(site, "/new-name.txt")->m_bNew, 1);
    EXPECT_EQ(FindFile(site, "/Case.txt")->m_bNew, 0);
    EXPECT_EQ(FindFile(site, "/case.txt")->m_bNew, 1);
    EXPECT_EQ(FindFile(site, "/same"), nullptr);
    EXPECT_EQ(FindDir(site, "/same")->m_bNew, 1);
    EXPECT_EQ(FindDir(site, "/added")->m_bNew, 1);
    EXPECT_EQ(FindFile(site, "/added/inner.bin")->m_bNew, 1);
    EXPECT_EQ(FindDir(site, "/gone"), nullptr);

    auto removed = m_events.Removed();
    ASSERT_EQ(removed.size(), 3u); // two files, then the one directory; nothing below it
    EXPECT_EQ(removed[0].id, goneFile);
    EXPECT_EQ(removed[0].kind, kEntryFile);
    EXPECT_EQ(removed[1].id, replaced);
    EXPECT_EQ(removed[1].kind, kEntryFile);
    EXPECT_EQ(removed[2].id, goneDir);
    EXPECT_EQ(removed[2].kind, kEntryDir);
}

TEST_F(Crawler, RefusedDirectoryKeepsItsEntriesAndRefusedListingEmptiesIt) {
    m_fake->Put("/locked/secret.txt", 1);
    m_fake->Put("/locked/inner/x", 1);
    m_fake->Put("/unlisted/f", 1);
    m_fake->Put("/open/g", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    m_events.Clear();

    m_fake->SetFault("/locked", Fault::RefuseCwd);
    m_fake->SetFault("/unlisted", Fault::RefuseList);
    m_fake->ClearLog();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_NE(FindFile(site, "/locked/secret.txt"), nullptr);
    EXPECT_NE(FindFile(site, "/locked/inner/x"), nullptr);
    EXPECT_EQ(FindDir(site, "/unlisted")->m_files.GetCount(), 0u);
    EXPECT_NE(FindFile(site, "/open/g"), nullptr);
    auto log = m_fake->Log();
    EXPECT_FALSE(Contains(log, "CWD /locked/inner")); // the children of a refused directory wait
    ASSERT_EQ(m_events.Removed().size(), 1u);
    EXPECT_EQ(m_events.Removed()[0].name, "f");
}

// The commands the second login sent, in order.
std::vector<std::string> AfterLogin(const std::vector<std::string>& log, int login) {
    std::vector<std::string> out;
    int seen = 0;
    for (auto& line : log) {
        if (line.rfind("USER ", 0) == 0)
            ++seen;
        else if (seen == login)
            out.push_back(line);
    }
    return out;
}

TEST_F(Crawler, LostThreeLevelsDeepResumesThereAndListsNothingBefore) {
    m_fake->Put("/a/b/before/f", 1);
    m_fake->Put("/a/b/c/d/file", 1);
    m_fake->Put("/a/b/c2/f", 1);
    m_fake->Put("/z/f", 1);
    m_fake->SetFault("/a/b/c", Fault::LoseList, 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_EQ(site->m_nRetryCount, 1);
    EXPECT_EQ(m_fake->Logins(), 2);
    auto second = AfterLogin(m_fake->Log(), 2);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.front(), "CWD /a/b/c");
    for (const char* earlier : {"CWD /", "CWD /a", "CWD /a/b", "CWD /a/b/before"})
        EXPECT_FALSE(Contains(second, earlier)) << earlier;
    for (const char* later : {"CWD /a/b/c/d", "CWD /a/b/c2", "CWD /z"})
        EXPECT_TRUE(Contains(second, later)) << later;
    EXPECT_NE(FindFile(site, "/a/b/c/d/file"), nullptr);

    // While it waited, the status showed the loss with the waiting note, code 4.
    bool sawRequeue = false;
    for (auto& note : m_events.StatusesOf(site)) {
        if (sawRequeue) {
            EXPECT_NE(note.text, kStatusWaiting); // a re-queue keeps showing why it waits
        }
        const std::string suffix = kStatusRequeued;
        if (note.code == UpdateStatus::Waiting && note.text.rfind(kStatusLostFormat, 0) == 0 &&
            note.text.size() > suffix.size() &&
            note.text.compare(note.text.size() - suffix.size(), suffix.size(), suffix) == 0)
            sawRequeue = true;
    }
    EXPECT_TRUE(sawRequeue);
}

TEST_F(Crawler, LostAtTheRootStartsOver) {
    m_fake->Put("/a/f", 1);
    m_fake->SetFault("/", Fault::LoseList, 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    auto second = AfterLogin(m_fake->Log(), 2);
    ASSERT_GE(second.size(), 2u);
    EXPECT_EQ(second[0], "CWD /");
    EXPECT_EQ(second[1], "LIST /");
}

TEST_F(Crawler, FifthLossLeavesTheSiteEndedWithoutRequeue) {
    m_fake->Put("/a/f", 1);
    m_fake->SetFault("/a", Fault::LoseCwd);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(m_fake->Logins(), 5); // the user's run and four re-queues
    EXPECT_EQ(site->m_nRetryCount, 4);
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
    std::string text = site->GetStatusText();
    EXPECT_EQ(text.rfind(kStatusLostFormat, 0), 0u);
    EXPECT_EQ(text.find('\t'), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(SiteFile(site, "content.ct"))); // partial walks are kept

    // A run the user starts later is not re-queued either.
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(m_fake->Logins(), 6);
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
}

TEST_F(Crawler, SubdirectoryRunWalksOnlyItsSubtreeAndResumesInIt) {
    m_fake->Put("/a/sub/x/f", 1);
    m_fake->Put("/b/f", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    m_fake->ClearLog();
    m_fake->SetFault("/a/sub", Fault::LoseList, 1);

    ASSERT_TRUE(UpdateAndWait(FindDir(site, "/a/sub")));
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    auto log = m_fake->Log();
    EXPECT_FALSE(Contains(log, "CWD /b"));
    EXPECT_FALSE(Contains(log, "CWD /a"));
    auto second = AfterLogin(log, 2);
    ASSERT_GE(second.size(), 2u);
    EXPECT_EQ(second[0], "CWD /a/sub");
    EXPECT_TRUE(Contains(second, "CWD /a/sub/x"));
}

TEST_F(Crawler, StopDuringTheWalkKeepsTheDirectoryAndWritesWhatWasMerged) {
    m_fake->Put("/a/f1", 1);
    m_fake->Put("/b/f2", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    m_fake->Put("/b/f3", 1);
    m_fake->Remove("/b/f2");
    m_fake->OnList([](const std::string& path) {
        if (path == "/b")
            StopUpdates(); // arrives while /b's listing is in flight
    });
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusStopped);
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
    EXPECT_EQ(site->m_nRetryCount, 0);
    CFTPDir* b = FindDir(site, "/b");
    EXPECT_NE(b->FindFile("f2"), nullptr); // nothing of /b removed
    EXPECT_EQ(b->FindFile("f3"), nullptr);
    EXPECT_EQ(b->FindFile("f2")->m_bSeen, 0);
    EXPECT_TRUE(site->m_bResume);
    EXPECT_EQ(site->m_pResumeDir, b);
    EXPECT_TRUE(m_events.Removed().empty());

    // The next run the user starts walks everything again.
    m_fake->OnList(nullptr);
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_NE(b->FindFile("f3"), nullptr);
    EXPECT_EQ(b->FindFile("f2"), nullptr);
}

TEST_F(Crawler, SiteNeverLoadedIsReadBeforeTheMerge) {
    m_fake->Put("/pub/a", 1);
    m_fake->Put("/pub/b", 2);
    CFTPSite* first = AddSite();
    ASSERT_TRUE(UpdateAndWait(first));
    FindFile(first, "/pub/a")->m_bNew = 0; // read, and written with the next save
    ASSERT_TRUE(UpdateAndWait(first));
    m_events.Clear();

    // The same site as read from site.ds in a new program run: its tree is still on disk only.
    CFTPSite* again = AddSite();
    again->m_nLoadState = TreeLoadState::NotLoaded;
    first->m_nUpdateStatus = UpdateStatus::NotUpdated;
    m_sites.RemoveAt(0);
    ASSERT_TRUE(UpdateAndWait(again));

    EXPECT_EQ(again->m_nLoadState.load(), TreeLoadState::Loaded);
    EXPECT_EQ(FindFile(again, "/pub/a")->m_bNew, 0);
    EXPECT_EQ(FindFile(again, "/pub/b")->m_bNew, 1);
    EXPECT_EQ(again->m_bHasNew.load(), 0); // nothing reported new twice
    EXPECT_TRUE(m_events.Removed().empty());
}

TEST_F(Crawler, LoginRefusalAndMissingSessionFailWithoutFiles) {
    CFTPSite* site = AddSite();
    m_fake->SetFault("", Fault::RefuseLogin, 1);
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), std::string(kStatusFailedPrefix) + "530 Login incorrect.");
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
    EXPECT_EQ(site->m_nRetryCount, 0);
    EXPECT_FALSE(std::filesystem::exists(SiteFile(site, "content.ct")));

    SetFtpConnectionFactory([](const std::atomic<bool>*) { return std::unique_ptr<IServerConnection>(); });
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), kStatusNoSession);
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Failed);
}

TEST_F(Crawler, AnonymousUpdateLogsInAsAnonymous) {
    CFTPSite* site = AddSite();
    site->m_strUser = "alice";
    site->m_strPassword = "pw";
    site->m_bAnonymousUpdate = 1;
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(m_fake->Log().front(), "USER anonymous@fake.example");
}

TEST_F(Crawler, DescentEndsAtTheDepthLimitAndSaysSo) {
    std::string path;
    for (int i = 0; i < kMaxWalkDepth + 20; ++i)
        path += "/d" + std::to_string(i);
    m_fake->Put(path + "/");
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusDepthLimit);
    int listings = 0;
    for (auto& line : m_fake->Log())
        listings += line.rfind("LIST ", 0) == 0;
    EXPECT_EQ(listings, kMaxWalkDepth + 1); // the start and 256 levels below it
}

TEST_F(Crawler, ListingCutShortKeepsWhatItLeftOutAndSaysSo) {
    for (int i = 0; i < 6; ++i)
        m_fake->Put("/big/f" + std::to_string(i), 1);
    m_fake->Put("/big/sub/x", 1);
    m_fake->Put("/other/y", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    ASSERT_EQ(FindDir(site, "/big")->m_files.GetCount(), 6u);
    MarkAllRead(site->m_pRootDir.get());
    m_events.Clear();

    // The server now holds f0, f2..f5, sub and new; it lists only f0, f2 and f3.
    m_fake->Remove("/big/f1");
    m_fake->Put("/big/new", 1);
    m_fake->Put("/big/f0", 7); // listed first, with its new size
    m_fake->Remove("/other/y");
    m_fake->SetTruncated("/big", 3);
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusTruncated);
    CFTPDir* big = FindDir(site, "/big");
    EXPECT_EQ(big->m_files.GetCount(), 6u); // f1 stays until a complete listing
    EXPECT_EQ(big->FindFile("f0")->m_nSize, 7u);
    EXPECT_NE(FindFile(site, "/big/sub/x"), nullptr); // its children are walked all the same
    ASSERT_EQ(m_events.Removed().size(), 1u);         // a complete listing elsewhere still sweeps
    EXPECT_EQ(m_events.Removed()[0].name, "y");

    m_fake->ClearFaults();
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_EQ(big->FindFile("f1"), nullptr);
    EXPECT_EQ(big->FindFile("new")->m_bNew, 1);
    EXPECT_EQ(big->FindFile("f2")->m_bNew, 0);
}

int Listings(const std::vector<std::string>& log) {
    return static_cast<int>(
        std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("LIST ", 0) == 0; }));
}

const std::string kSameChain = "/samechain/x/x/x/x/x/x/x/x";

// Links to directories listed as directories, on servers that give identity in three ways.
struct IdentityMode {
    const char* name;
    bool entries, cdir;
};
void PrintTo(const IdentityMode& mode, std::ostream* os) {
    *os << mode.name;
}
class CrawlerIdentity : public EngineTest, public ::testing::WithParamInterface<IdentityMode> {};

TEST_P(CrawlerIdentity, EndsLinkLoopsAfterOneListingEach) {
    m_fake->Put("/a/f", 1);
    m_fake->Link("/a/loop", "/a");
    m_fake->Link("/a/up", "/");
    m_fake->Link("/rootloop", "/");
    m_fake->Put(kSameChain + "/bottom.txt", 3);
    m_fake->SetIdentity(GetParam().entries, GetParam().cdir);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusLoopSkipped);
    EXPECT_NE(FindFile(site, kSameChain + "/bottom.txt"), nullptr);
    EXPECT_NE(FindFile(site, "/a/loop/f"), nullptr); // a link shows what it holds, one level
    EXPECT_TRUE(FindDir(site, "/a/loop/loop")->m_subDirs.IsEmpty());
    // "/", "/a", its two links, "/rootloop", and the chain of nine.
    EXPECT_EQ(Listings(m_fake->Log()), 5 + 9);
}

INSTANTIATE_TEST_SUITE_P(Modes, CrawlerIdentity,
                         ::testing::Values(IdentityMode{"IdsOnEntries", true, false},
                                           IdentityMode{"IdOnCdir", false, true},
                                           IdentityMode{"Both", true, true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Crawler, WithoutIdentityARepeatingChainIsWalkedToItsEnd) {
    m_fake->Put(kSameChain + "/bottom.txt", 3);
    m_fake->Put("/w/pkg/pkg/data/d.bin", 1); // /w and /w/pkg both list just "pkg"
    m_fake->Put("/w/pkg/pkg/docs/readme", 1);
    m_fake->Put("/t/x/x/"); // /t/x lists like /t; its other child is real
    m_fake->Put("/t/x/y/real.txt", 1);
    m_fake->Put("/t/y/");
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    EXPECT_NE(FindFile(site, kSameChain + "/bottom.txt"), nullptr);
    EXPECT_NE(FindFile(site, "/w/pkg/pkg/data/d.bin"), nullptr);
    EXPECT_NE(FindFile(site, "/w/pkg/pkg/docs/readme"), nullptr);
    EXPECT_NE(FindFile(site, "/t/x/y/real.txt"), nullptr);
}

TEST_F(Crawler, WithoutIdentityLoopsEverywhereCostLittle) {
    // A real tree of 1 + 3 + 9 + 27 directories, with three links back to the root in the root
    // and a link back to itself in every other directory.
    std::vector<std::string> dirs, frontier = {""};
    for (int level = 0; level < 3; ++level) {
        std::vector<std::string> next;
        for (const std::string& d : frontier)
            for (const char* name : {"/p", "/q", "/r"})
                next.push_back(d + name + std::to_string(level));
        for (const std::string& d : next)
            m_fake->Put(d + "/file", 1);
        dirs.insert(dirs.end(), next.begin(), next.end());
        frontier = next;
    }
    for (const std::string& d : dirs)
        m_fake->Link(d + "/self", d);
    for (const char* link : {"/a", "/b", "/c"})
        m_fake->Link(link, "/");
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusLoopSkipped);
    for (const std::string& d : dirs)
        EXPECT_NE(FindFile(site, d + "/file"), nullptr) << d;
    // 40 real directories; each of the 42 loops stops after its listing has come sixteen times,
    // and what repeats off those chains shares a budget of 64.
    const int listings = Listings(m_fake->Log());
    EXPECT_LE(listings, 40 + 42 * 15 + 64) << listings;
    RecordProperty("listings", listings);
}

TEST_F(Crawler, WalkDirectoryReportsTheEndDirectly) {
    m_fake->Put("/a/b/f", 1);
    CFTPSite* site = AddSite();
    auto connection = m_fake->Connect();
    ASSERT_TRUE(connection->Connect("h", 21, "u", "p").ok());
    EXPECT_TRUE(WalkDirectory(*connection, site, site->m_pRootDir.get()));
    EXPECT_NE(FindFile(site, "/a/b/f"), nullptr);

    m_fake->SetFault("/a/b", Fault::LoseCwd);
    EXPECT_FALSE(WalkDirectory(*connection, site, site->m_pRootDir.get()));
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
    EXPECT_EQ(site->GetStatusText().rfind(kStatusLostFormat, 0), 0u);
    EXPECT_EQ(site->m_pResumeDir, FindDir(site, "/a/b"));
}

} // namespace
} // namespace enginetest

namespace enginetest {
namespace {

// OPTS UTF8 ON changes the bytes a server sends, so it is asked for only where the stored names
// cannot be made new by it.
TEST_F(Crawler, AsksForUtf8NamesOnlyWhereNoStoredNameChanges) {
    struct Case {
        const char* what;
        bool offered;
        std::string storedName; // a stored directory's name, "" for an empty tree
        NameEncodingChoice choice;
        bool asked;
    };
    const Case cases[] = {
        {"empty tree, offered", true, "", NameEncodingChoice::Auto, true},
        {"UTF-8 tree, offered", true, "文件", NameEncodingChoice::Auto, true},
        {"ASCII tree, offered", true, "pub", NameEncodingChoice::Auto, true},
        {"GBK tree, offered", true, "\xD7\xCA\xC1\xCF", NameEncodingChoice::Auto, false},
        {"user chose GBK", true, "", NameEncodingChoice::Gbk, false},
        {"not offered", false, "", NameEncodingChoice::Auto, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fake->m_offersUtf8 = c.offered;
        m_fake->ClearLog();
        CFTPSite* site = AddSite("host" + std::to_string(n++));
        if (!c.storedName.empty()) {
            testtree::AddDir(site->m_pRootDir.get(), c.storedName);
            site->DecideNameCharset();
        }
        CSiteSettings settings;
        settings.m_encoding = c.choice;
        site->SetSettings(settings);
        ASSERT_TRUE(UpdateAndWait(site));
        const auto log = m_fake->Log();
        EXPECT_EQ(std::count(log.begin(), log.end(), "OPTS UTF8 ON"), c.asked ? 1 : 0);
        EXPECT_EQ(LoadSiteSettings(site->GetKey()).m_bServerUtf8, c.asked);
        if (c.asked) {
            EXPECT_EQ(site->GetNameCharset(), NameCharset::Utf8);
        }
    }
}

} // namespace
} // namespace enginetest

namespace enginetest {
namespace {

// A listing that does not arrive whole, or is refused for now, says nothing of its directory:
// the directory keeps what it holds, its children wait, the walk goes on, nothing is queued again, and the
// status says so.
TEST_F(Crawler, ListingsThatDoNotArriveKeepTheirDirectories) {
    struct Case {
        const char* what;
        Fault fault;
        const char* line;
    };
    const Case cases[] = {
        {"data connection failed", Fault::FailData, kStatusListingFailed},
        {"refused for now (450)", Fault::BusyList, kStatusListingBusy},
        {"too large", Fault::TooLarge, kStatusListingTooLarge},
        {"too slow", Fault::TooSlow, kStatusListingTooSlow},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fake = std::make_shared<FakeFtpServer>();
        m_fake->Put("/big/f1", 1);
        m_fake->Put("/big/sub/x", 1);
        m_fake->Put("/other/y", 1);
        SetFtpConnectionFactory([server = m_fake](const std::atomic<bool>*) { return server->Connect(); });
        CFTPSite* site = AddSite("host" + std::to_string(n++));
        ASSERT_TRUE(UpdateAndWait(site));
        MarkAllRead(site->m_pRootDir.get());
        m_events.Clear();

        m_fake->Remove("/big/f1");
        m_fake->Put("/big/new", 1);
        m_fake->Put("/big/sub/z", 1);
        m_fake->Remove("/other/y");
        m_fake->SetFault("/big", c.fault, 1);
        m_fake->ClearLog();
        ASSERT_TRUE(UpdateAndWait(site));

        EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
        EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + c.line);
        EXPECT_EQ(site->m_nRetryCount, 0);
        EXPECT_EQ(m_fake->Logins(), 2); // one per run: no re-queue
        EXPECT_NE(FindFile(site, "/big/f1"), nullptr);
        EXPECT_EQ(FindFile(site, "/big/new"), nullptr);
        EXPECT_EQ(FindFile(site, "/big/sub/z"), nullptr); // the children wait with their parent
        const auto log = m_fake->Log();
        EXPECT_FALSE(Contains(log, "CWD /big/sub"));
        ASSERT_EQ(m_events.Removed().size(), 1u); // the walk went on past /big
        EXPECT_EQ(m_events.Removed()[0].name, "y");

        ASSERT_TRUE(UpdateAndWait(site));
        EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
        EXPECT_EQ(FindFile(site, "/big/f1"), nullptr);
        EXPECT_EQ(FindFile(site, "/big/new")->m_bNew, 1);
        EXPECT_NE(FindFile(site, "/big/sub/z"), nullptr);
    }
}

// When the new login after a listing given up fails, the run ends as lost at the next directory
// and its re-queue resumes there: the listing given up is not asked for again.
TEST_F(Crawler, ALostLoginAfterAListingGivenUpResumesPastIt) {
    m_fake->Put("/a/big/f", 1);
    m_fake->Put("/a/next/g", 1);
    m_fake->Put("/z/h", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));
    m_fake->Put("/a/big/new", 1);
    m_fake->Put("/z/new", 1);
    m_fake->SetFault("/a/big", Fault::TooLargeLost, 1);
    m_fake->ClearLog();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->m_nRetryCount, 1);
    EXPECT_EQ(site->GetStatusText(), kStatusSucceeded);
    const auto second = AfterLogin(m_fake->Log(), 2);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.front(), "CWD /a/next");
    EXPECT_FALSE(Contains(second, "LIST /a/big"));
    EXPECT_NE(FindFile(site, "/a/big/f"), nullptr);
    EXPECT_EQ(FindFile(site, "/a/big/new"), nullptr);
    EXPECT_NE(FindFile(site, "/z/new"), nullptr);
}

// Names and paths a server would not take in one command line are never sent: a name longer
// than any file system holds is not stored, and a stored directory whose path has grown past
// the limit keeps its entries unlisted.
TEST_F(Crawler, NamesAndPathsTooLongToSendAreNotWalked) {
    const std::string huge(64 << 10, 'h');
    const std::string longest(kMaxFtpNameBytes, 'n');
    m_fake->AddRaw("/", FtpEntry{huge, true, 0});
    m_fake->AddRaw("/", FtpEntry{std::string(kMaxFtpNameBytes + 1, 'f'), false, 1});
    m_fake->Put("/" + longest + "/f", 1);
    std::string path; // five levels of 1000 bytes: the fifth is 5005 bytes long
    for (char c : {'a', 'b', 'c', 'd', 'e'})
        path += "/" + std::string(1000, c);
    m_fake->Put(path + "/inside", 1);
    CFTPSite* site = AddSite();
    ASSERT_TRUE(UpdateAndWait(site));

    EXPECT_EQ(site->GetStatusText(),
              std::string(kStatusSucceeded) + kStatusNamesSkipped + kStatusPathsSkipped);
    EXPECT_EQ(m_fake->Logins(), 1);
    EXPECT_EQ(FindDir(site, "/" + huge), nullptr);
    EXPECT_EQ(site->m_pRootDir->m_files.GetCount(), 0u);
    EXPECT_NE(FindFile(site, "/" + longest + "/f"), nullptr);
    ASSERT_NE(FindDir(site, path), nullptr); // listed by its parent, 4004 bytes long
    EXPECT_EQ(FindFile(site, path + "/inside"), nullptr);
    const auto log = m_fake->Log();
    EXPECT_TRUE(Contains(log, "LIST " + path.substr(0, 4004)));
    for (const std::string& line : log) {
        EXPECT_EQ(line.find(huge), std::string::npos);
        EXPECT_EQ(line.find(std::string(1000, 'e')), std::string::npos); // the fifth level
    }

    // A start directory past the limit sends nothing at all.
    m_fake->ClearLog();
    ASSERT_TRUE(UpdateAndWait(FindDir(site, path)));
    EXPECT_EQ(site->GetStatusText(), std::string(kStatusSucceeded) + kStatusPathsSkipped);
    for (const std::string& line : m_fake->Log())
        EXPECT_EQ(line.rfind("USER ", 0), 0u) << line.substr(0, 40);
}

} // namespace
} // namespace enginetest

namespace enginetest {
namespace {

// The window and quarnel-cli run the same worker: a site another program is crawling is left
// to it, and nothing of it is touched.
TEST_F(Crawler, ASiteAnotherProgramIsUpdatingIsSkipped) {
    m_fake->Put("/pub/a", 5);
    CFTPSite* site = AddSite();
    CFileLock otherProgram; // flock: another descriptor conflicts even in this process
    ASSERT_TRUE(otherProgram.Lock(SiteUpdateLockPath(site->GetKey()), std::chrono::milliseconds(0)));
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->GetStatusText(), kStatusBusyElsewhere);
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::NotUpdated);
    EXPECT_EQ(m_fake->Logins(), 0);
    EXPECT_EQ(FindFile(site, "/pub/a"), nullptr);

    otherProgram.Unlock();
    ASSERT_TRUE(UpdateAndWait(site));
    EXPECT_EQ(site->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    EXPECT_NE(FindFile(site, "/pub/a"), nullptr);
}

// However a run ends, its notices end with the outcome, the files are written only after a walk,
// and the site is let go of: another program can take its update lock at once.
TEST_F(Crawler, EveryWayARunEndsLetsGoOfTheSite) {
    m_fake->Put("/pub/a", 5);
    enum class Setup { Plain, RefuseLogin, Settings, LoseRootOnce, NoSession };
    using S = UpdateStatus;
    struct Case {
        const char* what;
        Setup setup;
        std::string settings; // site.conf written before the run
        std::vector<S> codes; // of the site's notices from the queueing on, in order
        std::string status;   // the last one's text
        bool saved;
    };
    const std::vector<Case> cases = {
        {"a whole walk",
         Setup::Plain,
         "",
         {S::Waiting, S::Waiting, S::Waiting, S::Succeeded},
         kStatusSucceeded,
         true},
        {"a refused login",
         Setup::RefuseLogin,
         "",
         {S::Waiting, S::Waiting, S::Failed},
         std::string(kStatusFailedPrefix) + "530 Login incorrect.",
         false},
        {"an unknown protocol",
         Setup::Settings,
         "protocol=gopher\n",
         {S::Waiting, S::Failed}, // refused before connecting is said
         std::string(kStatusFailedPrefix) + kFailureUnknownProtocol,
         false},
        {"damaged settings",
         Setup::Settings,
         "junk\n",
         {S::Waiting, S::Failed}, // refused before connecting is said
         std::string(kStatusFailedPrefix) + kFailureSettingsDamaged,
         false},
        {"a lost root listing, queued again",
         Setup::LoseRootOnce,
         "",
         {S::Waiting, S::Waiting, S::Waiting, S::Ended, S::Waiting, S::Waiting, S::Waiting, S::Succeeded},
         kStatusSucceeded,
         true},
        {"no session", Setup::NoSession, "", {S::Waiting, S::Waiting, S::Failed}, kStatusNoSession, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CFTPSite* site = AddSite("run" + std::to_string(++n) + ".example");
        if (!c.settings.empty()) {
            const std::string path = SiteSettingsPath(site->GetKey());
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            std::ofstream(path, std::ios::binary) << c.settings;
        }
        if (c.setup == Setup::RefuseLogin)
            m_fake->SetFault("", Fault::RefuseLogin, 1);
        if (c.setup == Setup::LoseRootOnce)
            m_fake->SetFault("/", Fault::LoseList, 1);
        if (c.setup == Setup::NoSession)
            SetFtpConnectionFactory(
                [](const std::atomic<bool>*) { return std::unique_ptr<IServerConnection>(); });
        m_events.Clear();
        ASSERT_TRUE(UpdateAndWait(site));

        std::vector<S> codes;
        for (const StatusNote& note : m_events.StatusesOf(site))
            codes.push_back(note.code);
        EXPECT_EQ(codes, c.codes);
        ASSERT_FALSE(m_events.StatusesOf(site).empty());
        EXPECT_EQ(m_events.StatusesOf(site).back().text, c.status);
        EXPECT_EQ(site->GetStatusText(), c.status);
        EXPECT_EQ(std::filesystem::exists(SiteFile(site, "content.ct")), c.saved);
        CFileLock otherProgram;
        EXPECT_TRUE(otherProgram.Lock(SiteUpdateLockPath(site->GetKey()), std::chrono::milliseconds(0)));
    }
}

} // namespace
} // namespace enginetest
