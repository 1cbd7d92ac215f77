#include "model/ReadMarks.h"
#include "model/Records.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace {

// Calls onMatch(source mark, target mark) for every entry below `to` that has a counterpart below
// `from` (same path, same kind). Reads only names and shape of `to`.
template <class OnMatch> void MatchByPath(const CFTPDir& from, CFTPDir& to, OnMatch&& onMatch) {
    std::vector<std::pair<const CFTPDir*, CFTPDir*>> stack{{&from, &to}};
    std::unordered_map<std::string_view, CFTPDir*> dirs;
    std::unordered_map<std::string_view, CFTPFile*> files;
    while (!stack.empty()) {
        const auto [source, target] = stack.back();
        stack.pop_back();
        dirs.clear();
        files.clear();
        // First of a name wins, as the merge of a listing does.
        for (CFTPDir* dir : target->m_subDirs)
            dirs.emplace(dir->m_strName, dir);
        for (CFTPFile* file : target->m_files)
            files.emplace(file->m_strName, file);
        for (const CFTPDir* dir : source->m_subDirs) {
            const auto found = dirs.find(dir->m_strName);
            if (found == dirs.end())
                continue;
            onMatch(dir->m_bNew, found->second->m_bNew);
            stack.emplace_back(dir, found->second);
        }
        for (const CFTPFile* file : source->m_files) {
            const auto found = files.find(file->m_strName);
            if (found != files.end())
                onMatch(file->m_bNew, found->second->m_bNew);
        }
    }
}

} // namespace

std::size_t CarryReadMarks(const CFTPDir& from, CFTPDir& to) {
    std::size_t changed = 0;
    MatchByPath(from, to, [&changed](int32_t source, int32_t& target) {
        if (source == 0 && target != 0) {
            target = 0;
            ++changed;
        }
    });
    return changed;
}

std::vector<int32_t*> FindCarriedReadMarks(const CFTPDir& from, CFTPDir& to) {
    std::vector<int32_t*> marks;
    MatchByPath(from, to, [&marks](int32_t source, int32_t& target) {
        if (source == 0)
            marks.push_back(&target);
    });
    return marks;
}

MarkSave PlanMarkSave(SavedElsewhereChange change, bool readTheirs, bool treeUnchanged) {
    switch (change) {
    case SavedElsewhereChange::Nothing:
        // The marks of a tree that is not on disk go with it.
        return treeUnchanged ? MarkSave::MarksAlone : MarkSave::WholePair;
    case SavedElsewhereChange::MarksOnly:
        if (!readTheirs)
            return treeUnchanged ? MarkSave::MarksAlone : MarkSave::WholePair;
        return treeUnchanged ? MarkSave::MergedMarksAlone : MarkSave::MergedWholePair;
    case SavedElsewhereChange::Tree:
        // Another program saved a newer tree since this one was read: that tree stays. Otherwise
        // the tree in memory is newer than any on disk: it goes, with the marks saved there.
        if (readTheirs && treeUnchanged)
            return MarkSave::TheirTree;
        return readTheirs ? MarkSave::MergedWholePair : MarkSave::WholePair;
    }
    return MarkSave::WholePair;
}
