#pragma once
// The stored walk order of a site's tree (the order of content.ct and state.st): pre-order from a
// directory, each sub-directory (head to tail) visited before its own subtree, then the
// directory's files. Iterative, so the depth of the tree does not matter.

#include "model/Records.h"

#include <cstddef>
#include <utility>
#include <vector>

// onDir(CFTPDir&, depth) is called for every directory below `root` (depth 1 for root's children)
// and onFile(CFTPFile&, depth of its directory) for every file, root's own files included.
template <class OnDir, class OnFile>
void WalkStoredOrder(const CFTPDir& root, OnDir&& onDir, OnFile&& onFile) {
    struct Frame {
        const CFTPDir* dir;
        std::size_t next;
    };
    std::vector<Frame> stack;
    stack.push_back({&root, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.dir->m_subDirs.GetCount()) {
            CFTPDir* child = top.dir->m_subDirs.GetAt(top.next++);
            onDir(*child, stack.size());
            stack.push_back({child, 0});
            continue;
        }
        const CFTPDir* dir = top.dir;
        const std::size_t depth = stack.size() - 1;
        for (CFTPFile* file : dir->m_files)
            onFile(*file, depth);
        stack.pop_back();
    }
}
