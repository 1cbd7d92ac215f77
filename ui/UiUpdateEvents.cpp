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
    CMainFrame* frame = m_pFrame;
    // The call object must be copyable; the holder frees the entry if the call is never made.
    auto holder = std::make_shared<std::unique_ptr<CObject>>(std::move(entry));
    QMetaObject::invokeMethod(
        frame, [frame, site, holder, kind] { frame->OnEntryRemoved(site, std::move(*holder), kind); },
        Qt::QueuedConnection);
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
