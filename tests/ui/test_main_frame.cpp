// The main window: command table, menu order, toolbar, status-bar prompts, enable rules,
// show/hide of the bars, the panes and focus keys, the delete question, the status bar's counts
// and messages, the copy of a working URL, help without a viewer.

#include "UiTestSupport.h"
#include "ui/CommandIds.h"

#include "ui/SearchField.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>

using namespace uitest;

namespace {
// A text no command writes, so that each key's own message is seen.
void SetPaneTextForTest(CMainFrame& frame) {
    frame.SetPaneText(QStringLiteral("-"));
}

// The window as it looks, for a look by eye at the status bar.
void SaveShot(CMainFrame& frame, const char* name) {
    const QString dir = QStringLiteral(QUARNEL_UI_SHOT_DIR);
    QDir().mkpath(dir);
    frame.grab().save(dir + QLatin1Char('/') + QString::fromUtf8(name) + QStringLiteral(".png"));
}
} // namespace

class TestMainFrame : public QObject {
    Q_OBJECT
private slots:
    void titleAndPanes();
    void menuOrderAndTexts();
    void everyCommandHasOneAction();
    void toolbarButtons();
    void statusBarPrompts();
    void navigationDisabledAtStart();
    void toggleToolbarAndStatusBar();
    void f6MovesFocusBetweenPanes();
    void welcomeRowsWithEmptySiteList();
    void deleteQuestionInChinese();
    void navigationAndCommandKeys();
    void infoPaneCountsAndUpdateTime();
    void infoPaneNamesSearchKeyword();
    void copyWorkingUrl();
    void helpWithoutViewer();
};

void TestMainFrame::titleAndPanes() {
    Window w;
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QCOMPARE(frame.windowTitle(), QStringLiteral("Quarnel"));
    QSplitter* splitter = frame.findChild<QSplitter*>(QStringLiteral("splitter"));
    QVERIFY(splitter);
    QCOMPARE(splitter->widget(0), static_cast<QWidget*>(w.tree()));
    QCOMPARE(splitter->widget(1), static_cast<QWidget*>(w.list()));
    QCOMPARE(splitter->sizes().at(0), CMainFrame::kTreePaneWidth);
    QCOMPARE(frame.PaneText(), QStringLiteral("就绪"));
}

void TestMainFrame::menuOrderAndTexts() {
    Window w;
    CMainFrame& frame = w.Open();
    const QList<QStringList> expected = {
        {"文件(&F)", "导入", "退出(&X)"},
        {"编辑(&E)", "添加站点", "编辑站点", "删除站点"},
        {"视图(&V)", "工具栏(&T)", "状态栏(&S)", "前进", "后退", "向上", "切换浏览/搜索"},
        {"操作(&O)", "更新", "更新全部", "终止更新", "-", "搜索", "显示未读文件", "显示所有未读文件", "-",
         "设置已读(Alt+D)", "设置全部已读", "设置所有为已读"},
        {"设置(&S)", "设置(&S)"},
        {"帮助(&H)", "帮助(&H)", "关于 Quarnel(&A)..."},
    };
    const QList<QAction*> menus = frame.menuBar()->actions();
    QCOMPARE(menus.size(), expected.size());
    for (int m = 0; m < menus.size(); ++m) {
        QStringList texts{menus[m]->text()};
        for (QAction* item : menus[m]->menu()->actions())
            texts << (item->isSeparator() ? QStringLiteral("-") : item->text());
        QCOMPARE(texts, expected[m]);
    }
    // The menu text of Alt+D already names its key; the key itself must work.
    QSignalSpy spy(frame.Action(ID_MARK_SHOWN_READ), &QAction::triggered);
    frame.show();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(&frame, Qt::Key_D, Qt::AltModifier);
    QCOMPARE(spy.count(), 1);
}

void TestMainFrame::everyCommandHasOneAction() {
    Window w;
    CMainFrame& frame = w.Open();
    QSet<int> ids;
    for (const CommandInfo& info : kCommands) {
        QAction* action = w.action(info.objectName);
        QVERIFY2(action, info.objectName);
        QCOMPARE(action->property("commandId").toInt(), info.id);
        QCOMPARE(frame.Action(info.id), action);
        ids.insert(info.id);
    }
    QCOMPARE(ids.size(), static_cast<qsizetype>(std::size(kCommands))); // no id given twice
    // Commands that need nothing selected reach their handler without effect or crash.
    for (int id : {ID_STOP_UPDATE, ID_UPDATE_SELECTED, ID_EDIT_SITE, ID_SHOW_TREE_NEW, ID_MARK_TREE_READ,
                   ID_COPY_TREE_PATH, ID_COPY_LIST_PATH, ID_COPY_TREE_URL, ID_COPY_LIST_URL,
                   ID_MARK_SHOWN_READ, ID_TOGGLE_BROWSE_SEARCH, ID_HELP})
        frame.Action(id)->trigger();
    QVERIFY(frame.ListView()->m_bSearchMode); // the toggle flipped to the (empty) found lists
    QCOMPARE(frame.ListView()->model()->rowCount(), 0);
}

void TestMainFrame::toolbarButtons() {
    Window w;
    CMainFrame& frame = w.Open();
    QToolBar* bar = frame.findChild<QToolBar*>(QStringLiteral("toolBar"));
    QVERIFY(bar);
    QCOMPARE(bar->iconSize(), QSize(32, 28));
    QCOMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    // The command buttons come first, each with its label; the search field follows them.
    const QList<QAction*> actions = bar->actions();
    QVERIFY(actions.size() >= 9);
    QSize first;
    for (int i = 0; i < 9; ++i) {
        QVERIFY(!actions[i]->iconText().isEmpty());
        QWidget* button = bar->widgetForAction(actions[i]);
        if (i == 0)
            first = button->size();
        QCOMPARE(button->size(), first);
        QVERIFY(button->width() >= 20 && button->width() <= 50);
        // No tool tips: the labels carry the text.
        QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), button->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(button, &tip);
        QVERIFY(!QToolTip::isVisible());
    }
}

void TestMainFrame::statusBarPrompts() {
    Window w;
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    for (const CommandInfo& info : kCommands) {
        QAction* action = frame.Action(info.id);
        action->showStatusText(&frame);
        const QString expected = *info.prompt ? QString::fromUtf8(info.prompt) : QStringLiteral("就绪");
        QCOMPARE(frame.PaneText(), expected);
    }
    // Leaving the item brings the idle text back.
    QStatusTipEvent leave{QString()};
    QApplication::sendEvent(&frame, &leave);
    QCOMPARE(frame.PaneText(), QStringLiteral("就绪"));

    // A menu item's prompt goes when its menu closes.
    QMenu* operate = frame.findChild<QMenu*>(QStringLiteral("menuOperate"));
    operate->popup(frame.mapToGlobal(QPoint(40, 40)));
    QVERIFY(QTest::qWaitForWindowExposed(operate));
    operate->setActiveAction(frame.Action(ID_UPDATE_ALL));
    QCOMPARE(frame.PaneText(), QStringLiteral("更新所有站点"));
    operate->hide();
    QTRY_COMPARE(frame.PaneText(), QStringLiteral("就绪"));

    // Hovering the "已读" button shows its prompt.
    QToolBar* bar = frame.findChild<QToolBar*>(QStringLiteral("toolBar"));
    QWidget* button = bar->widgetForAction(frame.Action(ID_MARK_SHOWN_READ));
    QCOMPARE(button->statusTip(), QStringLiteral("设置当前显示的文件已读"));
    QStatusTipEvent hover(button->statusTip());
    QApplication::sendEvent(button, &hover); // what entering the button sends
    QCOMPARE(frame.PaneText(), QStringLiteral("设置当前显示的文件已读"));
}

void TestMainFrame::navigationDisabledAtStart() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    AddDir(a, "b");
    CMainFrame& frame = w.Open();
    QAction* back = w.action("actionBack");
    QAction* forward = w.action("actionForward");
    QAction* up = w.action("actionUp");
    QVERIFY(!back->isEnabled() && !forward->isEnabled() && !up->isEnabled());
    QToolBar* bar = frame.findChild<QToolBar*>(QStringLiteral("toolBar"));
    QVERIFY(!bar->widgetForAction(back)->isEnabled());

    // On a site's root Up stays disabled; one level down it is enabled.
    QTreeWidgetItem* siteItem = w.SiteItem(site);
    w.Select(siteItem);
    QVERIFY(!up->isEnabled());
    QVERIFY(!back->isEnabled());
    w.Select(Window::Child(siteItem, "a"));
    QVERIFY(up->isEnabled());
    QVERIFY(back->isEnabled());
    QVERIFY(!forward->isEnabled());
    back->trigger();
    QVERIFY(forward->isEnabled());
    QVERIFY(!back->isEnabled());
    QVERIFY(!up->isEnabled()); // back on the root
}

void TestMainFrame::toggleToolbarAndStatusBar() {
    Window w;
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QAction* toolbar = w.action("actionToolbar");
    QAction* statusBar = w.action("actionStatusBar");
    QVERIFY(toolbar->isCheckable() && toolbar->isChecked());
    QVERIFY(statusBar->isCheckable() && statusBar->isChecked());
    toolbar->trigger();
    QVERIFY(!toolbar->isChecked());
    QVERIFY(!frame.ToolBar()->isVisible());
    toolbar->trigger();
    QVERIFY(toolbar->isChecked());
    QVERIFY(frame.ToolBar()->isVisible());
    statusBar->trigger();
    QVERIFY(!statusBar->isChecked());
    QVERIFY(!frame.statusBar()->isVisible());
    statusBar->trigger();
    QVERIFY(frame.statusBar()->isVisible());
}

void TestMainFrame::f6MovesFocusBetweenPanes() {
    Window w;
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    w.tree()->setFocus();
    QTRY_VERIFY(w.tree()->hasFocus());
    QTest::keyClick(&frame, Qt::Key_F6);
    QTRY_VERIFY(w.list()->hasFocus());
    QTest::keyClick(&frame, Qt::Key_F6, Qt::ShiftModifier);
    QTRY_VERIFY(w.tree()->hasFocus());
}

void TestMainFrame::welcomeRowsWithEmptySiteList() {
    Window w;
    w.Open();
    QCOMPARE(w.tree()->topLevelItemCount(), 0);
    QAbstractItemModel* model = w.list()->model();
    QCOMPARE(model->rowCount(), 4);
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("欢迎使用Quarnel!"));
    QCOMPARE(model->index(3, 0).data().toString(), QStringLiteral("选择左边站点可以查看站点内容"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("地址"));
    QCOMPARE(w.list()->columnWidth(0), 300);
    QCOMPARE(w.list()->columnWidth(1), 100);
    QCOMPARE(w.list()->columnWidth(2), 600);
    // Double-clicking a welcome row does nothing.
    w.list()->OpenRow(model->index(0, 0));
    QCOMPARE(model->rowCount(), 4);
}

void TestMainFrame::deleteQuestionInChinese() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    AddSite(w.doc, "other");
    CMainFrame& frame = w.Open();
    w.Select(w.SiteItem(site));

    // Answers the next question with `button`, noting the texts of its two buttons.
    QStringList buttonTexts;
    auto answer = [&](QMessageBox::StandardButton button) {
        QTimer::singleShot(0, [&buttonTexts, button] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            buttonTexts = {box->button(QMessageBox::Ok)->text(), box->button(QMessageBox::Cancel)->text()};
            box->button(button)->click();
        });
    };
    answer(QMessageBox::Cancel);
    frame.Action(ID_DELETE_SITE)->trigger();
    QCOMPARE(buttonTexts, QStringList({QStringLiteral("确定"), QStringLiteral("取消")}));
    QCOMPARE(w.doc.m_siteList.GetCount(), std::size_t(2));

    answer(QMessageBox::Ok);
    frame.Action(ID_DELETE_SITE)->trigger();
    QCOMPARE(w.doc.m_siteList.GetCount(), std::size_t(1));
    QCOMPARE(w.tree()->topLevelItemCount(), 1);
    QCOMPARE(w.tree()->topLevelItem(0)->text(0), QStringLiteral("other"));
}

void TestMainFrame::navigationAndCommandKeys() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    CFTPDir* dirs[] = {site->m_pRootDir.get(), a, AddDir(a, "b")};
    CMainFrame& frame = w.Open();
    frame.show();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    CSearchField* field = frame.findChild<CSearchField*>(QStringLiteral("searchField"));
    QVERIFY(field);
    QTreeWidgetItem* root = w.SiteItem(site);
    w.Select(root);
    w.Select(Window::Child(root, "a"));
    w.Select(Window::Child(Window::Child(root, "a"), "b"));

    // Pressed in turn, from "b" (history: root, a, b); each row names the directory the list shows
    // after it (0 root, 1 a, 2 b), or a text the status bar then holds.
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool inSearchField;
        int shown;
        const char* paneText;
    };
    const Case cases[] = {
        {Qt::Key_Backspace, Qt::NoModifier, true, 2, nullptr}, // typing, not going up
        {Qt::Key_Backspace, Qt::NoModifier, false, 1, nullptr},
        {Qt::Key_Up, Qt::AltModifier, false, 0, nullptr},
        {Qt::Key_Left, Qt::AltModifier, false, 1, nullptr},
        {Qt::Key_Right, Qt::AltModifier, false, 0, nullptr},
        {Qt::Key_Backspace, Qt::NoModifier, false, 0, nullptr}, // nothing above a site
        {Qt::Key_F1, Qt::NoModifier, false, -1, "help.pdf"},
        // Without a selection, 更新 says why instead of doing nothing.
        {Qt::Key_F5, Qt::NoModifier, false, -1, "请先在左边选择要更新的站点"},
    };
    for (const Case& c : cases) {
        QWidget* target = c.inSearchField ? static_cast<QWidget*>(field) : w.list();
        target->setFocus();
        QTRY_VERIFY(target->hasFocus());
        SetPaneTextForTest(frame);
        if (c.key == Qt::Key_F5) // no site selected
            w.tree()->setCurrentItem(nullptr);
        QTest::keyClick(QApplication::focusWidget(), c.key, c.modifiers);
        const QString at = QString::number(c.key, 16);
        if (c.shown >= 0)
            QVERIFY2(frame.History().m_pCurrent && frame.History().m_pCurrent->m_pDir == dirs[c.shown],
                     qPrintable(at));
        if (c.paneText)
            QVERIFY2(frame.PaneText().contains(QString::fromUtf8(c.paneText)),
                     qPrintable(at + frame.PaneText()));
    }
}

void TestMainFrame::infoPaneCountsAndUpdateTime() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* big = AddDir(site->m_pRootDir.get(), "big");
    for (int i = 0; i < 1234; ++i)
        AddFile(big, "f" + std::to_string(i), 1, i < 2);
    CMainFrame& frame = w.Open();
    w.Select(w.SiteItem(site));
    w.Select(Window::Child(w.SiteItem(site), "big"));
    QTRY_VERIFY2(frame.InfoText().startsWith(QStringLiteral("1,234 项, 新 2")), qPrintable(frame.InfoText()));
    QVERIFY(frame.InfoText().contains(QStringLiteral("srv 未更新过")));

    // The stored catalogue's time is the site's last update.
    const QString dataDir = QString::fromStdString(SiteDataDirPath(site->GetKey()));
    QVERIFY(QDir().mkpath(dataDir));
    QFile content(dataDir + QStringLiteral("/content.ct"));
    QVERIFY(content.open(QIODevice::WriteOnly));
    const QDateTime when(QDate(2021, 3, 4), QTime(5, 6));
    QVERIFY(content.setFileTime(when, QFileDevice::FileModificationTime));
    content.close();
    w.Select(w.SiteItem(site));
    QTRY_VERIFY2(frame.InfoText().contains(QStringLiteral("srv 更新于 2021-03-04 05:06")),
                 qPrintable(frame.InfoText()));
    QVERIFY(frame.InfoText().startsWith(QStringLiteral("1 项, 新 0")));
    frame.show();
    SaveShot(frame, "status_bar_site");
}

void TestMainFrame::infoPaneNamesSearchKeyword() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* a = AddDir(site->m_pRootDir.get(), "a");
    AddFile(a, "zgdy-1.avi");
    AddFile(a, "zgdy-2.avi");
    AddFile(a, "other.txt");
    CMainFrame& frame = w.Open();
    auto* field = frame.findChild<CSearchField*>(QStringLiteral("searchField"));
    QTest::keyClicks(field, QStringLiteral("zgdy"));
    QTRY_COMPARE(frame.InfoText(), QStringLiteral("查找 “zgdy” 的结果: 2 项"));
    frame.show();
    SaveShot(frame, "status_bar_search");
    // Back to browsing, the count is of the list again.
    field->clear();
    QTRY_VERIFY2(!frame.InfoText().contains(QStringLiteral("查找")), qPrintable(frame.InfoText()));
}

void TestMainFrame::copyWorkingUrl() {
    Window w;
    CFTPSite* site = AddSite(w.doc, "srv");
    CFTPDir* dir = AddDir(site->m_pRootDir.get(), "a b");
    AddFile(dir, "x%y.txt");
    CMainFrame& frame = w.Open();
    QClipboard* clipboard = QGuiApplication::clipboard();
    struct Case {
        int command;
        const char* url;
    };
    const Case cases[] = {
        {ID_COPY_TREE_URL, "ftp://srv:21/a%20b/"}, // a directory ends with "/"
        {ID_COPY_LIST_URL, "ftp://srv:21/a%20b/x%25y.txt"},
    };
    w.Select(w.SiteItem(site));
    w.Select(Window::Child(w.SiteItem(site), "a b"));
    w.list()->selectRow(0);
    for (const Case& c : cases) {
        clipboard->clear();
        frame.Action(c.command)->trigger(); // no modal box: the test would stop here
        const QString url = QString::fromUtf8(c.url);
        QCOMPARE(clipboard->text(), url);
        QCOMPARE(clipboard->mimeData()->data(QStringLiteral("text/uri-list")), url.toUtf8() + "\r\n");
        QVERIFY2(frame.PaneText().contains(url), qPrintable(frame.PaneText()));
    }
}

void TestMainFrame::helpWithoutViewer() {
    // The offscreen platform opens no documents: the place of a desktop without a viewer.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QSKIP("needs the offscreen platform");
    Window w;
    CMainFrame& frame = w.Open();
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QDir::setCurrent(elsewhere.path());
    const QString help = QDir(w.appDir.path()).absoluteFilePath(QStringLiteral("help.pdf"));
    QFile pdf(help);
    QVERIFY(pdf.open(QIODevice::WriteOnly));
    pdf.close();
    frame.Action(ID_HELP)->trigger();
    QDir::setCurrent(before);
    QCOMPARE(frame.PaneText(), QStringLiteral("没有能打开帮助文件的程序: ") + help);
}

QTEST_MAIN(TestMainFrame)
#include "test_main_frame.moc"
