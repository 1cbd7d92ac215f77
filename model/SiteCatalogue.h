#pragma once
// The body of state.st on an archive already open (a file, or bytes in memory): one 32-bit m_bNew
// per node below `root`, in the stored walk order. content.ct's body is the root's Persist.

#include <string>

class CDataArchive;
class CFTPDir;

// Reads flags into the nodes in walk order until the archive ends (CArchiveException endOfFile
// then leaves the rest as they were).
void ReadStateFlags(CDataArchive& ar, CFTPDir& root);
void WriteStateFlags(CDataArchive& ar, const CFTPDir& root);

// Removes what saves of the site `key` killed part way left in Data/.tmp and in Data/KEY. With
// `discard` (the site is being deleted) everything of them goes; otherwise a directory left
// between the two renames of a save is put back as Data/KEY when that is missing, and files that
// only a leftover holds are moved into Data/KEY. Directories are never deleted.
void RemoveSiteLeftovers(int dataFd, const std::string& key, bool discard);

// Makes pair saves act as on a file system that cannot exchange two directories (EINVAL): they
// then rename the old directory aside before the new one takes its place. For tests.
void SetDirectoryExchangeRefused(bool refused);

// Whether site.ds lists a site of the key `key` now. Unknown where there is no site.ds or it
// cannot be read whole: then nothing is said against the site. Reads the file only when it was
// replaced since the last look.
enum class SiteListing { Listed, Missing, Unknown };
SiteListing FindKeyInSiteList(const std::string& key);

// Removes what writers killed part way left anywhere in the program directory: temporary copies
// of site.ds, and every site's leftovers (see RemoveSiteLeftovers). Whatever a live writer holds
// stays. For the start of a program that may write.
void RemoveStaleLeftovers();
