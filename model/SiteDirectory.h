#pragma once
// The names and the directory work that the saves, loads and clean-ups of a site's pair share:
// Data/KEY holds content.ct and state.st; Data/.tmp (the save area) holds the directories of saves
// at work and what killed ones left.

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

inline constexpr const char* kCatalogueName = "content.ct";
inline constexpr const char* kStateName = "state.st";
// Directories of a site in the save area: KEY.new-XXXXXX is a pair being put together (and, once
// exchanged, the old directory being taken apart); KEY.old-XXXXXX a whole old directory moved
// aside where the file system cannot exchange.
inline constexpr std::string_view kFreshMark = ".new-";
inline constexpr std::string_view kRetiredMark = ".old-";
inline constexpr std::size_t kSuffixLength = 6;
// New files and directories get what the umask leaves of these.
inline constexpr mode_t kFileMode = 0666;
inline constexpr mode_t kDirMode = 0777;

int OpenDirectoryAt(int dirFd, const std::string& name, bool followLink);
// content.ct or state.st.
bool IsCatalogueFile(std::string_view name);
// KEY + mark + six letters or digits.
bool IsAreaNameOf(std::string_view name, const std::string& key, std::string_view mark);
// The entries of a directory but . and ..; none when it cannot be listed.
std::vector<std::string> ListNames(int dirFd);
bool SameFile(const struct stat& a, const struct stat& b);
int64_t ModifiedNs(const struct stat& st);
// renameat2(RENAME_NOREPLACE), or a look and a plain rename where the file system lacks the flag.
int RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to);
