#include "model/PairReading.h"
#include "model/DataArchive.h"
#include "model/Paths.h"
#include "model/ReadOnlyAccess.h"
#include "model/Records.h"
#include "model/SiteCatalogue.h"
#include "model/SiteDirectory.h"
#include "model/TreeWalk.h"
#include "platform/Descriptor.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <thread>

namespace {

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
// (see SwapWithoutExchange in PairExchange.cpp), opened without writing anything; `area` and `name` get where
// it is. Not open when there is none, or (`busy`) when a live save holds it, which is between its renames and
// puts a directory back as Data/KEY in a moment.
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

} // namespace

bool ReadPairInto(const std::string& key, CFTPDir& root, bool catalogue, bool state,
                  struct stat* catalogueStat, const struct stat** stateStat, struct stat* stateBuffer,
                  std::optional<FileError>* fault) {
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
