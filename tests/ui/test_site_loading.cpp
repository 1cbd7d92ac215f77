// Sites read off the window thread: the first use of a site reads it in a thread while the window
// goes on (once, however often it is clicked), deleting or closing meanwhile waits for the read,
// and a site another program saved or gave another key is followed without losing the window's
// unsaved marks.

#include "UiTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FtpServer.h"
#include "ui/CommandIds.h"
#include "ui/FileListModel.h"
#include "ui/SiteFollower.h"
#include "ui/SiteLoader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace uitest;

namespace {

// A program directory whose site.ds and site files were written by another program (so its sites
// are read on first use), and a window on it.
struct Stored {
    QTemporaryDir appDir;
    std::unique_ptr<CQuarnelDoc> doc;
    std::unique_ptr<CMainFrame> frame;

    // `build` adds the sites as the writing program had them; their files are saved.
    explicit Stored(const std::function<void(CObList<CFTPSite>&)>& build) {
        SetAppDir(appDir.path().toStdString());
        CQuarnelDoc writer;
        writer.OnNewDocument();
        build(writer.m_siteList);
        for (CFTPSite* site : writer.m_siteList)
            site->SaveCatalogue();
        writer.SaveSiteList();
        doc = std::make_unique<CQuarnelDoc>();
        doc->OnNewDocument();
    }
    CMainFrame& Open() {
        frame = std::make_unique<CMainFrame>(doc.get());
        frame->OnInitialUpdate();
        frame->DirView()->m_bFirstSelection = false;
        return *frame;
    }
    ~Stored() {
        frame.reset();
        doc.reset();
    }
    CDirView* tree() const { return frame->DirView(); }
    QAbstractItemModel* rows() const { return frame->ListView()->model(); }
    QStringList Rows() const {
        QStringList texts;
        for (int row = 0; row < rows()->rowCount(); ++row)
            texts << rows()->index(row, 0).data().toString();
        return texts;
    }
    static QStringList Children(QTreeWidgetItem* item) {
        QStringList texts;
        for (int i = 0; i < item->childCount(); ++i)
            texts << item->child(i)->text(0);
        return texts;
    }
};

// srv: pub/ (new) with a.txt, b/ and top.txt.
void SmallSite(CObList<CFTPSite>& sites, const std::string& host = "srv", int32_t port = 21) {
    CFTPSite* site = testtree::AddSite(sites, host, kAnonymousUser, kAnonymousPassword, port);
    CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub", true);
    AddFile(pub, "a.txt", 10, true);
    AddDir(site->m_pRootDir.get(), "b");
    AddFile(site->m_pRootDir.get(), "top.txt", 5, true);
}

// Holds a site's tree lock in a thread of its own, so that a read of the site waits until Release.
class CLockHolder {
public:
    explicit CLockHolder(CFTPSite* site) {
        m_thread = std::thread([this, site] {
            auto lock = site->LockTree();
            std::unique_lock<std::mutex> state(m_mutex);
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(state, [this] { return m_release; });
        });
        std::unique_lock<std::mutex> state(m_mutex);
        m_changed.wait(state, [this] { return m_held; });
    }
    ~CLockHolder() {
        Release();
        m_thread.join();
    }
    void Release() {
        std::lock_guard<std::mutex> state(m_mutex);
        m_release = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_release = false;
    std::thread m_thread;
};

// Answers the next question "确定".
void ConfirmNextMessageBox() {
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok)->click();
    });
}

} // namespace

class TestSiteLoading : public QObject {
    Q_OBJECT
private slots:
    void readInAThreadOnce();
    void deleteWaitsForTheRead();
    void closeWaitsForTheRead();
    void filesSavedElsewhereAreReadAgainKeepingTheWindowsMarks();
    void manySitesAreReadNoMoreAtOnceThanThePoolHolds_data();
    void manySitesAreReadNoMoreAtOnceThanThePoolHolds();
    void marksSurviveAnotherProgramsKeyChange();
};

void TestSiteLoading::readInAThreadOnce() {
    Stored s([](CObList<CFTPSite>& sites) { SmallSite(sites); });
    CFTPSite* site = s.doc->FindSiteByKey("srv");
    CFTPSite* other = AddSite(*s.doc, "other"); // read already
    CMainFrame& frame = s.Open();
    QTreeWidgetItem* item = s.tree()->SiteItem(site);
    {
        CLockHolder hold(site);
        s.tree()->setCurrentItem(item);
        // The window goes on; both panes say the site is being read.
        QTest::qWait(20);
        QVERIFY(!site->IsLoaded());
        QCOMPARE(s.Rows(), QStringList{"正在读取..."});
        QCOMPARE(Stored::Children(item), QStringList{"正在读取..."});
        // Clicked again, and expanded: still one read.
        s.tree()->setCurrentItem(s.tree()->SiteItem(other));
        s.tree()->setCurrentItem(item);
        item->setExpanded(true);
        QVERIFY(frame.SiteLoader()->IsBusy(site));
        QCOMPARE(frame.SiteLoader()->ReadsStarted(), 1u);
    }
    QTRY_VERIFY(site->IsLoaded());
    QTRY_COMPARE(s.Rows(), (QStringList{"pub", "b", "top.txt"}));
    QCOMPARE(Stored::Children(item), (QStringList{"pub", "b"}));
    QCOMPARE(frame.SiteLoader()->ReadsStarted(), 1u);
    QVERIFY(frame.SiteLoader()->IsIdle());
    QVERIFY(frame.History().m_pCurrent && frame.History().m_pCurrent->m_pDir == site->m_pRootDir.get());
    QCOMPARE(frame.History().m_backList.GetCount(), 2u); // one visit per click: srv, other
}

void TestSiteLoading::deleteWaitsForTheRead() {
    Stored s([](CObList<CFTPSite>& sites) { SmallSite(sites); });
    CFTPSite* site = s.doc->FindSiteByKey("srv");
    CMainFrame& frame = s.Open();
    const std::string files = SiteDataDirPath("srv");
    QVERIFY(std::filesystem::exists(files));
    {
        CLockHolder hold(site);
        s.tree()->setCurrentItem(s.tree()->SiteItem(site));
        ConfirmNextMessageBox();
        frame.Action(ID_DELETE_SITE)->trigger();
        // Not while its files are read: it goes once they have been.
        QTest::qWait(20);
        QCOMPARE(s.doc->FindSiteByKey("srv"), site);
        QVERIFY(s.tree()->SiteItem(site));
    }
    QTRY_VERIFY(!s.doc->FindSiteByKey("srv"));
    QCOMPARE(s.tree()->topLevelItemCount(), 0);
    QVERIFY(!std::filesystem::exists(files));
    QVERIFY(frame.SiteLoader()->IsIdle());
}

void TestSiteLoading::closeWaitsForTheRead() {
    Stored s([](CObList<CFTPSite>& sites) { SmallSite(sites); });
    CFTPSite* site = s.doc->FindSiteByKey("srv");
    CMainFrame& frame = s.Open();
    QSignalSpy closed(&frame, &CMainFrame::Closed);
    auto hold = std::make_unique<CLockHolder>(site);
    s.tree()->setCurrentItem(s.tree()->SiteItem(site));
    std::thread releaser([&hold] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        hold->Release();
    });
    frame.close(); // waits for the read, which may still be saving marks, before the document's close
    releaser.join();
    hold.reset();
    QCOMPARE(closed.count(), 1);
    QVERIFY(site->IsLoaded());
    QVERIFY(frame.SiteLoader()->IsIdle());
}

// quarnel-cli updates a site the window shows, while the window holds a mark of its own not yet
// saved: within a look or two at the files the window shows the new tree, and the mark is kept,
// in the window and on disk. What the window writes itself is not read again.
void TestSiteLoading::filesSavedElsewhereAreReadAgainKeepingTheWindowsMarks() {
    const std::string cli = std::string(QUARNEL_BINARY_DIR) + "/bin/quarnel-cli";
    if (access(cli.c_str(), X_OK) != 0)
        QSKIP("quarnel-cli is not built");
    ftptest::TempDir served("quarnel-reload");
    ftptest::TreeBuilder server(served.path() + "/root");
    server.Dir("pub").File("pub/a.txt", 10).Dir("b").File("top.txt", 5);
    std::unique_ptr<ftptest::PyFtpServer> ftp = ftptest::PyFtpServer::Start(server.root());
    const std::string key = "127.0.0.1";
    Stored s([&](CObList<CFTPSite>& sites) { SmallSite(sites, key, ftp->port()); });
    CFTPSite* site = s.doc->FindSiteByKey(key);
    CMainFrame& frame = s.Open();
    QTreeWidgetItem* item = s.tree()->SiteItem(site);
    s.tree()->setCurrentItem(item);
    QTRY_COMPARE(s.Rows(), (QStringList{"pub", "b", "top.txt"}));

    // The window's own mark: opening pub reads it.
    s.tree()->setCurrentItem(Window::Child(item, "pub"));
    QCOMPARE(site->m_pRootDir->FindSubDir("pub")->m_bNew, 0);
    QCOMPARE(site->m_bStateDirty.load(), 1);

    // Meanwhile on the server and in another program.
    server.File("pub/new.txt", 3).Dir("incoming").Remove("top.txt");
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        testsupport::ExecArgs({cli, "--dir", s.appDir.path().toStdString(), "update", key});
    }
    QCOMPARE(testsupport::WaitExit(pid), 0);

    // Seen at the next look (every two seconds), read in a thread, taken in.
    QTRY_VERIFY_WITH_TIMEOUT(site->m_pRootDir->FindSubDir("incoming") != nullptr, 10000);
    CFTPDir* pub = site->m_pRootDir->FindSubDir("pub");
    QVERIFY(pub && pub->FindFile("new.txt"));
    QVERIFY(!site->m_pRootDir->FindFile("top.txt"));
    QCOMPARE(pub->m_bNew, 0);                                      // the window's mark
    QCOMPARE(site->m_pRootDir->FindSubDir("incoming")->m_bNew, 1); // the update's
    QCOMPARE(Stored::Children(item), (QStringList{"pub", "b", "incoming"}));
    // The user stays in pub, shown as read anew.
    QCOMPARE(s.tree()->currentItem()->text(0), QStringLiteral("pub"));
    QCOMPARE(s.Rows(), (QStringList{"a.txt", "new.txt"}));
    QCOMPARE(site->m_bStateDirty.load(), 0);
    {
        CQuarnelDoc later;
        later.OnNewDocument();
        CFTPSite* stored = later.FindSiteByKey(key);
        stored->EnsureLoaded();
        QCOMPARE(stored->m_pRootDir->FindSubDir("pub")->m_bNew, 0);
    }

    // The reload's own save of the mark is not another program's: nothing is read again.
    QTest::qWait(static_cast<int>(CSiteFollower::kPollMs) + 600);
    QCOMPARE(site->m_pRootDir->FindSubDir("pub"), pub);
    QVERIFY(frame.SiteLoader()->IsIdle());
}

void TestSiteLoading::manySitesAreReadNoMoreAtOnceThanThePoolHolds_data() {
    QTest::addColumn<bool>("destroyAtOnce");
    QTest::newRow("read, each said in the window thread") << false;
    QTest::newRow("loader destroyed at once: waits for every read, says none") << true;
}

// Forty unread sites asked for at once, as a search over them asks.
void TestSiteLoading::manySitesAreReadNoMoreAtOnceThanThePoolHolds() {
    QFETCH(bool, destroyAtOnce);
    constexpr int kSites = 40;
    Stored s([](CObList<CFTPSite>& sites) {
        for (int i = 0; i < kSites; ++i)
            SmallSite(sites, "srv" + std::to_string(i));
    });
    auto loader = std::make_unique<CSiteLoader>();
    const int size = loader->PoolSize();
    QCOMPARE(size, std::max(1, QThread::idealThreadCount()));

    std::mutex mutex;
    std::condition_variable changed;
    int running = 0, most = 0, ended = 0;
    // Each read waits until as many run as the pool holds (or as are left), and a little more, so
    // that reads without a bound would be seen side by side.
    loader->SetWorkProbe([&](const CFTPSite*, bool begins) {
        std::unique_lock<std::mutex> state(mutex);
        if (!begins) {
            --running;
            ++ended;
            changed.notify_all();
            return;
        }
        most = std::max(most, ++running);
        changed.notify_all();
        changed.wait_for(state, std::chrono::seconds(5),
                         [&] { return running >= std::min(size, kSites - ended); });
        state.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    std::vector<CFTPSite*> said;
    loader->SetLoadedCallback([&](CFTPSite* site) {
        QCOMPARE(QThread::currentThread(), qApp->thread());
        said.push_back(site);
    });

    for (CFTPSite* site : s.doc->m_siteList)
        QVERIFY(loader->Load(site));
    QCOMPARE(loader->ReadsStarted(), std::size_t{kSites});
    if (destroyAtOnce)
        loader.reset();
    else
        QTRY_VERIFY_WITH_TIMEOUT(loader->IsIdle(), 60000);
    QCoreApplication::processEvents();

    QCOMPARE(ended, kSites);
    QCOMPARE(most, std::min(size, kSites));
    QCOMPARE(said.size(), destroyAtOnce ? 0u : std::size_t{kSites});
    for (CFTPSite* site : s.doc->m_siteList) {
        QVERIFY(site->IsLoaded());
        QVERIFY(site->m_pRootDir->FindSubDir("pub") && site->m_pRootDir->FindFile("top.txt"));
    }
}

// quarnel-cli edit gives a site another host while the window holds read marks of it not yet
// saved: the window follows with the same site, item, tree and marks, and the marks are saved
// under the new key, nothing written under the old one.
void TestSiteLoading::marksSurviveAnotherProgramsKeyChange() {
    const std::string cli = std::string(QUARNEL_BINARY_DIR) + "/bin/quarnel-cli";
    if (access(cli.c_str(), X_OK) != 0)
        QSKIP("quarnel-cli is not built");
    Stored s([](CObList<CFTPSite>& sites) { SmallSite(sites, "127.0.0.1"); });
    CFTPSite* site = s.doc->FindSiteByKey("127.0.0.1");
    CMainFrame& frame = s.Open();
    frame.SetMarkSaveDelay(24 * 3600 * 1000); // only the close saves
    QTreeWidgetItem* item = s.tree()->SiteItem(site);
    s.tree()->setCurrentItem(item);
    QTRY_COMPARE(s.Rows(), (QStringList{"pub", "b", "top.txt"}));
    s.tree()->setCurrentItem(Window::Child(item, "pub"));
    QCOMPARE(site->m_bStateDirty.load(), 1);

    const pid_t pid = fork();
    if (pid == 0)
        testsupport::ExecArgs(
            {cli, "--dir", s.appDir.path().toStdString(), "edit", "127.0.0.1", "--host", "127.0.0.2"});
    QCOMPARE(testsupport::WaitExit(pid), 0);

    QTRY_COMPARE_WITH_TIMEOUT(site->m_strHost, std::string("127.0.0.2"), 10000);
    QCOMPARE(s.doc->m_siteList.GetCount(), std::size_t(1));
    QCOMPARE(s.tree()->SiteItem(site), item);
    QCOMPARE(item->text(0), QStringLiteral("127.0.0.2"));
    QCOMPARE(site->m_pRootDir->FindSubDir("pub")->m_bNew, 0);
    QCOMPARE(site->m_bStateDirty.load(), 1);

    QVERIFY(frame.close());
    QVERIFY(!std::filesystem::exists(s.appDir.path().toStdString() + "/Data/127.0.0.1"));
    CQuarnelDoc later;
    later.OnNewDocument();
    CFTPSite* stored = later.FindSiteByKey("127.0.0.2");
    QVERIFY(stored);
    stored->EnsureLoaded();
    QCOMPARE(stored->m_pRootDir->FindSubDir("pub")->m_bNew, 0);
    QCOMPARE(stored->m_pRootDir->FindFile("top.txt")->m_bNew, 1);
}

QTEST_MAIN(TestSiteLoading)
#include "test_site_loading.moc"
