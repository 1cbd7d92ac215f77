#pragma once
// How the update engine tells its owner (the window, the CLI, a test) what happened. The engine
// never touches a widget; the window implements these with queued calls into its thread.

#include <cstdint>
#include <memory>

class CFTPSite;
class CObject;

enum EntryKind : int32_t { kEntryFile = 0, kEntryDir = 1 };

class IUpdateEvents {
public:
    virtual ~IUpdateEvents() = default;
    // The site's status text or code changed (posted: the engine does not wait).
    virtual void PostSiteStatus(CFTPSite* site) = 0;
    // An entry left the catalogue. It is already unlinked from its directory; the receiver drops
    // every reference it holds to it or below it, then destroys it. Its address stays unique
    // until then, so it can be compared with what the receiver holds.
    virtual void PostEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind) = 0;
    // The site's status changed and the caller waits until the receiver has handled it.
    virtual void SendSiteStatus(CFTPSite* site) = 0;
};
