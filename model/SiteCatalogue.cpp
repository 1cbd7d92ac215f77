// The four file operations of a site: content.ct (the tree) and state.st (the new marks) in the
// site's data directory.
//
// The two files only make sense together: the k-th flag of state.st belongs to the k-th node of
// content.ct, and nothing in either says which tree it belongs to. So they are replaced as one.
// A save writes both into a fresh directory in Data/.tmp, links the site directory's other files
// (site.conf and whatever comes later) in beside them, and exchanges the fresh directory with
// Data/KEY in one rename (RENAME_EXCHANGE); the old directory is then taken apart. A load opens
// Data/KEY once and reads both files through that one directory, so it sees one save or the
// other, never a mix. state.st alone is replaced in place only while the content.ct beside it is
// still the file this process last read or wrote and the tree in memory still the one it holds.
//
// Loads keep whatever was read before a fault; what went wrong is logged and returned, with the
// file. Saves report failure by their result (the file and the system's error), errno and
// m_nSaveError, and log it.
#include "model/SiteCatalogue.h"
#include "model/AtomicFile.h"
#include "model/DataArchive.h"
#include "model/FileError.h"
#include "model/FileLock.h"
#include "model/Log.h"
#include "model/Paths.h"
#include "model/ReadOnlyAccess.h"
#include "model/Records.h"
#include "model/SiteListFile.h"
#include "model/TreeWalk.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <stdio.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr const char* kCatalogueName = "content.ct";
constexpr const char* kStateName = "state.st";
// Directories of a site in the save area: KEY.new-XXXXXX is a pair being put together (and, once
// exchanged, the old directory being taken apart); KEY.old-XXXXXX a whole old directory moved
// aside where the file system cannot exchange.
constexpr std::string_view kFreshMark = ".new-";
constexpr std::string_view kRetiredMark = ".old-";
constexpr std::size_t kSuffixLength = 6;
// New files and directories get what the umask leaves of these.
constexpr mode_t kFileMode = 0666;
constexpr mode_t kDirMode = 0777;

std::atomic<bool> g_bExchangeRefused{false};

// A descriptor closed when the holder goes.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    void Reset() {
        if (m_fd >= 0) {
            const int error = errno;
            close(m_fd);
            errno = error;
        }
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

int OpenDirectoryAt(int dirFd, const std::string& name, bool followLink) {
    return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
}

bool IsCatalogueFile(std::string_view name) {
    return name == kCatalogueName || name == kStateName;
}

// KEY + mark + six letters or digits.
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

// renameat2(RENAME_NOREPLACE), or a look and a plain rename where the file system lacks the flag.
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

// ---- tree signature

uint64_t Mix(uint64_t h, uint64_t value) {
    h = (h ^ value) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 33);
}

uint64_t HashName(const std::string& name) {
    return std::hash<std::string_view>{}(name);
}

// Everything content.ct holds of the tree (names, sizes, shape) and the key it is stored under,
// folded into 64 bits. Never 0.
uint64_t TreeSignature(const std::string& key, const CFTPDir& root) {
    uint64_t h = Mix(0x51ED270B27CA5A3Full, HashName(key));
    auto addDir = [&h](const CFTPDir& dir) {
        h = Mix(h, HashName(dir.m_strName));
        h = Mix(h, dir.m_subDirs.GetCount());
        h = Mix(h, dir.m_files.GetCount());
    };
    addDir(root);
    WalkStoredOrder(
        root, [&](const CFTPDir& dir, std::size_t) { addDir(dir); },
        [&h](const CFTPFile& file, std::size_t) {
            h = Mix(h, HashName(file.m_strName));
            h = Mix(h, file.m_nSize);
        });
    return h | 1;
}

void RememberCatalogue(CFTPSite& site, uint64_t signature, const struct stat* file) {
    CFTPSite::CStoredCatalogue stored;
    stored.m_nSignature = signature;
    if (file) {
        stored.m_nDevice = file->st_dev;
        stored.m_nInode = file->st_ino;
        stored.m_nSize = file->st_size;
        stored.m_nModified = ModifiedNs(*file);
    }
    site.m_storedCatalogue = stored;
}

void RememberState(CFTPSite& site, const struct stat* file) {
    CFTPSite::CStoredCatalogue& stored = site.m_storedCatalogue;
    stored.m_bStateKnown = true;
    stored.m_nStateDevice = file ? file->st_dev : 0;
    stored.m_nStateInode = file ? file->st_ino : 0;
    stored.m_nStateSize = file ? file->st_size : 0;
    stored.m_nStateModified = file ? ModifiedNs(*file) : 0;
}

// True when state.st in `siteFd` is still the file this process last read or wrote.
bool StateFileUnchanged(const CFTPSite& site, int siteFd) {
    const CFTPSite::CStoredCatalogue& stored = site.m_storedCatalogue;
    if (!stored.m_bStateKnown)
        return false;
    struct stat st {};
    if (fstatat(siteFd, kStateName, &st, 0) != 0)
        return errno == ENOENT && stored.m_nStateInode == 0;
    return stored.m_nStateInode != 0 && st.st_dev == stored.m_nStateDevice &&
           st.st_ino == stored.m_nStateInode && st.st_size == stored.m_nStateSize &&
           ModifiedNs(st) == stored.m_nStateModified;
}

// True when content.ct in `siteFd` is still the file this process last read or wrote.
bool StoredFileUnchanged(const CFTPSite& site, int siteFd) {
    const CFTPSite::CStoredCatalogue& stored = site.m_storedCatalogue;
    if (stored.m_nSignature == 0)
        return false;
    struct stat st {};
    if (fstatat(siteFd, kCatalogueName, &st, 0) != 0)
        return errno == ENOENT && stored.m_nInode == 0;
    return stored.m_nInode != 0 && st.st_dev == stored.m_nDevice && st.st_ino == stored.m_nInode &&
           st.st_size == stored.m_nSize && ModifiedNs(st) == stored.m_nModified;
}

// True when the tree in memory is still the one content.ct held when last read or written.
bool TreeUnchanged(const CFTPSite& site, const std::string& key) {
    return site.m_storedCatalogue.m_nSignature != 0 &&
           TreeSignature(key, *site.m_pRootDir) == site.m_storedCatalogue.m_nSignature;
}

// ---- leftovers

// What becomes of the other entries of a directory a save leaves behind.
enum class Leftover {
    Discard, // the site is being deleted: files go, nothing is moved
    Salvage, // left by a killed save: the newer of two files of one name stays
    Replaced // the old directory of a save that went through: anything that differs from what
             // was linked into the new one was written while the save ran, and goes over
};

// Empties a directory that a save left behind. Its own files (content.ct, state.st, temporary
// files) go. Any other entry goes to `siteFd` when the site directory lacks it (or, by `what`,
// holds an older or another file of that name) and is dropped when the site directory already
// holds it. Where there is no site directory nothing is moved; directories are never deleted.
// True when something was moved.
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

// ---- writing

// What a save writes. state.st's bytes are taken under the tree lock, since the window thread
// changes read marks at any time; content.ct's are taken the same way, or written from the tree
// itself without the lock where the saving thread alone changes the tree's shape.
struct CPairContent {
    std::string catalogue;
    std::string state;
    CFTPDir* streamed = nullptr; // content.ct written from this tree instead of `catalogue`
    uint64_t signature = 0;      // of the tree content.ct holds
};

// One archive into memory; `sizeHint` (the size of the file last written) saves the copies of a
// growing string.
template <class Body> std::string EncodeArchive(int64_t sizeHint, Body&& body) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(std::max<int64_t>(sizeHint, 0)) + 4096);
    CDataArchive ar(&bytes, 1 << 16);
    body(ar);
    ar.Close();
    return bytes;
}

std::string EncodeState(const CFTPDir& root, int64_t sizeHint) {
    return EncodeArchive(sizeHint, [&root](CDataArchive& ar) { WriteStateFlags(ar, root); });
}

// Under the tree lock: what a save of the pair writes. The marks taken are the ones saved:
// m_bStateDirty goes to 0 here, and a mark cleared after this sets it again.
CPairContent TakePair(CFTPSite& site, const std::string& key) {
    CPairContent content;
    CFTPDir& root = *site.m_pRootDir;
    content.state = EncodeState(root, site.m_storedCatalogue.m_nStateSize);
    content.catalogue =
        EncodeArchive(site.m_storedCatalogue.m_nSize, [&root](CDataArchive& ar) { root.Persist(ar); });
    content.signature = TreeSignature(key, root);
    site.m_bStateDirty = 0;
    return content;
}

// state.st of a tree whose shape only the calling thread changes. The marks, which the window
// thread sets at any time, are read under the tree lock a slice at a time, so that the window waits
// for one slice at most; the caller has cleared m_bStateDirty before, so a mark changed while the
// slices are read makes the site dirty again.
std::string EncodeStateInSlices(CFTPSite& site) {
    std::vector<const int32_t*> marks;
    WalkStoredOrder(
        *site.m_pRootDir, [&marks](const CFTPDir& dir, std::size_t) { marks.push_back(&dir.m_bNew); },
        [&marks](const CFTPFile& file, std::size_t) { marks.push_back(&file.m_bNew); });
    // The archive of state.st is its values alone, 32-bit little-endian, one per node.
    std::string bytes(marks.size() * 4, '\0');
    constexpr std::size_t kSlice = 1 << 16;
    for (std::size_t first = 0; first < marks.size(); first += kSlice) {
        auto lock = site.LockTree();
        const std::size_t end = std::min(marks.size(), first + kSlice);
        for (std::size_t i = first; i < end; ++i) {
            const auto value = static_cast<uint32_t>(*marks[i]);
            for (std::size_t b = 0; b < 4; ++b)
                bytes[4 * i + b] = static_cast<char>(value >> (8 * b));
        }
    }
    return bytes;
}

bool WriteAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

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
        const ssize_t n = read(in.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t m = write(out.Get(), buffer.data() + done, static_cast<std::size_t>(n - done));
            if (m < 0 && errno == EINTR)
                continue;
            if (m < 0)
                return false;
            done += m;
        }
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

// One attempt at replacing Data/KEY by a fresh directory with the pair. 0, or an errno value
// with `failedPath` naming the file or directory it concerns; EAGAIN when another writer changed
// Data/KEY meanwhile and a new attempt may do better. The files are written without the tree
// lock; the fresh directory takes the place of the old one under it, unless `mayCommit` says no
// (then nothing changes), and the pair written is remembered there.
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

// A save of the site that failed on `path`: m_nSaveError and errno get the cause, and the log a line.
FileError Fail(CFTPSite& site, std::string path, int error) {
    site.m_nSaveError = error;
    FileError failure = FileError::FromErrno(std::move(path), error);
    LogError("site " + site.GetKey() + ": save failed: " + failure.Text());
    errno = error;
    return failure;
}

CResult<void> Saved(CFTPSite& site) {
    site.m_nSaveError = 0;
    return {};
}

// Writes the pair taken. Data is created only with `createData`. A failure leaves the marks dirty.
CResult<void> SavePair(CFTPSite& site, const std::string& key, bool createData, const CPairContent& content,
                       const std::function<bool()>& mayCommit = {}) {
    auto fail = [&site](std::string path, int error) {
        site.m_bStateDirty = 1; // the marks on disk are not those in memory
        return Fail(site, std::move(path), error);
    };
    const std::string dataPath = DataDirPath();
    if (createData && mkdir(dataPath.c_str(), kDirMode) != 0 && errno != EEXIST)
        return fail(dataPath, errno);
    CFd data(open(dataPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!data.IsOpen())
        return fail(dataPath, errno);
    const std::string areaPath = dataPath + "/" + kSaveAreaName;
    if (mkdirat(data.Get(), kSaveAreaName, kDirMode) != 0 && errno != EEXIST)
        return fail(areaPath, errno);
    CFd area(OpenDirectoryAt(data.Get(), kSaveAreaName, false));
    if (!area.IsOpen())
        return fail(areaPath, errno);
    RemoveSiteLeftovers(data.Get(), key, false);

    int error = EAGAIN;
    std::string failedPath;
    for (int attempt = 0; attempt < 4 && error == EAGAIN; ++attempt)
        error = ReplacePair(site, key, data.Get(), area.Get(), content, mayCommit, failedPath);
    if (error != 0)
        return fail(failedPath, error);
    return Saved(site);
}

// The pair taken under the tree lock and written without it.
CResult<void> SaveWholePair(CFTPSite& site, const std::string& key, bool createData) {
    CPairContent content;
    try {
        auto lock = site.LockTree();
        content = TakePair(site, key);
    } catch (const std::bad_alloc&) {
        return Fail(site, SiteDataDirPath(key), ENOMEM);
    }
    return SavePair(site, key, createData, content);
}

// ---- reading

// An open regular file that is closed when the holder goes; not open when there is nothing to read.
class CReadableFile {
public:
    // False with errno set when there is no regular file to read.
    bool Open(int dirFd, const char* name) {
        m_fd = CFd(openat(dirFd, name, O_RDONLY | O_CLOEXEC));
        if (m_fd.IsOpen() && (fstat(m_fd.Get(), &m_stat) != 0 || !S_ISREG(m_stat.st_mode))) {
            m_fd.Reset();
            errno = EISDIR;
        }
        return m_fd.IsOpen();
    }
    void Reset() { m_fd.Reset(); }
    bool IsOpen() const { return m_fd.IsOpen(); }
    bool HasData() const { return m_fd.IsOpen() && m_stat.st_size > 0; }
    int Fd() const { return m_fd.Get(); }
    const struct stat& Stat() const { return m_stat; }

private:
    CFd m_fd;
    struct stat m_stat {};
};

// Reads one archive from `file` with `body`. A fault keeps what was read before it; it is
// returned with the file and where reading stopped. state.st ending before the tree does is no
// fault (`shortIsFine`): the nodes not reached stay read.
template <class Body>
CResult<void> ReadArchiveFile(const CReadableFile& file, const std::string& path, bool shortIsFine,
                              Body body) {
    std::optional<CDataArchive> ar;
    try {
        ar.emplace(file.Fd(), CDataArchive::load, path);
        body(*ar);
    } catch (const CFileException& e) {
        return FileError::FromErrno(path, e.m_lOsError != 0 ? e.m_lOsError : EIO);
    } catch (const CArchiveException& e) {
        if (shortIsFine && e.m_cause == CArchiveException::endOfFile)
            return {};
        const uint64_t size = static_cast<uint64_t>(file.Stat().st_size);
        const uint64_t left = ar ? ar->BytesLeft() : size;
        return FileError::Damaged(path, std::string(e.what()) + " at byte " +
                                            std::to_string(size >= left ? size - left : 0) + " of " +
                                            std::to_string(size));
    } catch (const std::bad_alloc&) {
        return FileError::FromErrno(path, ENOMEM);
    } catch (const std::exception& e) {
        return FileError::Damaged(path, e.what());
    }
    return {};
}

// The whole old site directory that a save killed between its two renames left in the save area
// (see SwapWithoutExchange), opened without writing anything; `area` and `name` get where it is.
// Not open when there is none, or (`busy`) when a live save holds it, which is between its
// renames and puts a directory back as Data/KEY in a moment.
CFd OpenSetAside(int dataFd, const std::string& key, CFd& area, std::string& name, bool& busy) {
    busy = false;
    area = CFd(OpenDirectoryAt(dataFd, kSaveAreaName, false));
    if (!area.IsOpen())
        return CFd();
    for (const std::string& entry : ListNames(area.Get())) {
        if (!IsAreaNameOf(entry, key, kRetiredMark))
            continue;
        CFd dir(OpenDirectoryAt(area.Get(), entry, false));
        if (!dir.IsOpen())
            continue;
        // A shared lock only tests for the saver's exclusive one, and goes at once: a cleaner
        // must not take this reader for a save at work.
        if (flock(dir.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            busy = true;
            continue;
        }
        flock(dir.Get(), LOCK_UN);
        name = entry;
        return dir;
    }
    return CFd();
}

// Reads content.ct and/or state.st of the site `key` into `root` through one open Data/KEY, so
// that both come from one save. `catalogueStat` gets content.ct's stat; false when there was none.
// `stateStat` (with `stateBuffer` to hold it) gets state.st's, or null when there was none.
// `fault`, when given, gets the first thing that went wrong (the rest of that file is dropped).
bool ReadPairInto(const std::string& key, CFTPDir& root, bool catalogue, bool state,
                  struct stat* catalogueStat, const struct stat** stateStat = nullptr,
                  struct stat* stateBuffer = nullptr, std::optional<FileError>* fault = nullptr) {
    CReadableFile content, flags;
    const std::string path = SiteDataDirPath(key);
    auto note = [fault](FileError error) {
        if (fault && !*fault)
            *fault = std::move(error);
    };
    CFd data(open(DataDirPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!data.IsOpen() && errno != ENOENT)
        note(FileError::FromErrno(DataDirPath(), errno));
    if (data.IsOpen()) {
        if (!IsReadOnlyAccess())
            RemoveSiteLeftovers(data.Get(), key, false);
        for (int attempt = 0; attempt < 50; ++attempt) {
            CFd siteDir(OpenDirectoryAt(data.Get(), key, true));
            CFd area;
            std::string asideName;
            if (!siteDir.IsOpen()) {
                if (errno != ENOENT) {
                    note(FileError::FromErrno(path, errno));
                    break;
                }
                // A save that could not exchange moves the old directory aside before the new
                // one takes its place: killed in between, the old pair waits there whole until a
                // writer puts it back, and a reader that may not write reads it where it is.
                bool busy = false;
                siteDir = OpenSetAside(data.Get(), key, area, asideName, busy);
                if (!siteDir.IsOpen()) {
                    if (!busy)
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a save between its renames
                    continue;
                }
            }
            if (catalogue && !content.Open(siteDir.Get(), kCatalogueName) && errno != ENOENT)
                note(FileError::FromErrno(path + "/" + kCatalogueName, errno));
            if (state && !flags.Open(siteDir.Get(), kStateName) && errno != ENOENT)
                note(FileError::FromErrno(path + "/" + kStateName, errno));
            // Both files came from the directory that is still Data/KEY: no save replaced it
            // between the two opens (each save makes a new directory), so they belong together.
            struct stat opened {
            }, named{}, aside{};
            if (fstat(siteDir.Get(), &opened) == 0 && fstatat(data.Get(), key.c_str(), &named, 0) == 0 &&
                SameFile(opened, named))
                break;
            // Or, set aside, it is still there (or was put back): files go only once it is neither.
            if (area.IsOpen() && fstatat(area.Get(), asideName.c_str(), &aside, AT_SYMLINK_NOFOLLOW) == 0 &&
                SameFile(opened, aside))
                break;
            content.Reset();
            flags.Reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // A damaged or unreadable file keeps the nodes read so far.
    if (content.HasData()) {
        CResult<void> read = ReadArchiveFile(content, path + "/" + kCatalogueName, false,
                                             [&root](CDataArchive& ar) { root.Persist(ar); });
        if (!read)
            note(read.error());
    }
    if (flags.HasData()) {
        CResult<void> read = ReadArchiveFile(flags, path + "/" + kStateName, true,
                                             [&root](CDataArchive& ar) { ReadStateFlags(ar, root); });
        if (!read)
            note(read.error());
    }
    if (content.IsOpen() && catalogueStat)
        *catalogueStat = content.Stat();
    if (stateStat) {
        *stateStat = nullptr;
        if (flags.IsOpen()) {
            *stateBuffer = flags.Stat();
            *stateStat = stateBuffer;
        }
    }
    return content.IsOpen();
}

// Reads content.ct and/or state.st of the site through one open Data/KEY. What was read stays
// even when something went wrong; that is logged and returned.
CResult<void> LoadFiles(CFTPSite& site, bool catalogue, bool state) {
    auto lock = site.LockTree();
    const std::string key = site.GetKey();
    if (!IsUsableSiteKey(key))
        return {};
    struct stat contentStat {
    }, stateBuffer{};
    const struct stat* stateStat = nullptr;
    std::optional<FileError> fault;
    const bool hadCatalogue =
        ReadPairInto(key, *site.m_pRootDir, catalogue, state, &contentStat, &stateStat, &stateBuffer, &fault);
    if (catalogue)
        RememberCatalogue(site, TreeSignature(key, *site.m_pRootDir), hadCatalogue ? &contentStat : nullptr);
    // Marks read without their tree (or a tree without its marks) leave the pair unknown.
    if (catalogue && state)
        RememberState(site, stateStat);
    else
        site.m_storedCatalogue.m_bStateKnown = false;
    if (!fault)
        return {};
    LogWarning("site " + key + ": load kept what was read: " + fault->Text());
    return std::move(*fault);
}

// ---- marks saved by other programs

// Calls onMatch(source mark, target mark) for every entry below `to` that has a counterpart below
// `from` (same path, same kind). Reads only names and shape of `to`.
template <class OnMatch> void MatchByPath(const CFTPDir& from, CFTPDir& to, OnMatch&& onMatch) {
    std::vector<std::pair<const CFTPDir*, CFTPDir*>> stack{{&from, &to}};
    std::unordered_map<std::string_view, CFTPDir*> dirs;
    std::unordered_map<std::string_view, CFTPFile*> files;
    while (!stack.empty()) {
        const auto [source, target] = stack.back();
        stack.pop_back();
        dirs.clear();
        files.clear();
        // First of a name wins, as the merge of a listing does.
        for (CFTPDir* dir : target->m_subDirs)
            dirs.emplace(dir->m_strName, dir);
        for (CFTPFile* file : target->m_files)
            files.emplace(file->m_strName, file);
        for (const CFTPDir* dir : source->m_subDirs) {
            const auto found = dirs.find(dir->m_strName);
            if (found == dirs.end())
                continue;
            onMatch(dir->m_bNew, found->second->m_bNew);
            stack.emplace_back(dir, found->second);
        }
        for (const CFTPFile* file : source->m_files) {
            const auto found = files.find(file->m_strName);
            if (found != files.end())
                onMatch(file->m_bNew, found->second->m_bNew);
        }
    }
}

// Sets to read every entry below `to` whose counterpart below `from` is read. Marks only ever go
// from new to read, except on entries an update creates, so a read mark found anywhere is one
// somebody set. The number of marks changed.
std::size_t CarryReadMarks(const CFTPDir& from, CFTPDir& to) {
    std::size_t changed = 0;
    MatchByPath(from, to, [&changed](int32_t source, int32_t& target) {
        if (source == 0 && target != 0) {
            target = 0;
            ++changed;
        }
    });
    return changed;
}

// The marks CarryReadMarks would set to read, found without reading or changing any mark of `to`,
// so that only setting them needs the tree lock where the caller owns the shape of `to`.
std::vector<int32_t*> FindCarriedReadMarks(const CFTPDir& from, CFTPDir& to) {
    std::vector<int32_t*> marks;
    MatchByPath(from, to, [&marks](int32_t source, int32_t& target) {
        if (source == 0)
            marks.push_back(&target);
    });
    return marks;
}

// True when Data/KEY still holds the pair this process last read or wrote: nobody else saved.
bool PairUnchanged(const CFTPSite& site, const std::string& key) {
    CFd siteDir(open(SiteDataDirPath(key).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return siteDir.IsOpen() && StoredFileUnchanged(site, siteDir.Get()) &&
           StateFileUnchanged(site, siteDir.Get());
}

// Takes the lock that every program holds while it writes the pair of `key`.
bool LockSiteFiles(CFileLock& lock, const std::string& key) {
    return lock.Lock(SiteSaveLockPath(key), kSaveLockWait);
}

// Writes state.st's bytes into the open site directory, in place. False with errno set.
bool WriteStateAlone(int siteFd, const std::string& bytes) {
    CAtomicFile file(siteFd, kStateName, kFileMode);
    if (!file.Open())
        return false;
    if (!WriteAll(file.Fd(), bytes))
        return false;
    return file.Commit();
}

} // namespace

void ReadStateFlags(CDataArchive& ar, CFTPDir& root) {
    WalkStoredOrder(
        root, [&](CFTPDir& dir, std::size_t) { dir.m_bNew = ar.ReadInt32(); },
        [&](CFTPFile& file, std::size_t) { file.m_bNew = ar.ReadInt32(); });
}

void WriteStateFlags(CDataArchive& ar, const CFTPDir& root) {
    WalkStoredOrder(
        root, [&](const CFTPDir& dir, std::size_t) { ar.WriteInt32(dir.m_bNew); },
        [&](const CFTPFile& file, std::size_t) { ar.WriteInt32(file.m_bNew); });
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

void SetDirectoryExchangeRefused(bool refused) {
    g_bExchangeRefused.store(refused);
}

CResult<void> CFTPSite::LoadCatalogue() {
    return LoadFiles(*this, true, false);
}

CResult<void> CFTPSite::LoadState() {
    return LoadFiles(*this, false, true);
}

CResult<void> CFTPSite::LoadCatalogueAndState() {
    return LoadFiles(*this, true, true);
}

bool CFTPSite::SaveCatalogue() {
    return TrySaveCatalogue().ok();
}

bool CFTPSite::SaveState() {
    return TrySaveState().ok();
}

CResult<void> CFTPSite::TrySaveCatalogue() {
    return TrySaveCatalogue(CSaveOptions());
}

CResult<void> CFTPSite::TrySaveCatalogue(const CSaveOptions& options) {
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return Fail(*this, SiteDataDirPath(key), EINVAL);
    // Waited for without the tree lock: another program's save may take a while.
    CFileLock files;
    if (!LockSiteFiles(files, key))
        return Fail(*this, SiteSaveLockPath(key), errno);
    // Marks that other programs saved since this tree was read stay read. A tree that was never
    // read from disk (a site just added) has nothing there to keep. Their files are read without
    // the lock.
    bool othersSaved = false;
    {
        auto lock = LockTree();
        othersSaved = m_storedCatalogue.m_nSignature != 0 && !PairUnchanged(*this, key);
    }
    CFTPDir disk;
    const bool onDisk = othersSaved && ReadPairInto(key, disk, true, true, nullptr);
    std::vector<int32_t*> carried;
    if (onDisk && options.m_bShapeOwned)
        carried = FindCarriedReadMarks(disk, *m_pRootDir);
    CPairContent content;
    try {
        if (options.m_bShapeOwned) {
            // Only the marks need the lock: content.ct is written from the tree itself.
            {
                auto lock = LockTree();
                for (int32_t* mark : carried)
                    *mark = 0;
                m_bStateDirty = 0;
            }
            content.state = EncodeStateInSlices(*this);
            content.streamed = m_pRootDir.get();
            content.signature = TreeSignature(key, *content.streamed);
        } else {
            auto lock = LockTree();
            if (onDisk)
                CarryReadMarks(disk, *m_pRootDir);
            content = TakePair(*this, key);
        }
    } catch (const std::bad_alloc&) {
        m_bStateDirty = 1;
        return Fail(*this, SiteDataDirPath(key), ENOMEM);
    }
    return SavePair(*this, key, true, content, options.m_mayCommit);
}

CResult<void> CFTPSite::TrySaveState() {
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return Fail(*this, SiteDataDirPath(key), EINVAL);
    CFileLock files;
    if (!LockSiteFiles(files, key))
        return Fail(*this, SiteSaveLockPath(key), errno);
    CFd data(open(DataDirPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!data.IsOpen())
        return Fail(*this, DataDirPath(), errno); // Data itself is made only with a catalogue
    RemoveSiteLeftovers(data.Get(), key, false);
    CFd siteDir(OpenDirectoryAt(data.Get(), key, false));
    if (!siteDir.IsOpen()) {
        if (errno != ENOENT)
            return Fail(*this, SiteDataDirPath(key), errno == ELOOP ? ENOTDIR : errno);
        return SaveWholePair(*this, key, false);
    }
    // What other programs saved is read without the tree lock (the file lock keeps it as it is).
    bool othersSaved = false, catalogueChanged = false;
    {
        auto lock = LockTree();
        catalogueChanged = !StoredFileUnchanged(*this, siteDir.Get());
        othersSaved = catalogueChanged || !StateFileUnchanged(*this, siteDir.Get());
    }
    CFTPDir disk;
    const bool onDisk = othersSaved && ReadPairInto(key, disk, true, true, nullptr);
    const CFTPDir* written = m_pRootDir.get();
    bool wholePair = false;
    CPairContent content;
    try {
        auto lock = LockTree();
        const bool treeUnchanged = TreeUnchanged(*this, key);
        if (!othersSaved) {
            wholePair = !treeUnchanged; // the marks of a tree that is not on disk go with it
        } else if (catalogueChanged) {
            if (!onDisk || !treeUnchanged) {
                // The tree in memory is newer than any on disk: it goes, with the marks saved there.
                if (onDisk)
                    CarryReadMarks(disk, *m_pRootDir);
                wholePair = true;
            } else {
                // Another program saved a newer tree since this one was read: that tree stays, and
                // takes the marks set here (and this one those set there).
                CarryReadMarks(*m_pRootDir, disk);
                CarryReadMarks(disk, *m_pRootDir);
                written = &disk;
            }
        } else {
            CarryReadMarks(disk, *m_pRootDir);
            wholePair = !treeUnchanged;
        }
        if (wholePair) {
            content = TakePair(*this, key);
        } else {
            content.state = EncodeState(*written, m_storedCatalogue.m_nStateSize);
            m_bStateDirty = 0;
        }
    } catch (const std::bad_alloc&) {
        return Fail(*this, SiteDataDirPath(key), ENOMEM);
    }
    if (wholePair)
        return SavePair(*this, key, false, content);
    if (!WriteStateAlone(siteDir.Get(), content.state)) {
        m_bStateDirty = 1;
        return Fail(*this, SiteDataDirPath(key) + "/" + kStateName, errno);
    }
    struct stat state {};
    if (written == m_pRootDir.get() && fstatat(siteDir.Get(), kStateName, &state, 0) == 0) {
        auto lock = LockTree();
        RememberState(*this, &state);
    }
    // Replaced meanwhile by a program that takes no lock: the file went with the old directory.
    struct stat opened {
    }, named{};
    if (fstat(siteDir.Get(), &opened) != 0 ||
        fstatat(data.Get(), key.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(opened, named)) {
        if (written != &disk)
            return SaveWholePair(*this, key, false);
        m_bStateDirty = 1;
        return Fail(*this, SiteDataDirPath(key), EAGAIN);
    }
    return Saved(*this);
}

bool CFTPSite::SavedElsewhere() const {
    const CStoredCatalogue& stored = m_storedCatalogue;
    if (stored.m_nSignature == 0)
        return false;
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return false;
    // A site directory that is gone was removed or renamed with its site, not saved: the site
    // list tells of that (and a save that cannot exchange directories leaves none for a moment).
    CFd siteDir(open(SiteDataDirPath(key).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!siteDir.IsOpen())
        return false;
    if (!StoredFileUnchanged(*this, siteDir.Get()))
        return true;
    return stored.m_bStateKnown && !StateFileUnchanged(*this, siteDir.Get());
}

CFTPSite::CStoredTree CFTPSite::ReadStoredTree() const {
    // A site of the same key, read as EnsureLoaded reads one: the files through one open site
    // directory, what they held remembered, the names' encoding decided from them.
    CFTPSite scratch;
    scratch.m_strHost = m_strHost;
    scratch.m_strUser = m_strUser;
    scratch.m_strPassword = m_strPassword;
    scratch.LoadCatalogueAndState();
    scratch.DecideNameCharset();
    CStoredTree tree;
    tree.m_pRoot = std::move(scratch.m_pRootDir);
    tree.m_pRoot->m_pSite = nullptr;
    tree.m_stored = scratch.m_storedCatalogue;
    tree.m_nameCharset = scratch.m_nameCharset.load();
    return tree;
}

namespace {

// Moves every child of `from` to the end of `to`'s lists, `to` becoming their parent.
void MoveChildren(CFTPDir& from, CFTPDir& to) {
    std::vector<std::unique_ptr<CFTPDir>> dirs = from.m_subDirs.ExtractIf([](CFTPDir*) { return true; });
    std::vector<std::unique_ptr<CFTPFile>> files = from.m_files.ExtractIf([](CFTPFile*) { return true; });
    to.m_subDirs.Reserve(to.m_subDirs.GetCount() + dirs.size());
    for (auto& dir : dirs)
        to.AddSubDir(std::move(dir));
    to.m_files.Reserve(to.m_files.GetCount() + files.size());
    for (auto& file : files)
        to.AddFile(std::move(file));
}

} // namespace

std::unique_ptr<CFTPDir> CFTPSite::TakeStoredTree(CStoredTree tree) {
    auto replaced = std::make_unique<CFTPDir>();
    if (!tree.m_pRoot)
        return replaced;
    auto lock = LockTree();
    CFTPDir& root = *m_pRootDir;
    MoveChildren(root, *replaced);
    MoveChildren(*tree.m_pRoot, root);
    root.m_strName = tree.m_pRoot->m_strName;
    m_storedCatalogue = tree.m_stored;
    m_nameCharset.store(tree.m_nameCharset, std::memory_order_relaxed);
    // A resume point names a directory of the tree that goes.
    m_bResume = 0;
    m_pResumeDir = nullptr;
    return replaced;
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
    struct timespec began {};
    clock_gettime(CLOCK_REALTIME, &began);
    int64_t nextFrom = static_cast<int64_t>(began.tv_sec) * 1000000000 + began.tv_nsec;
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
        const std::array<struct timespec, 2> times{timespec{nextFrom / 1000000000, nextFrom % 1000000000},
                                                   timespec{nextFrom / 1000000000, nextFrom % 1000000000}};
        if (fd.IsOpen())
            futimens(fd.Get(), times.data());
    }
}
