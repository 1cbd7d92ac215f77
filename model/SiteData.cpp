#include "model/SiteData.h"

#include "model/FileLock.h"
#include "model/Paths.h"
#include "model/SiteCatalogue.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

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
        // The site's own settings go with it; a settings file kept aside as damaged too.
        unlinkat(siteFd, "site.conf", 0);
        unlinkat(siteFd, "site.conf.damaged", 0);
        close(siteFd);
    }
    // Temporary files in the directory, and what killed saves left in Data/.tmp.
    RemoveSiteLeftovers(dataFd, key, true);
    const bool removed = unlinkat(dataFd, key.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
    close(dataFd);
    RemoveSiteLockFiles(key);
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
    // What killed saves left goes first: it is found by the old key only.
    RemoveSiteLeftovers(dataFd, oldKey, false);
    // Never replaces an existing directory of the new key.
    const bool ok = renameat2(dataFd, oldKey.c_str(), dataFd, newKey.c_str(), RENAME_NOREPLACE) == 0;
    close(dataFd);
    if (ok)
        RemoveSiteLockFiles(oldKey);
    return ok;
}
