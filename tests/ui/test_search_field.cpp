// The search field: results as the user types, the newest text wins, Escape returns to browsing,
// a query that cannot be read says why, a result's menu opens the directory that holds it.

#include "UiTestSupport.h"
#include "ui/SearchField.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

using namespace uitest;

class TestSearchField : public QObject {
    Q_OBJECT
private slots:
    void resultsFollowTheTypedText();
    void escapeReturnsToBrowsingAndErrorsAreShown();
    void resultMenuOpensTheDirectoryHoldingIt_data();
    void resultMenuOpensTheDirectoryHoldingIt();
};

namespace {

struct SearchWindow : Window {
    CSearchField* field = nullptr;
    SearchWindow() {
        CFTPSite* site = AddSite(doc, "h");
        CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub");
        AddFile(pub, "中国电影.mkv", 800 << 20);
        AddFile(pub, "readme.txt", 10);
        AddFile(site->m_pRootDir.get(), "read.me", 5);
        Open().show();
        field = frame->findChild<CSearchField*>(QStringLiteral("searchField"));
    }
    int Rows() const { return list()->model()->rowCount(); }
    void Type(const QString& text) {
        field->clear();
        QTest::keyClicks(field, text);
    }
};

} // namespace

void TestSearchField::resultsFollowTheTypedText() {
    SearchWindow w;
    QVERIFY(w.field);
    const struct {
        const char* query;
        int rows;
    } cases[] = {{"zgdy", 1},     {"read", 2},     {"read ext:txt", 1},
                 {"size:>1M", 1}, {"type:dir", 1}, {"nothing", 0}};
    for (const auto& c : cases) {
        w.Type(QString::fromUtf8(c.query));
        QTRY_COMPARE_WITH_TIMEOUT(w.Rows(), c.rows, 2000);
        QVERIFY(w.list()->m_bSearchMode);
    }
}

void TestSearchField::escapeReturnsToBrowsingAndErrorsAreShown() {
    SearchWindow w;
    w.Type(QStringLiteral("size:>abc"));
    QTRY_VERIFY(w.field->toolTip().contains(QString::fromUtf8("大小条件有误")));
    w.Type(QStringLiteral("read"));
    QTRY_COMPARE(w.Rows(), 2);
    QVERIFY(!w.field->toolTip().contains(QString::fromUtf8("大小条件有误")));
    QTest::keyClick(w.field, Qt::Key_Escape);
    QVERIFY(w.field->text().isEmpty());
    QTRY_VERIFY(!w.list()->m_bSearchMode);
}

// The texts of the list's menu for its current row; `choose` is triggered from it if it is there.
QStringList ListMenu(CQuarnelView* list, const QString& choose = {}) {
    QStringList texts;
    QTimer::singleShot(50, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            texts << action->text();
            if (action->text() == choose)
                chosen = action;
        }
        menu->close();
        if (chosen)
            chosen->trigger();
    });
    QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    return texts;
}

// A query, and what 打开所在目录 on its first result selects in the tree and then in the list.
void TestSearchField::resultMenuOpensTheDirectoryHoldingIt_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("selected");
    QTest::newRow("file") << "readme"
                          << "pub" << QStringList{"中国电影.mkv", "readme.txt"} << "readme.txt";
    QTest::newRow("directory") << "type:dir"
                               << "h" << QStringList{"pub", "read.me"} << "pub";
}

void TestSearchField::resultMenuOpensTheDirectoryHoldingIt() {
    QFETCH(QString, query);
    QFETCH(QString, folder);
    QFETCH(QStringList, listed);
    QFETCH(QString, selected);
    SearchWindow w;
    w.Type(query);
    QTRY_COMPARE(w.Rows(), 1);
    w.list()->setCurrentIndex(w.list()->model()->index(0, 0));
    const QString open = QStringLiteral("打开所在目录");
    QVERIFY(ListMenu(w.list(), open).contains(open));
    QCOMPARE(w.tree()->currentItem()->text(0), folder);
    QVERIFY(!w.list()->m_bSearchMode);
    QStringList names;
    for (int row = 0; row < w.Rows(); ++row)
        names << w.list()->model()->index(row, 0).data().toString();
    QCOMPARE(names, listed);
    const QModelIndexList rows = w.list()->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().data().toString(), selected);
    QCOMPARE(w.list()->currentIndex().row(), rows.first().row());
    QCOMPARE(w.frame->History().m_pCurrent->m_pDir, CDirView::ItemDir(w.tree()->currentItem()));
    // Rows being browsed offer no such command.
    QVERIFY(!ListMenu(w.list()).contains(open));
}

QTEST_MAIN(TestSearchField)
#include "test_search_field.moc"
