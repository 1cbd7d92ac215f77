#pragma once
// Pieces the document's walks share (internal to ops/).

#include "model/Records.h"
#include "ops/QuarnelDoc.h"

#include <cstdint>
#include <vector>

// How many entries a walk visits between two calls of the window's event pump.
inline constexpr uint32_t kEntriesPerPump = 256;

// Marks a walk as running for as long as it lives (nested walks count once).
class CQuarnelDoc::WalkScope {
public:
    explicit WalkScope(CQuarnelDoc& doc);
    ~WalkScope();
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

private:
    CQuarnelDoc& m_doc;
};

// Visits a list of directories and everything below them in the walk order of the catalogue
// operations: each directory, then (unless onDir says not to descend) its sub-directories the
// same way, then its files. Iterative, so deep trees cannot overflow the stack.
// onDir(CFTPDir*) returns kStop, kSkipContents or kDescend; onFile(CFTPFile*) returns false to stop.
enum class DirStep { kStop, kSkipContents, kDescend };

template <class OnDir, class OnFile>
bool WalkDirList(const CObList<CFTPDir>& dirs, OnDir&& onDir, OnFile&& onFile) {
    struct Frame {
        const CObList<CFTPDir>* list;
        std::size_t next;
        CFTPDir* owner; // whose files follow once `list` is done; null for the top list
    };
    std::vector<Frame> stack;
    stack.push_back({&dirs, 0, nullptr});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.list->GetCount()) {
            CFTPDir* dir = top.list->GetAt(top.next++);
            const DirStep step = onDir(dir);
            if (step == DirStep::kStop)
                return false;
            if (step == DirStep::kDescend)
                stack.push_back({&dir->m_subDirs, 0, dir});
            continue;
        }
        CFTPDir* owner = top.owner;
        stack.pop_back();
        if (owner) {
            for (CFTPFile* file : owner->m_files)
                if (!onFile(file))
                    return false;
        }
    }
    return true;
}
