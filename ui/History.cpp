#include "ui/History.h"

#include "model/Records.h"
#include "ops/QuarnelDoc.h"
#include "ui/EntryAncestry.h"

CHistory::CHistory(CQuarnelDoc& doc) : m_doc(doc) {
    m_doc.AddObserver(this);
}

CHistory::~CHistory() {
    m_doc.RemoveObserver(this);
}

void CHistory::Push(CObList<HistoryEntry>& list, const HistoryEntry& entry) {
    list.AddTail(std::make_unique<HistoryEntry>(entry));
    if (list.GetCount() > kMaxEntries)
        list.RemoveAt(0);
}

void CHistory::Changed() {
    if (m_onChanged)
        m_onChanged();
}

bool CHistory::CanGoUp() const {
    return m_pCurrent && m_pCurrent->m_pDir && m_pCurrent->m_pDir->m_pParent;
}

void CHistory::RecordVisit(CFTPDir* dir) {
    if (m_pCurrent)
        Push(m_backList, *m_pCurrent);
    m_pCurrent = std::make_unique<HistoryEntry>();
    m_pCurrent->m_pDir = dir;
    m_forwardList.RemoveAll();
    Changed();
}

void CHistory::GoUp() {
    if (!CanGoUp())
        return;
    CFTPDir* parent = m_pCurrent->m_pDir->m_pParent;
    Push(m_backList, *m_pCurrent);
    m_forwardList.RemoveAll();
    *m_pCurrent = HistoryEntry{};
    m_pCurrent->m_pDir = parent;
    m_doc.ShowDir(parent);
    Changed();
}

void CHistory::GoBack() {
    if (m_backList.IsEmpty())
        return;
    if (m_pCurrent)
        Push(m_forwardList, *m_pCurrent);
    std::unique_ptr<HistoryEntry> entry = m_backList.RemoveAt(m_backList.GetCount() - 1);
    m_doc.ShowDir(entry->m_pDir);
    m_pCurrent = std::move(entry);
    Changed();
}

void CHistory::GoForward() {
    if (m_forwardList.IsEmpty())
        return;
    if (m_pCurrent)
        Push(m_backList, *m_pCurrent);
    std::unique_ptr<HistoryEntry> entry = m_forwardList.RemoveAt(m_forwardList.GetCount() - 1);
    m_doc.ShowDir(entry->m_pDir);
    m_pCurrent = std::move(entry);
    Changed();
}

template <class Pred> void CHistory::DropIf(Pred pred) {
    bool changed = false;
    for (CObList<HistoryEntry>* list : {&m_backList, &m_forwardList}) {
        auto removed = list->ExtractIf([&](HistoryEntry* e) { return e->m_pDir && pred(e->m_pDir); });
        changed = changed || !removed.empty();
    }
    if (m_pCurrent && m_pCurrent->m_pDir && pred(m_pCurrent->m_pDir)) {
        m_pCurrent.reset();
        changed = true;
    }
    if (changed)
        Changed();
}

void CHistory::ForgetEntry(const CObject* entry) {
    DropIf([entry](const CFTPDir* dir) { return IsDirAtOrBelow(dir, entry); });
}

void CHistory::EntryGoing(const CObject* entry, EntryKind kind) {
    // Only directories are visited; a file going takes no entry with it.
    if (kind == kEntryDir)
        ForgetEntry(entry);
}

void CHistory::ForgetSite(const CFTPSite* site) {
    DropIf([site](const CFTPDir* dir) { return dir->GetSite() == site; });
}
