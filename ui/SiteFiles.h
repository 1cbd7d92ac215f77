#pragma once
// What the window asks of the threads that read and save sites' files (ui/SiteLoader.h), apart
// from first reads: the site follower uses this much of it, and its tests hand in their own.

#include "model/Records.h"

#include <memory>
#include <string>
#include <vector>

// The site loader as the follower uses it (tests hand in one of their own): it reads and saves
// sites' files in threads; what a reload read comes back through CSiteFollower::Reloaded.
class ISiteFiles {
public:
    virtual ~ISiteFiles() = default;
    // No thread reads or saves any site.
    virtual bool IsIdle() const = 0;
    // Saves the site's unsaved read marks, then reads its files into a tree of their own.
    virtual void Reload(CFTPSite* site) = 0;
    // Saves the site's unsaved read marks in a thread; false when it cannot start now.
    virtual bool SaveMarks(CFTPSite* site, std::string why) = 0;
    // Frees trees the window has let go of, off the window thread.
    virtual void Dispose(std::vector<std::unique_ptr<CObject>> trees) = 0;
};
