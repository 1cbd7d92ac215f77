#include "update/DirectoryMerge.h"

#include <string_view>
#include <unordered_map>

bool IsUsableEntryName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxFtpNameBytes)
        return false;
    return name.find_first_of(std::string_view("/\0\r\n", 4)) == std::string_view::npos;
}

namespace {

// Stored entries of one list by name; the views point into the entries' own names, which stay put
// while the merge runs.
template <class T> std::unordered_map<std::string_view, T*> IndexByName(const CObList<T>& list) {
    std::unordered_map<std::string_view, T*> index;
    index.reserve(list.GetCount());
    for (T* entry : list)
        index.emplace(entry->m_strName, entry); // keeps the first of equal names
    return index;
}

template <class T> void ClearSeenMarks(const CObList<T>& list) {
    for (T* entry : list)
        entry->m_bSeen = 0;
}

// Unlinks the entries the listing did not show and resets the marks of the others.
template <class T> std::vector<std::unique_ptr<T>> SweepUnseen(CObList<T>& list) {
    return list.ExtractIf([](T* entry) {
        if (entry->m_bSeen) {
            entry->m_bSeen = 0;
            return false;
        }
        return true;
    });
}

} // namespace

MergeOutcome MergeListing(CFTPSite& site, CFTPDir& dir, const std::vector<FtpEntry>& listing,
                          const std::atomic<bool>& stop, MergeSweep sweep) {
    MergeOutcome outcome;
    auto dirIndex = IndexByName(dir.m_subDirs);
    auto fileIndex = IndexByName(dir.m_files);

    for (const FtpEntry& entry : listing) {
        if (stop.load(std::memory_order_relaxed)) {
            ClearSeenMarks(dir.m_files);
            ClearSeenMarks(dir.m_subDirs);
            outcome.stopped = true;
            return outcome;
        }
        if (!IsUsableEntryName(entry.name))
            continue;
        if (entry.isDir) {
            auto found = dirIndex.find(entry.name);
            if (found != dirIndex.end()) {
                found->second->m_bSeen = 1;
                continue;
            }
            auto created = std::make_unique<CFTPDir>();
            created->m_strName = entry.name;
            created->m_bNew = 1;
            created->m_bSeen = 1;
            CFTPDir* added = dir.AddSubDir(std::move(created));
            dirIndex.emplace(added->m_strName, added);
        } else {
            auto found = fileIndex.find(entry.name);
            if (found != fileIndex.end()) {
                found->second->m_bSeen = 1;
                found->second->m_nSize = entry.size;
                continue;
            }
            auto created = std::make_unique<CFTPFile>();
            created->m_strName = entry.name;
            created->m_bNew = 1;
            created->m_bSeen = 1;
            created->m_nSize = entry.size;
            CFTPFile* added = dir.AddFile(std::move(created));
            fileIndex.emplace(added->m_strName, added);
        }
        outcome.addedAny = true;
        site.m_bHasNew = 1;
    }

    if (sweep == MergeSweep::KeepUnlisted) {
        ClearSeenMarks(dir.m_files);
        ClearSeenMarks(dir.m_subDirs);
        return outcome;
    }
    outcome.removedFiles = SweepUnseen(dir.m_files);
    outcome.removedDirs = SweepUnseen(dir.m_subDirs);
    return outcome;
}
