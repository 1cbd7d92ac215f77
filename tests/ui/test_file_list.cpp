// The file list: the size texts, rows and their order, sorting by the headers, highlight, opening
// rows by mouse and keyboard, search rows, removal of rows on a removal notice, sizes read under
// the site's lock, names without a server's controls, and the model's own consistency.

#include "UiTestSupport.h"
#include "platform/TextCodec.h"
#include "ui/FileListModel.h"
#include "ui/FormatSize.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPalette>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace uitest;

namespace {
// Takes the URLs the desktop services would hand to the system's ftp:// handler.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QByteArray> urls;
public slots:
    void open(const QUrl& url) { urls.append(url.toEncoded()); }
};

// Accepts the message box that the copy commands show.
void AcceptNextMessageBox() {
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->accept();
    });
}

QStringList Column(QAbstractItemModel* model, int column) {
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->index(row, column).data().toString();
    return texts;
}

// Clicks a column header as the user does.
void ClickHeader(CQuarnelView* list, int column) {
    QHeaderView* header = list->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

// The name of the popup menu that shows next, closed at once; empty if none shows.
void CatchMenu(QString& name) {
    QTimer::singleShot(50, [&name] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            name = menu->objectName();
            menu->close();
        }
    });
}
} // namespace

class TestFileList : public QObject {
    Q_OBJECT
private slots:
    void formatSizeTable_data();
    void formatSizeTable();
    void headerClicksSort_data();
    void headerClicksSort();
    void rowsFoundWhileSortedAreSortedIn();
    void longListSortedInItsThread_data();
    void longListSortedInItsThread();
    void enterAndShiftF10OnRows();
    void browseRowsDirectoriesFirst();
    void highlightFollowsNewMarkAndClears();
    void markShownReadKeepsNewSearchRows();
    void openDirectoryRowRecordsVisit();
    void foundRowsKeepDirectoriesAboveFiles();
    void toggleBetweenBrowseAndFound();
    void removalNoticeDropsRows();
    void copyPathOfFirstSelectedRow();
    void copyAndOpenCarryTheStoredBytes();
    void modelStaysConsistent();
    void largeDirectoryListsEveryRow();
    void searchRowsInBatchesAndRemovalsTogether();
    void sizesAreReadUnderTheSitesLock();
    void listFollowsAnUpdateOfTheShownSite();
    void namesShowNoControls();
};

void TestFileList::formatSizeTable_data() {
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << quint64(0) << QStringLiteral("0字节");
    QTest::newRow("1023") << quint64(1023) << QStringLiteral("1023字节");
    QTest::newRow("1024") << quint64(1024) << QStringLiteral("1.00K");
    QTest::newRow("1536") << quint64(1536) << QStringLiteral("1.50K");
    QTest::newRow("1048575") << quint64(1048575) << QStringLiteral("1024.00K");
    QTest::newRow("1048576") << quint64(1048576) << QStringLiteral("1.00M");
    QTest::newRow("1073741823") << quint64(1073741823) << QStringLiteral("1024.00M");
    QTest::newRow("1073741824") << quint64(1073741824) << QStringLiteral("1.00G");
    QTest::newRow("5368709120") << quint64(5368709120ULL) << QStringLiteral("5.00G");
    QTest::newRow("max") << quint64(~0ULL) << QStringLiteral("17179869184.00G");
}

void TestFileList::formatSizeTable() {
    QFETCH(quint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(FormatSize(bytes), text);
}

// Entries in the root of one site, as "name" (a file), "name:size" or "name/" (a directory), in
// the order of the stored tree; the header of `column` clicked `clicks` times.
void TestFileList::headerClicksSort_data() {
    QTest::addColumn<bool>("gbk");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QStringList>("expected");
    const QStringList mixed{"m/", "z/", "a/", "b", "c", "a"};
    QTest::newRow("natural") << false << QStringList{"file10", "file2", "File1", "file1b"} << 0 << 1
                             << QStringList{"File1", "file1b", "file2", "file10"};
    QTest::newRow("directories first")
        << false << mixed << 0 << 1 << QStringList{"a", "m", "z", "a", "b", "c"};
    QTest::newRow("descending") << false << mixed << 0 << 2 << QStringList{"z", "m", "a", "c", "b", "a"};
    QTest::newRow("third click restores")
        << false << mixed << 0 << 3 << QStringList{"m", "z", "a", "b", "c", "a"};
    QTest::newRow("chinese utf-8") << false << QStringList{"上海", "广州", "北京", "安徽", "北京2", "北京10"}
                                   << 0 << 1
                                   << QStringList{"安徽", "北京", "北京2", "北京10", "广州", "上海"};
    QTest::newRow("chinese gbk") << true << QStringList{"上海", "广州", "北京", "安徽", "北京2", "北京10"}
                                 << 0 << 1 << QStringList{"安徽", "北京", "北京2", "北京10", "广州", "上海"};
    const QStringList sized{"d/", "a:300", "b:2048", "c:5", "e:300"};
    QTest::newRow("size") << false << sized << 1 << 1 << QStringList{"d", "c", "a", "e", "b"};
    QTest::newRow("size descending, ties kept")
        << false << sized << 1 << 2 << QStringList{"d", "b", "a", "e", "c"};
    QTest::newRow("location") << false << QStringList{"x10/", "x9/", "y", "x"} << 2 << 1
                              << QStringList{"x9", "x10", "x", "y"};
}

void TestFileList::headerClicksSort() {
    QFETCH(bool, gbk);
    QFETCH(QStringList, entries);
    QFETCH(int, column);
    QFETCH(int, clicks);
    QFETCH(QStringList, expected);
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    auto stored = [gbk](const QString& name) {
        return gbk ? Utf8ToNarrow(name.toStdString()) : name.toStdString();
    };
    for (const QString& entry : entries) {
        if (entry.endsWith('/'))
            AddDir(site->m_pRootDir.get(), stored(entry.chopped(1)));
        else
            AddFile(site->m_pRootDir.get(), stored(entry.section(':', 0, 0)),
                    entry.section(':', 1).toULongLong());
    }
    site->DecideNameCharset();
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    w.Select(w.SiteItem(site));
    QAbstractItemModel* model = w.list()->model();
    // The last row selected: the selection follows it.
    w.list()->selectRow(model->rowCount() - 1);
    const QString selected = model->index(model->rowCount() - 1, 0).data().toString();
    for (int i = 0; i < clicks; ++i)
        ClickHeader(w.list(), column);
    QCOMPARE(Column(model, 0), expected);
    const QModelIndexList rows = w.list()->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().data().toString(), selected);
    QHeaderView* header = w.list()->horizontalHeader();
    QCOMPARE(header->sortIndicatorSection(), clicks == 3 ? -1 : column);
    // The order stays when another directory is shown and comes back.
    w.list()->ShowBrowseLists();
    QCOMPARE(Column(model, 0), expected);
}

// Rows a search adds to a sorted list go at the end and are sorted in when it has ended; the
// rows shown still match the found lists, so the next batch adds only what is new.
void TestFileList::rowsFoundWhileSortedAreSortedIn() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    for (const char* name : {"k", "c", "x", "a", "m"})
        AddFile(root, name);
    w.Open();
    w.doc.m_foundFiles = {root->m_files.GetAt(0), root->m_files.GetAt(1)};
    w.list()->ShowFoundLists();
    w.list()->ListModel()->sort(CFileListModel::kColumnName, Qt::AscendingOrder);
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(Column(model, 0), (QStringList{"c", "k"}));
    w.doc.m_foundFiles.push_back(root->m_files.GetAt(2));
    w.doc.m_foundFiles.push_back(root->m_files.GetAt(3));
    QCOMPARE(w.list()->ListModel()->AppendTails(w.doc.m_foundDirs, w.doc.m_foundFiles), 2);
    QCOMPARE(Column(model, 0), (QStringList{"c", "k", "x", "a"}));
    QTRY_COMPARE(Column(model, 0), (QStringList{"a", "c", "k", "x"}));
    w.doc.m_foundFiles.push_back(root->m_files.GetAt(4));
    QCOMPARE(w.list()->ListModel()->AppendTails(w.doc.m_foundDirs, w.doc.m_foundFiles), 1);
    QTRY_COMPARE(Column(model, 0), (QStringList{"a", "c", "k", "m", "x"}));
    // Back to the order they were found in.
    w.list()->ListModel()->sort(-1);
    QCOMPARE(Column(model, 0), (QStringList{"k", "c", "x", "a", "m"}));
}

// A long list is sorted in a thread: the click returns at once with the rows as they were, the
// list says it is at work, and the rows take their order when it is done, the selection with
// them. What happens to the rows meanwhile (none, another directory shown, a row removed, rows a
// search added) leaves them in order all the same.
void TestFileList::longListSortedInItsThread_data() {
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<QStringList>("expected");
    // Chinese names before Latin ones, as the Chinese collation has it.
    const QStringList all{"文件", "a1", "a2", "a10", "b", "c", "x", "y", "z"};
    QTest::newRow("nothing") << QString() << all;
    QTest::newRow("another directory") << QStringLiteral("show other") << QStringList{"d1", "d2", "d3"};
    QTest::newRow("a row removed") << QStringLiteral("remove c")
                                   << QStringList{"文件", "a1", "a2", "a10", "b", "x", "y", "z"};
    QTest::newRow("rows appended") << QStringLiteral("append m")
                                   << QStringList{"文件", "a1", "a2", "a10", "b", "c", "m", "x", "y", "z"};
}

void TestFileList::longListSortedInItsThread() {
    QFETCH(QString, meanwhile);
    QFETCH(QStringList, expected);
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    for (const char* name : {"z", "文件", "a10", "c", "y", "a2", "b", "x", "a1"})
        AddFile(root, name);
    CFTPDir* other = AddDir(root, "other");
    for (const char* name : {"d3", "d1", "d2"})
        AddFile(other, name);
    w.Open();
    CFileListModel* model = w.list()->ListModel();
    model->SetBackgroundSortRows(3);
    auto filesOf = [](CFTPDir* dir) {
        std::vector<CFTPFile*> files;
        for (CFTPFile* file : dir->m_files)
            files.push_back(file);
        return files;
    };
    w.doc.m_foundFiles = filesOf(root);
    w.list()->ShowFoundLists();
    w.list()->selectRow(2); // a10
    model->sort(CFileListModel::kColumnName, Qt::AscendingOrder);
    QVERIFY(model->IsSorting());
    QCOMPARE(Column(model, 0).first(), QStringLiteral("z"));
    QCOMPARE(w.list()->viewport()->cursor().shape(), Qt::BusyCursor);
    if (meanwhile == "show other") {
        w.doc.m_foundFiles = filesOf(other);
        w.list()->ShowFoundLists();
    } else if (meanwhile == "remove c") {
        QCOMPARE(model->RemoveEntry(root->FindFile("c")), 1);
    } else if (meanwhile == "append m") {
        w.doc.m_foundFiles.push_back(AddFile(root, "m"));
        QCOMPARE(model->AppendTails(w.doc.m_foundDirs, w.doc.m_foundFiles), 1);
    }
    QTRY_VERIFY(!model->IsSorting() && !model->HasUnsortedRows());
    QCOMPARE(Column(model, 0), expected);
    QCOMPARE(w.list()->viewport()->cursor().shape(), Qt::ArrowCursor);
    if (meanwhile.isEmpty()) {
        const QModelIndexList rows = w.list()->selectionModel()->selectedRows();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().data().toString(), QStringLiteral("a10"));
        // By size, then by name the other way: the order the names had is reused, reversed.
        model->sort(CFileListModel::kColumnSize, Qt::AscendingOrder);
        QTRY_VERIFY(!model->IsSorting());
        model->sort(CFileListModel::kColumnName, Qt::DescendingOrder);
        QTRY_VERIFY(!model->IsSorting());
        std::reverse(expected.begin(), expected.end());
        QCOMPARE(Column(model, 0), expected);
    }
}

// Enter does what a double click does, on the current row; Shift+F10 opens the row's menu.
void TestFileList::enterAndShiftF10OnRows() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* sub = AddDir(site->m_pRootDir.get(), "sub");
    AddFile(sub, "inner.txt");
    AddFile(site->m_pRootDir.get(), "top.txt");
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CQuarnelView* list = w.list();
    QAbstractItemModel* model = list->model();

    list->setCurrentIndex(model->index(0, 0)); // a welcome row: nothing
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(model->rowCount(), 4);

    w.Select(w.SiteItem(site));
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("ftp"), &catcher, "open");
    list->setCurrentIndex(model->index(1, 0));
    QTest::keyClick(list, Qt::Key_Enter);
    QDesktopServices::unsetUrlHandler(QStringLiteral("ftp"));
    QCOMPARE(catcher.urls, QList<QByteArray>{"ftp://srv:21/top.txt"});

    QString menu;
    list->setCurrentIndex(model->index(0, 0));
    CatchMenu(menu);
    QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    QCOMPARE(menu, QStringLiteral("fileListMenu"));

    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(Column(model, 0), QStringList{"inner.txt"});
    QCOMPARE(frame.History().m_pCurrent->m_pDir, sub);
}

void TestFileList::browseRowsDirectoriesFirst() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    AddFile(root, "b.txt", 1536);
    CFTPDir* sub = AddDir(root, "sub");
    AddFile(root, "a.iso", 5368709120ULL);
    AddDir(root, "另一个");
    w.Open();
    w.Select(w.SiteItem(site));
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(Column(model, 0), (QStringList{"sub", "另一个", "b.txt", "a.iso"}));
    QCOMPARE(Column(model, 1), (QStringList{"0", "0", "1.50K", "5.00G"}));
    QCOMPARE(Column(model, 2),
             (QStringList{"ftp://srv/sub", "ftp://srv/另一个", "ftp://srv/b.txt", "ftp://srv/a.iso"}));
    QVERIFY(!w.list()->m_bSearchMode);
    // Folder picture for directories, a type icon for files.
    QVERIFY(!model->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!model->index(2, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(model->index(2, 1).data(Qt::DecorationRole).isNull());
    AddFile(sub, "deep.txt");
    w.list()->OpenRow(model->index(0, 2));
    QCOMPARE(Column(model, 2), (QStringList{"ftp://srv/sub/deep.txt"}));
}

void TestFileList::highlightFollowsNewMarkAndClears() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    AddDir(root, "newdir", true);
    AddDir(root, "olddir");
    CFTPFile* newFile = AddFile(root, "new.txt", 1, true);
    AddFile(root, "old.txt", 1);
    CMainFrame& frame = w.Open();
    w.Select(w.SiteItem(site));
    auto* model = w.list()->ListModel();
    QCOMPARE(model->IsHighlighted(0), true);
    QCOMPARE(model->IsHighlighted(1), false);
    QCOMPARE(model->IsHighlighted(2), true);
    QCOMPARE(model->IsHighlighted(3), false);
    QCOMPARE(model->index(2, 0).data(Qt::BackgroundRole).value<QBrush>(),
             QApplication::palette().brush(QPalette::Active, QPalette::Highlight));

    // Alt+D: the files read, their highlight gone; the directory rows keep theirs.
    frame.Action(32774)->trigger();
    QCOMPARE(newFile->m_bNew, 0);
    QCOMPARE(site->m_bStateDirty.load(), 1);
    QCOMPARE(model->IsHighlighted(0), true);
    QCOMPARE(model->IsHighlighted(2), false);
    QVERIFY(model->index(2, 0).data(Qt::BackgroundRole).isNull());
}

void TestFileList::markShownReadKeepsNewSearchRows() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    CFTPDir* leaf = AddDir(root, "leaf");
    CFTPFile* shown = AddFile(leaf, "shown.txt", 1, true);
    CFTPFile* other = AddFile(root, "other.txt", 1, true);
    CMainFrame& frame = w.Open();
    // Browsing the leaf (no sub-directories), then listing the site's new files.
    w.doc.m_browseDirs.clear();
    w.doc.m_browseFiles = {shown};
    w.doc.ShowNewUnder(root);
    auto* model = w.list()->ListModel();
    QCOMPARE(Column(model, 0), (QStringList{"shown.txt", "other.txt"}));

    // Alt+D reads the browsed file only; the other result is still new and stays highlighted.
    frame.Action(32774)->trigger();
    QCOMPARE(shown->m_bNew, 0);
    QCOMPARE(other->m_bNew, 1);
    QCOMPARE(model->IsHighlighted(0), false);
    QCOMPARE(model->IsHighlighted(1), true);
}

void TestFileList::openDirectoryRowRecordsVisit() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* sub = AddDir(site->m_pRootDir.get(), "sub", true);
    AddFile(sub, "inner.txt");
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    w.list()->OpenRow(w.list()->model()->index(0, 0));
    QCOMPARE(sub->m_bNew, 0);
    QCOMPARE(site->m_bStateDirty.load(), 1);
    QCOMPARE(frame.History().m_pCurrent->m_pDir, sub);
    QCOMPARE(frame.History().m_backList.GetCount(), 1u);
    QCOMPARE(Column(w.list()->model(), 0), QStringList{"inner.txt"});
    QCOMPARE(w.tree()->currentItem(), siteItem); // the tree's selection stays
    QVERIFY(w.action("actionUp")->isEnabled());
}

void TestFileList::foundRowsKeepDirectoriesAboveFiles() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    CFTPDir* d1 = AddDir(root, "d1");
    CFTPFile* f1 = AddFile(root, "f1", 0, true);
    CFTPDir* d2 = AddDir(root, "d2");
    w.Open();
    CQuarnelView* list = w.list();
    list->ClearList();
    w.doc.m_foundFiles.push_back(f1);
    list->AppendFound();
    w.doc.m_foundDirs.push_back(d1);
    list->AppendFound();
    w.doc.m_foundDirs.push_back(d2);
    list->AppendFound();
    list->AppendFound(); // nothing new: no row added
    QVERIFY(list->m_bSearchMode);
    QCOMPARE(Column(list->model(), 0), (QStringList{"d1", "d2", "f1"}));
    QVERIFY(list->ListModel()->IsHighlighted(2));

    // A search through the document fills rows the same way.
    const SearchOutcome outcome = w.doc.SearchAllSites(std::string("d"));
    QCOMPARE(outcome.status, OpStatus::Done);
    QCOMPARE(Column(list->model(), 0), (QStringList{"d1", "d2"}));
}

void TestFileList::toggleBetweenBrowseAndFound() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddFile(site->m_pRootDir.get(), "browsed.txt");
    CFTPFile* found = AddFile(site->m_pRootDir.get(), "found.txt");
    CMainFrame& frame = w.Open();
    QAction* toggle = frame.Action(32806);
    toggle->trigger(); // no search yet: empty
    QCOMPARE(w.list()->model()->rowCount(), 0);
    toggle->trigger();
    QCOMPARE(w.list()->model()->rowCount(), 0); // nothing browsed either
    w.Select(w.SiteItem(site));
    w.doc.m_foundFiles.push_back(found);
    toggle->trigger();
    QCOMPARE(Column(w.list()->model(), 0), QStringList{"found.txt"});
    toggle->trigger();
    QCOMPARE(Column(w.list()->model(), 0), (QStringList{"browsed.txt", "found.txt"}));
    QVERIFY(!w.list()->m_bSearchMode);
}

void TestFileList::removalNoticeDropsRows() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    CFTPDir* gone = AddDir(root, "gone");
    CFTPFile* inside = AddFile(gone, "inside.txt");
    AddDir(root, "kept");
    AddFile(root, "x.txt");
    AddFile(root, "y.txt");
    CMainFrame& frame = w.Open();
    w.Select(w.SiteItem(site));
    w.doc.m_foundFiles.push_back(inside);
    QCOMPARE(w.list()->model()->rowCount(), 4);

    // A file leaves: its row goes.
    frame.OnEntryRemoved(site, root->m_files.RemoveAt(0), kEntryFile);
    QCOMPARE(Column(w.list()->model(), 0), (QStringList{"gone", "kept", "y.txt"}));
    QCOMPARE(w.doc.m_browseFiles.size(), 1u);

    // A directory leaves: its row, the found entry below it, history entries naming it.
    w.list()->OpenRow(w.list()->model()->index(0, 0));
    QCOMPARE(Column(w.list()->model(), 0), QStringList{"inside.txt"});
    frame.OnEntryRemoved(site, root->m_subDirs.RemoveAt(0), kEntryDir);
    QCOMPARE(w.list()->model()->rowCount(), 0);
    QVERIFY(w.doc.m_foundFiles.empty());
    QVERIFY(!frame.History().m_pCurrent);
    QCOMPARE(frame.History().m_backList.GetCount(), 1u); // the root visit stays
    QVERIFY(!w.action("actionUp")->isEnabled());
    w.action("actionBack")->trigger();
    QCOMPARE(Column(w.list()->model(), 0), (QStringList{"kept", "y.txt"}));
}

void TestFileList::copyPathOfFirstSelectedRow() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    site->m_nPort = 2121;
    AddFile(site->m_pRootDir.get(), "a b.txt");
    AddFile(site->m_pRootDir.get(), "c.txt");
    CMainFrame& frame = w.Open();
    QApplication::clipboard()->setText(QStringLiteral("before"));
    frame.OnCopyListPath(); // nothing selected: nothing at all
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));

    w.Select(w.SiteItem(site));
    QItemSelectionModel* selection = w.list()->selectionModel();
    selection->select(w.list()->model()->index(1, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->select(w.list()->model()->index(0, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QString buttonText;
    QTimer::singleShot(0, [&buttonText] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            buttonText = box->button(QMessageBox::Ok)->text();
            box->accept();
        }
    });
    frame.Action(32796)->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("ftp://srv:2121/a b.txt"));
    QCOMPARE(buttonText, QStringLiteral("确定"));
}

// A GBK name, a password with "@" and ":" and an IPv6 host: the clipboard holds the readable
// text and the exact URL, the shell gets the exact URL with every escape as made.
void TestFileList::copyAndOpenCarryTheStoredBytes() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "::1");
    site->m_strUser = "me";
    site->m_strPassword = "p@ss:w";
    site->m_nPort = 2122;
    CFTPDir* dir = AddDir(site->m_pRootDir.get(), "\xCE\xC4\xB5\xB5"); // 文档 in GBK
    AddFile(dir, "\xCE\xC4 #1%.txt");
    CMainFrame& frame = w.Open();
    const QByteArray exactDir = "ftp://me:p%40ss%3Aw@[::1]:2122/%CE%C4%B5%B5";
    const QByteArray exactFile = exactDir + "/%CE%C4%20%231%25.txt";

    w.SiteItem(site)->setExpanded(true);
    QTreeWidgetItem* dirItem = w.Child(w.SiteItem(site), QStringLiteral("文档"));
    QVERIFY(dirItem);
    w.Select(dirItem);
    AcceptNextMessageBox();
    w.tree()->OnCopyTreePath();
    const QMimeData* copied = QApplication::clipboard()->mimeData();
    QCOMPARE(copied->text(), QStringLiteral("ftp://me:p@ss:w@::1:2122/文档"));
    QCOMPARE(copied->data(QStringLiteral("text/uri-list")), exactDir + "/\r\n"); // a directory's ends in "/"

    w.list()->selectionModel()->select(w.list()->model()->index(0, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    AcceptNextMessageBox();
    frame.OnCopyListPath();
    copied = QApplication::clipboard()->mimeData();
    QCOMPARE(copied->text(), QStringLiteral("ftp://me:p@ss:w@::1:2122/文档/文 #1%.txt"));
    QCOMPARE(copied->data(QStringLiteral("text/uri-list")), exactFile + "\r\n");

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("ftp"), &catcher, "open");
    w.list()->OpenRow(w.list()->model()->index(0, 0));
    QDesktopServices::unsetUrlHandler(QStringLiteral("ftp"));
    QCOMPARE(catcher.urls, QList<QByteArray>{exactFile});
}

void TestFileList::modelStaysConsistent() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    for (int i = 0; i < 5; ++i)
        AddDir(root, "d" + std::to_string(i), i % 2 == 0);
    for (int i = 0; i < 20; ++i)
        AddFile(root, "f" + std::to_string(i) + ".txt", static_cast<uint64_t>(i) * 1000, i % 3 == 0);
    CMainFrame& frame = w.Open();
    QAbstractItemModelTester tester(w.list()->model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    w.Select(w.SiteItem(site));
    w.list()->ClearFileHighlights();
    frame.OnEntryRemoved(site, root->m_files.RemoveAt(3), kEntryFile);
    frame.OnEntryRemoved(site, root->m_subDirs.RemoveAt(1), kEntryDir);
    w.list()->ClearList();
    w.doc.m_foundFiles.push_back(root->m_files.GetAt(0));
    w.list()->AppendFound();
    w.doc.m_foundDirs.push_back(root->m_subDirs.GetAt(0));
    w.list()->AppendFound();
    w.list()->OnInitialUpdate();
    w.list()->ShowBrowseLists();
}

void TestFileList::largeDirectoryListsEveryRow() {
    // Every file of a large directory opened from the tree is a row, the last one too; how long
    // 100,000 rows take is measured by bench_ui_file_list.
    Window w;
    CFTPSite* site = AddSite(w.doc, "big");
    CFTPDir* root = site->m_pRootDir.get();
    constexpr int kFiles = 5000;
    for (int i = 0; i < kFiles; ++i)
        AddFile(root, "file-" + std::to_string(i) + ".txt", static_cast<uint64_t>(i) * 37);
    CMainFrame& frame = w.Open();
    frame.resize(1200, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    w.Select(w.SiteItem(site));
    w.list()->scrollToBottom();
    QApplication::processEvents();
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(model->rowCount(), kFiles);
    QStringList names = Column(model, 0);
    names.sort();
    QCOMPARE(names.front(), QStringLiteral("file-0.txt"));
    QCOMPARE(names.back(), QStringLiteral("file-999.txt"));
    QCOMPARE(names.removeDuplicates(), 0);
}

// A search shows its hits in batches, directories above files as the found lists hold them; the
// entries the engine removes go from rows and found lists as one batch, whether their rows lie in
// one run, in many, or below a removed directory.
void TestFileList::searchRowsInBatchesAndRemovalsTogether() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    std::vector<CFTPDir*> dirs;
    for (int d = 0; d < 3; ++d) {
        dirs.push_back(AddDir(root, "hit-d" + std::to_string(d)));
        for (int i = 0; i < 400; ++i)
            AddFile(dirs.back(), (i % 2 ? "miss-" : "hit-") + std::to_string(d) + "-" + std::to_string(i));
    }
    CMainFrame& frame = w.Open();
    QAbstractItemModelTester tester(w.list()->model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(w.doc.SearchAllSites(std::string("hit")).status, OpStatus::Done);
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(model->rowCount(), 3 + 600);
    QCOMPARE(Column(model, 0).mid(0, 4), (QStringList{"hit-d0", "hit-d1", "hit-d2", "hit-0-0"}));
    QCOMPARE(Column(model, 0).last(), QStringLiteral("hit-2-398"));

    // Every other hit of d0 (a hundred runs of rows), three hits of d2 in a row, all of d1.
    auto unlink = [&frame, site](CFTPDir* dir, auto&& pred) {
        for (auto& file : dir->m_files.ExtractIf(pred))
            frame.QueueEntryRemoved(site, std::move(file), kEntryFile);
    };
    int n = 0;
    unlink(dirs[0], [&n](CFTPFile* f) { return f->m_strName.rfind("hit-", 0) == 0 && n++ % 2 == 0; });
    unlink(dirs[2], [](CFTPFile* f) {
        return f->m_strName == "hit-2-10" || f->m_strName == "hit-2-12" || f->m_strName == "hit-2-14";
    });
    frame.QueueEntryRemoved(site, root->m_subDirs.RemoveAt(1), kEntryDir);
    QCOMPARE(model->rowCount(), 603); // handed over once the notices queued with them are taken
    QTRY_COMPARE(model->rowCount(), 2 + 100 + 197);
    QCOMPARE(w.doc.m_foundDirs.size(), 2u);
    QCOMPARE(w.doc.m_foundFiles.size(), 297u);
    const QStringList names = Column(model, 0);
    QCOMPARE(names.mid(0, 4), (QStringList{"hit-d0", "hit-d2", "hit-0-2", "hit-0-6"}));
    QVERIFY(!names.contains("hit-1-0") && !names.contains("hit-2-12") && names.contains("hit-2-16"));
    for (int row = 2; row < model->rowCount(); ++row)
        QCOMPARE(model->index(row, 0).data().toString(),
                 QString::fromStdString(w.doc.m_foundFiles[static_cast<std::size_t>(row - 2)]->m_strName));
}

// An update changes sizes under the site's lock. The list reads them under it when it makes the
// rows (a row made while an update holds the lock waits for it), never while it paints, and takes
// an update's sizes when the site's status is told.
void TestFileList::sizesAreReadUnderTheSitesLock() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPFile* file = AddFile(site->m_pRootDir.get(), "a.bin", 1000);
    CMainFrame& frame = w.Open();
    w.doc.ShowDir(site->m_pRootDir.get());
    QAbstractItemModel* model = w.list()->model();

    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    std::thread update([&] {
        auto lock = site->LockTree();
        {
            std::lock_guard<std::mutex> state(mutex);
            held = true;
        }
        changed.notify_all();
        // Written late: a list that did not wait for the lock has read the old size by then.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        file->m_nSize = 2048;
    });
    {
        std::unique_lock<std::mutex> state(mutex);
        changed.wait(state, [&] { return held; });
    }
    w.list()->ShowBrowseLists();
    update.join();
    QCOMPARE(model->index(0, 1).data().toString(), FormatSize(2048));

    {
        auto lock = site->LockTree();
        file->m_nSize = 4096;
    }
    QCOMPARE(model->index(0, 1).data().toString(), FormatSize(2048)); // what the row read
    frame.OnSiteStatus(site);
    QCOMPARE(model->index(0, 1).data().toString(), FormatSize(4096));
}

void TestFileList::namesShowNoControls() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddFile(site->m_pRootDir.get(), "evil\x1b[2J\xE2\x80\xAEgpj.exe\x7F");
    w.Open();
    w.Select(w.SiteItem(site));
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("evil\uFFFD[2Jgpj.exe\uFFFD"));
    QCOMPARE(model->index(0, 2).data().toString(), QStringLiteral("ftp://srv/evil\uFFFD[2Jgpj.exe\uFFFD"));
}

// An update of the site being browsed ends: the list shows what it added, without the user going
// elsewhere and back, and marks nothing read; an update that is still running changes nothing.
void TestFileList::listFollowsAnUpdateOfTheShownSite() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub");
    AddFile(pub, "old.txt");
    CFTPSite* other = AddSite(w.doc, "other");
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* item = w.SiteItem(site);
    w.Select(item);
    w.tree()->expandItem(item);
    w.Select(Window::Child(item, QStringLiteral("pub")));
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(model->rowCount(), 1);

    AddFile(pub, "new.txt", 5, true);
    site->SetStatus("", UpdateStatus::Waiting);
    frame.OnSiteStatus(site);
    QCOMPARE(model->rowCount(), 1); // still running
    other->SetStatus("", UpdateStatus::Succeeded);
    frame.OnSiteStatus(other);
    QCOMPARE(model->rowCount(), 1); // another site
    site->SetStatus("", UpdateStatus::Succeeded);
    frame.OnSiteStatus(site);
    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("new.txt"));
    QCOMPARE(pub->m_files.GetAt(1)->m_bNew, 1);
}

QTEST_MAIN(TestFileList)
#include "test_file_list.moc"
