#pragma once
// The left pane: one item per site and, below it, the site's stored directories, created level
// by level when an item is expanded or selected and thrown away when it is collapsed.

#include "ops/CatalogueObserver.h"

#include <QList>
#include <QTreeWidget>

#include <unordered_set>
#include <utility>
#include <vector>

class CFTPDir;
class CFTPSite;
class CHistory;
class CObject;
class CQuarnelDoc;
class CQuarnelView;
class CSiteLoader;
class QAction;

class CDirView : public QTreeWidget, public ICatalogueObserver {
    Q_OBJECT
public:
    // Item data: the record's directory, and the directory's name as stored (bytes), which the
    // name walk compares.
    static constexpr int kDirRole = Qt::UserRole;
    static constexpr int kNameRole = Qt::UserRole + 1;
    static constexpr int kCharsetRole = Qt::UserRole + 2; // on a site's item: how its names read
    static constexpr int kLoadingRole = Qt::UserRole + 3; // the child that stands for a site being read
    static constexpr int kTipLimit = 1000;
    // Shown under a site, and in the list, while its files are read.
    static constexpr const char* kLoadingText = "正在读取...";

    // Joins the document's notices for as long as it lives.
    CDirView(CQuarnelDoc* doc, CHistory* history, CQuarnelView* listView, QWidget* parent = nullptr);
    ~CDirView() override;

    // Sites not read yet are read by `loader` (in a thread) when their item is first expanded or
    // selected; without one they are read at once, in the window thread.
    void SetSiteLoader(CSiteLoader* loader) { m_pLoader = loader; }
    // The loader has read the site: its item gets its children, and the list the site's root if
    // the item is still the one shown.
    void SiteLoaded(CFTPSite* site);
    // The site's tree was replaced by what another program saved: the items below the site are
    // made anew, and the site's root is shown again if something of it was.
    void SiteReloaded(CFTPSite* site);

    // An update of the site has ended: the items already made below the site follow its tree
    // (new directories appear, gone ones go), each keeping what the user expanded; a selected
    // item that went leaves the selection to the nearest item above it that stays.
    void FollowUpdate(CFTPSite* site);

    // Selects the item of `dir`, making the items above it and expanding them as needed, and
    // shows it as the user's choice would (the visit recorded, the directory listed). False when
    // the tree has no item for it.
    bool SelectDirectory(CFTPDir* dir);

    // The images and the site items.
    void OnInitialUpdate();
    void FillSiteItems();
    // Appends a site's item at the end of the top level, with its placeholder.
    QTreeWidgetItem* AddSiteItem(CFTPSite* site);
    // Sets a site item's text to the site's display name.
    void RelabelSiteItem(CFTPSite* site);
    void RemoveSiteItem(CFTPSite* site);
    // Image and bold state of the site's item from its status and new mark.
    void RefreshSiteItem(CFTPSite* site);
    // Bold state of every directory item from its directory's new mark, after a command
    // marked entries read.
    void RefreshDirItemsBold();
    void ExpandItem(QTreeWidgetItem* item);
    void ShowTreeItem(QTreeWidgetItem* item);
    void OnCopyTreePath();

    // The directory the item stands for: by the name walk for a directory item, the root for a
    // site item; null for a placeholder or when the walk fails.
    CFTPDir* NameWalk(QTreeWidgetItem* item) const;
    static CFTPDir* ItemDir(const QTreeWidgetItem* item);
    // The directory of the selected item, or null.
    CFTPDir* SelectedDir() const;
    QTreeWidgetItem* SiteItem(const CFTPSite* site) const;

    // Items referring to an entry that left the catalogue (or lies below it) lose their
    // reference; a site's item goes when the site is deleted.
    void ForgetDirs(const std::unordered_set<const CObject*>& dirs);
    // The document's notices: items lose what goes; a going site's item goes with it.
    void EntryGoing(const CObject* entry, EntryKind kind) override;
    // Several at once: the items are gone through once for all of them.
    void EntriesGoing(const std::vector<std::pair<const CObject*, EntryKind>>& entries) override;
    void SiteGoing(CFTPSite* site) override { RemoveSiteItem(site); }

    // Commands offered by the right-click menus.
    void SetMenuActions(QList<QAction*> siteMenu, QList<QAction*> dirMenu);

    bool m_bFirstSelection = true;

signals:
    // A selection changed the browsed directory (history and browse lists).
    void DirectoryShown();

protected:
    bool viewportEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnItemExpanded(QTreeWidgetItem* item);
    void OnItemCollapsed(QTreeWidgetItem* item);
    void OnSelectionChanged();
    QTreeWidgetItem* AddDirItem(QTreeWidgetItem* parent, CFTPDir* dir, int at = -1);
    // The children of `item` follow those of `dir`; returns the pairs of kept items to follow next.
    std::vector<std::pair<QTreeWidgetItem*, CFTPDir*>> FollowChildren(QTreeWidgetItem* item, CFTPDir* dir);
    // The root's directories as items under the site's item; with `browse` also the browse lists.
    void FillSiteItem(QTreeWidgetItem* item, CFTPSite* site, bool browse);
    // The child that says the site is being read; true when `item` holds it.
    static void AddLoadingItem(QTreeWidgetItem* item);
    static bool IsLoading(const QTreeWidgetItem* item);
    // The item's children are made (not only the placeholder that stands for them).
    static bool ChildrenMade(const QTreeWidgetItem* item);
    static void AddPlaceholder(QTreeWidgetItem* parent);
    static void SetBold(QTreeWidgetItem* item, bool bold);
    static void DeleteChildren(QTreeWidgetItem* item);

    CQuarnelDoc* m_pDoc;
    CHistory* m_pHistory;
    CQuarnelView* m_pListView;
    CSiteLoader* m_pLoader = nullptr;
    QIcon m_dirIcon;
    QList<QAction*> m_siteMenu;
    QList<QAction*> m_dirMenu;
};
