#pragma once
// Merging one fresh listing into one stored directory: entries found again are marked seen (files
// get the listed size), unknown ones are appended as new, and the stored entries the listing no
// longer holds are unlinked and handed back to the caller. The caller holds the site's tree lock.

#include "model/Records.h"
#include "platform/FtpClient.h"

#include <atomic>
#include <memory>
#include <string_view>
#include <vector>

struct MergeOutcome {
    // The stop flag was seen part way: every merge mark is reset and nothing was removed; the
    // entries already added stay.
    bool stopped = false;
    bool addedAny = false;
    std::vector<std::unique_ptr<CFTPFile>> removedFiles; // in list order
    std::vector<std::unique_ptr<CFTPDir>> removedDirs;   // in list order, each with its subtree
};

// A name can be stored and sent back to the server only if it is one path component: not empty,
// not "." or "..", free of '/', NUL, CR and LF, and no longer than kMaxFtpNameBytes.
bool IsUsableEntryName(std::string_view name);

// What becomes of stored entries the listing does not show.
enum class MergeSweep {
    RemoveUnlisted, // a complete listing: they are gone from the server
    KeepUnlisted,   // a listing the server cut short: they may still be there, nothing is removed
};

// Costs time linear in the stored plus listed entries: stored names are looked up through a
// temporary hash index in which the first entry of a name wins, as a walk from the head would.
// New entries get m_bNew 1 and set the site's m_bHasNew. `stop` is polled before each entry.
// Every merge mark is 0 again afterwards.
MergeOutcome MergeListing(CFTPSite& site, CFTPDir& dir, const std::vector<FtpEntry>& listing,
                          const std::atomic<bool>& stop, MergeSweep sweep = MergeSweep::RemoveUnlisted);
