#pragma once
// The update engine's notices, carried into the window thread as queued calls. The engine's
// threads never touch a widget.

#include "update/UpdateEvents.h"

#include <QPointer>

#include <memory>
#include <mutex>
#include <vector>

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
    // Removal notices waiting for the window thread. A merge posts its removals together: they
    // travel as one queued call, not one call each.
    struct CRemoval {
        CFTPSite* site;
        std::unique_ptr<CObject> entry;
        EntryKind kind;
    };
    void DeliverRemovals();

    CMainFrame* m_pFrame;
    std::mutex m_removalsLock; // a leaf: taken under the engine's queue lock, nothing under it
    std::vector<CRemoval> m_removals;
};
