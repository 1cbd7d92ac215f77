// Closing the main window: with nothing running, while an update runs against a real FTP
// server (the wait box, the files written, the end), while a walk runs through PumpPending,
// after a damaged site list (the save question), and when asked from outside (SIGTERM, SIGHUP,
// SIGINT to the window program, a dialog open or not). Read marks are also saved a pause after
// they changed.

#include "UiTestSupport.h"
#include "model/SiteListFile.h"
#include "tests/support/FtpServer.h"
#include "ui/CloseDlg.h"
#include "ui/CommandIds.h"
#include "ui/QuarnelApp.h"
#include "ui/SiteLoader.h"
#include "update/UpdateScheduler.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstring>

using namespace uitest;

namespace {
bool ServerSaw(const ftptest::PyFtpServer& server, const std::string& command) {
    for (const std::string& c : server.Commands())
        if (c == command)
            return true;
    return false;
}
} // namespace

class TestClose : public QObject {
    Q_OBJECT
private slots:
    void idleCloseShowsNoBoxAndSavesMarks();
    void closeWaitsForRunningUpdate();
    void closeDuringWalkWaitsForTheWalk();
    void damagedSiteListAsksToSave();
    void failedSaveAsShowsTheFileErrorAndStaysOpen();
    void marksAreSavedAPauseAfterTheyChanged();
    void signalsCloseTheWindowSavingMarks_data();
    void signalsCloseTheWindowSavingMarks();
};

void TestClose::idleCloseShowsNoBoxAndSavesMarks() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* dir = AddDir(site->m_pRootDir.get(), "dir", true);
    QVERIFY(QDir(w.appDir.path()).mkpath("Data/srv")); // as an earlier update left it
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    w.tree()->setCurrentItem(w.SiteItem(site));
    w.tree()->setCurrentItem(Window::Child(w.SiteItem(site), "dir"));
    QCOMPARE(dir->m_bNew, 0);
    bool boxSeen = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] { boxSeen = boxSeen || QApplication::activeModalWidget(); });
    probe.start(5);
    QSignalSpy closed(&frame, &CMainFrame::Closed);
    QVERIFY(frame.close());
    QCOMPARE(closed.count(), 1);
    QVERIFY(!boxSeen);
    QVERIFY(QFileInfo::exists(w.appDir.path() + "/Data/srv/state.st"));
}

void TestClose::closeWaitsForRunningUpdate() {
    ftptest::TempDir served;
    ftptest::TreeBuilder(served.path() + "/root")
        .Dir("pub/a")
        .File("pub/a/x.txt", 10)
        .Dir("slow")
        .File("top.txt", 3);
    ftptest::PyFtpOptions options;
    options.faults.push_back({"slow", ftptest::PyFtpFault::StallList, 0});
    auto server = ftptest::PyFtpServer::Start(served.path() + "/root", options);

    Window w;
    CFTPSite* site = AddSite(w.doc, "127.0.0.1");
    site->m_nPort = server->port();
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    frame.Action(32771)->trigger(); // update all
    QCOMPARE(site->m_nUpdateStatus.load(), UpdateStatus::Waiting);
    QTRY_VERIFY_WITH_TIMEOUT(ServerSaw(*server, "MLSD /slow") || ServerSaw(*server, "LIST /slow"), 15000);
    QVERIFY(!IsUpdateEngineIdle());

    CCloseDlg::ResetAnimation();
    QString boxText;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<CCloseDlg*>(QApplication::activeModalWidget()))
            boxText = box->Text();
    });
    probe.start(20);
    QSignalSpy closed(&frame, &CMainFrame::Closed);
    QVERIFY(frame.close());
    probe.stop();
    QCOMPARE(closed.count(), 1);
    QVERIFY(boxText.startsWith(QStringLiteral("正在关闭连接,请稍后")));
    QVERIFY(IsUpdateEngineIdle());
    QCOMPARE(site->m_nUpdateStatus.load(), UpdateStatus::Ended);
    // Stopped at its next check, or cut off while it waited for the stalled reply.
    const QString status = QString::fromStdString(site->GetStatusText());
    QVERIFY2(status == QStringLiteral("更新终止！") || status.startsWith(QStringLiteral("更新意外终止")),
             qPrintable(status));
    QVERIFY(QFileInfo::exists(w.appDir.path() + "/Data/127.0.0.1/content.ct"));
    QVERIFY(QFileInfo::exists(w.appDir.path() + "/Data/127.0.0.1/state.st"));
    QVERIFY(site->m_pRootDir->FindSubDir("pub"));
}

void TestClose::closeDuringWalkWaitsForTheWalk() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "big");
    for (int d = 0; d < 200; ++d) {
        CFTPDir* dir = AddDir(site->m_pRootDir.get(), "d" + std::to_string(d), true);
        for (int f = 0; f < 1000; ++f)
            AddFile(dir, "f" + std::to_string(f), 1, true);
    }
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QSignalSpy closed(&frame, &CMainFrame::Closed);
    // The close arrives through the walk's event pump: the walk stops, the close follows it.
    QTimer::singleShot(0, &frame, &QWidget::close);
    frame.Action(32794)->trigger(); // mark all read
    QVERIFY(!w.doc.IsWalkInProgress());
    QCOMPARE(closed.count(), 0);
    QVERIFY(site->m_pRootDir->m_subDirs.GetTail()->m_files.GetTail()->m_bNew == 1); // stopped early
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(!frame.isVisible());
}

void TestClose::damagedSiteListAsksToSave() {
    QTemporaryDir appDir;
    {
        QFile file(appDir.path() + "/site.ds");
        QVERIFY(file.open(QIODevice::WriteOnly));
        // One object of class CFTPDir where sites belong.
        file.write(QByteArray::fromHex("0100FFFF01000600434654504469720000"));
    }
    SetAppDir(appDir.path().toStdString());
    CQuarnelDoc doc;
    const LoadOutcome outcome = doc.OnNewDocument();
    QVERIFY(!outcome.ok);
    QVERIFY(doc.m_bModified);
    CMainFrame frame(&doc);
    frame.OnInitialUpdate();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));

    QString question;
    auto answer = [&](QMessageBox::StandardButton button) {
        QTimer::singleShot(0, [&question, button] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                question = box->text();
                box->button(button)->click();
            }
        });
    };
    answer(QMessageBox::Cancel);
    QVERIFY(!frame.close());
    QCOMPARE(question, QStringLiteral("Save changes to Untitled?"));
    QVERIFY(frame.isVisible());
    answer(QMessageBox::No);
    QVERIFY(frame.close());
}

namespace {
// A directory this process cannot create files in: a read-only one, or for root (who may write
// anywhere) sysfs, which refuses new files to everyone.
QString UnwritableDir(const QString& base) {
    const QString dir = base + "/read-only";
    QDir().mkpath(dir);
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QFile probe(dir + "/probe");
    if (!probe.open(QIODevice::WriteOnly))
        return dir;
    probe.remove();
    return QStringLiteral("/sys");
}
} // namespace

// Yes to "Save changes to Untitled?" and a save-as that fails: the file error, and the window stays.
void TestClose::failedSaveAsShowsTheFileErrorAndStaysOpen() {
    Window w;
    AddSite(w.doc, "kept.example");
    w.doc.m_bModified = true; // as after a damaged site list
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const QString base = w.appDir.path();
    QVERIFY(QFile(base + "/plain-file").open(QIODevice::WriteOnly));
    const QString readOnly = UnwritableDir(base);

    // Answers the question with Yes, types `target` into the save-as dialog and notes every
    // other message box.
    QString target;
    QStringList messages;
    QTimer driver;
    connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box->text() == QStringLiteral("Save changes to Untitled?")) {
                box->button(QMessageBox::Yes)->click();
            } else {
                messages << box->windowTitle() + "|" + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            // Typed as a user would: selectFile() makes a path in a missing directory relative.
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(target);
            static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept checks the name
        }
    });
    driver.start(20);

    const struct {
        QString path;
        QString message;
    } failures[] = {
        {base + "/missing/sites.ds", base + "/missing/sites.ds was not found."},
        {base + "/plain-file/sites.ds", base + "/plain-file/sites.ds contains an invalid path."},
        {readOnly + "/sites.ds", "Access to " + readOnly + "/sites.ds was denied."},
    };
    for (const auto& failure : failures) {
        target = failure.path;
        messages.clear();
        QVERIFY(!frame.close());
        QCOMPARE(messages, QStringList{"Quarnel|" + failure.message});
        QVERIFY(frame.isVisible());
        QVERIFY(w.doc.m_bModified);
        QVERIFY(!QFileInfo::exists(failure.path));
    }

    target = base + "/saved.ds";
    messages.clear();
    QVERIFY(frame.close());
    QVERIFY(messages.isEmpty());
    QVERIFY(!w.doc.m_bModified);
    CObList<CFTPSite> saved;
    QVERIFY(LoadSiteList(target.toStdString(), saved).outcome == SiteListLoadResult::Ok);
    QCOMPARE(saved.GetCount(), std::size_t(1));
    QCOMPARE(saved.GetHead()->m_strHost, std::string("kept.example"));
}

void TestClose::marksAreSavedAPauseAfterTheyChanged() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* dir = AddDir(site->m_pRootDir.get(), "dir", true);
    AddDir(site->m_pRootDir.get(), "other", true);
    QVERIFY(QDir(w.appDir.path()).mkpath("Data/srv"));
    QVERIFY(w.doc.SaveSiteList());
    CMainFrame& frame = w.Open();
    frame.SetMarkSaveDelay(100);
    w.tree()->setCurrentItem(w.SiteItem(site));
    w.tree()->setCurrentItem(Window::Child(w.SiteItem(site), "dir"));
    QCOMPARE(dir->m_bNew, 0);
    QTRY_VERIFY_WITH_TIMEOUT(site->m_bStateDirty.load() == 0 && frame.SiteLoader()->IsIdle(), 10000);
    CQuarnelDoc later;
    later.OnNewDocument();
    CFTPSite* stored = later.FindSiteByKey("srv");
    QVERIFY(stored);
    stored->EnsureLoaded();
    QCOMPARE(stored->m_pRootDir->FindSubDir("dir")->m_bNew, 0);
    QCOMPARE(stored->m_pRootDir->FindSubDir("other")->m_bNew, 1);
}

namespace {

// The window program as main() starts it, on `dir`: it marks every site read through the menu
// command, with the About box open when asked, says "ready" and runs until it is ended. Marks
// are saved only by the close.
int RunWindowChild(const std::string& dir, bool withDialog) {
    int argc = 1;
    char name[] = "quarnel";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    CQuarnelApp theApp;
    theApp.m_strAppDir = dir;
    if (!theApp.InitInstance(false))
        return 3;
    CMainFrame* frame = theApp.MainFrame();
    frame->SetMarkSaveDelay(24 * 3600 * 1000);
    frame->Action(ID_MARK_ALL_READ)->trigger();
    QTimer ready;
    bool dialogAsked = false;
    QObject::connect(&ready, &QTimer::timeout, [&] {
        for (CFTPSite* site : theApp.Document()->m_siteList)
            if (!site->m_bStateDirty.load())
                return;
        if (withDialog && !QApplication::activeModalWidget()) {
            if (!dialogAsked)
                QTimer::singleShot(0, frame->Action(ID_APP_ABOUT), &QAction::trigger);
            dialogAsked = true;
            return;
        }
        std::puts("ready");
        std::fflush(stdout);
        ready.stop();
    });
    ready.start(20);
    return app.exec();
}

} // namespace

void TestClose::signalsCloseTheWindowSavingMarks_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("withDialog");
    QTest::newRow("SIGTERM") << SIGTERM << false;
    QTest::newRow("SIGHUP") << SIGHUP << false;
    QTest::newRow("SIGINT") << SIGINT << false;
    QTest::newRow("SIGTERM, a dialog open") << SIGTERM << true;
}

// The window program marks its sites read and is sent a signal: it closes as its close box
// would, writes the marks, says so in its log and exits 0.
void TestClose::signalsCloseTheWindowSavingMarks() {
    QFETCH(int, signalNumber);
    QFETCH(bool, withDialog);
    QTemporaryDir appDir;
    SetAppDir(appDir.path().toStdString());
    {
        CQuarnelDoc writer;
        writer.OnNewDocument();
        for (const char* host : {"one.example", "two.example"}) {
            CFTPSite* site = AddSite(writer, host);
            CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub", true);
            AddFile(pub, "a.txt", 10, true);
            AddFile(site->m_pRootDir.get(), "top.txt", 5, true);
            QVERIFY(site->SaveCatalogue());
        }
        QVERIFY(writer.SaveSiteList());
    }

    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QStringLiteral("--window-child"), appDir.path(),
                        withDialog ? QStringLiteral("dialog") : QStringLiteral("plain")});
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start();
    QVERIFY(child.waitForStarted());
    QByteArray said;
    while (!said.contains("ready") && child.waitForReadyRead(30000))
        said += child.readAllStandardOutput();
    QVERIFY2(said.contains("ready"), said.constData());
    QCOMPARE(kill(static_cast<pid_t>(child.processId()), signalNumber), 0);
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

    CQuarnelDoc later;
    later.OnNewDocument();
    QCOMPARE(later.m_siteList.GetCount(), std::size_t(2));
    for (CFTPSite* site : later.m_siteList) {
        site->EnsureLoaded();
        QCOMPARE(site->m_pRootDir->FindSubDir("pub")->m_bNew, 0);
        QCOMPARE(site->m_pRootDir->FindSubDir("pub")->FindFile("a.txt")->m_bNew, 0);
        QCOMPARE(site->m_pRootDir->FindFile("top.txt")->m_bNew, 0);
    }
    QFile log(appDir.path() + "/quarnel.log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    QVERIFY2(
        logged.contains(QStringLiteral("closing: signal ") + QString::fromLatin1(sigabbrev_np(signalNumber))),
        qPrintable(logged));
    QVERIFY2(logged.contains(QStringLiteral("site one.example: read marks saved at close")),
             qPrintable(logged));
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--window-child") == 0)
        return RunWindowChild(argv[2], std::strcmp(argv[3], "dialog") == 0);
    QApplication app(argc, argv);
    TestClose test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_close.moc"
