#pragma once
// The list pane's browser-like history: the current visit and the Back and Forward stacks,
// each holding at most 20 entries. Entries refer to directories without owning them.

#include "model/ObList.h"
#include "ops/CatalogueObserver.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CObject;
class CFTPDir;
class CFTPFile;
class CFTPSite;
class CQuarnelDoc;

struct HistoryEntry {
    CFTPDir* m_pDir = nullptr;
    std::string m_strSearch; // never set: searches do not enter the history
    int32_t m_nNewKind = 0;
    int32_t m_bNewFiles = 0;
};

class CHistory : public ICatalogueObserver {
public:
    static constexpr std::size_t kMaxEntries = 20;

    // Moving through the history fills the document's browse lists (CQuarnelDoc::ShowDir).
    // Joins the document's notices for as long as it lives.
    explicit CHistory(CQuarnelDoc& doc);
    ~CHistory() override;
    CHistory(const CHistory&) = delete;
    CHistory& operator=(const CHistory&) = delete;

    void RecordVisit(CFTPDir* dir);
    void GoBack();
    void GoForward();
    void GoUp();
    bool CanGoBack() const { return !m_backList.IsEmpty(); }
    bool CanGoForward() const { return !m_forwardList.IsEmpty(); }
    bool CanGoUp() const;

    // Drops every entry that names `entry` or a directory below it (an entry that left the
    // catalogue), and every entry of `site` (a deleted site), so no entry ever dangles.
    void ForgetEntry(const CObject* entry);
    void ForgetSite(const CFTPSite* site);
    void EntryGoing(const CObject* entry, EntryKind kind) override;
    void SiteGoing(CFTPSite* site) override { ForgetSite(site); }

    // Called after every change, so the window can set the enable state of its commands.
    void SetChangedCallback(std::function<void()> callback) { m_onChanged = std::move(callback); }

    std::unique_ptr<HistoryEntry> m_pCurrent;
    CObList<HistoryEntry> m_forwardList;
    CObList<HistoryEntry> m_backList;

private:
    static void Push(CObList<HistoryEntry>& list, const HistoryEntry& entry);
    void Changed();
    template <class Pred> void DropIf(Pred pred);

    CQuarnelDoc& m_doc;
    std::function<void()> m_onChanged;
};
