// The site tree: items per site in order, lazy levels with placeholders, the name walk, status
// images and bold marks after status notices, the first-selection rule, collapse, menus, tips
// (without a server's control characters), and the edit and delete of the site an item stands for.

#include "UiTestSupport.h"
#include "model/SiteListFile.h"
#include "platform/TextCodec.h"
#include "ui/FileListModel.h"
#include "ui/Icons.h"
#include "ui/SiteDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <functional>

using namespace uitest;

namespace {
bool IsPlaceholder(QTreeWidgetItem* item) {
    return item->text(0).isEmpty() && CDirView::ItemDir(item) == nullptr;
}
QStringList ChildTexts(QTreeWidgetItem* item) {
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i)
        texts << item->child(i)->text(0);
    return texts;
}
bool SameImage(const QIcon& icon, int index) {
    return icon.pixmap(16).toImage() == Icons::TreeIcon(index).pixmap(16).toImage();
}
} // namespace

class TestSiteTree : public QObject {
    Q_OBJECT
private slots:
    void siteItemsSortedByDisplayName();
    void lazyLevelsAndPlaceholders();
    void nameWalkFollowsTheCatalogue();
    void statusImageAndBoldAfterNotice();
    void selectingClearsNewMarkOfDirectoryOnly();
    void readCommandsUnboldShownItems();
    void firstSelectionIsIgnored();
    void collapseDiscardsChildren();
    void contextMenusPerItemKind();
    void keyboardMenusAndTabBetweenPanes();
    void tipShowsSiteStatus();
    void removedDirectoryLosesItsReference();
    void treeFollowsAnUpdate();
    void chineseNamesShownAsTheyWereMeant();
    void editOntoAnotherSitesKeyIsRefused();
    void deleteNamesTheSiteAndKeepsItOnEnter();
};

void TestSiteTree::siteItemsSortedByDisplayName() {
    Window w;
    AddSite(w.doc, "zeta.example");
    AddSite(w.doc, "beta.example", "alpha nick");
    CFTPSite* user = AddSite(w.doc, "host");
    user->m_strUser = "bob";
    user->m_strPassword = "pw";
    w.Open();
    QStringList texts;
    for (int i = 0; i < w.tree()->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = w.tree()->topLevelItem(i);
        texts << item->text(0);
        QCOMPARE(item->childCount(), 1);
        QVERIFY(IsPlaceholder(item->child(0)));
        QVERIFY(SameImage(item->icon(0), Icons::kTreeStatusBase + 0));
        QVERIFY(!item->font(0).bold());
    }
    QCOMPARE(texts, (QStringList{"alpha nick", "host@bob", "zeta.example"}));
}

void TestSiteTree::lazyLevelsAndPlaceholders() {
    Window w;
    CFTPSite* empty = AddSite(w.doc, "empty");
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub", true);
    AddDir(pub, "leaf");
    AddDir(site->m_pRootDir.get(), "etc");
    w.Open();

    // A site whose root has no sub-directories keeps one empty child.
    QTreeWidgetItem* emptyItem = w.SiteItem(empty);
    emptyItem->setExpanded(true);
    QCOMPARE(emptyItem->childCount(), 1);
    QVERIFY(IsPlaceholder(emptyItem->child(0)));

    QTreeWidgetItem* siteItem = w.SiteItem(site);
    siteItem->setExpanded(true);
    QCOMPARE(siteItem->childCount(), 2);
    QTreeWidgetItem* pubItem = siteItem->child(0);
    QCOMPARE(pubItem->text(0), QStringLiteral("pub"));
    QCOMPARE(siteItem->child(1)->text(0), QStringLiteral("etc"));
    QVERIFY(pubItem->font(0).bold()); // new directory
    QVERIFY(IsPlaceholder(pubItem->child(0)));

    pubItem->setExpanded(true);
    QCOMPARE(pubItem->childCount(), 1);
    QTreeWidgetItem* leafItem = pubItem->child(0);
    QCOMPARE(leafItem->text(0), QStringLiteral("leaf"));
    // A directory without sub-directories loses its expand button when expanded.
    leafItem->setExpanded(true);
    QCOMPARE(leafItem->childCount(), 0);
    // Expanding did not read anything as read.
    QCOMPARE(pub->m_bNew, 1);
}

void TestSiteTree::nameWalkFollowsTheCatalogue() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    CFTPDir* b = AddDir(a, "b");
    w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    siteItem->setExpanded(true);
    QTreeWidgetItem* aItem = Window::Child(siteItem, "a");
    aItem->setExpanded(true);
    QTreeWidgetItem* bItem = Window::Child(aItem, "b");
    QCOMPARE(w.tree()->NameWalk(bItem), b);
    QCOMPARE(w.tree()->NameWalk(siteItem), site->m_pRootDir.get());

    // A directory that appeared since the level was built is found after collapse and expand.
    AddDir(a, "c");
    aItem->setExpanded(false);
    aItem->setExpanded(true);
    QVERIFY(Window::Child(aItem, "c"));

    // The walk fails for a name that is no longer in the catalogue: selecting it changes nothing.
    auto removed = a->m_subDirs.RemoveAt(0);
    w.Select(siteItem);
    const int rowsBefore = w.list()->model()->rowCount();
    QTreeWidgetItem* stale = Window::Child(siteItem, "a");
    stale->setExpanded(true);
    QTreeWidgetItem* staleB = Window::Child(stale, "c");
    QVERIFY(staleB);
    QVERIFY(!w.tree()->NameWalk(Window::Child(stale, "b")));
    QCOMPARE(w.list()->model()->rowCount(), rowsBefore);
}

void TestSiteTree::statusImageAndBoldAfterNotice() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* item = w.SiteItem(site);
    const int statuses[] = {1, 2, 3, 4, 0};
    for (int status : statuses) {
        site->m_nUpdateStatus = static_cast<UpdateStatus>(status);
        frame.OnSiteStatus(site);
        QVERIFY2(SameImage(item->icon(0), Icons::kTreeStatusBase + status),
                 qPrintable(QString::number(status)));
    }
    site->m_bHasNew = 1;
    frame.OnSiteStatus(site);
    QVERIFY(item->font(0).bold());
    site->m_bHasNew = 0;
    frame.OnSiteStatus(site);
    QVERIFY(!item->font(0).bold());

    // A notice for a site that is no longer shown is ignored.
    auto gone = std::make_unique<CFTPSite>();
    frame.OnSiteStatus(gone.get());
}

void TestSiteTree::selectingClearsNewMarkOfDirectoryOnly() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    site->m_bHasNew = 1;
    CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub", true);
    CFTPFile* file = AddFile(pub, "x.txt", 10, true);
    CMainFrame& frame = w.Open();
    frame.OnSiteStatus(site);
    QTreeWidgetItem* siteItem = w.SiteItem(site);

    w.Select(siteItem); // a site item: its bold state and the root stay
    QVERIFY(siteItem->font(0).bold());
    QCOMPARE(w.doc.m_browseDirs.size(), 1u);
    QCOMPARE(siteItem->childCount(), 1); // the level is present, not expanded
    QVERIFY(!siteItem->isExpanded());

    QTreeWidgetItem* pubItem = Window::Child(siteItem, "pub");
    QVERIFY(pubItem->font(0).bold());
    w.Select(pubItem);
    QCOMPARE(pub->m_bNew, 0);
    QCOMPARE(site->m_bStateDirty.load(), 1);
    QVERIFY(!pubItem->font(0).bold());
    QCOMPARE(file->m_bNew, 1); // the contents keep their marks
    QCOMPARE(w.doc.m_browseFiles.size(), 1u);
    QCOMPARE(w.list()->model()->rowCount(), 1);
    QVERIFY(siteItem->font(0).bold());
}

void TestSiteTree::readCommandsUnboldShownItems() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    site->m_bHasNew = 1;
    site->m_nUpdateStatus = UpdateStatus::Succeeded;
    CFTPDir* pub = AddDir(site->m_pRootDir.get(), "pub", true);
    AddDir(pub, "deep", true);
    CFTPDir* old = AddDir(site->m_pRootDir.get(), "old");
    CFTPDir* fresh = AddDir(old, "fresh", true);
    CMainFrame& frame = w.Open();
    frame.OnSiteStatus(site);
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    w.tree()->expandItem(Window::Child(siteItem, "old"));
    QTreeWidgetItem* freshItem = Window::Child(Window::Child(siteItem, "old"), "fresh");
    QVERIFY(freshItem->font(0).bold());
    QVERIFY(w.list()->ListModel()->IsHighlighted(0)); // the row of pub

    // "设置已读" on the site item: the shown items and rows go plain with the marks.
    frame.Action(32804)->trigger();
    QCOMPARE(pub->m_bNew, 0);
    QCOMPARE(fresh->m_bNew, 0);
    QVERIFY(!siteItem->font(0).bold());
    QVERIFY(!Window::Child(siteItem, "pub")->font(0).bold());
    QVERIFY(!freshItem->font(0).bold());
    QVERIFY(!w.list()->ListModel()->IsHighlighted(0));

    // "设置全部已读" does the same for a mark that came back (as after a later update).
    fresh->m_bNew = 1;
    w.tree()->collapseItem(Window::Child(siteItem, "old"));
    w.tree()->expandItem(Window::Child(siteItem, "old"));
    freshItem = Window::Child(Window::Child(siteItem, "old"), "fresh");
    QVERIFY(freshItem->font(0).bold());
    frame.Action(32776)->trigger();
    QCOMPARE(fresh->m_bNew, 0);
    QVERIFY(!freshItem->font(0).bold());
}

void TestSiteTree::firstSelectionIsIgnored() {
    Window w;
    CFTPSite* one = AddSite(w.doc, "one");
    AddFile(one->m_pRootDir.get(), "f1");
    CFTPSite* two = AddSite(w.doc, "two");
    AddFile(two->m_pRootDir.get(), "f2");
    w.Open();
    w.tree()->m_bFirstSelection = true; // as at start-up
    w.Select(w.SiteItem(one));
    QCOMPARE(w.list()->model()->rowCount(), 4); // still the welcome rows
    QVERIFY(!w.frame->History().m_pCurrent);
    w.Select(w.SiteItem(two));
    QCOMPARE(w.list()->model()->rowCount(), 1);
    QCOMPARE(w.list()->model()->index(0, 0).data().toString(), QStringLiteral("f2"));
}

void TestSiteTree::collapseDiscardsChildren() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    AddDir(a, "b");
    w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    siteItem->setExpanded(true);
    Window::Child(siteItem, "a")->setExpanded(true);
    siteItem->setExpanded(false);
    QCOMPARE(siteItem->childCount(), 1);
    QVERIFY(IsPlaceholder(siteItem->child(0)));
    siteItem->setExpanded(true);
    QCOMPARE(siteItem->childCount(), 1);
    QCOMPARE(siteItem->child(0)->text(0), QStringLiteral("a"));
    QVERIFY(!siteItem->child(0)->isExpanded());
}

void TestSiteTree::contextMenusPerItemKind() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddDir(site->m_pRootDir.get(), "a");
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);

    auto menuTexts = [&](QTreeWidgetItem* item) {
        QStringList texts;
        QString name;
        QTimer::singleShot(50, [&] {
            QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu) {
                name = menu->objectName();
                for (QAction* a : menu->actions())
                    texts << a->text();
                menu->close();
            }
        });
        const QRect rect = w.tree()->visualItemRect(item);
        QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(),
                                w.tree()->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(w.tree()->viewport(), &event);
        return name + ":" + texts.join(',');
    };
    QCOMPARE(menuTexts(siteItem),
             QStringLiteral("siteMenu:显示更新,更新,设置已读,编辑站点,删除站点,复制路径,复制网址"));
    siteItem->setExpanded(true);
    QTreeWidgetItem* aItem = Window::Child(siteItem, "a");
    QCOMPARE(menuTexts(aItem), QStringLiteral("dirMenu:显示更新,更新,设置已读,复制路径,复制网址"));
    QCOMPARE(w.tree()->SelectedDir(), site->m_pRootDir->m_subDirs.GetAt(0)); // the right click selected it

    // Empty space: no menu, selection unchanged.
    const QPoint emptyPoint(5, w.tree()->viewport()->height() - 5);
    QContextMenuEvent empty(QContextMenuEvent::Mouse, emptyPoint,
                            w.tree()->viewport()->mapToGlobal(emptyPoint));
    QApplication::sendEvent(w.tree()->viewport(), &empty);
    QVERIFY(!QApplication::activePopupWidget());
}

// Shift+F10 opens the menu of the current item, wherever the pointer is; Tab goes from the tree
// to the list, on to the search field and round to the tree, Shift+Tab back.
void TestSiteTree::keyboardMenusAndTabBetweenPanes() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddDir(site->m_pRootDir.get(), "a");
    CMainFrame& frame = w.Open();
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    siteItem->setExpanded(true);
    const struct {
        QTreeWidgetItem* item;
        QString menu;
    } cases[] = {{siteItem, "siteMenu"}, {Window::Child(siteItem, "a"), "dirMenu"}};
    for (const auto& c : cases) {
        w.Select(c.item);
        QString name;
        QTimer::singleShot(50, [&name] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                name = menu->objectName();
                menu->close();
            }
        });
        QTest::keyClick(w.tree(), Qt::Key_F10, Qt::ShiftModifier);
        QCOMPARE(name, c.menu);
        QCOMPARE(w.tree()->currentItem(), c.item);
    }

    w.tree()->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(w.tree()->hasFocus());
    QTest::keyClick(w.tree(), Qt::Key_Tab);
    QTRY_VERIFY(w.list()->hasFocus());
    QTest::keyClick(w.list(), Qt::Key_Backtab, Qt::ShiftModifier);
    QTRY_VERIFY(w.tree()->hasFocus());
    // From the list on, the search field and round to the tree again.
    w.list()->setFocus();
    QTRY_VERIFY(w.list()->hasFocus());
    QTest::keyClick(w.list(), Qt::Key_Tab);
    QTRY_COMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("searchField"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_VERIFY(w.tree()->hasFocus());
}

void TestSiteTree::tipShowsSiteStatus() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddDir(site->m_pRootDir.get(), "a");
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    site->SetStatusText("已连接,正在更新...");
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    const QPoint at = w.tree()->visualItemRect(siteItem).center();
    QHelpEvent help(QEvent::ToolTip, at, w.tree()->viewport()->mapToGlobal(at));
    QApplication::sendEvent(w.tree()->viewport(), &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("已连接,正在更新..."));
    QToolTip::hideText();
    QTRY_VERIFY(!QToolTip::isVisible());

    // A server's reply in the status drives nothing: its controls show as replacement marks.
    site->SetStatusText(Utf8ToNarrow("更新失败: 530 ") + "\x1b[31mDenied\x1b]0;pwned\x07 \b\x7f");
    QApplication::sendEvent(w.tree()->viewport(), &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(),
             QStringLiteral("更新失败: 530 \uFFFD[31mDenied\uFFFD]0;pwned\uFFFD \uFFFD\uFFFD"));
    QToolTip::hideText();
    QTRY_VERIFY(!QToolTip::isVisible());

    // A directory item has no tip.
    siteItem->setExpanded(true);
    const QPoint dirAt = w.tree()->visualItemRect(siteItem->child(0)).center();
    QHelpEvent dirHelp(QEvent::ToolTip, dirAt, w.tree()->viewport()->mapToGlobal(dirAt));
    QApplication::sendEvent(w.tree()->viewport(), &dirHelp);
    QTest::qWait(50);
    QVERIFY(!QToolTip::isVisible());
}

void TestSiteTree::removedDirectoryLosesItsReference() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    AddDir(a, "b");
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    siteItem->setExpanded(true);
    QTreeWidgetItem* aItem = Window::Child(siteItem, "a");
    aItem->setExpanded(true);
    w.Select(Window::Child(aItem, "b"));
    QVERIFY(frame.History().m_pCurrent);

    // The worker unlinks "a"; the notice drops every reference to it and below, then frees it.
    std::unique_ptr<CObject> removed = site->m_pRootDir->m_subDirs.RemoveAt(0);
    frame.OnEntryRemoved(site, std::move(removed), kEntryDir);
    QVERIFY(!CDirView::ItemDir(aItem));
    QVERIFY(!CDirView::ItemDir(Window::Child(aItem, "b")));
    QVERIFY(!w.tree()->SelectedDir());
    QVERIFY(!frame.History().m_pCurrent);
    QCOMPARE(w.list()->model()->rowCount(), 0);
    QVERIFY(!w.action("actionBack")->isEnabled() ||
            frame.History().m_backList.GetAt(0)->m_pDir == site->m_pRootDir.get());
}

// An update of the site ends: the items made below it follow its tree (new directories appear,
// gone ones go) as the same items, expanded as they were, the selection kept, or given to the
// nearest item above it that stays; items not made yet stay as they are. A running update and
// another site's change nothing.
void TestSiteTree::treeFollowsAnUpdate() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* root = site->m_pRootDir.get();
    CFTPDir* pub = AddDir(root, "pub");
    AddDir(pub, "a");
    AddDir(AddDir(pub, "b"), "deep");
    AddDir(root, "old");
    AddDir(AddDir(root, "closed"), "x");
    CFTPSite* other = AddSite(w.doc, "other");
    CMainFrame& frame = w.Open();
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    siteItem->setExpanded(true);
    QTreeWidgetItem* pubItem = Window::Child(siteItem, "pub");
    pubItem->setExpanded(true);
    QTreeWidgetItem* aItem = Window::Child(pubItem, "a");
    QTreeWidgetItem* bItem = Window::Child(pubItem, "b");
    bItem->setExpanded(true);
    w.Select(aItem);

    AddDir(pub, "c", true);
    AddDir(root, "new", true);
    frame.OnEntryRemoved(site, root->m_subDirs.RemoveAt(1), kEntryDir); // old
    site->SetStatus("", UpdateStatus::Waiting);
    frame.OnSiteStatus(site);
    other->SetStatus("", UpdateStatus::Succeeded);
    frame.OnSiteStatus(other);
    QCOMPARE(ChildTexts(siteItem), (QStringList{"pub", "old", "closed"}));
    site->SetStatus("", UpdateStatus::Succeeded);
    frame.OnSiteStatus(site);
    QCOMPARE(ChildTexts(siteItem), (QStringList{"pub", "closed", "new"}));
    QCOMPARE(Window::Child(siteItem, "pub"), pubItem);
    QCOMPARE(ChildTexts(pubItem), (QStringList{"a", "b", "c"}));
    QCOMPARE(Window::Child(pubItem, "b"), bItem);
    QVERIFY(pubItem->isExpanded() && bItem->isExpanded());
    QCOMPARE(ChildTexts(bItem), QStringList{"deep"});
    QVERIFY(Window::Child(pubItem, "c")->font(0).bold());
    QCOMPARE(CDirView::ItemDir(Window::Child(siteItem, "new")), root->FindSubDir("new"));
    QVERIFY(IsPlaceholder(Window::Child(siteItem, "new")->child(0)));
    QVERIFY(IsPlaceholder(Window::Child(siteItem, "closed")->child(0)));
    QCOMPARE(w.tree()->currentItem(), aItem);

    // The directory shown goes: its parent's item takes the selection, and the list shows it.
    frame.OnEntryRemoved(site, pub->m_subDirs.RemoveAt(0), kEntryDir); // a
    frame.OnSiteStatus(site);
    QCOMPARE(ChildTexts(pubItem), (QStringList{"b", "c"}));
    QCOMPARE(w.tree()->currentItem(), pubItem);
    QVERIFY(bItem->isExpanded());
    QCOMPARE(frame.History().m_pCurrent->m_pDir, pub);
    QCOMPARE(w.list()->model()->rowCount(), 2);
}

namespace {
// Runs `command` while `answer` is given every modal widget that shows, until the command returns.
void WithModals(const std::function<void()>& command, const std::function<void(QWidget*)>& answer) {
    QTimer driver;
    bool pending = false;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (pending || !modal || !modal->isVisible())
            return;
        // Answered from a timer of its own: a timer does not fire again while its handler runs,
        // and an answer may open the next box.
        pending = true;
        QTimer::singleShot(0, modal, [&, modal] {
            pending = false;
            answer(modal);
        });
    });
    driver.start(20);
    command();
}
} // namespace

// Editing a site so that its host and user (both anonymous here) are another site's would give
// the two one catalogue: refused with "站点已有！", the dialog staying open with what was typed.
void TestSiteTree::editOntoAnotherSitesKeyIsRefused() {
    Window w;
    CFTPSite* kept = AddSite(w.doc, "127.0.0.1");
    AddDir(kept->m_pRootDir.get(), "pub");
    CFTPSite* edited = AddSite(w.doc, "10.0.0.9");
    QVERIFY(w.doc.SaveSiteList());
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    w.Select(w.SiteItem(edited));

    QStringList messages;
    QString shownAfter;
    int step = 0;
    WithModals([&] { frame.OnEditSite(); },
               [&](QWidget* modal) {
                   if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                       messages << box->text();
                       box->button(QMessageBox::Ok)->click();
                   } else if (auto* dialog = qobject_cast<CSiteDlg*>(modal)) {
                       auto* host = dialog->findChild<QLineEdit*>(QStringLiteral("hostEdit"));
                       if (step++ == 0) {
                           host->setText(QStringLiteral("127.0.0.1"));
                           dialog->findChild<QPushButton*>(QStringLiteral("okButton"))->click();
                       } else {
                           shownAfter = host->text();
                           dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
                       }
                   }
               });
    QCOMPARE(messages, QStringList{QStringLiteral("站点已有！")});
    QCOMPARE(shownAfter, QStringLiteral("127.0.0.1"));
    QCOMPARE(edited->m_strHost, std::string("10.0.0.9"));
    CObList<CFTPSite> stored;
    QVERIFY(LoadSiteList(SiteListPath(), stored).outcome == SiteListLoadResult::Ok);
    QCOMPARE(stored.GetCount(), std::size_t(2));
    QCOMPARE(stored.GetAt(1)->m_strHost, std::string("10.0.0.9"));

    // The document refuses it too, whoever asks.
    SiteFields fields = w.doc.FieldsFromSite(*edited);
    fields.host = "127.0.0.1";
    const SiteOpResult result = w.doc.EditSite(edited, fields);
    QCOMPARE(result.status, OpStatus::Refused);
    QCOMPARE(result.message, std::string("站点已有！"));
    QCOMPARE(edited->m_strHost, std::string("10.0.0.9"));
}

// The question names the site and Enter answers it "取消"; only "确定" deletes.
void TestSiteTree::deleteNamesTheSiteAndKeepsItOnEnter() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv", Utf8ToNarrow("我的站点"));
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    w.Select(w.SiteItem(site));

    QString text, detail, caption;
    WithModals([&] { frame.OnDeleteSite(); },
               [&](QWidget* modal) {
                   auto* box = qobject_cast<QMessageBox*>(modal);
                   text = box->text();
                   detail = box->informativeText();
                   caption = box->windowTitle();
                   QTest::keyClick(box, Qt::Key_Return);
               });
    QCOMPARE(caption, QStringLiteral("警告"));
    QCOMPARE(text, QStringLiteral("是否确定要删除?"));
    QVERIFY2(detail.contains(QStringLiteral("我的站点")), qPrintable(detail));
    QVERIFY(w.SiteItem(site) != nullptr);
    QCOMPARE(w.doc.m_siteList.GetCount(), std::size_t(1));

    WithModals([&] { frame.OnDeleteSite(); },
               [](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click(); });
    QCOMPARE(w.doc.m_siteList.GetCount(), std::size_t(0));
}

QTEST_MAIN(TestSiteTree)
#include "test_site_tree.moc"

// GB18030 bytes that are also valid UTF-8 ("目录" is C4 BF C2 BC) must not show as "Ŀ¼": in a
// typed nickname, in a GBK site's directory names, and again after the site's encoding is chosen.
void TestSiteTree::chineseNamesShownAsTheyWereMeant() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv", Utf8ToNarrow("目录"));
    AddDir(site->m_pRootDir.get(), Utf8ToNarrow("目录"));
    AddDir(site->m_pRootDir.get(), Utf8ToNarrow("学习"));
    site->DecideNameCharset();
    w.Open();
    QTreeWidgetItem* item = w.SiteItem(site);
    QCOMPARE(item->text(0), QStringLiteral("目录"));
    item->setExpanded(true);
    QCOMPARE(item->child(0)->text(0), QStringLiteral("目录"));
    QCOMPARE(item->child(1)->text(0), QStringLiteral("学习"));

    // Forced to UTF-8, the same bytes read as UTF-8 at once.
    SiteFields fields = w.doc.FieldsFromSite(*site);
    fields.encoding = NameEncodingChoice::Utf8;
    QCOMPARE(w.doc.EditSite(site, fields).status, OpStatus::Done);
    w.tree()->RelabelSiteItem(site);
    QCOMPARE(item->child(0)->text(0), QString::fromUtf8("\xC4\xBF\xC2\xBC"));
}
