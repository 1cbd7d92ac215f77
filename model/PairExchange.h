#pragma once
// Writing a site's pair: a fresh directory in the save area with both files, exchanged with
// Data/KEY in one rename; and state.st alone, replaced in place.

#include <cstdint>
#include <functional>
#include <string>

class CFTPDir;
class CFTPSite;

// What a save writes. state.st's bytes are taken under the tree lock, since the window thread
// changes read marks at any time; content.ct's are taken the same way, or written from the tree
// itself without the lock where the saving thread alone changes the tree's shape.
struct CPairContent {
    std::string catalogue;
    std::string state;
    CFTPDir* streamed = nullptr; // content.ct written from this tree instead of `catalogue`
    uint64_t signature = 0;      // of the tree content.ct holds
};

// One attempt at replacing Data/KEY by a fresh directory with the pair. 0, or an errno value
// with `failedPath` naming the file or directory it concerns; EAGAIN when another writer changed
// Data/KEY meanwhile and a new attempt may do better. The files are written without the tree
// lock; the fresh directory takes the place of the old one under it, unless `mayCommit` says no
// (then nothing changes), and the pair written is remembered there.
int ReplacePair(CFTPSite& site, const std::string& key, int dataFd, int areaFd, const CPairContent& content,
                const std::function<bool()>& mayCommit, std::string& failedPath);

// Writes state.st's bytes into the open site directory, in place. False with errno set.
bool WriteStateAlone(int siteFd, const std::string& bytes);
