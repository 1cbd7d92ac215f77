// Entries and sites leaving the catalogue reach every holder through the document's one notice;
// while a walk runs the commands that change the catalogue are greyed as one group.

#include "UiTestSupport.h"
#include "ui/CommandIds.h"
#include "ui/FileListModel.h"

#include <QActionGroup>
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <functional>
#include <map>
#include <set>

using namespace uitest;

namespace {

// Every record one holder points at, by address only (what it points at may be freed).
using Held = std::map<QString, std::vector<const void*>>;

Held HeldByEachHolder(Window& w) {
    Held held;
    auto& doc = held[QStringLiteral("document")];
    doc.insert(doc.end(), w.doc.m_browseDirs.begin(), w.doc.m_browseDirs.end());
    doc.insert(doc.end(), w.doc.m_browseFiles.begin(), w.doc.m_browseFiles.end());
    doc.insert(doc.end(), w.doc.m_foundDirs.begin(), w.doc.m_foundDirs.end());
    doc.insert(doc.end(), w.doc.m_foundFiles.begin(), w.doc.m_foundFiles.end());

    auto& history = held[QStringLiteral("history")];
    CHistory& h = w.frame->History();
    if (h.m_pCurrent)
        history.push_back(h.m_pCurrent->m_pDir);
    for (const CObList<HistoryEntry>* list : {&h.m_backList, &h.m_forwardList})
        for (const HistoryEntry* entry : *list)
            history.push_back(entry->m_pDir);

    auto& rows = held[QStringLiteral("list rows")];
    CFileListModel* model = w.list()->ListModel();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (CFTPDir* dir = model->DirAt(row))
            rows.push_back(dir);
        if (CFTPFile* file = model->FileAt(row))
            rows.push_back(file);
    }

    auto& items = held[QStringLiteral("tree items")];
    QList<QTreeWidgetItem*> stack;
    for (int i = 0; i < w.tree()->topLevelItemCount(); ++i)
        stack.append(w.tree()->topLevelItem(i));
    while (!stack.isEmpty()) {
        QTreeWidgetItem* item = stack.takeLast();
        if (CFTPDir* dir = CDirView::ItemDir(item))
            items.push_back(dir);
        for (int i = 0; i < item->childCount(); ++i)
            stack.append(item->child(i));
    }
    return held;
}

void CollectSubtree(const CFTPDir* dir, std::set<const void*>& out) {
    out.insert(dir);
    for (const CFTPFile* file : dir->m_files)
        out.insert(file);
    for (const CFTPDir* sub : dir->m_subDirs)
        CollectSubtree(sub, out);
}

// The holders that point into `gone`.
QStringList HoldersOf(const Held& held, const std::set<const void*>& gone) {
    QStringList holders;
    for (const auto& [holder, pointers] : held)
        for (const void* p : pointers)
            if (gone.count(p)) {
                holders.append(holder);
                break;
            }
    return holders;
}

// Counts what the catalogue commands looked like each time a walk let events through.
struct GroupProbe {
    CMainFrame* frame = nullptr;
    int checks = 0;
    int enabledSeen = 0; // the group, or one of its actions, enabled during the walk
    bool editDialogShown = false;

    void Check() {
        ++checks;
        QApplication::processEvents();
        if (frame->CatalogueCommands()->isEnabled())
            ++enabledSeen;
        for (int id : kCatalogueCommands)
            if (frame->Action(id)->isEnabled())
                ++enabledSeen;
        if (checks == 1) {
            // Called by hand it must not edit either: a dialog that opens is closed and noted.
            QTimer::singleShot(0, [this] {
                if (QWidget* modal = QApplication::activeModalWidget()) {
                    editDialogShown = true;
                    modal->close();
                }
            });
            frame->OnEditSite();
        }
    }
};

class ProbeSink : public ISearchSink {
public:
    explicit ProbeSink(GroupProbe& probe) : m_probe(probe) {}
    void FoundDir(CFTPDir*) override { m_probe.Check(); }
    void FoundFile(CFTPFile*) override { m_probe.Check(); }

private:
    GroupProbe& m_probe;
};

enum class Removal { EngineFile, EngineDir, DeletedSite, DeletedElsewhere };

} // namespace

Q_DECLARE_METATYPE(Removal)

class TestCatalogueNotices : public QObject {
    Q_OBJECT
private slots:
    void removedEntryLeavesEveryHolder_data();
    void removedEntryLeavesEveryHolder();
    void catalogueCommandsGreyedDuringWalk_data();
    void catalogueCommandsGreyedDuringWalk();
};

void TestCatalogueNotices::removedEntryLeavesEveryHolder_data() {
    QTest::addColumn<Removal>("removal");
    QTest::addColumn<QStringList>("holdersBefore");
    const QStringList all{"document", "history", "list rows", "tree items"};
    // Files are never visited nor tree items, so only the lists hold x.txt.
    QTest::newRow("file removed by an update") << Removal::EngineFile << QStringList{"document", "list rows"};
    QTest::newRow("directory removed by an update") << Removal::EngineDir << all;
    QTest::newRow("site deleted here") << Removal::DeletedSite << all;
    QTest::newRow("site deleted by another program") << Removal::DeletedElsewhere << all;
}

void TestCatalogueNotices::removedEntryLeavesEveryHolder() {
    QFETCH(Removal, removal);
    QFETCH(QStringList, holdersBefore);

    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    CFTPDir* a = AddDir(root, "a");
    CFTPDir* b = AddDir(a, "b");
    CFTPFile* f = AddFile(b, "f.txt");
    CFTPFile* g = AddFile(a, "g.txt");
    AddDir(root, "keep");
    CFTPFile* x = AddFile(root, "x.txt");
    AddFile(root, "y.txt");
    CFTPSite* other = AddSite(w.doc, "other");
    AddDir(other->m_pRootDir.get(), "o");
    if (removal == Removal::DeletedElsewhere)
        QVERIFY(w.doc.SaveSiteList()); // the document knows both sites are in site.ds
    CMainFrame& frame = w.Open();

    // Visit srv, a, b from the tree, then back to srv: every holder points into the catalogue.
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    QTreeWidgetItem* aItem = Window::Child(siteItem, "a");
    w.Select(aItem);
    w.Select(Window::Child(aItem, "b"));
    frame.History().GoBack();
    frame.History().GoBack();
    w.list()->ShowBrowseLists();
    w.doc.m_foundDirs = {b};
    w.doc.m_foundFiles = {f, g, x};

    std::set<const void*> gone;
    switch (removal) {
    case Removal::EngineFile:
        gone = {x};
        break;
    case Removal::EngineDir:
        CollectSubtree(a, gone);
        break;
    default:
        CollectSubtree(root, gone);
    }
    QCOMPARE(HoldersOf(HeldByEachHolder(w), gone), holdersBefore);

    switch (removal) {
    case Removal::EngineFile:
        QCOMPARE(root->m_files.GetAt(0), x);
        frame.OnEntryRemoved(site, root->m_files.RemoveAt(0), kEntryFile);
        break;
    case Removal::EngineDir:
        frame.OnEntryRemoved(site, root->m_subDirs.RemoveAt(0), kEntryDir);
        break;
    case Removal::DeletedSite:
        QCOMPARE(w.doc.DeleteSite(site), OpStatus::Done);
        break;
    case Removal::DeletedElsewhere: {
        CQuarnelDoc elsewhere;
        elsewhere.OnNewDocument();
        QCOMPARE(elsewhere.DeleteSite(elsewhere.FindSiteByKey("srv")), OpStatus::Done);
        QCOMPARE(w.doc.ReloadSiteList().removed, 1u);
        break;
    }
    }

    QCOMPARE(HoldersOf(HeldByEachHolder(w), gone), QStringList());
    // What did not go stays.
    QVERIFY(w.SiteItem(other));
    const bool siteGone = removal == Removal::DeletedSite || removal == Removal::DeletedElsewhere;
    QCOMPARE(w.tree()->topLevelItemCount(), siteGone ? 1 : 2);
    if (!siteGone)
        QVERIFY(!w.doc.m_browseFiles.empty()); // y.txt
}

void TestCatalogueNotices::catalogueCommandsGreyedDuringWalk_data() {
    QTest::addColumn<bool>("search");
    QTest::newRow("search") << true;
    QTest::newRow("mark all read") << false;
}

void TestCatalogueNotices::catalogueCommandsGreyedDuringWalk() {
    QFETCH(bool, search);
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    for (int d = 0; d < 3; ++d) {
        CFTPDir* dir = AddDir(site->m_pRootDir.get(), "d" + std::to_string(d), true);
        for (int i = 0; i < 400; ++i)
            AddFile(dir, "f" + std::to_string(i), 1, true);
    }
    CMainFrame& frame = w.Open();
    w.Select(w.SiteItem(site));
    QVERIFY(frame.CatalogueCommands()->isEnabled());
    QCOMPARE(frame.CatalogueCommands()->actions().size(),
             static_cast<qsizetype>(std::size(kCatalogueCommands)));

    GroupProbe probe{&frame};
    ProbeSink sink(probe);
    if (search) {
        w.doc.SetSearchSink(&sink);
        w.doc.SearchAllSites(std::string("f1"));
    } else {
        w.doc.SetPumpPending([&probe] {
            probe.Check();
            return true;
        });
        QCOMPARE(w.doc.MarkSitesRead(SiteScope::All), OpStatus::Done);
    }
    w.doc.SetSearchSink(nullptr);
    w.doc.SetPumpPending({});

    QVERIFY(probe.checks > 0);
    QCOMPARE(probe.enabledSeen, 0);
    QVERIFY(!probe.editDialogShown);
    QVERIFY(frame.CatalogueCommands()->isEnabled());
    for (int id : kCatalogueCommands)
        QVERIFY(frame.Action(id)->isEnabled());
    // Walk commands stay: another one stops the running walk and runs after it.
    QVERIFY(frame.Action(ID_SEARCH)->isEnabled());
}

QTEST_MAIN(TestCatalogueNotices)
#include "test_catalogue_notices.moc"
