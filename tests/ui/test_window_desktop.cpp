// The window among the desktop's programs: its placement and the list's column widths kept in
// $XDG_CONFIG_HOME/quarnel, the
// notification at the end of an update run nobody watched, the selected row among new rows,
// and Qt's own texts in Chinese.

#include "UiTestSupport.h"
#include "tests/support/FtpServer.h"
#include "ui/CommandIds.h"
#include "ui/DesktopNotice.h"
#include "ui/EntryDelegate.h"
#include "ui/FileListModel.h"
#include "ui/MessageBoxes.h"
#include "ui/QtTranslations.h"
#include "ui/QuarnelApp.h"
#include "ui/WindowPlacement.h"
#include "update/UpdateScheduler.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTranslator>

#include <cerrno>

using namespace uitest;

namespace {

// Each case its own configuration directory, never the user's.
struct ConfigHome {
    QTemporaryDir dir;
    ConfigHome() { qputenv("XDG_CONFIG_HOME", dir.path().toUtf8()); }
    ~ConfigHome() { qunsetenv("XDG_CONFIG_HOME"); }
};

// The colour of a row's fill (away from its text, inside the frame) and of its top edge.
struct RowPixels {
    QRgb fill;
    QRgb edge;
};
RowPixels Sample(const QImage& image, const QRect& cell) {
    const int x = cell.right() - 2 * CEntryDelegate::kFrameWidth - 2;
    return {image.pixel(x, cell.center().y()), image.pixel(x, cell.top())};
}

// The notices of the window's notifier, recorded instead of shown.
void Record(CMainFrame& frame, QStringList& bodies) {
    frame.findChild<CDesktopNotice*>()->SetSender(
        [&bodies](const QString&, const QString& body) { bodies << body; });
}

} // namespace

class TestWindowDesktop : public QObject {
    Q_OBJECT
private slots:
    void placementKeptBetweenRuns_data();
    void placementKeptBetweenRuns();
    void unusableGeometryIsNotUsed_data();
    void unusableGeometryIsNotUsed();
    void columnWidthsReadWithinReason_data();
    void columnWidthsReadWithinReason();
    void runEndNotice_data();
    void runEndNotice();
    void noticeAfterRealUpdate();
    void noBusNoTrayIsQuiet();
    void selectedRowStandsOutAmongNewRows();
    void qtTranslationInstalledWhenPresent_data();
    void qtTranslationInstalledWhenPresent();
};

void TestWindowDesktop::placementKeptBetweenRuns_data() {
    QTest::addColumn<bool>("maximized");
    QTest::newRow("normal") << false;
    QTest::newRow("maximized") << true;
}

void TestWindowDesktop::placementKeptBetweenRuns() {
    QFETCH(bool, maximized);
    ConfigHome home;
    QTemporaryDir appDir;
    const QRect placed(40, 30, 620, 410);
    {
        CQuarnelApp app;
        app.m_strAppDir = appDir.path().toStdString();
        QVERIFY(app.InitInstance(false));
        CMainFrame& frame = *app.MainFrame();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        frame.setGeometry(placed);
        QTRY_COMPARE(frame.geometry(), placed);
        frame.Splitter()->setSizes({180, placed.width() - 180});
        frame.ListView()->setColumnWidth(0, 220);
        frame.ListView()->setColumnWidth(2, 333);
        if (maximized) {
            frame.showMaximized();
            QTRY_VERIFY(frame.isMaximized());
        }
        QVERIFY(frame.close());
    }
    const QString file = home.dir.path() + "/quarnel/quarnel.conf";
    QCOMPARE(WindowPlacement::FilePath(), file);
    QVERIFY(QFileInfo::exists(file));

    CQuarnelApp again;
    again.m_strAppDir = appDir.path().toStdString();
    QVERIFY(again.InitInstance(false));
    CMainFrame& frame = *again.MainFrame();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QCOMPARE(frame.isMaximized(), maximized);
    QCOMPARE(frame.ListView()->columnWidth(0), 220);
    QCOMPARE(frame.ListView()->columnWidth(1), CQuarnelView::kSizeWidth);
    QCOMPARE(frame.ListView()->columnWidth(2), 333);
    if (maximized) {
        QCOMPARE(frame.normalGeometry(), placed);
    } else {
        QCOMPARE(frame.geometry(), placed);
        QCOMPARE(frame.Splitter()->sizes().at(0), 180);
    }
    frame.close();
}

void TestWindowDesktop::unusableGeometryIsNotUsed_data() {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QTest::addColumn<QRect>("saved");
    QTest::addColumn<QRect>("expected"); // null: not used
    QTest::newRow("off every screen")
        << QRect(screen.right() + 500, screen.bottom() + 500, 600, 400) << QRect();
    QTest::newRow("only a sliver shown") << QRect(screen.right() - 20, 40, 600, 400) << QRect();
    QTest::newRow("too small to use") << QRect(10, 10, 40, 30) << QRect();
    QTest::newRow("half off: moved on")
        << QRect(screen.right() - 300, 20, 600, 400) << QRect(screen.right() + 1 - 600, 20, 600, 400);
    QTest::newRow("larger than the screen: fitted")
        << QRect(screen.left(), screen.top(), screen.width() + 400, screen.height() + 300) << screen;
}

void TestWindowDesktop::unusableGeometryIsNotUsed() {
    QFETCH(QRect, saved);
    QFETCH(QRect, expected);
    QCOMPARE(WindowPlacement::Sanitized(saved), expected);
}

void TestWindowDesktop::columnWidthsReadWithinReason_data() {
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QString>("shown");
    QTest::newRow("kept") << "250,80,700"
                          << "250,80,700";
    QTest::newRow("too narrow, too wide") << "0,-5,99999"
                                          << "30,30,10000";
    QTest::newRow("not numbers") << "abc,,90"
                                 << "300,100,90";
    QTest::newRow("fewer") << "120"
                           << "120,100,600";
    QTest::newRow("none") << ""
                          << "300,100,600";
}

void TestWindowDesktop::columnWidthsReadWithinReason() {
    QFETCH(QString, kept);
    QFETCH(QString, shown);
    Window w;
    CMainFrame& frame = w.Open();
    WindowPlacement::RestoreColumns(frame, kept);
    QCOMPARE(WindowPlacement::ColumnWidthsText(frame), shown);
}

void TestWindowDesktop::runEndNotice_data() {
    QTest::addColumn<QList<int>>("statuses"); // one site each; -1: the site had no notice
    QTest::addColumn<bool>("saveFails");      // the first site's files could not be written
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("body"); // empty: no notice

    const auto ok = static_cast<int>(UpdateStatus::Succeeded);
    const auto failed = static_cast<int>(UpdateStatus::Failed);
    const auto ended = static_cast<int>(UpdateStatus::Ended);
    const auto skipped = static_cast<int>(UpdateStatus::NotUpdated);
    QTest::newRow("inactive: counted")
        << QList<int>{ok, failed, ok, ended} << false << false << "更新完成: 成功 2 个站点, 失败 2 个";
    QTest::newRow("sites outside the run not counted")
        << QList<int>{ok, -1, -1, skipped} << false << false << "更新完成: 成功 1 个站点, 失败 1 个";
    QTest::newRow("unsaved files are a failure")
        << QList<int>{ok, ok} << true << false << "更新完成: 成功 1 个站点, 失败 1 个";
    QTest::newRow("active window: none") << QList<int>{ok, failed} << false << true << QString();
    QTest::newRow("no site in the run: none") << QList<int>{-1, -1} << false << false << QString();
}

void TestWindowDesktop::runEndNotice() {
    QFETCH(QList<int>, statuses);
    QFETCH(bool, saveFails);
    QFETCH(bool, active);
    QFETCH(QString, body);
    Window w;
    std::vector<CFTPSite*> sites;
    for (int i = 0; i < statuses.size(); ++i)
        sites.push_back(AddSite(w.doc, "site" + std::to_string(i)));
    CMainFrame& frame = w.Open();
    if (active) {
        frame.show();
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
    }
    QStringList sent;
    Record(frame, sent);
    auto* notice = frame.findChild<CDesktopNotice*>();
    for (int i = 0; i < statuses.size(); ++i) {
        if (statuses[i] < 0)
            continue;
        sites[i]->SetStatus("", static_cast<UpdateStatus>(statuses[i]));
        frame.OnSiteStatus(sites[i]); // as the engine's notice arrives
    }
    if (saveFails)
        sites[0]->m_nSaveError = EIO;
    notice->RunEnded();
    QTest::qWait(50);
    QCOMPARE(sent, body.isEmpty() ? QStringList() : QStringList{body});
    // The next run starts from nothing.
    notice->RunEnded();
    QTest::qWait(50);
    QCOMPARE(sent.size(), body.isEmpty() ? 0 : 1);
}

void TestWindowDesktop::noticeAfterRealUpdate() {
    ftptest::TempDir served;
    ftptest::TreeBuilder(served.path() + "/root").Dir("pub").File("pub/a.txt", 10);
    auto server = ftptest::PyFtpServer::Start(served.path() + "/root");

    Window w;
    CFTPSite* good = AddSite(w.doc, "127.0.0.1");
    good->m_nPort = server->port();
    CFTPSite* refused = AddSite(w.doc, "localhost");
    refused->m_nPort = 1;         // nothing listens there
    CMainFrame& frame = w.Open(); // not shown: another window is the active one
    QStringList sent;
    Record(frame, sent);
    frame.Action(ID_UPDATE_ALL)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(frame.PaneText(), QStringLiteral("更新完成"), 30000);
    QTest::qWait(50);
    QCOMPARE(good->m_nUpdateStatus.load(), UpdateStatus::Succeeded);
    QCOMPARE(refused->m_nUpdateStatus.load(), UpdateStatus::Failed);
    QCOMPARE(sent, QStringList{QStringLiteral("更新完成: 成功 1 个站点, 失败 1 个")});
}

void TestWindowDesktop::noBusNoTrayIsQuiet() {
    // No session bus to be had and no tray (offscreen): nothing is shown, nothing waits.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quarnel-test-bus");
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(CDesktopNotice::SendToDesktop("Quarnel", CDesktopNotice::Body(1, 0)),
             CDesktopNotice::Route::None);
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(CDesktopNotice::SendToDesktop("Quarnel", CDesktopNotice::Body(1, 0)),
             CDesktopNotice::Route::None);
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

void TestWindowDesktop::selectedRowStandsOutAmongNewRows() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPSite* other = AddSite(w.doc, "srv2");
    for (int i = 0; i < 4; ++i)
        AddFile(site->m_pRootDir.get(), "new" + std::to_string(i) + ".txt", 10, true);
    AddFile(site->m_pRootDir.get(), "old.txt", 10, false);
    site->m_bHasNew = 1;
    other->m_bHasNew = 1;
    CMainFrame& frame = w.Open();
    frame.resize(900, 500);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    w.tree()->RefreshSiteItem(site);
    w.tree()->RefreshSiteItem(other);
    w.Select(w.SiteItem(site));
    QCOMPARE(w.list()->model()->rowCount(), 5);

    // Rows 0 to 3 are new; 1 is selected and 4 (not new) is selected too.
    QAbstractItemModel* model = w.list()->model();
    const int column = CFileListModel::kColumnSize;
    auto cell = [&](int row) { return w.list()->visualRect(model->index(row, column)); };
    w.list()->selectionModel()->select(model->index(1, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    w.list()->selectionModel()->select(model->index(4, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QImage list = w.list()->viewport()->grab().toImage();
    const QString shots = QStringLiteral(QUARNEL_UI_SHOT_DIR);
    QDir().mkpath(shots);
    list.save(shots + "/selected_among_new.png");

    const RowPixels newRow = Sample(list, cell(0));
    const RowPixels selectedNew = Sample(list, cell(1));
    const RowPixels selectedOld = Sample(list, cell(4));
    QCOMPARE(Sample(list, cell(2)).fill, newRow.fill);
    QVERIFY(selectedNew.fill != newRow.fill);
    QVERIFY(selectedNew.edge != newRow.edge);
    QVERIFY(selectedNew.edge != selectedNew.fill); // the frame
    // A selected row that is not new is not mistaken for a new one either.
    QVERIFY(selectedOld.edge != newRow.edge);

    // A middle cell repainted alone (as after a click) draws no side of the frame.
    QStyleOptionViewItem alone;
    alone.widget = w.list();
    alone.palette = w.list()->palette();
    alone.font = w.list()->font();
    alone.state = QStyle::State_Enabled | QStyle::State_Selected | QStyle::State_Active;
    alone.viewItemPosition = QStyleOptionViewItem::OnlyOne;
    alone.rect = QRect(QPoint(0, 0), cell(1).size());
    QImage middle(alone.rect.size(), QImage::Format_ARGB32);
    middle.fill(Qt::white);
    {
        QPainter painter(&middle);
        w.list()->itemDelegate()->paint(&painter, alone, model->index(1, column));
    }
    QCOMPARE(middle.pixel(0, alone.rect.center().y()), selectedNew.fill);
    QCOMPARE(middle.pixel(alone.rect.right(), alone.rect.center().y()), selectedNew.fill);
    QCOMPARE(middle.pixel(alone.rect.center().x(), 0), selectedNew.edge);

    // The tree: the selected site among bold (new) sites.
    const QImage tree = w.tree()->viewport()->grab().toImage();
    const QRect selectedSite = w.tree()->visualItemRect(w.SiteItem(site));
    const QRect boldSite = w.tree()->visualItemRect(w.SiteItem(other));
    QVERIFY(Sample(tree, selectedSite).fill != Sample(tree, boldSite).fill);
    QVERIFY(Sample(tree, selectedSite).edge != Sample(tree, selectedSite).fill);
}

void TestWindowDesktop::qtTranslationInstalledWhenPresent_data() {
    QTest::addColumn<bool>("present");
    QTest::newRow("catalogue present") << true;
    QTest::newRow("catalogue missing") << false;
}

void TestWindowDesktop::qtTranslationInstalledWhenPresent() {
    QFETCH(bool, present);
    const QString system = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_zh_CN.qm";
    if (present && !QFileInfo::exists(system))
        QSKIP("Qt's Chinese catalogue is not installed (qt6-translations-l10n)");
    QTemporaryDir dir;
    if (present)
        QVERIFY(QFile::copy(system, dir.path() + "/qtbase_zh_CN.qm"));
    QTranslator* translator = QtTranslations::Install(*QCoreApplication::instance(), dir.path());
    QCOMPARE(translator != nullptr, present);

    QMessageBox box(QMessageBox::Question, "Quarnel", "?", QMessageBox::Ok | QMessageBox::Cancel);
    const QString qtCancel = box.button(QMessageBox::Cancel)->text();
    QCOMPARE(qtCancel == QStringLiteral("取消"), present);
    // The program's own labels hold either way.
    MessageBoxes::UseChineseButtonTexts(box);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
    if (translator)
        QCoreApplication::removeTranslator(translator);
}

QTEST_MAIN(TestWindowDesktop)
#include "test_window_desktop.moc"
