#pragma once
// Whoever keeps pointers into the catalogue (lists, rows, tree items, history) joins the
// document's notices when it is made (CQuarnelDoc::AddObserver) and leaves when it goes. An
// entry or a site is freed only after every member has heard that it is going, so a holder
// that joins cannot be left with a dangling pointer.

#include "model/Records.h"
#include "update/UpdateEvents.h"

#include <utility>
#include <vector>

class ICatalogueObserver {
public:
    virtual ~ICatalogueObserver() = default;
    // `entry` (a file or a directory, by `kind`) leaves the catalogue: drop every reference to
    // it and, for a directory, to everything below it (its subtree goes with it, unannounced).
    // The entry is already unlinked from its parent; compare it, do not follow it.
    virtual void EntryGoing(const CObject* entry, EntryKind kind) = 0;
    // Several entries at once (what one merge removed, a reloaded site's old tree): a holder of
    // long lists goes through them once for all. By default one EntryGoing each, in order.
    virtual void EntriesGoing(const std::vector<std::pair<const CObject*, EntryKind>>& entries) {
        for (const auto& [entry, kind] : entries)
            EntryGoing(entry, kind);
    }
    // The site leaves the list. It is still whole while this runs. By default the same as its
    // root directory going.
    virtual void SiteGoing(CFTPSite* site) {
        if (site && site->m_pRootDir)
            EntryGoing(site->m_pRootDir.get(), kEntryDir);
    }
    // A search or mark-read walk began (true) or ended (false).
    virtual void WalkStateChanged(bool walking) { (void)walking; }
};
