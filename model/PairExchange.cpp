#include "model/PairExchange.h"
#include "model/AtomicFile.h"
#include "model/DataArchive.h"
#include "model/FileLock.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteCatalogue.h"
#include "model/SiteDirectory.h"
#include "model/SiteLeftovers.h"
#include "model/StoredPair.h"
#include "platform/Descriptor.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_bExchangeRefused{false};

// Writes one archive through `fd` with `body(ar)`; false with errno set.
template <class Body> bool WriteArchive(int fd, const std::string& pathForMessages, Body&& body) {
    try {
        CDataArchive ar(fd, CDataArchive::store, pathForMessages);
        body(ar);
        ar.Close();
    } catch (const CFileException& e) {
        errno = e.m_lOsError != 0 ? e.m_lOsError : EIO;
        return false;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    } catch (const std::exception&) {
        errno = EIO;
        return false;
    }
    return true;
}

// Creates `name` in `dirFd` with `bytes`, or with the archive of the tree `streamed`, and writes
// it to disk; `written` gets its stat. False with errno set.
bool WriteNewFile(int dirFd, const char* name, const std::string& bytes, CFTPDir* streamed,
                  const std::string& pathForMessages, struct stat* written) {
    CFd fd(openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode));
    if (!fd.IsOpen())
        return false;
    if (streamed) {
        if (!WriteArchive(fd.Get(), pathForMessages, [streamed](CDataArchive& ar) { streamed->Persist(ar); }))
            return false;
    } else if (!WriteAll(fd.Get(), bytes)) {
        return false;
    }
    if (fsync(fd.Get()) != 0)
        return false;
    return !written || fstat(fd.Get(), written) == 0;
}

bool CopyFileAt(int fromDir, const std::string& name, int toDir, const struct stat& source) {
    CFd in(openat(fromDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.IsOpen())
        return false;
    CFd out(openat(toDir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, source.st_mode & 07777));
    if (!out.IsOpen() || fchmod(out.Get(), source.st_mode & 07777) != 0)
        return false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ReadOnce(in.Get(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!WriteAll(out.Get(), buffer.data(), static_cast<std::size_t>(n)))
            return false;
    }
    // The same times as the original, so that a later clean-up takes the two for one file.
    const std::array times{source.st_atim, source.st_mtim};
    futimens(out.Get(), times.data());
    return fsync(out.Get()) == 0;
}

// Puts the old site directory's other regular files and links into the fresh one: hard links, or
// copies where the file system has none. Directories and other kinds are moved over after the
// exchange. False with errno set.
bool CarryOverFiles(int oldFd, int freshFd) {
    for (const std::string& name : ListNames(oldFd)) {
        if (IsCatalogueFile(name) || IsTemporaryName(name, ""))
            continue;
        struct stat st {};
        if (fstatat(oldFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISREG(st.st_mode)) {
            if (linkat(oldFd, name.c_str(), freshFd, name.c_str(), 0) == 0 || errno == ENOENT)
                continue;
            if (!CopyFileAt(oldFd, name, freshFd, st))
                return false;
        } else if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(oldFd, name.c_str(), target, sizeof target - 1);
            if (n < 0 && errno == ENOENT)
                continue;
            if (n < 0)
                return false;
            target[n] = '\0';
            if (symlinkat(target, freshFd, name.c_str()) != 0)
                return false;
        }
    }
    return true;
}

// A fresh directory of the save area, removed again unless it took the place of the site's.
class CFreshDirectory {
public:
    CFreshDirectory(int areaFd, std::string name, int fd)
        : m_areaFd(areaFd), m_strName(std::move(name)), m_fd(fd) {}
    ~CFreshDirectory() {
        if (!m_bKept && m_fd.IsOpen()) {
            const int error = errno;
            EmptyLeftover(m_fd.Get(), -1, Leftover::Discard);
            unlinkat(m_areaFd, m_strName.c_str(), AT_REMOVEDIR);
            errno = error;
        }
    }
    int Fd() const { return m_fd.Get(); }
    const std::string& Name() const { return m_strName; }
    void Keep() { m_bKept = true; }

private:
    int m_areaFd;
    std::string m_strName;
    CFd m_fd;
    bool m_bKept = false;
};

// Where the file system cannot exchange: the old directory is renamed aside (locked, so that no
// clean-up puts it back meanwhile), then the fresh one takes its name. Killed in between, the
// site has no Data/KEY, and the next load or save puts the old one back. False with errno set;
// `retiredName` gets the old directory's name in the save area.
bool SwapWithoutExchange(int dataFd, int areaFd, const std::string& key, int oldFd,
                         const std::string& freshName, std::string& retiredName) {
    if (!LockIfUnused(oldFd)) {
        errno = EBUSY;
        return false;
    }
    for (int attempt = 0;; ++attempt) {
        retiredName = key + std::string(kRetiredMark) + RandomNameSuffix();
        if (RenameNoReplace(dataFd, key, areaFd, retiredName) == 0)
            break;
        if (errno != EEXIST || attempt == 100)
            return false;
    }
    fsync(areaFd);
    if (renameat(areaFd, freshName.c_str(), dataFd, key.c_str()) != 0) {
        const int error = errno;
        renameat(areaFd, retiredName.c_str(), dataFd, key.c_str());
        errno = error;
        return false;
    }
    return true;
}

} // namespace

int ReplacePair(CFTPSite& site, const std::string& key, int dataFd, int areaFd, const CPairContent& content,
                const std::function<bool()>& mayCommit, std::string& failedPath) {
    const std::string siteDir = SiteDataDirPath(key);
    failedPath = siteDir;
    struct stat oldSt {};
    const bool hasOld = fstatat(dataFd, key.c_str(), &oldSt, AT_SYMLINK_NOFOLLOW) == 0;
    if (!hasOld && errno != ENOENT)
        return errno;
    // A link or a file where the site directory belongs is not followed out of Data.
    if (hasOld && !S_ISDIR(oldSt.st_mode))
        return ENOTDIR;
    CFd old;
    if (hasOld) {
        old = CFd(OpenDirectoryAt(dataFd, key, false));
        if (!old.IsOpen())
            return errno == ENOENT || errno == ELOOP ? EAGAIN : errno;
        // Something other than a file by one of the pair's names is the user's: leave it alone.
        for (const char* name : {kCatalogueName, kStateName}) {
            struct stat st {};
            if (fstatat(old.Get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
                failedPath = siteDir + "/" + name;
                return EISDIR;
            }
        }
    }

    std::string freshName;
    const int made = CreateLockedTemporary(areaFd, key + std::string(kFreshMark), kDirMode, true, freshName);
    if (made < 0) {
        failedPath = DataDirPath() + "/" + kSaveAreaName;
        return errno;
    }
    CFreshDirectory fresh(areaFd, freshName, made);
    if (hasOld)
        fchmod(fresh.Fd(), oldSt.st_mode & 07777);
    // Named by where the file is going: the fresh directory's name means nothing to the user.
    struct stat catalogue {
    }, state{};
    if (!WriteNewFile(fresh.Fd(), kCatalogueName, content.catalogue, content.streamed,
                      siteDir + "/" + kCatalogueName, &catalogue)) {
        failedPath = siteDir + "/" + kCatalogueName;
        return errno;
    }
    if (!WriteNewFile(fresh.Fd(), kStateName, content.state, nullptr, siteDir + "/" + kStateName, &state)) {
        failedPath = siteDir + "/" + kStateName;
        return errno;
    }
    if (hasOld && !CarryOverFiles(old.Get(), fresh.Fd()))
        return errno;
    if (fsync(fresh.Fd()) != 0)
        return errno;

    // After the exchange the old directory carries the fresh one's name in the save area.
    std::string oldName = freshName;
    {
        // A site being deleted takes the tree lock once it is marked so: no save puts files in
        // place for it after that. Settings written meanwhile wait for the lock too, so they land
        // in the old directory before the exchange (and go over below) or in the new one after.
        auto lock = site.LockTree();
        if (mayCommit && !mayCommit())
            return 0;
        if (!hasOld) {
            if (RenameNoReplace(areaFd, freshName, dataFd, key) != 0)
                return errno == EEXIST || errno == ENOTEMPTY ? EAGAIN : errno;
        } else {
            int exchanged = -1;
            if (g_bExchangeRefused.load())
                errno = EINVAL;
            else
                exchanged = renameat2(areaFd, freshName.c_str(), dataFd, key.c_str(), RENAME_EXCHANGE);
            if (exchanged != 0) {
                if (errno == ENOENT)
                    return EAGAIN;
                if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
                    return errno;
                if (!SwapWithoutExchange(dataFd, areaFd, key, old.Get(), freshName, oldName))
                    return errno == ENOENT ? EAGAIN : errno;
            }
        }
        fresh.Keep();
        RememberCatalogue(site, content.signature, &catalogue);
        RememberState(site, &state);
    }
    fsync(dataFd);
    if (!hasOld)
        return 0;
    // The old directory: whatever it holds that the new one lacks goes over (directories, files
    // written while the save ran), then it is removed.
    if (EmptyLeftover(old.Get(), fresh.Fd(), Leftover::Replaced))
        fsync(fresh.Fd());
    unlinkat(areaFd, oldName.c_str(), AT_REMOVEDIR);
    return 0;
}

bool WriteStateAlone(int siteFd, const std::string& bytes) {
    CAtomicFile file(siteFd, kStateName, kFileMode);
    if (!file.Open())
        return false;
    if (!WriteAll(file.Fd(), bytes))
        return false;
    return file.Commit();
}

void SetDirectoryExchangeRefused(bool refused) {
    g_bExchangeRefused.store(refused);
}
