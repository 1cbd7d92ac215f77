// The search field: results as the user types, the newest text wins, Escape returns to browsing,
// a query that cannot be read says why.

#include "UiTestSupport.h"
#include "ui/SearchField.h"

#include <QTest>

using namespace uitest;

class TestSearchField : public QObject {
    Q_OBJECT
private slots:
    void resultsFollowTheTypedText();
    void escapeReturnsToBrowsingAndErrorsAreShown();
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

QTEST_MAIN(TestSearchField)
#include "test_search_field.moc"
