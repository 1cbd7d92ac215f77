#include "model/SiteDirectory.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int OpenDirectoryAt(int dirFd, const std::string& name, bool followLink) {
    return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
}

bool IsCatalogueFile(std::string_view name) {
    return name == kCatalogueName || name == kStateName;
}

bool IsAreaNameOf(std::string_view name, const std::string& key, std::string_view mark) {
    if (name.size() != key.size() + mark.size() + kSuffixLength || name.substr(0, key.size()) != key ||
        name.substr(key.size(), mark.size()) != mark)
        return false;
    for (char c : name.substr(key.size() + mark.size()))
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

std::vector<std::string> ListNames(int dirFd) {
    std::vector<std::string> names;
    const int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return names;
    DIR* dir = fdopendir(listFd);
    if (!dir) {
        close(listFd);
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(dir);
    return names;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int64_t ModifiedNs(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
    if (renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    struct stat st {};
    if (fstatat(toDir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(fromDir, from.c_str(), toDir, to.c_str());
}
