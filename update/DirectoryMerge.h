#pragma once
// Merging one fresh listing into one stored directory: entries found again are kept (files get the
// listed size), unknown ones are appended as new, and the stored entries the listing no longer
// holds are unlinked and handed back to the caller.
//
// The merge comes in two steps so that a huge directory never holds the site's tree lock for long:
// PlanMerge works out, without the lock, what the listing makes of the directory (it only reads
// the directory's lists and names); ApplyMerge puts that in place under the lock. Between the two
// no other thread may change the directory's lists (an update worker owns the lists of the
// directories it walks; the window thread only reads them and changes read marks).

#include "model/Records.h"
#include "platform/FtpClient.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

struct MergeOutcome {
    // The stop flag was seen part way: nothing was removed and every merge mark is 0; the entries
    // already added stay.
    bool stopped = false;
    bool addedAny = false;
    std::vector<std::unique_ptr<CFTPFile>> removedFiles; // in list order
    std::vector<std::unique_ptr<CFTPDir>> removedDirs;   // in list order, each with its subtree
};

// A name can be stored only if it is one path component: not empty, not "." or "..", free of '/'
// and NUL, and no longer than kMaxFtpNameBytes. (One holding CR or LF is stored, but cannot be
// sent back in a command.)
bool IsUsableEntryName(std::string_view name);

// What becomes of stored entries the listing does not show.
enum class MergeSweep {
    RemoveUnlisted, // a complete listing: they are gone from the server
    KeepUnlisted,   // a listing the server cut short: they may still be there, nothing is removed
};

// What a listing makes of one directory, by the positions of its stored entries when planned.
struct MergePlan {
    std::size_t storedDirs = 0;
    std::size_t storedFiles = 0;
    std::vector<uint8_t> dirListed;  // per stored sub-directory: the listing holds it
    std::vector<uint8_t> fileListed; // per stored file
    // Stored files whose size the listing changes, in listing order (the last listed size wins).
    std::vector<std::pair<std::size_t, uint64_t>> sizes;
    std::vector<std::unique_ptr<CFTPDir>> newDirs; // in listing order, m_bNew 1
    std::vector<std::unique_ptr<CFTPFile>> newFiles;
    bool stopped = false;
};

// Costs time linear in the stored plus listed entries: stored names are looked up in a flat hash
// index in which the first entry of a name wins, as a walk from the head would. A name listed twice
// is merged once. `stop` is polled before each entry. Reads `dir` without any lock.
MergePlan PlanMerge(const CFTPDir& dir, const std::vector<FtpEntry>& listing, const std::atomic<bool>& stop);

// Under the site's tree lock: new entries are appended (and set the site's m_bHasNew), sizes
// taken, and, unless the plan was stopped or `sweep` keeps them, the unlisted entries unlinked.
// Every merge mark is 0 afterwards. A directory whose lists changed since the plan is planned
// again here.
MergeOutcome ApplyMerge(CFTPSite& site, CFTPDir& dir, MergePlan plan, const std::vector<FtpEntry>& listing,
                        const std::atomic<bool>& stop, MergeSweep sweep = MergeSweep::RemoveUnlisted);

// Both steps at once; the caller holds the site's tree lock.
MergeOutcome MergeListing(CFTPSite& site, CFTPDir& dir, const std::vector<FtpEntry>& listing,
                          const std::atomic<bool>& stop, MergeSweep sweep = MergeSweep::RemoveUnlisted);
