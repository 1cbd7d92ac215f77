// Navigation history: visits from the tree and the list, Back, Forward and Up with their enable
// rules and the 20-entry limits.

#include "UiTestSupport.h"
#include "ui/History.h"

#include <QTest>

using namespace uitest;

class TestHistory : public QObject {
    Q_OBJECT
private slots:
    void backForwardThroughThreeVisits();
    void twentyEntryLimit();
    void upAndBackAgain();
    void backAndForwardLeaveTreeAlone();
    void forgetDropsEntriesOfRemovedSubtree();
};

namespace {
QString Shown(Window& w) {
    QStringList names;
    for (CFTPFile* file : w.doc.m_browseFiles)
        names << QString::fromStdString(file->m_strName);
    return names.join(',');
}
} // namespace

void TestHistory::backForwardThroughThreeVisits() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    for (const char* name : {"A", "B", "C", "D"})
        AddFile(AddDir(site->m_pRootDir.get(), name), std::string("in") + name);
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    siteItem->setExpanded(true);
    w.Select(Window::Child(siteItem, "A"));
    w.Select(Window::Child(siteItem, "B"));
    w.Select(Window::Child(siteItem, "C"));
    QAction* back = frame.Action(32798);
    QAction* forward = frame.Action(32797);
    back->trigger();
    QCOMPARE(Shown(w), QStringLiteral("inB"));
    QCOMPARE(w.list()->model()->index(0, 0).data().toString(), QStringLiteral("inB"));
    back->trigger();
    QCOMPARE(Shown(w), QStringLiteral("inA"));
    forward->trigger();
    QCOMPARE(Shown(w), QStringLiteral("inB"));
    QVERIFY(forward->isEnabled());
    w.Select(Window::Child(siteItem, "D"));
    QVERIFY(!forward->isEnabled());
    QCOMPARE(frame.History().m_forwardList.GetCount(), 0u);
}

void TestHistory::twentyEntryLimit() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    std::vector<CFTPDir*> dirs;
    for (int i = 1; i <= 25; ++i) {
        CFTPDir* dir = AddDir(site->m_pRootDir.get(), "v" + std::to_string(i));
        AddFile(dir, "f" + std::to_string(i));
        dirs.push_back(dir);
    }
    CMainFrame& frame = w.Open();
    CHistory& history = frame.History();
    for (CFTPDir* dir : dirs)
        history.RecordVisit(dir);
    QCOMPARE(history.m_backList.GetCount(), 20u);
    int backs = 0;
    while (frame.Action(32798)->isEnabled()) {
        frame.Action(32798)->trigger();
        ++backs;
    }
    QCOMPARE(backs, 20);
    QCOMPARE(history.m_pCurrent->m_pDir, dirs[4]); // the 5th visit
    QCOMPARE(Shown(w), QStringLiteral("f5"));
    QCOMPARE(history.m_forwardList.GetCount(), 20u);
    // Forward is limited the same way: the newest 20 are kept.
    int forwards = 0;
    while (frame.Action(32797)->isEnabled()) {
        frame.Action(32797)->trigger();
        ++forwards;
    }
    QCOMPARE(forwards, 20);
    QCOMPARE(history.m_pCurrent->m_pDir, dirs[24]);
}

void TestHistory::upAndBackAgain() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* parent = AddDir(site->m_pRootDir.get(), "parent", true);
    AddFile(parent, "p.txt");
    CFTPDir* child = AddDir(parent, "child");
    AddFile(child, "c.txt");
    CMainFrame& frame = w.Open();
    frame.History().RecordVisit(child);
    w.doc.ShowDir(child);
    QAction* up = frame.Action(32801);
    QVERIFY(up->isEnabled());
    up->trigger();
    QCOMPARE(Shown(w), QStringLiteral("p.txt"));
    QCOMPARE(parent->m_bNew, 1); // Up does not read the parent
    up->trigger();
    QCOMPARE(frame.History().m_pCurrent->m_pDir, site->m_pRootDir.get());
    QVERIFY(!up->isEnabled());
    frame.Action(32798)->trigger();
    frame.Action(32798)->trigger();
    QCOMPARE(Shown(w), QStringLiteral("c.txt"));
    QVERIFY(!frame.Action(32798)->isEnabled());
}

void TestHistory::backAndForwardLeaveTreeAlone() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddDir(site->m_pRootDir.get(), "A", true);
    AddDir(site->m_pRootDir.get(), "B", true);
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    w.Select(Window::Child(siteItem, "A"));
    frame.Action(32798)->trigger();
    QCOMPARE(w.tree()->currentItem()->text(0), QStringLiteral("A"));
    QVERIFY(Window::Child(siteItem, "B")->font(0).bold());
    // Back after a search goes to the visit before the last one, not to the search.
    frame.Action(32797)->trigger();
    w.doc.SearchAllSites(std::string("b"));
    QVERIFY(w.list()->m_bSearchMode);
    frame.Action(32798)->trigger();
    QVERIFY(!w.list()->m_bSearchMode);
    QCOMPARE(frame.History().m_pCurrent->m_pDir, site->m_pRootDir.get());
}

void TestHistory::forgetDropsEntriesOfRemovedSubtree() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    CFTPDir* b = AddDir(a, "b");
    CFTPDir* other = AddDir(site->m_pRootDir.get(), "other");
    CHistory history(w.doc);
    for (CFTPDir* dir : {other, a, b, other, b})
        history.RecordVisit(dir);
    history.GoBack(); // b goes to Forward
    history.ForgetEntry(a);
    QCOMPARE(history.m_backList.GetCount(), 1u);
    QCOMPARE(history.m_backList.GetAt(0)->m_pDir, other);
    QCOMPARE(history.m_forwardList.GetCount(), 0u);
    QCOMPARE(history.m_pCurrent->m_pDir, other);
    history.ForgetSite(site);
    QVERIFY(!history.m_pCurrent);
    QVERIFY(!history.CanGoBack() && !history.CanGoUp());
}

QTEST_MAIN(TestHistory)
#include "test_history.moc"
