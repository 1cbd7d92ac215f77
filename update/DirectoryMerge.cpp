#include "update/DirectoryMerge.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>

bool IsUsableEntryName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxFtpNameBytes)
        return false;
    // One pass over the bytes (find_first_of searches the name once per character it looks for).
    // CR and LF are stored as listed; such a directory cannot be changed to, which the listing
    // of it finds out.
    return std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; });
}

namespace {

uint64_t HashName(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

// The names of one kind of entry in one directory: the stored entries (references 0 to
// stored - 1), then those the plan creates. A flat table of slots, each the high half of a name's
// hash and its reference plus one (0: empty), probed linearly and kept at most half full. A
// node-based map costs an allocation and a cache miss or two per entry, which at a million
// entries made the merge grow faster than its input; here a look-up mostly touches one slot.
// Listings mostly come in the stored order, so the entry after the last one found is tried first.
template <class T> class CNameIndex {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    CNameIndex(const CObList<T>& stored, std::size_t listed, const std::vector<std::unique_ptr<T>>& created)
        : m_stored(stored), m_created(created), m_nStored(stored.GetCount()) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * (m_nStored + listed)));
        m_slots.assign(capacity, 0);
        m_mask = capacity - 1;
        m_shadowed.assign(m_nStored, 0);
        for (std::size_t i = 0; i < m_nStored; ++i) {
            const std::string_view name = stored.GetAt(i)->m_strName;
            const uint64_t hash = HashName(name);
            if (FindHashed(name, hash) != kNone)
                m_shadowed[i] = 1; // an earlier entry of this name is the one a look-up finds
            else
                Insert(hash, static_cast<uint32_t>(i));
        }
    }

    // The first entry of this name, or kNone.
    uint32_t Find(std::string_view name) {
        const std::size_t next = m_nLastFound + 1;
        if (next < m_nStored && !m_shadowed[next] && m_stored.GetAt(next)->m_strName == name)
            return static_cast<uint32_t>(m_nLastFound = next);
        m_nHash = HashName(name);
        const uint32_t ref = FindHashed(name, m_nHash);
        if (ref != kNone && ref < m_nStored)
            m_nLastFound = ref;
        return ref;
    }
    // After Find returned kNone for `name`: the entry just created for it.
    void AddCreated(uint32_t ref) { Insert(m_nHash, ref); }

private:
    std::string_view NameOf(uint32_t ref) const {
        return ref < m_nStored ? std::string_view(m_stored.GetAt(ref)->m_strName)
                               : std::string_view(m_created[ref - m_nStored]->m_strName);
    }
    uint32_t FindHashed(std::string_view name, uint64_t hash) const {
        const uint32_t tag = static_cast<uint32_t>(hash >> 32);
        for (std::size_t at = hash & m_mask;; at = (at + 1) & m_mask) {
            const uint64_t slot = m_slots[at];
            if (slot == 0)
                return kNone;
            const uint32_t ref = static_cast<uint32_t>(slot) - 1;
            if (static_cast<uint32_t>(slot >> 32) == tag && NameOf(ref) == name)
                return ref;
        }
    }
    void Insert(uint64_t hash, uint32_t ref) {
        std::size_t at = hash & m_mask;
        while (m_slots[at] != 0)
            at = (at + 1) & m_mask;
        m_slots[at] = (hash >> 32 << 32) | (static_cast<uint64_t>(ref) + 1);
    }

    const CObList<T>& m_stored;
    const std::vector<std::unique_ptr<T>>& m_created;
    std::size_t m_nStored;
    std::vector<uint64_t> m_slots;
    std::size_t m_mask = 0;
    std::vector<uint8_t> m_shadowed;
    std::size_t m_nLastFound = SIZE_MAX; // so that the first try is the head
    uint64_t m_nHash = 0;
};

template <class T> void ClearSeenMarks(const CObList<T>& list) {
    for (T* entry : list)
        entry->m_bSeen = 0;
}

// Unlinks the entries the plan did not find, keeping the order of the others. ExtractIf asks once
// per entry, head to tail, so the count is the entry's position.
template <class T>
std::vector<std::unique_ptr<T>> SweepUnlisted(CObList<T>& list, const std::vector<uint8_t>& listed) {
    std::size_t position = 0;
    return list.ExtractIf([&](T*) { return listed[position++] == 0; });
}

} // namespace

MergePlan PlanMerge(const CFTPDir& dir, const std::vector<FtpEntry>& listing, const std::atomic<bool>& stop) {
    MergePlan plan;
    plan.storedDirs = dir.m_subDirs.GetCount();
    plan.storedFiles = dir.m_files.GetCount();
    plan.dirListed.assign(plan.storedDirs, 0);
    plan.fileListed.assign(plan.storedFiles, 0);
    std::size_t listedDirs = 0;
    for (const FtpEntry& entry : listing)
        listedDirs += entry.isDir;
    plan.newDirs.reserve(listedDirs);
    plan.newFiles.reserve(listing.size() - listedDirs);
    CNameIndex<CFTPDir> dirs(dir.m_subDirs, listedDirs, plan.newDirs);
    CNameIndex<CFTPFile> files(dir.m_files, listing.size() - listedDirs, plan.newFiles);

    for (const FtpEntry& entry : listing) {
        if (stop.load(std::memory_order_relaxed)) {
            plan.stopped = true;
            break;
        }
        if (!IsUsableEntryName(entry.name))
            continue;
        if (entry.isDir) {
            const uint32_t ref = dirs.Find(entry.name);
            if (ref < plan.storedDirs) {
                plan.dirListed[ref] = 1;
            } else if (ref == CNameIndex<CFTPDir>::kNone) {
                auto created = std::make_unique<CFTPDir>();
                created->m_strName = entry.name;
                created->m_bNew = 1;
                plan.newDirs.push_back(std::move(created));
                dirs.AddCreated(static_cast<uint32_t>(plan.storedDirs + plan.newDirs.size() - 1));
            }
            continue;
        }
        const uint32_t ref = files.Find(entry.name);
        if (ref < plan.storedFiles) {
            // Sizes are written by the merge only, so the stored one can be read here.
            if (plan.fileListed[ref] || dir.m_files.GetAt(ref)->m_nSize != entry.size)
                plan.sizes.emplace_back(ref, entry.size);
            plan.fileListed[ref] = 1;
        } else if (ref == CNameIndex<CFTPFile>::kNone) {
            auto created = std::make_unique<CFTPFile>();
            created->m_strName = entry.name;
            created->m_bNew = 1;
            created->m_nSize = entry.size;
            plan.newFiles.push_back(std::move(created));
            files.AddCreated(static_cast<uint32_t>(plan.storedFiles + plan.newFiles.size() - 1));
        } else {
            plan.newFiles[ref - plan.storedFiles]->m_nSize = entry.size; // listed twice
        }
    }
    return plan;
}

MergeOutcome ApplyMerge(CFTPSite& site, CFTPDir& dir, MergePlan plan, const std::vector<FtpEntry>& listing,
                        const std::atomic<bool>& stop, MergeSweep sweep) {
    if (plan.storedDirs != dir.m_subDirs.GetCount() || plan.storedFiles != dir.m_files.GetCount())
        plan = PlanMerge(dir, listing, stop);
    MergeOutcome outcome;
    outcome.stopped = plan.stopped;
    for (const auto& [position, size] : plan.sizes)
        dir.m_files.GetAt(position)->m_nSize = size;
    if (plan.stopped) {
        // Marks a merge of an earlier program version may have left are not carried on.
        ClearSeenMarks(dir.m_files);
        ClearSeenMarks(dir.m_subDirs);
    } else if (sweep == MergeSweep::RemoveUnlisted) {
        outcome.removedFiles = SweepUnlisted(dir.m_files, plan.fileListed);
        outcome.removedDirs = SweepUnlisted(dir.m_subDirs, plan.dirListed);
    }
    outcome.addedAny = !plan.newDirs.empty() || !plan.newFiles.empty();
    dir.m_subDirs.Reserve(dir.m_subDirs.GetCount() + plan.newDirs.size());
    for (auto& created : plan.newDirs)
        dir.AddSubDir(std::move(created));
    dir.m_files.Reserve(dir.m_files.GetCount() + plan.newFiles.size());
    for (auto& created : plan.newFiles)
        dir.AddFile(std::move(created));
    if (outcome.addedAny)
        site.m_bHasNew = 1;
    return outcome;
}

MergeOutcome MergeListing(CFTPSite& site, CFTPDir& dir, const std::vector<FtpEntry>& listing,
                          const std::atomic<bool>& stop, MergeSweep sweep) {
    return ApplyMerge(site, dir, PlanMerge(dir, listing, stop), listing, stop, sweep);
}
