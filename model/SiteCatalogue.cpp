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
//
// This file decides what a load or save does; the work is beside it: the exchange of directories
// in PairExchange, the one-directory reading in PairReading, the merge of read marks saved
// elsewhere in ReadMarks, what this process last read or wrote in StoredPair, and the clean-up of
// what killed saves left in SiteLeftovers.
#include "model/SiteCatalogue.h"
#include "model/DataArchive.h"
#include "model/FileError.h"
#include "model/FileLock.h"
#include "model/Log.h"
#include "model/PairExchange.h"
#include "model/PairReading.h"
#include "model/Paths.h"
#include "model/ReadMarks.h"
#include "model/Records.h"
#include "model/SiteDirectory.h"
#include "model/StoredPair.h"
#include "model/TreeWalk.h"
#include "platform/Descriptor.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- taking what a save writes

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

// ---- saving

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

// ---- loading

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

// Takes the lock that every program holds while it writes the pair of `key`.
bool LockSiteFiles(CFileLock& lock, const std::string& key) {
    return lock.Lock(SiteSaveLockPath(key), kSaveLockWait);
}

} // namespace

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
    SavedElsewhereChange change = SavedElsewhereChange::Nothing;
    {
        auto lock = LockTree();
        if (!StoredFileUnchanged(*this, siteDir.Get()))
            change = SavedElsewhereChange::Tree;
        else if (!StateFileUnchanged(*this, siteDir.Get()))
            change = SavedElsewhereChange::MarksOnly;
    }
    CFTPDir disk;
    const bool onDisk =
        change != SavedElsewhereChange::Nothing && ReadPairInto(key, disk, true, true, nullptr);
    const CFTPDir* written = m_pRootDir.get();
    bool wholePair = false;
    CPairContent content;
    try {
        auto lock = LockTree();
        const MarkSave plan = PlanMarkSave(change, onDisk, TreeUnchanged(*this, key));
        switch (plan) {
        case MarkSave::MarksAlone:
        case MarkSave::WholePair:
            break;
        case MarkSave::MergedMarksAlone:
        case MarkSave::MergedWholePair:
            CarryReadMarks(disk, *m_pRootDir);
            break;
        case MarkSave::TheirTree:
            CarryReadMarks(*m_pRootDir, disk);
            CarryReadMarks(disk, *m_pRootDir);
            written = &disk;
            break;
        }
        wholePair = plan == MarkSave::WholePair || plan == MarkSave::MergedWholePair;
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
