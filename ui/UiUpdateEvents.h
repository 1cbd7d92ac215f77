#pragma once
// The update engine's notices, carried into the window thread as queued calls. The engine's
// threads never touch a widget.

#include "update/UpdateEvents.h"

#include <QPointer>

class CMainFrame;

class CUiUpdateEvents : public IUpdateEvents {
public:
    explicit CUiUpdateEvents(CMainFrame* frame);

    void PostSiteStatus(CFTPSite* site) override;
    void PostEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind) override;
    // Waits until the window has handled the notice; called from the window thread itself it
    // handles it at once.
    void SendSiteStatus(CFTPSite* site) override;

private:
    CMainFrame* m_pFrame;
};
