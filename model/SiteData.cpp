#include "model/SiteData.h"

#include "model/Paths.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Temporary files of saves cut off by a crash ("content.ct.tmp-XXXXXX"): ours to remove, and in
// the way of removing the directory.
void RemoveLeftoverTemporaries(int siteFd) {
    const int listFd = dup(siteFd);
    if (listFd < 0)
        return;
    DIR* dir = fdopendir(listFd);
    if (!dir) {
        close(listFd);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with("content.ct.tmp-") || name.starts_with("state.st.tmp-"))
            leftovers.emplace_back(name);
    }
    closedir(dir);
    for (const std::string& name : leftovers)
        unlinkat(siteFd, name.c_str(), 0);
}

} // namespace

bool DeleteSiteData(const std::string& key) {
    if (!IsUsableSiteKey(key))
        return false;
    const int dataFd = open(DataDirPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dataFd < 0)
        return false;
    // O_NOFOLLOW: a site directory replaced by a link to elsewhere is not followed, so the files
    // removed are always the ones inside Data.
    const int siteFd = openat(dataFd, key.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (siteFd >= 0) {
        unlinkat(siteFd, "state.st", 0);
        unlinkat(siteFd, "content.ct", 0);
        RemoveLeftoverTemporaries(siteFd);
        close(siteFd);
    }
    const bool removed = unlinkat(dataFd, key.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
    close(dataFd);
    return removed;
}

bool RenameSiteData(const std::string& oldKey, const std::string& newKey) {
    if (!IsUsableSiteKey(oldKey) || !IsUsableSiteKey(newKey))
        return false;
    if (oldKey == newKey)
        return true;
    const std::string dataDir = DataDirPath();
    const int dataFd = open(dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dataFd < 0)
        return false;
    // Never replaces an existing directory of the new key.
    const bool ok = renameat2(dataFd, oldKey.c_str(), dataFd, newKey.c_str(), RENAME_NOREPLACE) == 0;
    close(dataFd);
    return ok;
}
