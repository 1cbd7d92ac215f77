#pragma once
// Reading several sites' stored trees at once, one thread per core: a search over sites not yet
// read is mostly reading, and each site is read by itself.

#include <vector>

class CFTPSite;

// Makes sure every site of `sites` is read (CFTPSite::EnsureLoaded), on up to `threads` threads
// (0: one per core, never more than there are sites). Returns when all are read.
void EnsureSitesLoaded(const std::vector<CFTPSite*>& sites, unsigned threads = 0);
