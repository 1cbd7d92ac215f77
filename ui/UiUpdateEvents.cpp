#include "ui/UiUpdateEvents.h"

#include "model/Records.h"
#include "ui/MainFrame.h"

#include <QMetaObject>
#include <QThread>

CUiUpdateEvents::CUiUpdateEvents(CMainFrame* frame) : m_pFrame(frame) {}

void CUiUpdateEvents::PostSiteStatus(CFTPSite* site) {
    CMainFrame* frame = m_pFrame;
    QMetaObject::invokeMethod(
        frame, [frame, site] { frame->OnSiteStatus(site); }, Qt::QueuedConnection);
}

void CUiUpdateEvents::PostEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_removalsLock);
        first = m_removals.empty();
        m_removals.push_back({site, std::move(entry), kind});
    }
    // One call takes every notice waiting when it runs; entries it never takes go with this object.
    if (first)
        QMetaObject::invokeMethod(
            m_pFrame, [this] { DeliverRemovals(); }, Qt::QueuedConnection);
}

void CUiUpdateEvents::DeliverRemovals() {
    std::vector<CRemoval> removals;
    {
        std::lock_guard<std::mutex> lock(m_removalsLock);
        removals.swap(m_removals);
    }
    for (CRemoval& removal : removals)
        m_pFrame->QueueEntryRemoved(removal.site, std::move(removal.entry), removal.kind);
}

void CUiUpdateEvents::SendSiteStatus(CFTPSite* site) {
    CMainFrame* frame = m_pFrame;
    if (QThread::currentThread() == frame->thread()) {
        frame->OnSiteStatus(site);
        return;
    }
    QMetaObject::invokeMethod(
        frame, [frame, site] { frame->OnSiteStatus(site); }, Qt::BlockingQueuedConnection);
}
