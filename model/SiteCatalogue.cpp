// The four file operations of a site: content.ct (the tree) and state.st (the new marks) in the
// site's data directory. Loads keep whatever was read before a fault and say nothing; saves
// replace the files all at once and report failure only by their result.
#include "model/SiteCatalogue.h"
#include "model/AtomicFile.h"
#include "model/DataArchive.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/TreeWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kCatalogueName = "/content.ct";
constexpr const char* kStateName = "/state.st";

// An open regular file that is closed when the holder goes; -1 when there is nothing to read.
class ReadableFile {
public:
    explicit ReadableFile(const std::string& path) {
        m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (m_fd >= 0 && (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(m_fd);
            m_fd = -1;
        }
        m_size = m_fd >= 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    ~ReadableFile() {
        if (m_fd >= 0)
            close(m_fd);
    }
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;

    int Fd() const { return m_fd; }
    bool IsEmpty() const { return m_size == 0; }

private:
    int m_fd;
    uint64_t m_size;
};

// The site directory must be a real directory: one replaced by a link would lead the save out of
// Data.
bool IsPlainDirectory(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAtomically(const std::string& path, void (*body)(CDataArchive&, const CFTPSite&),
                     const CFTPSite& site) {
    CAtomicFile file(path, 0644);
    if (!file.Open())
        return false;
    try {
        CDataArchive ar(file.Fd(), CDataArchive::store, path);
        body(ar, site);
        ar.Close();
    } catch (const std::exception&) {
        return false; // the temporary file goes with `file`; the old one is untouched
    }
    return file.Commit();
}

void WriteCatalogue(CDataArchive& ar, const CFTPSite& site) {
    site.m_pRootDir->Persist(ar);
}

void WriteState(CDataArchive& ar, const CFTPSite& site) {
    WriteStateFlags(ar, *site.m_pRootDir);
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

void CFTPSite::LoadCatalogue() {
    std::lock_guard<std::recursive_mutex> lock(m_treeLock);
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return;
    const std::string path = SiteDataDirPath(key) + kCatalogueName;
    ReadableFile file(path);
    if (file.Fd() < 0 || file.IsEmpty())
        return;
    try {
        CDataArchive ar(file.Fd(), CDataArchive::load, path);
        m_pRootDir->Persist(ar);
    } catch (const std::exception&) {
        // A damaged or unreadable file: keep the nodes read so far, say nothing.
    }
}

void CFTPSite::LoadState() {
    std::lock_guard<std::recursive_mutex> lock(m_treeLock);
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return;
    const std::string path = SiteDataDirPath(key) + kStateName;
    ReadableFile file(path);
    if (file.Fd() < 0 || file.IsEmpty())
        return;
    try {
        CDataArchive ar(file.Fd(), CDataArchive::load, path);
        ReadStateFlags(ar, *m_pRootDir);
    } catch (const std::exception&) {
        // Shorter than the tree: the nodes not reached stay read.
    }
}

bool CFTPSite::SaveCatalogue() {
    std::lock_guard<std::recursive_mutex> lock(m_treeLock);
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return false;
    mkdir(DataDirPath().c_str(), 0755);
    const std::string dir = SiteDataDirPath(key);
    mkdir(dir.c_str(), 0755);
    if (!IsPlainDirectory(dir))
        return false;
    return WriteAtomically(dir + kCatalogueName, &WriteCatalogue, *this);
}

bool CFTPSite::SaveState() {
    std::lock_guard<std::recursive_mutex> lock(m_treeLock);
    const std::string key = GetKey();
    if (!IsUsableSiteKey(key))
        return false;
    const std::string dir = SiteDataDirPath(key);
    mkdir(dir.c_str(), 0755);
    if (!IsPlainDirectory(dir))
        return false;
    return WriteAtomically(dir + kStateName, &WriteState, *this);
}
