#include "ui/DirView.h"

#include "model/Records.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"
#include "ui/FileListModel.h"
#include "ui/History.h"
#include "ui/Icons.h"
#include "ui/MessageBoxes.h"
#include "ui/QuarnelView.h"
#include "ui/Shell.h"
#include "ui/SiteLoader.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QHash>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QToolTip>

#include <mutex>
#include <unordered_set>
#include <vector>

namespace {
// A status the server may have had a word in: no control reaches the tip.
QString ShownStatus(const std::string& narrow) {
    return QString::fromStdString(DisplaySafe(NarrowToUtf8(narrow)));
}

QString Label(const std::string& utf8) {
    return QString::fromStdString(DisplaySafe(utf8));
}

QByteArray Bytes(const std::string& narrow) {
    return QByteArray(narrow.data(), static_cast<qsizetype>(narrow.size()));
}

} // namespace

CDirView::CDirView(CQuarnelDoc* doc, CHistory* history, CQuarnelView* listView, QWidget* parent)
    : QTreeWidget(parent), m_pDoc(doc), m_pHistory(history), m_pListView(listView) {
    setObjectName(QStringLiteral("siteTree"));
    setColumnCount(1);
    header()->hide();
    setRootIsDecorated(true);
    setItemsExpandable(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setFocusPolicy(Qt::StrongFocus);
    setIconSize(QSize(16, 16));
    connect(this, &QTreeWidget::itemExpanded, this, &CDirView::OnItemExpanded);
    connect(this, &QTreeWidget::itemCollapsed, this, &CDirView::OnItemCollapsed);
    connect(this, &QTreeWidget::itemSelectionChanged, this, &CDirView::OnSelectionChanged);
    m_pDoc->AddObserver(this);
}

CDirView::~CDirView() {
    m_pDoc->RemoveObserver(this);
}

void CDirView::OnInitialUpdate() {
    // Closed folder normally, open folder while selected.
    m_dirIcon = QIcon();
    m_dirIcon.addPixmap(Icons::TreePixmap(Icons::kTreeClosedFolder), QIcon::Normal);
    m_dirIcon.addPixmap(Icons::TreePixmap(Icons::kTreeOpenFolder), QIcon::Selected);
    FillSiteItems();
    // Tab goes from the tree to the list and Shift+Tab back, whatever else the window holds.
    if (m_pListView && m_pListView->window() == window())
        QWidget::setTabOrder(this, m_pListView);
}

void CDirView::SetMenuActions(QList<QAction*> siteMenu, QList<QAction*> dirMenu) {
    m_siteMenu = std::move(siteMenu);
    m_dirMenu = std::move(dirMenu);
}

CFTPDir* CDirView::ItemDir(const QTreeWidgetItem* item) {
    if (!item)
        return nullptr;
    return reinterpret_cast<CFTPDir*>(item->data(0, kDirRole).value<quintptr>());
}

void CDirView::AddPlaceholder(QTreeWidgetItem* parent) {
    parent->addChild(new QTreeWidgetItem());
}

void CDirView::AddLoadingItem(QTreeWidgetItem* item) {
    auto* loading = new QTreeWidgetItem();
    loading->setText(0, QString::fromUtf8(kLoadingText));
    loading->setData(0, kLoadingRole, true);
    loading->setFlags(Qt::ItemIsEnabled);
    item->addChild(loading);
}

bool CDirView::IsLoading(const QTreeWidgetItem* item) {
    return item->childCount() == 1 && item->child(0)->data(0, kLoadingRole).toBool();
}

void CDirView::SetBold(QTreeWidgetItem* item, bool bold) {
    QFont font = item->font(0);
    if (font.bold() != bold) {
        font.setBold(bold);
        item->setFont(0, font);
    }
}

void CDirView::DeleteChildren(QTreeWidgetItem* item) {
    const QList<QTreeWidgetItem*> children = item->takeChildren();
    qDeleteAll(children);
}

QTreeWidgetItem* CDirView::AddSiteItem(CFTPSite* site) {
    auto* item = new QTreeWidgetItem();
    item->setText(0, Label(ShownSiteName(*site)));
    item->setData(0, kDirRole,
                  QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(site->m_pRootDir.get())));
    item->setIcon(0, Icons::SiteStatusIcon(site->m_nUpdateStatus.load()));
    AddPlaceholder(item);
    addTopLevelItem(item);
    return item;
}

void CDirView::FillSiteItems() {
    {
        const QSignalBlocker blocker(this);
        clear();
    }
    for (CFTPSite* site : m_pDoc->m_siteList)
        AddSiteItem(site);
    sortItems(0, Qt::AscendingOrder);
}

QTreeWidgetItem* CDirView::SiteItem(const CFTPSite* site) const {
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = topLevelItem(i);
        CFTPDir* dir = ItemDir(item);
        if (dir && dir->GetSite() == site)
            return item;
    }
    return nullptr;
}

void CDirView::RelabelSiteItem(CFTPSite* site) {
    QTreeWidgetItem* item = SiteItem(site);
    if (!item)
        return;
    item->setText(0, Label(ShownSiteName(*site)));
    // The site's names may read otherwise now (its encoding was chosen, or decided afresh).
    item->setData(0, kCharsetRole, static_cast<int>(site->GetNameCharset()));
    std::vector<QTreeWidgetItem*> pending{item};
    while (!pending.empty()) {
        QTreeWidgetItem* parent = pending.back();
        pending.pop_back();
        for (int i = 0; i < parent->childCount(); ++i) {
            QTreeWidgetItem* child = parent->child(i);
            if (CFTPDir* dir = ItemDir(child))
                child->setText(0, Label(ShownName(dir)));
            pending.push_back(child);
        }
    }
    if (m_pListView)
        m_pListView->viewport()->update();
}

void CDirView::RemoveSiteItem(CFTPSite* site) {
    if (QTreeWidgetItem* item = SiteItem(site))
        delete item;
}

void CDirView::RefreshSiteItem(CFTPSite* site) {
    QTreeWidgetItem* item = SiteItem(site);
    if (!item)
        return;
    item->setIcon(0, Icons::SiteStatusIcon(site->m_nUpdateStatus.load()));
    SetBold(item, site->m_bHasNew.load() != 0);
    if (item->data(0, kCharsetRole).toInt() != static_cast<int>(site->GetNameCharset()))
        RelabelSiteItem(site);
}

QTreeWidgetItem* CDirView::AddDirItem(QTreeWidgetItem* parent, CFTPDir* dir, int at) {
    auto* item = new QTreeWidgetItem();
    item->setText(0, Label(ShownName(dir)));
    item->setData(0, kDirRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(dir)));
    item->setData(0, kNameRole, Bytes(dir->m_strName));
    item->setIcon(0, m_dirIcon);
    if (dir->m_bNew == 1)
        SetBold(item, true);
    AddPlaceholder(item);
    if (at < 0)
        parent->addChild(item);
    else
        parent->insertChild(at, item);
    return item;
}

CFTPDir* CDirView::NameWalk(QTreeWidgetItem* item) const {
    if (!item)
        return nullptr;
    QList<QByteArray> names;
    QTreeWidgetItem* top = item;
    for (; top->parent(); top = top->parent())
        names.prepend(top->data(0, kNameRole).toByteArray());
    CFTPDir* topDir = ItemDir(top);
    CFTPSite* topSite = topDir ? topDir->GetSite() : nullptr;
    const std::string key = topSite ? topSite->GetKey() : std::string();
    CFTPSite* site = m_pDoc->FindSiteByKey(key);
    if (!site || !site->m_pRootDir)
        return nullptr;
    auto lock = LockTree(site);
    CFTPDir* dir = site->m_pRootDir.get();
    for (const QByteArray& name : names) {
        dir = dir->FindSubDir(name.toStdString());
        if (!dir)
            return nullptr;
    }
    return dir;
}

void CDirView::FillSiteItem(QTreeWidgetItem* item, CFTPSite* site, bool browse) {
    auto lock = LockTree(site);
    CFTPDir* root = site->m_pRootDir.get();
    for (CFTPDir* sub : root->m_subDirs) {
        if (browse)
            m_pDoc->m_browseDirs.push_back(sub);
        AddDirItem(item, sub);
    }
    if (root->m_subDirs.IsEmpty())
        AddPlaceholder(item);
    if (browse)
        for (CFTPFile* file : root->m_files)
            m_pDoc->m_browseFiles.push_back(file);
}

void CDirView::ExpandItem(QTreeWidgetItem* item) {
    DeleteChildren(item);
    if (!item->parent()) {
        CFTPDir* root = ItemDir(item);
        CFTPSite* site = root ? root->GetSite() : nullptr;
        if (!site) {
            AddPlaceholder(item);
            return;
        }
        // A site not read yet is read in a thread; its items come when it has been (SiteLoaded).
        if (m_pLoader && m_pLoader->Load(site)) {
            AddLoadingItem(item);
            return;
        }
        site->EnsureLoaded();
        FillSiteItem(item, site, false);
        return;
    }
    CFTPDir* dir = NameWalk(item);
    if (!dir)
        return;
    auto lock = LockTree(dir->GetSite());
    for (CFTPDir* sub : dir->m_subDirs)
        AddDirItem(item, sub);
}

void CDirView::OnItemExpanded(QTreeWidgetItem* item) {
    QTreeWidgetItem* first = item->childCount() > 0 ? item->child(0) : nullptr;
    if (first && first->text(0).isEmpty() && first->data(0, kDirRole).isNull())
        ExpandItem(item);
    viewport()->update();
}

void CDirView::OnItemCollapsed(QTreeWidgetItem* item) {
    // Removing the selected descendant must not count as the user's selection.
    const QSignalBlocker blocker(this);
    DeleteChildren(item);
    AddPlaceholder(item);
    viewport()->update();
}

void CDirView::OnSelectionChanged() {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    if (m_bFirstSelection) {
        m_bFirstSelection = false;
        return;
    }
    if (!selected.isEmpty())
        ShowTreeItem(selected.first());
}

void CDirView::ShowTreeItem(QTreeWidgetItem* item) {
    CFTPDir* itemDir = ItemDir(item);
    if (!itemDir)
        return;
    {
        const QSignalBlocker blocker(this);
        DeleteChildren(item);
    }
    m_pDoc->m_browseDirs.clear();
    m_pDoc->m_browseFiles.clear();

    if (!item->parent()) {
        m_pHistory->RecordVisit(itemDir);
        CFTPSite* site = itemDir->GetSite();
        if (!site) {
            AddPlaceholder(item);
        } else if (m_pLoader && m_pLoader->Load(site)) {
            // Read in a thread: the window goes on meanwhile, and both panes say so.
            AddLoadingItem(item);
            m_pListView->m_bSearchMode = false;
            m_pListView->ListModel()->ShowTextRows({QString::fromUtf8(kLoadingText)});
            emit DirectoryShown();
            return;
        } else {
            site->EnsureLoaded();
            FillSiteItem(item, site, true);
        }
    } else {
        CFTPDir* dir = NameWalk(item);
        m_pHistory->RecordVisit(dir ? dir : itemDir);
        if (!dir) {
            emit DirectoryShown();
            return;
        }
        if (CQuarnelDoc::ClearMark(dir))
            SetBold(item, false);
        auto lock = LockTree(dir->GetSite());
        for (CFTPDir* sub : dir->m_subDirs) {
            AddDirItem(item, sub);
            m_pDoc->m_browseDirs.push_back(sub);
        }
        for (CFTPFile* file : dir->m_files)
            m_pDoc->m_browseFiles.push_back(file);
    }
    m_pListView->ShowBrowseLists();
    emit DirectoryShown();
}

void CDirView::SiteLoaded(CFTPSite* site) {
    QTreeWidgetItem* item = SiteItem(site);
    if (!item || !IsLoading(item))
        return;
    {
        const QSignalBlocker blocker(this);
        DeleteChildren(item);
    }
    // Still the item shown (nobody went elsewhere through the list or the history meanwhile): the
    // site's root is listed as the selection would have listed it, without a second visit.
    const QList<QTreeWidgetItem*> selected = selectedItems();
    const bool shown = !selected.isEmpty() && selected.first() == item && m_pHistory->m_pCurrent &&
                       m_pHistory->m_pCurrent->m_pDir == site->m_pRootDir.get();
    if (shown) {
        m_pDoc->m_browseDirs.clear();
        m_pDoc->m_browseFiles.clear();
        FillSiteItem(item, site, true);
        m_pListView->ShowBrowseLists();
        emit DirectoryShown();
    } else if (item->isExpanded() || (!selected.isEmpty() && selected.first() == item)) {
        FillSiteItem(item, site, false);
    } else {
        AddPlaceholder(item);
    }
}

void CDirView::SiteReloaded(CFTPSite* site) {
    QTreeWidgetItem* item = SiteItem(site);
    if (!item)
        return;
    const QList<QTreeWidgetItem*> selected = selectedItems();
    bool selectedHere = false;
    for (QTreeWidgetItem* at = selected.isEmpty() ? nullptr : selected.first(); at; at = at->parent())
        selectedHere = selectedHere || at == item;
    const bool expanded = item->isExpanded();
    // Where the user was below the site, by names: the user stays there in the tree read anew.
    QList<QByteArray> names;
    if (selectedHere)
        for (QTreeWidgetItem* at = selected.first(); at != item; at = at->parent())
            names.prepend(at->data(0, kNameRole).toByteArray());
    {
        const QSignalBlocker blocker(this);
        DeleteChildren(item);
        if (selectedHere)
            setCurrentItem(item);
    }
    QTreeWidgetItem* stay = item;
    for (const QByteArray& name : names) {
        ExpandItem(stay);
        stay->setExpanded(true);
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < stay->childCount() && !next; ++i)
            if (stay->child(i)->data(0, kNameRole).toByteArray() == name)
                next = stay->child(i);
        if (!next)
            break; // gone in the files read anew: the deepest directory left
        stay = next;
    }
    if (stay != item)
        setCurrentItem(stay); // shows it, as the user's choice would
    else if (selectedHere)
        ShowTreeItem(item);
    else if (expanded)
        ExpandItem(item);
    else
        AddPlaceholder(item);
    RefreshSiteItem(site);
}

bool CDirView::ChildrenMade(const QTreeWidgetItem* item) {
    return item->childCount() == 0 || !item->child(0)->data(0, kNameRole).isNull();
}

bool CDirView::SelectDirectory(CFTPDir* dir) {
    CFTPSite* site = dir ? dir->GetSite() : nullptr;
    QTreeWidgetItem* item = site ? SiteItem(site) : nullptr;
    if (!item || IsLoading(item))
        return false;
    QList<QByteArray> names;
    {
        auto lock = LockTree(site);
        for (const CFTPDir* at = dir; at->m_pParent; at = at->m_pParent)
            names.prepend(Bytes(at->m_strName));
    }
    for (const QByteArray& name : names) {
        if (!ChildrenMade(item))
            ExpandItem(item);
        item->setExpanded(true);
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < item->childCount() && !next; ++i)
            if (item->child(i)->data(0, kNameRole).toByteArray() == name)
                next = item->child(i);
        if (!next)
            return false;
        item = next;
    }
    // Shown here whether or not the selection changes (it may be the item selected already).
    {
        const QSignalBlocker blocker(this);
        setCurrentItem(item);
    }
    m_bFirstSelection = false;
    scrollToItem(item);
    ShowTreeItem(item);
    return true;
}

void CDirView::FollowUpdate(CFTPSite* site) {
    QTreeWidgetItem* item = SiteItem(site);
    if (!item || IsLoading(item) || !site->IsLoaded() || !site->m_pRootDir)
        return;
    QTreeWidgetItem* const selected = currentItem();
    {
        // Nothing here is the user's choice: no selection or expansion is reported.
        const QSignalBlocker blocker(this);
        auto lock = LockTree(site);
        item->setData(0, kDirRole,
                      QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(site->m_pRootDir.get())));
        std::vector<std::pair<QTreeWidgetItem*, CFTPDir*>> pending{{item, site->m_pRootDir.get()}};
        while (!pending.empty()) {
            const auto [parent, dir] = pending.back();
            pending.pop_back();
            for (const auto& next : FollowChildren(parent, dir))
                pending.push_back(next);
        }
    }
    viewport()->update();
    // The directory shown went with its item: the list shows the one now selected instead.
    if (currentItem() != selected && !m_pListView->m_bSearchMode && !m_pHistory->m_pCurrent) {
        if (CFTPDir* dir = NameWalk(currentItem())) {
            m_pHistory->RecordVisit(dir);
            m_pDoc->ShowDir(dir);
            m_pListView->ShowBrowseLists();
            emit DirectoryShown();
        }
    }
}

std::vector<std::pair<QTreeWidgetItem*, CFTPDir*>> CDirView::FollowChildren(QTreeWidgetItem* item,
                                                                            CFTPDir* dir) {
    std::vector<std::pair<QTreeWidgetItem*, CFTPDir*>> kept;
    // Children not made yet (only the placeholder, the item collapsed) are made when expanded.
    if (!item->isExpanded() && !ChildrenMade(item))
        return kept;
    QHash<QByteArray, QTreeWidgetItem*> byName;
    for (int i = 0; i < item->childCount(); ++i)
        if (const QVariant name = item->child(i)->data(0, kNameRole); !name.isNull())
            byName.insert(name.toByteArray(), item->child(i));
    std::unordered_set<QTreeWidgetItem*> stays;
    QTreeWidgetItem* previous = nullptr;
    for (CFTPDir* sub : dir->m_subDirs) {
        QTreeWidgetItem* child = byName.take(Bytes(sub->m_strName));
        if (child) {
            // The same directory, or one of the same name that took its place.
            child->setData(0, kDirRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(sub)));
            child->setText(0, Label(ShownName(sub)));
            SetBold(child, sub->m_bNew == 1);
            kept.emplace_back(child, sub);
        } else {
            // A new directory goes after the one before it in the tree's order.
            child = AddDirItem(item, sub, previous ? item->indexOfChild(previous) + 1 : 0);
        }
        stays.insert(child);
        previous = child;
    }
    // What went: the selection, if it was there, goes to this item.
    QTreeWidgetItem* selected = currentItem();
    for (int i = item->childCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* child = item->child(i);
        if (stays.count(child))
            continue;
        for (QTreeWidgetItem* at = selected; at; at = at->parent())
            if (at == child) {
                setCurrentItem(item);
                break;
            }
        delete item->takeChild(i);
    }
    if (item->childCount() == 0 && !item->parent())
        AddPlaceholder(item); // a site's item keeps its expand button
    return kept;
}

CFTPDir* CDirView::SelectedDir() const {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? nullptr : ItemDir(selected.first());
}

void CDirView::OnCopyTreePath() {
    CFTPDir* dir = SelectedDir();
    if (!dir)
        return;
    const std::string location = GetLocation(dir);
    const std::string url = m_pDoc->BuildShownUrl(location);
    if (!url.empty())
        Shell::CopyUrl(url, m_pDoc->BuildExactUrl(location));
    MessageBoxes::Show(window(), QMessageBox::Information, QString::fromUtf8(Shell::kCopiedMessage));
}

void CDirView::RefreshDirItemsBold() {
    QList<QTreeWidgetItem*> stack;
    for (int i = 0; i < topLevelItemCount(); ++i)
        stack.append(topLevelItem(i));
    while (!stack.isEmpty()) {
        QTreeWidgetItem* item = stack.takeLast();
        if (CFTPDir* dir = ItemDir(item); dir && item->parent())
            SetBold(item, dir->m_bNew == 1);
        for (int i = 0; i < item->childCount(); ++i)
            stack.append(item->child(i));
    }
}

void CDirView::ForgetDirs(const std::unordered_set<const CObject*>& dirs) {
    // Items refer to directories; those at or below a removed one keep their text but lose
    // their reference, so no command can reach the freed record through them.
    QList<QTreeWidgetItem*> stack;
    for (int i = 0; i < topLevelItemCount(); ++i)
        stack.append(topLevelItem(i));
    while (!stack.isEmpty()) {
        QTreeWidgetItem* item = stack.takeLast();
        bool gone = false;
        for (const CFTPDir* d = ItemDir(item); d && item->parent() && !gone; d = d->m_pParent)
            gone = dirs.count(d) != 0;
        if (gone) {
            item->setData(0, kDirRole, QVariant());
            SetBold(item, false);
        }
        for (int i = 0; i < item->childCount(); ++i)
            stack.append(item->child(i));
    }
}

void CDirView::EntriesGoing(const std::vector<std::pair<const CObject*, EntryKind>>& entries) {
    std::unordered_set<const CObject*> dirs;
    for (const auto& [entry, kind] : entries)
        if (kind == kEntryDir)
            dirs.insert(entry);
    if (!dirs.empty())
        ForgetDirs(dirs);
}

void CDirView::EntryGoing(const CObject* entry, EntryKind kind) {
    // Items stand for directories only.
    if (kind == kEntryDir)
        ForgetDirs({entry});
}

bool CDirView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QTreeWidgetItem* item = itemAt(help->pos());
        CFTPDir* dir = ItemDir(item);
        CFTPSite* site = (item && !item->parent() && dir) ? dir->GetSite() : nullptr;
        if (!site) {
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        std::string status = site->GetStatusText();
        if (status.size() > kTipLimit)
            status.resize(kTipLimit);
        QToolTip::showText(help->globalPos(), ShownStatus(status), viewport(), visualItemRect(item));
        return true;
    }
    return QTreeWidget::viewportEvent(event);
}

void CDirView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F10 && (event->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier) {
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, QPoint(), QCursor::pos());
        contextMenuEvent(&menuEvent);
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void CDirView::contextMenuEvent(QContextMenuEvent* event) {
    // From the keyboard the menu is the current item's and shows below it, wherever the pointer is.
    const bool keyboard = event->reason() == QContextMenuEvent::Keyboard;
    QTreeWidgetItem* item = keyboard ? currentItem() : itemAt(viewport()->mapFromGlobal(event->globalPos()));
    if (!item)
        return;
    QPoint at = event->globalPos();
    if (keyboard) {
        scrollToItem(item);
        const QRect rect = visualItemRect(item);
        at = viewport()->mapToGlobal(QPoint(rect.left() + iconSize().width(), rect.bottom()));
    }
    setCurrentItem(item); // selects it, which shows it
    CFTPDir* dir = ItemDir(item);
    const QList<QAction*>& actions = (!dir || dir->m_pParent) ? m_dirMenu : m_siteMenu;
    if (actions.isEmpty())
        return;
    QMenu menu(this);
    menu.setObjectName((!dir || dir->m_pParent) ? QStringLiteral("dirMenu") : QStringLiteral("siteMenu"));
    menu.addActions(actions);
    menu.exec(at);
}
