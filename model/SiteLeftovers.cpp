// What saves killed part way and deleted sites leave behind, and how it is put back or removed.
#include "model/SiteLeftovers.h"
#include "model/AtomicFile.h"
#include "model/DataArchive.h"
#include "model/FileLock.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteCatalogue.h"
#include "model/SiteDirectory.h"
#include "model/SiteListFile.h"
#include "platform/Descriptor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

bool EmptyLeftover(int leftoverFd, int siteFd, Leftover what) {
    bool moved = false;
    for (const std::string& name : ListNames(leftoverFd)) {
        struct stat mine {};
        if (fstatat(leftoverFd, name.c_str(), &mine, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const bool isDir = S_ISDIR(mine.st_mode);
        if (IsCatalogueFile(name) || IsTemporaryName(name, "") || what == Leftover::Discard) {
            if (!isDir)
                unlinkat(leftoverFd, name.c_str(), 0);
            continue;
        }
        if (siteFd < 0)
            continue; // kept where it is until there is a site directory to take it
        struct stat theirs {};
        if (fstatat(siteFd, name.c_str(), &theirs, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                moved |= renameat(leftoverFd, name.c_str(), siteFd, name.c_str()) == 0;
            continue;
        }
        if (isDir || S_ISDIR(theirs.st_mode))
            continue;
        const bool takeMine =
            !SameFile(mine, theirs) && (what == Leftover::Replaced || ModifiedNs(mine) > ModifiedNs(theirs));
        if (takeMine)
            moved |= renameat(leftoverFd, name.c_str(), siteFd, name.c_str()) == 0;
        else
            unlinkat(leftoverFd, name.c_str(), 0);
    }
    return moved;
}

void RemoveSiteLeftovers(int dataFd, const std::string& key, bool discard) {
    if (!IsUsableSiteKey(key))
        return;
    CFd site(OpenDirectoryAt(dataFd, key, false));
    const bool siteMissing = !site.IsOpen() && errno == ENOENT;
    CFd area(OpenDirectoryAt(dataFd, kSaveAreaName, false));
    if (area.IsOpen()) {
        std::vector<std::string> names;
        for (std::string& name : ListNames(area.Get())) {
            // Old directories first: one of them may have to become Data/KEY again.
            if (IsAreaNameOf(name, key, kRetiredMark))
                names.insert(names.begin(), std::move(name));
            else if (IsAreaNameOf(name, key, kFreshMark))
                names.push_back(std::move(name));
        }
        bool restored = false;
        for (const std::string& name : names) {
            CFd leftover(OpenDirectoryAt(area.Get(), name, false));
            if (!leftover.IsOpen()) {
                if (errno == ENOTDIR || errno == ELOOP)
                    unlinkat(area.Get(), name.c_str(), 0);
                continue;
            }
            if (!LockIfUnused(leftover.Get()))
                continue; // a save at work
            if (!discard && siteMissing && !restored && IsAreaNameOf(name, key, kRetiredMark)) {
                // Killed between the two renames of a save that could not exchange: the old
                // directory is whole, and goes back.
                if (RenameNoReplace(area.Get(), name, dataFd, key) == 0) {
                    restored = true;
                    fsync(dataFd);
                    site = CFd(OpenDirectoryAt(dataFd, key, false));
                    continue;
                }
            }
            if (EmptyLeftover(leftover.Get(), site.Get(), discard ? Leftover::Discard : Leftover::Salvage))
                fsync(site.Get());
            unlinkat(area.Get(), name.c_str(), AT_REMOVEDIR);
        }
    }
    if (site.IsOpen())
        RemoveStaleTemporaryFiles(site.Get(), "");
}

namespace {

// A directory changed this little before the last clean-up began is looked into again: file
// system times are coarser than the clock.
constexpr int64_t kCleanSlackNs = 2000000000;

std::string CleanMarkPath() {
    return GetAppDir() + "/.locks/cleaned";
}

} // namespace

SiteListing FindKeyInSiteList(const std::string& key) {
    const std::string path = SiteListPath();
    CFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    // No program leaves site.ds missing or empty: such a file says nothing of sites deleted.
    if (!fd.IsOpen() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return SiteListing::Unknown;
    // The keys of the file last read; every write replaces the file, so a new one is a new inode.
    struct CSeenList {
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        int64_t modified = 0;
        bool whole = false;
        std::unordered_set<std::string> keys;
    };
    static std::mutex seenLock;
    static CSeenList seen;
    std::lock_guard<std::mutex> guard(seenLock);
    if (seen.path != path || seen.device != st.st_dev || seen.inode != st.st_ino || seen.size != st.st_size ||
        seen.modified != ModifiedNs(st)) {
        seen = CSeenList{path, st.st_dev, st.st_ino, st.st_size, ModifiedNs(st), false, {}};
        CObList<CFTPSite> list;
        try {
            CDataArchive ar(fd.Get(), CDataArchive::load, path);
            seen.whole =
                ReadSiteList(ar, list, static_cast<uint64_t>(st.st_size)).outcome == SiteListLoadResult::Ok;
        } catch (const std::exception&) {
            seen.whole = false;
        }
        for (const CFTPSite* site : list)
            seen.keys.insert(site->GetKey());
    }
    if (!seen.whole)
        return SiteListing::Unknown;
    return seen.keys.count(key) ? SiteListing::Listed : SiteListing::Missing;
}

void RemoveStaleLeftovers() {
    const std::string listPath = SiteListPath();
    const std::size_t slash = listPath.rfind('/');
    CFd app(open(GetAppDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (app.IsOpen())
        RemoveStaleTemporaryFiles(app.Get(), listPath.substr(slash + 1));
    CFd data(open(DataDirPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!data.IsOpen())
        return;
    // Directories of saves in the save area, by the key they belong to; each key's clean-up puts
    // back or empties them (a save at work holds its own, and they stay).
    std::unordered_set<std::string> keys;
    CFd area(OpenDirectoryAt(data.Get(), kSaveAreaName, false));
    if (area.IsOpen()) {
        constexpr std::size_t kTail = kFreshMark.size() + kSuffixLength;
        for (const std::string& name : ListNames(area.Get())) {
            if (name.size() <= kTail)
                continue;
            const std::string key = name.substr(0, name.size() - kTail);
            if (IsAreaNameOf(name, key, kFreshMark) || IsAreaNameOf(name, key, kRetiredMark))
                keys.insert(key);
        }
    }
    for (const std::string& key : keys)
        RemoveSiteLeftovers(data.Get(), key, false);

    // Temporary files in the site directories: state.st and site.conf written alone. Making one
    // changes its directory's time, so only directories changed since the last clean-up began
    // are looked into (a catalogue may hold tens of thousands); where a live writer's file was
    // kept, the next clean-up looks from that directory's time on. The mark is a lock file's
    // time, nothing else is in it.
    const std::string markPath = CleanMarkPath();
    struct stat mark {};
    const int64_t lookFrom =
        stat(markPath.c_str(), &mark) == 0 ? ModifiedNs(mark) - kCleanSlackNs : INT64_MIN;
    // The clean-up's start on the clock the file system stamps with.
    int64_t nextFrom = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    for (const std::string& name : ListNames(data.Get())) {
        if (name == kSaveAreaName || keys.count(name) || !IsUsableSiteKey(name))
            continue;
        struct stat st {};
        if (fstatat(data.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            ModifiedNs(st) < lookFrom)
            continue;
        CFd site(OpenDirectoryAt(data.Get(), name, false));
        if (site.IsOpen() && RemoveStaleTemporaryFiles(site.Get(), ""))
            nextFrom = std::min(nextFrom, ModifiedNs(st));
    }
    CFileLock markFile; // made as any lock file is, beside the others
    if (markFile.Lock(markPath, std::chrono::milliseconds(0))) {
        CFd fd(open(markPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
        using FileTime = decltype(mark.st_mtim); // what futimens takes: seconds and nanoseconds
        const FileTime at{nextFrom / 1000000000, nextFrom % 1000000000};
        const std::array<FileTime, 2> times{at, at};
        if (fd.IsOpen())
            futimens(fd.Get(), times.data());
    }
}
