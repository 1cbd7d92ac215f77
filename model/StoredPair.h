#pragma once
// What this process last read or wrote of a site's pair (CFTPSite::m_storedCatalogue), and the
// looks that tell whether the files on disk and the tree in memory are still those.

#include <cstdint>
#include <string>
#include <sys/stat.h>

class CFTPDir;
class CFTPSite;

// Everything content.ct holds of the tree (names, sizes, shape) and the key it is stored under,
// folded into 64 bits. Never 0.
uint64_t TreeSignature(const std::string& key, const CFTPDir& root);
// Remembers content.ct (null: there was none) as holding the tree of `signature`.
void RememberCatalogue(CFTPSite& site, uint64_t signature, const struct stat* file);
// Remembers state.st (null: there was none).
void RememberState(CFTPSite& site, const struct stat* file);
// True when state.st in `siteFd` is still the file this process last read or wrote.
bool StateFileUnchanged(const CFTPSite& site, int siteFd);
// True when content.ct in `siteFd` is still the file this process last read or wrote.
bool StoredFileUnchanged(const CFTPSite& site, int siteFd);
// True when the tree in memory is still the one content.ct held when last read or written.
bool TreeUnchanged(const CFTPSite& site, const std::string& key);
// True when Data/KEY still holds the pair this process last read or wrote: nobody else saved.
bool PairUnchanged(const CFTPSite& site, const std::string& key);
